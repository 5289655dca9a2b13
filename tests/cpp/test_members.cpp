// Member order: sorted by key bytes, or kept as inserted; the last value of a repeated key kept.
#include <algorithm>
#include <string>
#include <vector>

#include "check.h"
#include "core/value.h"

using vardel::Member;
using vardel::Value;

namespace {

struct Case {
  const char* name;
  std::vector<std::string> keys;      // inserted in this order, values 0, 1, 2, ...
  std::vector<std::string> sorted;    // keys after sort_members
  std::vector<std::uint64_t> values;  // the value kept for each sorted key
};

// Checks sort_members, or with `in_place` keep_first_places (`sorted` then lists the keys kept).
void check_sort(const Case& c, bool in_place = false) {
  std::vector<Member> members;
  for (std::size_t i = 0; i < c.keys.size(); ++i)
    members.push_back({c.keys[i], Value::number(vardel::Number::from_unsigned(i))});
  std::size_t kept = in_place ? vardel::keep_first_places(members.data(), members.size())
                              : vardel::sort_members(members.data(), members.size());
  CHECK_CASE(kept == c.sorted.size(), c.name);
  for (std::size_t i = 0; i < kept && i < c.sorted.size(); ++i) {
    CHECK_CASE(members[i].key == c.sorted[i], c.name);
    CHECK_CASE(members[i].value.as_number().as_unsigned() == c.values[i], c.name);
  }
}

}  // namespace

int main() {
  const Case cases[] = {
      {"empty", {}, {}, {}},
      {"one", {"a"}, {"a"}, {0}},
      {"reversed", {"c", "b", "a"}, {"a", "b", "c"}, {2, 1, 0}},
      {"upper case before lower", {"b", "A", "a", "_"}, {"A", "_", "a", "b"}, {1, 3, 2, 0}},
      {"prefix first", {"ab", "a", ""}, {"", "a", "ab"}, {2, 1, 0}},
      // UTF-8 byte order is code point order: U+00E9 (C3 A9) after "z", U+20AC after U+00E9.
      {"bytes above ASCII",
       {"\xE2\x82\xAC", "\xC3\xA9", "z"},
       {"z", "\xC3\xA9", "\xE2\x82\xAC"},
       {2, 1, 0}},
      {"repeated key keeps the last value", {"k", "a", "k", "k"}, {"a", "k"}, {1, 3}},
      {"embedded NUL", {std::string("a\0b", 3), "a"}, {"a", std::string("a\0b", 3)}, {1, 0}},
  };
  for (const Case& c : cases) check_sort(c);
  // Many keys, in an order that defeats a sorted-input shortcut.
  Case many{"many", {}, {}, {}};
  for (int i = 0; i < 300; ++i) many.keys.push_back(std::to_string((i * 7919) % 300));
  std::vector<std::string> sorted = many.keys;
  std::sort(sorted.begin(), sorted.end());
  many.sorted = sorted;
  for (const std::string& k : sorted) {
    for (std::size_t i = 0; i < many.keys.size(); ++i)
      if (many.keys[i] == k) many.values.push_back(i);
  }
  check_sort(many);
  // Kept in insertion order: a repeated key stays where it first occurs, with its last value.
  const Case kept[] = {
      {"kept: empty", {}, {}, {}},
      {"kept: unsorted stays", {"c", "a", "b"}, {"c", "a", "b"}, {0, 1, 2}},
      {"kept: repeats", {"k", "a", "k", "b", "a", "k"}, {"k", "a", "b"}, {5, 4, 3}},
      {"kept: prefix and NUL",
       {"ab", std::string("a\0", 2), "a", "ab"},
       {"ab", std::string("a\0", 2), "a"},
       {3, 1, 2}},
  };
  for (const Case& c : kept) check_sort(c, true);
  return vardel::testing::finish("test_members");
}
