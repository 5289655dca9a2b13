// Arrays: a header's name, its inline values or its tabular rows.
//
// A header is the key part's text from its left square bracket on. Its name is the text in
// front of the bracket, or the pending key when there is none; a left brace in front of the
// bracket is part of the name. A value part after the colon makes an inline array; a field
// list in braces after the bracket makes a tabular array read from the rows below; a count of
// zero makes an empty array; any other header (a list array) is dropped.
// The brackets' last character, when it is a TAB or '|', is the delimiter for the values,
// the field list and the rows; otherwise the comma is.
#include <algorithm>
#include <limits>

#include "core/text.h"
#include "decode/reader.h"

namespace vardel::decoder {

namespace {

constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

// Reports the array's name and opens the array.
Status open_array(Reader& r, std::string_view name, std::size_t size_hint) {
  if (!r.sink.key(name) || !r.sink.begin_array(size_hint)) return stopped();
  return Ok{};
}

// Closes the array; the pending key has been used up.
Status close_array(Reader& r) {
  if (!r.sink.end_array()) return stopped();
  r.has_pending = false;
  return Ok{};
}

Status read_inline(Reader& r, const Header& h, std::string_view name) {
  if (Status st = open_array(r, name, h.count); !st) return st;
  auto number = [&](Number n) -> Status {
    if (!r.sink.number(n)) return stopped();
    return Ok{};
  };
  auto other = [&](std::string_view piece) -> Status {
    Value v;  // an unescaped string stays in the arena until the line is done
    if (Status st = read_scalar(piece, r.arena, v); !st) return st;
    if (!report(r.sink, v)) return stopped();
    return Ok{};
  };
  Status st = for_each_cell(h.value, h.delimiter, kNoLimit, number, other);
  if (!st) return st;
  return close_array(r);
}

// Reads the field list into r.fields and works out, once for all rows, the order in which a
// full row reports its cells: r.by_name lists, in byte order of the names, the column of each
// distinct name (the last column of a name that occurs more than once, which wins).
Status read_fields(Reader& r, const Header& h) {
  // A field list whose brace is never closed runs to the end of the key part.
  std::size_t end = h.brace_close != npos ? h.brace_close : h.separator;
  std::string_view text = h.line.substr(h.brace_open + 1, end - h.brace_open - 1);
  r.fields.clear();
  Status st = for_each_piece(text, h.delimiter, kNoLimit, [&](std::string_view piece) -> Status {
    auto name = read_key(trim(piece), r.arena);
    if (!name) return fail(std::move(name.error()));
    r.fields.push_back(*name);
    return Ok{};
  });
  if (!st) return st;

  const std::size_t count = r.fields.size();
  const auto& fields = r.fields;
  Vec<std::size_t>& order = r.by_name;
  order.resize(count);
  for (std::size_t c = 0; c < count; ++c) order[c] = c;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return fields[a] < fields[b]; });
  // Equal names are adjacent and in column order; keep the last of each run.
  std::size_t kept = 0;
  for (std::size_t k = 0; k < count; ++k) {
    if (k + 1 < count && fields[order[k + 1]] == fields[order[k]]) continue;
    order[kept++] = order[k];
  }
  order.resize(kept);
  return Ok{};
}

// Reports one row from its first `cells` cells (at most one per field). A full row, the usual
// case, is reported already sorted, each name once, for the sink to keep as it is (AsRead);
// a short row has only the fields that have a cell, in column order, for the sink to sort.
bool report_row(Reader& r, std::size_t cells) {
  Sink& sink = r.sink;
  if (cells == r.fields.size())
    return sink.row({r.fields.data(), r.cells.data(), {r.by_name.data(), r.by_name.size()}});
  if (!sink.begin_object(KeyOrder::Sorted)) return false;
  for (std::size_t c = 0; c < cells; ++c)
    if (!sink.key(r.fields[c]) || !report(sink, r.cells[c])) return false;
  return sink.end_object();
}

// Rows are the lines right below the header that are indented with more spaces and TABs
// than the header line itself; the first other line (a blank one included) ends them and is
// left for the line loop. A row's cells pair with the fields in order; extra cells are
// ignored and missing ones leave their fields out of that row.
Status read_tabular(Reader& r, const Header& h, std::string_view name) {
  if (Status st = read_fields(r, h); !st) return st;
  if (Status st = open_array(r, name, h.count); !st) return st;
  const std::size_t header_indent = indentation(h.line);
  const std::size_t width = r.fields.size();
  r.cells.resize(width);
  Value* cells = r.cells.data();
  while (r.pos < r.text.size()) {
    Line line = line_at(r.text, r.pos);
    if (line.text.empty() || indentation(line.text) <= header_indent) break;
    r.pos = line.next;
    Rewind scratch(r.arena);
    std::size_t count = 0;
    auto number = [&](Number n) -> Status {
      cells[count++] = Value::number(n);
      return Ok{};
    };
    auto other = [&](std::string_view piece) {
      return read_scalar(piece, r.arena, cells[count++]);
    };
    Status st = for_each_cell(trim_start(line.text), h.delimiter, width, number, other);
    if (!st) return st;
    if (!report_row(r, count)) return stopped();
  }
  return close_array(r);
}

}  // namespace

Status decode_array(Reader& r, const Header& h) {
  // The name: the text before the bracket (unescaped when quoted), or the pending key.
  std::string_view own = trim(h.line.substr(0, h.bracket));
  std::string_view name;
  if (own.empty()) {
    name = r.take_pending();
  } else {
    auto key = read_key(own, r.arena);
    if (!key) return fail(std::move(key.error()));
    name = *key;
  }
  if (!h.value.empty()) return read_inline(r, h, name);
  if (h.brace_open != npos) return read_tabular(r, h, name);
  if (h.zero_count) {
    if (Status st = open_array(r, name, 0); !st) return st;
    return close_array(r);
  }
  // Otherwise a list array: no member. A name of the header's own leaves the pending key.
  return Ok{};
}

}  // namespace vardel::decoder
