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

bool Encoder::write_array(const Value& array, std::uint64_t depth, std::uint64_t extra) {
  if (array.size() == 0) {
    out_.append("[0]:", 4);
    return true;
  }
  if (!delimiter_ok_) return fail(ToonError::Kind::InvalidDelimiter, settings_.delimiter);
  Contents items;
  if (!open(array, items)) return false;
  const Value& elements = items.get();
  if (elements[0].kind() == Value::Kind::Object) {
    // A first element whose members all hold scalars starts a table. Rows
    // are checked as they are written, so the tree is walked once; a row
    // that does not fit undoes the table, and the array becomes a list.
    Contents first;
    if (!open(elements[0], first)) return false;
    Map fields = first.get().as_map();
    if (scalar_members(fields)) {
      std::size_t start = out_.size();
      switch (write_table(elements, fields, depth, extra)) {
        case Table::Written: return true;
        case Table::Failed: return false;
        case Table::Unfit: out_.truncate(start); return write_list(elements, depth, extra);
      }
    }
    return write_list(elements, depth, extra);
  }
  if (all_scalars(elements)) {
    write_inline(elements);
    return true;
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
Encoder::Table Encoder::write_table(const Value& array, Map fields, std::uint64_t depth,
                                    std::uint64_t extra) {
  std::uint64_t row = 0;
  if (fields.empty()) {
    // Rows without cells would be blank and vanish in the final trim.
    for (const Value& element : array) {
      if (element.kind() != Value::Kind::Object || element.size() != 0) return Table::Unfit;
    }
  } else if (!column(extra, depth, 1, row)) {
    return Table::Failed;
  }
  if (!enter()) return Table::Failed;  // the rows are objects one level down
  leave();
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
    Table t = j == 0 ? write_row(Value::object(fields), fields) : write_row(array[j], fields);
    if (t != Table::Written) return t;
  }
  return Table::Written;
}

Encoder::Table Encoder::write_row(const Value& row, Map fields) {
  if (row.kind() != Value::Kind::Object || row.size() != fields.size()) return Table::Unfit;
  Contents contents;
  if (!open(row, contents)) return Table::Failed;
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
bool Encoder::write_list(const Value& array, std::uint64_t depth, std::uint64_t extra) {
  std::uint64_t row;
  if (!column(extra, depth, 1, row)) return false;
  write_brackets(array.size());
  out_.put(':');
  for (const Value& item : array) {
    out_.newline(row);
    out_.append("- ", 2);
    bool ok = true;
    switch (item.kind()) {
      case Value::Kind::Object: ok = write_list_object(item, depth, extra); break;
      case Value::Kind::Array: ok = write(item, 0, uniform_ ? row + 2 : extra); break;
      default: write_scalar(item); break;
    }
    if (!ok) return false;
    if (uniform_ && is_empty_object(item)) out_.trim_end();  // a bare hyphen
  }
  // Removes the last item's line feed, or the space after a bare hyphen.
  out_.trim_end();
  return true;
}

// An object as a list item: its first member continues the hyphen line, the
// others follow at the prefix plus two indents. A nested member value starts
// at that same column on the next line, is encoded at depth + 2 and is
// followed by its own line feed, which leaves an empty line after it. The
// uniform layout puts the others under the first one's text and leaves no
// empty line (see encoder.h).
bool Encoder::write_list_object(const Value& item, std::uint64_t depth, std::uint64_t extra) {
  if (!enter()) return false;
  Contents contents;
  bool ok = open(item, contents) && write_list_members(contents.get().as_map(), depth, extra);
  leave();
  return ok;
}

bool Encoder::write_list_members(Map members, std::uint64_t depth, std::uint64_t extra) {
  std::uint64_t line = 0;
  if (!members.empty()) {
    // Uniform layout: the members line up under the first one's text.
    bool ok = uniform_ ? column(extra, depth, 1, line) && shifted(line, 2, line)
                       : column(extra, depth, 2, line);
    if (!ok) return false;
  }
  for (std::size_t i = 0; i < members.size(); ++i) {
    const Member& m = members[i];
    if (i != 0) out_.newline(line);
    if (write_member_head(m)) continue;
    if (uniform_) {
      if (!write_nested(m.value, line)) return false;
      continue;
    }
    if (!is_empty_object(m.value)) out_.newline(line);
    if (!write(m.value, deeper(depth, 2), line)) return false;
    out_.newline(extra);
  }
  return true;
}

// The value's block one indent deeper than its key: deeper than the members
// that follow, also when the key is the first member on a hyphen line.
bool Encoder::write_nested(const Value& value, std::uint64_t column) {
  std::uint64_t child;
  if (!shifted(column, indent_, child)) return false;
  if (!is_empty_object(value)) out_.newline(child);
  return write(value, 0, child);
}

}  // namespace vardel
