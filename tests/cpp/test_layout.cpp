// The encoder's layout on hand-built trees that Python data never makes: a row
// whose keys repeat one of the header's (keys from Python are unique), and a
// tree written at a depth below the top level. Everything else the layout does
// is checked from Python (tests/test_encode_structure.py).
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

// A row that repeats one key of the header in place of another is not a table
// row, whether its keys share the header's bytes or are copies.
void repeated_keys() {
  for (bool shared : {true, false}) {
    Tree t;
    auto row = [&](std::vector<std::pair<std::string, Value>> m) { return t.obj(m, !shared); };
    Value repeated =
        t.arr({row({{"a", t.num(1)}, {"b", t.num(2)}}), row({{"b", t.num(3)}, {"b", t.num(4)}})});
    check_text(repeated, layout(false), "[2]:\n  - a: 1\n    b: 2\n  - b: 3\n    b: 4",
               shared ? "a row with a key twice (shared keys)" : "a row with a key twice");
  }
}

void depth_one() {
  Tree t;
  Value v = t.obj({{"a", t.obj({{"b", t.num(1)}})}, {"c", t.arr({t.num(1), t.obj({})})}});
  check_text(v, layout(true), "  a:\n    b: 1\n  c:\n    [2]:\n      - 1\n      -",
             "uniform at depth 1", 1);
  check_text(v, layout(false), "  a:\n        b: 1\n  c:\n    [2]:\n          - 1\n          -",
             "default at depth 1", 1);
}

}  // namespace

int main() {
  repeated_keys();
  depth_one();
  return vardel::testing::finish("test_layout");
}
