// Arrays: a header's name, its inline values or its tabular rows.
//
// A header is the key part's text from its left square bracket on. Its name is the text in
// front of the bracket, or the pending key when there is none. A value part after the colon
// makes an inline array; a field list in braces makes a tabular array read from the rows
// below; a count of zero makes an empty array; any other header (a list array) is dropped.
// The brackets' last character, when it is a TAB or '|', is the delimiter for the values,
// the field list and the rows; otherwise the comma is.
#include <algorithm>
#include <limits>
#include <new>

#include "decode/reader.h"
#include "core/text.h"

namespace vardel::decoder {

namespace {

constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

bool read_inline(Reader& r, const Header& h, std::string_view name) {
  r.items.clear();
  bool ok = for_each_piece(h.value, h.delimiter, kNoLimit, [&](std::string_view piece) {
    Value v;
    if (!read_scalar(piece, r.arena, v, r.error)) return false;
    r.items.push_back(v);
    return true;
  });
  if (!ok) return false;
  r.root.insert(name, store_array(r.arena, r.items));
  r.has_pending = false;
  return true;
}

// Reads the field list into r.fields and works out, once for all rows, where each column
// goes in a row's sorted members: r.slot[c] is the position of column c, or -1 when a later
// column has the same name (the later one wins), and r.slot_key lists the distinct names in
// byte order.
bool read_fields(Reader& r, const Header& h) {
  // A field list whose brace is never closed runs to the end of the key part.
  std::size_t end = h.brace_close != npos ? h.brace_close : h.separator;
  std::string_view text = h.line.substr(h.brace_open + 1, end - h.brace_open - 1);
  r.fields.clear();
  bool ok = for_each_piece(text, h.delimiter, kNoLimit, [&](std::string_view piece) {
    std::string_view name;
    if (!read_key(trim(piece), r.arena, name, r.error)) return false;
    r.fields.push_back(name);
    return true;
  });
  if (!ok) return false;

  const std::size_t count = r.fields.size();
  r.order.resize(count);
  for (std::size_t c = 0; c < count; ++c) r.order[c] = c;
  const auto& fields = r.fields;
  std::stable_sort(r.order.begin(), r.order.end(),
                   [&](std::size_t a, std::size_t b) { return fields[a] < fields[b]; });
  r.slot.assign(count, -1);
  r.slot_key.clear();
  for (std::size_t k = 0; k < count;) {
    // Equal names are adjacent and in column order; the last of the run wins.
    std::size_t j = k;
    while (j + 1 < count && fields[r.order[j + 1]] == fields[r.order[k]]) ++j;
    r.slot[r.order[j]] = static_cast<std::int64_t>(r.slot_key.size());
    r.slot_key.push_back(fields[r.order[j]]);
    k = j + 1;
  }
  return true;
}

// Returns the object of one row from its first `cells` cells (at most one per field).
Value make_row(Reader& r, std::size_t cells) {
  if (cells == r.fields.size()) {
    // A full row: every distinct field has its place already.
    const std::size_t width = r.slot_key.size();
    Member* members = r.arena.alloc<Member>(width);
    for (std::size_t c = 0; c < cells; ++c) {
      std::int64_t s = r.slot[c];
      if (s >= 0) new (&members[s]) Member{r.slot_key[static_cast<std::size_t>(s)], r.cells[c]};
    }
    return Value::object(Map(members, width));
  }
  // A short row: only the fields that have a cell, sorted on their own.
  for (std::size_t c = 0; c < cells; ++c) r.row.insert(r.fields[c], r.cells[c]);
  return Value::object(r.row.finish(r.arena));
}

// Rows are the lines right below the header that are indented with more spaces and TABs
// than the header line itself; the first other line (a blank one included) ends them and is
// left for the line loop. A row's cells pair with the fields in order; extra cells are
// ignored and missing ones leave their fields out of that row.
bool read_tabular(Reader& r, const Header& h, std::string_view name) {
  if (!read_fields(r, h)) return false;
  const std::size_t header_indent = indentation(h.line);
  const std::size_t width = r.fields.size();
  r.items.clear();
  r.cells.resize(width);
  Value* cells = r.cells.data();
  while (r.pos < r.text.size()) {
    Line line = line_at(r.text, r.pos);
    if (line.text.empty() || indentation(line.text) <= header_indent) break;
    r.pos = line.next;
    std::size_t count = 0;
    bool ok = for_each_piece(trim_start(line.text), h.delimiter, width, [&](std::string_view p) {
      return read_scalar(p, r.arena, cells[count++], r.error);
    });
    if (!ok) return false;
    r.items.push_back(make_row(r, count));
  }
  r.root.insert(name, store_array(r.arena, r.items));
  r.has_pending = false;
  return true;
}

}  // namespace

bool decode_array(Reader& r, const Header& h) {
  // The name: the text before the bracket (unescaped when quoted), or the pending key.
  std::string_view own = trim(h.line.substr(0, h.bracket));
  std::string_view name;
  if (own.empty()) {
    name = r.take_pending();
  } else if (!read_key(own, r.arena, name, r.error)) {
    return false;
  }
  if (!h.value.empty()) return read_inline(r, h, name);
  if (h.brace_open != npos) return read_tabular(r, h, name);
  if (h.zero_count) {
    r.root.insert(name, Value::array(nullptr, 0));
    r.has_pending = false;
  }
  // Otherwise a list array: no entry. A name of the header's own leaves the pending key.
  return true;
}

}  // namespace vardel::decoder
