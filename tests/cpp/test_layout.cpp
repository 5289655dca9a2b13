// The encoder's layout on hand-built trees: members written in the map's own
// order, tables recognised by key set with cells in the header's order, and
// the uniform layout's columns, including the indentation limit.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "check.h"
#include "core/arena.h"
#include "core/error.h"
#include "core/value.h"
#include "encode/encode.h"

using vardel::Member;
using vardel::Value;

namespace {

// Builds trees whose objects keep their members in the order given.
struct Tree {
  vardel::Arena arena;

  Value num(std::uint64_t n) { return Value::number(vardel::Number::from_unsigned(n)); }
  Value str(std::string_view s) { return Value::string(arena.copy(s)); }
  Value obj(const std::vector<std::pair<std::string, Value>>& members, bool copy_keys = true) {
    Member* m = arena.alloc<Member>(members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
      std::string_view key = copy_keys ? arena.copy(members[i].first) : keep(members[i].first);
      m[i] = {key, members[i].second};
    }
    return Value::object(vardel::Map(m, members.size()));
  }
  Value arr(const std::vector<Value>& items) {
    Value* v = arena.alloc<Value>(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) v[i] = items[i];
    return Value::array(v, items.size());
  }
  // One copy of each key text, shared by every object built with copy_keys false,
  // as keys converted from one string object share their bytes.
  std::string_view keep(const std::string& key) {
    for (std::string_view k : kept)
      if (k == key) return k;
    kept.push_back(arena.copy(key));
    return kept.back();
  }
  std::vector<std::string_view> kept;
};

vardel::EncodeSettings layout(bool uniform, std::uint64_t indent = 2) {
  vardel::EncodeSettings s;
  s.indent = indent;
  s.uniform_indent = uniform;
  return s;
}

std::string encode(const Value& v, const vardel::EncodeSettings& s, std::uint64_t depth = 0) {
  auto r = vardel::encode_value(v, depth, s);
  return r ? *r : "error: " + r.error().display();
}

void check_text(const Value& v, const vardel::EncodeSettings& s, std::string_view want,
                const char* name, std::uint64_t depth = 0) {
  std::string got = encode(v, s, depth);
  CHECK_CASE(got == want, std::string(name) + ": got\n" + got);
}

void member_order() {
  Tree t;
  Value v = t.obj({{"z", t.num(1)}, {"a", t.obj({{"y", t.num(2)}, {"b", t.num(3)}})}});
  check_text(v, layout(false), "z: 1\na:\n    y: 2\n    b: 3", "default layout, map order");
  check_text(v, layout(true), "z: 1\na:\n  y: 2\n  b: 3", "uniform layout, map order");
}

void tables_by_key_set() {
  for (bool shared : {true, false}) {
    Tree t;
    auto row = [&](std::vector<std::pair<std::string, Value>> m) { return t.obj(m, !shared); };
    std::string note = shared ? " (shared keys)" : " (copied keys)";
    Value reordered = t.arr({row({{"id", t.num(1)}, {"name", t.str("a")}}),
                             row({{"name", t.str("b")}, {"id", t.num(2)}}),
                             row({{"id", t.num(3)}, {"name", t.str("c")}})});
    check_text(reordered, layout(false), "[3]{id,name}:\n  1,a\n  2,b\n  3,c",
               ("rows in another order" + note).c_str());
    check_text(reordered, layout(true), "[3]{id,name}:\n  1,a\n  2,b\n  3,c",
               ("rows in another order, uniform" + note).c_str());
    Value header_first = t.arr({row({{"name", t.str("a")}, {"id", t.num(1)}}),
                                row({{"id", t.num(2)}, {"name", t.str("b")}})});
    check_text(header_first, layout(false), "[2]{name,id}:\n  a,1\n  b,2",
               ("the header takes the first row's order" + note).c_str());
    // Same size, one key differs: a list, each item in its own order.
    Value other_keys = t.arr({row({{"id", t.num(1)}, {"name", t.str("a")}}),
                              row({{"name", t.str("b")}, {"idx", t.num(2)}})});
    check_text(other_keys, layout(false), "[2]:\n  - id: 1\n    name: a\n  - name: b\n    idx: 2",
               ("a differing key set" + note).c_str());
    // The same keys in another order, one holding an array: a list.
    Value nested = t.arr({row({{"id", t.num(1)}, {"v", t.num(0)}}),
                          row({{"v", t.arr({t.num(5)})}, {"id", t.num(2)}})});
    check_text(nested, layout(false), "[2]:\n  - id: 1\n    v: 0\n  - v:\n    [1]: 5\n\n    id: 2",
               ("a reordered row holding an array" + note).c_str());
    check_text(nested, layout(true), "[2]:\n  - id: 1\n    v: 0\n  - v:\n      [1]: 5\n    id: 2",
               ("a reordered row holding an array, uniform" + note).c_str());
    // A row that repeats one key of the header in place of another is not a table row.
    Value repeated =
        t.arr({row({{"a", t.num(1)}, {"b", t.num(2)}}), row({{"b", t.num(3)}, {"b", t.num(4)}})});
    check_text(repeated, layout(false), "[2]:\n  - a: 1\n    b: 2\n  - b: 3\n    b: 4",
               ("a row with a key twice" + note).c_str());
  }
}

// Wide rows, each in its own order: every cell lands under its own field.
void wide_tables() {
  Tree t;
  const std::size_t width = 401, rows = 30;  // a prime: every row's order is a permutation
  std::vector<Value> items;
  for (std::size_t r = 0; r < rows; ++r) {
    std::vector<std::pair<std::string, Value>> m;
    for (std::size_t i = 0; i < width; ++i) {
      std::size_t f = (i * (2 * r + 1) + r) % width;  // a different permutation per row
      m.push_back({"k" + std::to_string(f), t.num(r * 1000 + f)});
    }
    items.push_back(t.obj(m));
  }
  std::string got = encode(t.arr(items), layout(true));
  std::string want = "[" + std::to_string(rows) + "]{";
  std::vector<std::size_t> order;  // the first row's field order
  for (std::size_t i = 0; i < width; ++i) order.push_back(i % width);
  for (std::size_t i = 0; i < width; ++i) want += (i ? "," : "") + ("k" + std::to_string(order[i]));
  want += "}:";
  for (std::size_t r = 0; r < rows; ++r) {
    want += "\n  ";
    for (std::size_t i = 0; i < width; ++i)
      want += (i ? "," : "") + std::to_string(r * 1000 + order[i]);
  }
  CHECK_CASE(got == want, "wide rows in different orders: " + got.substr(0, 200));
}

void uniform_depth_and_limits() {
  Tree t;
  Value v = t.obj({{"a", t.obj({{"b", t.num(1)}})}, {"c", t.arr({t.num(1), t.obj({})})}});
  check_text(v, layout(true), "  a:\n    b: 1\n  c:\n    [2]:\n      - 1\n      -",
             "uniform at depth 1", 1);
  check_text(v, layout(false), "  a:\n        b: 1\n  c:\n    [2]:\n          - 1\n          -",
             "default at depth 1", 1);

  // A nested line as wide as the longest text fails before anything is
  // allocated for it; an empty block puts no line there and passes.
  const std::uint64_t max = vardel::kMaxTextSize;
  auto fails_wide = [](const std::string& text) {
    return text.starts_with("error: ") &&
           text.find("more than a text can hold") != std::string::npos;
  };
  Value deep = t.obj({{"a", t.obj({{"b", t.obj({{"c", t.num(1)}})}})}});
  CHECK_CASE(fails_wide(encode(deep, layout(true, max))), "one indent at the limit");
  Value shallow = t.obj({{"a", t.obj({})}});
  CHECK_CASE(encode(shallow, layout(true, max)) == "a:", "an empty block indents nothing");

  // List items fail at their hyphen lines in either layout.
  Value lone = t.arr({t.obj({{"a", t.num(1)}}), t.num(3)});
  CHECK(fails_wide(encode(lone, layout(true, max))));
  CHECK(fails_wide(encode(lone, layout(false, max))));
}

}  // namespace

int main() {
  member_order();
  tables_by_key_set();
  wide_tables();
  uniform_depth_and_limits();
  return vardel::testing::finish("test_layout");
}
