// Arrays: the empty, inline, tabular and list forms.
#include <algorithm>
#include <cstring>
#include <numeric>

#include "encode/encoder.h"

namespace vardel {

namespace {

bool same_key(std::string_view a, std::string_view b) {
  // Keys converted from one Python string share their bytes; compare those last.
  return a.size() == b.size() &&
         (a.data() == b.data() || a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

bool all_scalars(const Value& array) {
  for (const Value& v : array) {
    if (!v.is_scalar()) return false;
  }
  return true;
}

// True if every member of the object holds a scalar.
bool scalar_members(Map members) {
  for (const Member& m : members) {
    if (!m.value.is_scalar()) return false;
  }
  return true;
}

}  // namespace

Written Encoder::write_array(const Value& array, std::uint64_t depth, std::uint64_t extra) {
  if (array.size() == 0) {
    out_.append("[0]:", 4);
    return Ok{};
  }
  if (!delimiter_ok_)
    return fail(own_error(ToonError::Kind::InvalidDelimiter, settings_.delimiter));
  Contents items;
  if (Written opened = open(array, items); !opened) return opened;
  const Value& elements = items.get();
  if (elements.size() == 0) {
    // Emptied by user code since its enclosing container was read.
    out_.append("[0]:", 4);
    return Ok{};
  }
  if (elements[0].kind() == Value::Kind::Object) {
    // A first element whose members all hold scalars starts a table. Rows
    // are checked as they are written, so the tree is walked once; a row
    // that does not fit undoes the table, and the array becomes a list.
    Contents first;
    if (Written opened = open(elements[0], first); !opened) return opened;
    Map fields = first.get().as_map();
    if (scalar_members(fields)) {
      OutputBuffer::Mark start = out_.mark();
      auto table = write_table(elements, fields, depth, extra);
      if (!table) return fail(std::move(table.error()));
      if (*table == Table::Written) return Ok{};
      out_.rewind(start);
    }
    first.close();  // the list opens the element again, and may write it anew
    return write_list(elements, depth, extra);
  }
  if (all_scalars(elements)) {
    write_inline(elements);
    return Ok{};
  }
  return write_list(elements, depth, extra);
}

void Encoder::write_brackets(std::size_t count) {
  if (!settings_.use_length_markers) {
    out_.append("[]", 2);
    return;
  }
  out_.put('[');
  write_unsigned(out_, count);
  if (delimiter_ != ',') out_.put(delimiter_);
  out_.put(']');
}

// "[n]: a,b,c" on one line.
void Encoder::write_inline(const Value& array) {
  write_brackets(array.size());
  out_.append(": ", 2);
  for (std::size_t i = 0; i < array.size(); ++i) {
    if (i != 0) out_.put(delimiter_);
    write_scalar(array[i]);
  }
}

// "[n]{f1,f2}:" and one row of cells per object, a level deeper, the fields
// in the first object's member order. It fails, in the same order, exactly
// where the list form would fail for the same array.
Step<Encoder::Table> Encoder::write_table(const Value& array, Map fields, std::uint64_t depth,
                                          std::uint64_t extra) {
  std::uint64_t row = 0;
  if (fields.empty()) {
    // Rows without cells would be blank and vanish in the final trim.
    for (const Value& element : array) {
      if (element.kind() != Value::Kind::Object || element.size() != 0) return Table::Unfit;
    }
  } else {
    auto at = column(extra, depth, 1);
    if (!at) return fail(std::move(at.error()));
    row = *at;
  }
  // The rows are objects one level down.
  if (Written ok = check_depth(); !ok) return fail(std::move(ok.error()));
  write_brackets(array.size());
  out_.put('{');
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) out_.put(delimiter_);
    std::string_view name = fields[i].key;
    if (field_name_needs_quotes(name, delimiter_))
      write_quoted(out_, name);
    else
      out_.append(name);
  }
  out_.append("}:", 2);
  if (fields.empty()) return Table::Written;
  by_key_.clear();
  for (std::size_t j = 0; j < array.size(); ++j) {
    out_.newline(row);
    auto t = j == 0 ? write_row(Value::object(fields), fields) : write_row(array[j], fields);
    if (!t || *t != Table::Written) return t;
  }
  return Table::Written;
}

Step<Encoder::Table> Encoder::write_row(const Value& row, Map fields) {
  // A deferred object may keep fewer members than its size (keys with the
  // same text count once).
  if (row.kind() != Value::Kind::Object || row.size() < fields.size() ||
      (!row.is_deferred() && row.size() != fields.size()))
    return Table::Unfit;
  Contents contents;
  if (Written opened = open(row, contents); !opened) return fail(std::move(opened.error()));
  Map cells = contents.get().as_map();
  if (cells.size() != fields.size()) return Table::Unfit;
  std::size_t i = 0;
  while (i < fields.size() && same_key(cells[i].key, fields[i].key) && cells[i].value.is_scalar())
    ++i;
  if (i == fields.size()) {
    for (std::size_t j = 0; j < cells.size(); ++j) {
      if (j != 0) out_.put(delimiter_);
      write_scalar(cells[j].value);
    }
    return Table::Written;
  }
  // Keys are unique, so a row whose keys come in another order may still have
  // the same key set: only the mapping's own order differs.
  if (!cells[i].value.is_scalar() || !match_cells(cells, fields)) return Table::Unfit;
  for (std::size_t f = 0; f < fields.size(); ++f) {
    if (f != 0) out_.put(delimiter_);
    write_scalar(cells[cell_of_[f]].value);
  }
  return Table::Written;
}

bool Encoder::match_cells(Map cells, Map fields) {
  if (by_key_.empty()) {
    // Once per table: a binary search of it costs log k per cell, whatever the keys.
    by_key_.resize(fields.size());
    std::iota(by_key_.begin(), by_key_.end(), std::size_t(0));
    std::sort(by_key_.begin(), by_key_.end(),
              [&](std::size_t a, std::size_t b) { return fields[a].key < fields[b].key; });
  }
  constexpr std::size_t kNone = SIZE_MAX;
  cell_of_.assign(fields.size(), kNone);
  for (std::size_t j = 0; j < cells.size(); ++j) {
    if (!cells[j].value.is_scalar()) return false;
    std::string_view key = cells[j].key;
    auto before = [&](std::size_t f, std::string_view k) { return fields[f].key < k; };
    auto it = std::lower_bound(by_key_.begin(), by_key_.end(), key, before);
    if (it == by_key_.end() || fields[*it].key != key || cell_of_[*it] != kNone) return false;
    cell_of_[*it] = j;
  }
  return true;
}

// "[n]:" and one "- " line per item, a level deeper. Arrays and scalars
// continue the hyphen line as encoded at depth 0 (in the uniform layout, laid
// out from the column after the hyphen); objects are written here.
Written Encoder::write_list(const Value& array, std::uint64_t depth, std::uint64_t extra) {
  auto row = column(extra, depth, 1);
  if (!row) return fail(std::move(row.error()));
  write_brackets(array.size());
  out_.put(':');
  for (const Value& item : array) {
    out_.newline(*row);
    out_.append("- ", 2);
    Written ok = Ok{};
    switch (item.kind()) {
      case Value::Kind::Object:
        ok = write_list_object(item, depth, extra);
        break;
      case Value::Kind::Array:
        ok = write(item, 0, uniform_ ? *row + 2 : extra);
        break;
      default:
        write_scalar(item);
        break;
    }
    if (!ok) return ok;
    if (uniform_ && is_empty_object(item)) out_.trim_end();  // a bare hyphen
  }
  // Removes the last item's line feed, or the space after a bare hyphen.
  out_.trim_end();
  return Ok{};
}

// An object as a list item: its first member continues the hyphen line, the
// others follow at the prefix plus two indents. A nested member value starts
// at that same column on the next line, is encoded at depth + 2 and is
// followed by its own line feed, which leaves an empty line after it. The
// uniform layout puts the others under the first one's text and leaves no
// empty line (see encoder.h).
Written Encoder::write_list_object(const Value& item, std::uint64_t depth, std::uint64_t extra) {
  if (Written ok = check_depth(); !ok) return ok;
  Level level(level_);
  OutputBuffer::Mark start = out_.mark();
  for (;;) {
    Contents contents;
    if (Written opened = open(item, contents); !opened) return opened;
    Written w = write_list_members(contents.get().as_map(), depth, extra);
    if (w || !contents.asked_again(w.error())) return w;
    contents.close();
    out_.rewind(start);
  }
}

Written Encoder::write_list_members(Map members, std::uint64_t depth, std::uint64_t extra) {
  std::uint64_t line = 0;
  if (!members.empty()) {
    // Uniform layout: the members line up under the first one's text.
    auto at = column(extra, depth, uniform_ ? 1 : 2);
    if (at && uniform_) at = shifted(*at, 2);
    if (!at) return fail(std::move(at.error()));
    line = *at;
  }
  for (std::size_t i = 0; i < members.size(); ++i) {
    const Member& m = members[i];
    if (i != 0) out_.newline(line);
    if (write_member_head(m)) continue;
    if (uniform_) {
      if (Written w = write_nested(m.value, line); !w) return w;
      continue;
    }
    if (!is_empty_object(m.value)) out_.newline(line);
    if (Written w = write(m.value, deeper(depth, 2), line); !w) return w;
    out_.newline(extra);
  }
  return Ok{};
}

// The value's block one indent deeper than its key: deeper than the members
// that follow, also when the key is the first member on a hyphen line.
Written Encoder::write_nested(const Value& value, std::uint64_t column) {
  auto child = shifted(column, indent_);
  if (!child) return fail(std::move(child.error()));
  if (!is_empty_object(value)) out_.newline(*child);
  return write(value, 0, *child);
}

}  // namespace vardel
