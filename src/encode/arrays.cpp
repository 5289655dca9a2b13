// Arrays: the empty, inline, tabular and list forms.
#include <cstring>

#include "encode/encoder.h"

namespace vardel {

namespace {

// True if the first element is an object whose members all hold scalars:
// the array may then be written as a table.
bool starts_table(const Value& array) {
  const Value& first = array[0];
  if (first.kind() != Value::Kind::Object) return false;
  for (const Member& m : first.as_map()) {
    if (!m.value.is_scalar()) return false;
  }
  return true;
}

bool same_key(std::string_view a, std::string_view b) {
  // Keys converted from one Python string share their bytes; compare those last.
  return a.size() == b.size() &&
         (a.data() == b.data() || a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

// True if `row` is an object with exactly the keys of `fields`, all holding
// scalars. Members are sorted and unique, so objects of equal size with equal
// keys in order have the same key set.
bool fits_table(const Value& row, Map fields) {
  if (row.kind() != Value::Kind::Object || row.size() != fields.size()) return false;
  Map cells = row.as_map();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (!same_key(cells[i].key, fields[i].key) || !cells[i].value.is_scalar()) return false;
  }
  return true;
}

bool all_scalars(const Value& array) {
  for (const Value& v : array) {
    if (!v.is_scalar()) return false;
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
  if (starts_table(array)) {
    // Rows are checked as they are written, so the tree is walked once; a row
    // that does not fit undoes the table, and the array becomes a list.
    std::size_t start = out_.size();
    switch (write_table(array, depth, extra)) {
      case Table::Written: return true;
      case Table::Failed: return false;
      case Table::Unfit: out_.truncate(start); return write_list(array, depth, extra);
    }
  }
  if (all_scalars(array)) {
    write_inline(array);
    return true;
  }
  return write_list(array, depth, extra);
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

// "[n]{f1,f2}:" and one row of cells per object, a level deeper. It fails, in
// the same order, exactly where the list form would fail for the same array.
Encoder::Table Encoder::write_table(const Value& array, std::uint64_t depth,
                                    std::uint64_t extra) {
  Map fields = array[0].as_map();
  std::uint64_t row = 0;
  if (fields.empty()) {
    // Rows without cells would be blank and vanish in the final trim.
    for (const Value& element : array) {
      if (!fits_table(element, fields)) return Table::Unfit;
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
  for (std::size_t j = 0; j < array.size(); ++j) {
    const Value& element = array[j];
    if (j != 0 && !fits_table(element, fields)) return Table::Unfit;
    out_.newline(row);
    Map cells = element.as_map();
    for (std::size_t i = 0; i < cells.size(); ++i) {
      if (i != 0) out_.put(delimiter_);
      write_scalar(cells[i].value);
    }
  }
  return Table::Written;
}

// "[n]:" and one "- " line per item, a level deeper. Arrays and scalars
// continue the hyphen line as encoded at depth 0; objects are written here.
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
      case Value::Kind::Array: ok = write(item, 0, extra); break;
      default: write_scalar(item); break;
    }
    if (!ok) return false;
  }
  // Removes the last item's line feed, or the space after a bare hyphen.
  out_.trim_end();
  return true;
}

// An object as a list item: its first member continues the hyphen line, the
// others follow at the prefix plus two indents. A nested member value starts
// at that same column on the next line, is encoded at depth + 2 and is
// followed by its own line feed, which leaves an empty line after it.
bool Encoder::write_list_object(const Value& item, std::uint64_t depth, std::uint64_t extra) {
  if (!enter()) return false;
  bool ok = write_list_members(item.as_map(), depth, extra);
  leave();
  return ok;
}

bool Encoder::write_list_members(Map members, std::uint64_t depth, std::uint64_t extra) {
  std::uint64_t line = 0;
  if (!members.empty() && !column(extra, depth, 2, line)) return false;
  for (std::size_t i = 0; i < members.size(); ++i) {
    const Member& m = members[i];
    if (i != 0) out_.newline(line);
    if (write_member_head(m)) continue;
    if (!is_empty_object(m.value)) out_.newline(line);
    if (!write(m.value, deeper(depth, 2), line)) return false;
    out_.newline(extra);
  }
  return true;
}

}  // namespace vardel
