// The nested reader on the core: what it reports to a sink for each layout, and where it fails.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "check.h"
#include "decode/nested.h"

namespace {

using vardel::DecodeSettings;
using vardel::KeyOrder;
using vardel::Number;

// Renders what it receives as compact JSON-like text: floats carry a trailing 'f' so that
// 1 and 1.0 differ, and -0.0 shows as "-0f".
class Recorder final : public vardel::Sink {
 public:
  std::string out;
  bool null() override { return put("null"); }
  bool boolean(bool b) override { return put(b ? "true" : "false"); }
  bool number(Number n) override {
    char buf[64];
    switch (n.form()) {
      case Number::Form::Unsigned:
        std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(n.as_unsigned()));
        break;
      case Number::Form::Negative:
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(n.as_negative()));
        break;
      case Number::Form::Double:
        std::snprintf(buf, sizeof buf, "%.17gf", n.as_double());
        break;
    }
    return put(buf);
  }
  bool string(std::string_view s) override { return put("\"" + std::string(s) + "\""); }
  bool begin_array(std::size_t) override {
    put("[");
    fresh_ = true;
    return true;
  }
  bool end_array() override {
    out += "]";
    fresh_ = false;
    return true;
  }
  bool begin_object(KeyOrder) override {
    put("{");
    fresh_ = true;
    return true;
  }
  bool key(std::string_view k) override {
    put("\"" + std::string(k) + "\":");
    fresh_ = true;
    return true;
  }
  bool end_object() override {
    out += "}";
    fresh_ = false;
    return true;
  }

 private:
  bool put(const std::string& s) {
    if (!fresh_ && !out.empty()) out += ",";
    out += s;
    fresh_ = false;
    return true;
  }
  bool fresh_ = true;
};

struct Case {
  const char* name;
  const char* text;
  const char* expected;  // the rendering, or the error message's start after "!"
  std::size_t line = 0;
  std::size_t column = 0;
  char delimiter = ',';
  bool strict = true;
};

void check(const Case& c) {
  Recorder r;
  DecodeSettings s;
  s.delimiter = c.delimiter;
  s.strict = c.strict;
  auto result = vardel::read_nested(c.text, s, r);
  std::string want = c.expected;
  if (want[0] == '!') {
    CHECK_CASE(!result.ok(), std::string(c.name) + ": read as " + r.out);
    if (result.ok()) return;
    const auto& e = result.error();
    CHECK_CASE(e.message().rfind(want.substr(1), 0) == 0, std::string(c.name) + ": " + e.message());
    CHECK_CASE(e.line() == c.line && e.column() == c.column, std::string(c.name) + ": at " +
                                                                 std::to_string(e.line()) + ":" +
                                                                 std::to_string(e.column()));
    return;
  }
  CHECK_CASE(result.ok(), std::string(c.name) + ": " +
                              (result.ok() ? ""
                                           : result.error().message() + " at " +
                                                 std::to_string(result.error().line())));
  CHECK_CASE(r.out == want, std::string(c.name) + ": " + r.out);
}

}  // namespace

int main() {
  const Case cases[] = {
      // Top level.
      {"empty text", "", "{}"},
      {"blank lines only", "\n  \n\r\n", "{}"},
      {"scalar", "42", "42"},
      {"quoted scalar", "\"a:b\"", "\"a:b\""},
      {"float minus zero", "-0", "-0f"},
      {"top-level inline array", "[3]: 1,2.5,x", "[1,2.5f,\"x\"]"},
      {"flat object", "a: 1\nb: true\nc: null\nd: hi there",
       "{\"a\":1,\"b\":true,\"c\":null,\"d\":\"hi there\"}"},
      // The encoder's layout: nesting grows, nameless headers under their key.
      {"nested objects", "a:\n    b:\n          c: 1\n    d: 2\ne: 3",
       "{\"a\":{\"b\":{\"c\":1},\"d\":2},\"e\":3}"},
      {"nameless header under key", "a:\n  [2]: 1,2\nb: 1", "{\"a\":[1,2],\"b\":1}"},
      {"empty object member", "a:\nb: 1", "{\"a\":{},\"b\":1}"},
      {"empty array member", "a:\n  [0]:\nb: 1", "{\"a\":[],\"b\":1}"},
      {"table under key", "t:\n  [2]{x,y}:\n        1,2\n        3,4",
       "{\"t\":[{\"x\":1,\"y\":2},{\"x\":3,\"y\":4}]}"},
      {"list item objects with blank lines",
       "[2]:\n  - k:\n          z: 1\n\n    m: 2\n    n:\n    [2]: 1,2\n\n  - 5",
       "[{\"k\":{\"z\":1},\"m\":2,\"n\":[1,2]},5]"},
      {"empty object first in item, indent 4", "[1]:\n    - k:\n\n        m: 2",
       "[{\"k\":{},\"m\":2}]"},
      {"nested object first in item, indent 4",
       "[1]:\n    - k:\n                z: {}\n\n        m: 2", "[{\"k\":{\"z\":\"{}\"},\"m\":2}]"},
      {"indent 1 item members", "[1]:\n - a:\n  [1]: 1\n\n  b: 2", "[{\"a\":[1],\"b\":2}]"},
      {"arrays in a top-level list share its column",
       "[1]:\n  - [2]:\n  - [1]: null\n  - [1]: null", "[[[null],[null]]]"},
      {"the count splits the shared column", "[2]:\n  - [1]:\n  - [1]: null\n  - [1]: null",
       "[[[null]],[null]]"},
      {"without counts the nested list takes the column",
       "[]:\n  - []:\n  - []: null\n  - []: null", "[[[null],[null]]]"},
      {"nested list left of its hyphen", "l:\n  [2]:\n      - [1]:\n    - [1]: 1\n      - 5",
       "{\"l\":[[[1]],5]}"},
      // After an empty object that ends a nested list, the outer list's next item may stand
      // in line with the members or right of them: no blank line comes after a list.
      {"outer item in line with the members",
       "k:\n  [2]:\n      - [1]:\n    - [2]:\n    - [1]: 1\n    - a: 1\n      b:\n      - 2",
       "{\"k\":[[[[1],{\"a\":1,\"b\":{}}]],2]}"},
      {"outer item right of the members",
       "[2]:\n          - [1]:\n     - a: 1\n       b:\n          - 2", "[[{\"a\":1,\"b\":{}}],2]"},
      {"outer item after a full empty array",
       "k:\n      [3]:\n                  - [2]:\n            - [2]:\n            - 1\n"
       "            - [1]: 2\n            - a: 1\n                  x:\n                  [0]:\n"
       "                  - s\n                  - b: 1",
       "{\"k\":[[[1,[2]],{\"a\":1,\"x\":[]}],\"s\",{\"b\":1}]}"},
      {"outer item right of a list without count",
       "e:\n []:\n        - []:\n  - a: 1\n   x:\n   []:\n      - []: 1\n      - 2\n        - s",
       "{\"e\":[[{\"a\":1,\"x\":[[1],2]}],\"s\"]}"},
      {"table of empty objects", "[3]{}:", "[{},{},{}]"},
      {"table of empty objects without count", "[]{}:", "[{}]"},
      {"bare hyphen is the empty object", "[2]:\n  -\n  - 1", "[{},1]"},
      // Uniform layout and as people write it.
      {"named table", "users[2]{id,name}:\n  1,Ada\n  2,Bob\ncount: 2",
       "{\"users\":[{\"id\":1,\"name\":\"Ada\"},{\"id\":2,\"name\":\"Bob\"}],\"count\":2}"},
      {"members under the first",
       "items[2]:\n  - id: 1\n    tags[2]: a,b\n  - id: 2\n    meta:\n      x: 1",
       "{\"items\":[{\"id\":1,\"tags\":[\"a\",\"b\"]},{\"id\":2,\"meta\":{\"x\":1}}]}"},
      {"first member nested", "items[1]:\n  - meta:\n      x: 1\n    id: 2",
       "{\"items\":[{\"meta\":{\"x\":1},\"id\":2}]}"},
      {"quoted keys and names", "\"a b\": 1\n\"x:y\"[2]: 1,2\n\"\": \"\"",
       "{\"a b\":1,\"x:y\":[1,2],\"\":\"\"}"},
      {"escapes", "a: \"q\\\"\\\\\\n\\t\\r\"", "{\"a\":\"q\"\\\n\t\r\"}"},
      {"quoted cells with delimiters", "[3]: \"a,b\",\"\",c", "[\"a,b\",\"\",\"c\"]"},
      {"pipe mark", "[2|]: a,b|c", "[\"a,b\",\"c\"]"},
      {"tab mark table", "[1\t]{a\tb}:\n  1\tx y", "[{\"a\":1,\"b\":\"x y\"}]"},
      {"option delimiter without mark", "[]: a|b", "[\"a\",\"b\"]", 0, 0, '|'},
      {"numbers", "[6]: 18446744073709551615,-9223372036854775808,1.5,1e2,007,-0.0",
       "[18446744073709551615,-9223372036854775808,1.5f,100f,7,-0f]"},
      {"number-like strings", "[3]: 1.2.3,-,+", "[\"1.2.3\",\"-\",\"+\"]"},
      // Strict errors, with their places.
      {"too few elements", "[3]: 1,2", "!the array header announces 3 elements but 2 follow", 1, 1},
      {"too many list items", "a:\n  [1]:\n      - 1\n      - 2",
       "!the array header announces 1 element but more", 2, 3},
      {"too few rows", "t[3]{a}:\n  1\n  2\nb: 1", "!the array header announces 3 elements but 2",
       1, 2},
      {"row too wide", "t[1]{a,b}:\n  1,2,3", "!the row has more than 2 cells", 2, 3},
      {"row too narrow", "t[1]{a,b}:\n  1", "!the row has 1 cell but the header has 2 fields", 2,
       3},
      {"under no line", "  a: 1\nb: 2", "!indentation places this line under no line", 2, 1},
      {"under a scalar", "a: 1\n  b: 2", "!indentation places this line under no line", 2, 3},
      {"not a form", "a: 1\nhello", "!expected 'key: value'", 2, 1},
      {"prose", "Hello there\nThis is not data", "!expected 'key: value'", 1, 1},
      {"bad escape", "a: \"x\\q\"", "!invalid escape sequence \\q", 1, 6},
      // The character after the backslash is shown whole when it is one, else as U+FFFD.
      {"escaped euro", "a: \"x\\\xE2\x82\xAC\"", "!invalid escape sequence \\\xE2\x82\xAC", 1, 6},
      {"escaped overlong", "a: \"x\\\xE0\x8E\x9B\"", "!invalid escape sequence \\\xEF\xBF\xBD", 1,
       6},
      {"escaped surrogate", "a: \"x\\\xED\xA0\x80\"", "!invalid escape sequence \\\xEF\xBF\xBD", 1,
       6},
      {"escaped overlong of four", "a: \"x\\\xF0\x8F\xBF\xBF\"",
       "!invalid escape sequence \\\xEF\xBF\xBD", 1, 6},
      {"escaped past U+10FFFF", "a: \"x\\\xF4\x90\x80\x80\"",
       "!invalid escape sequence \\\xEF\xBF\xBD", 1, 6},
      {"escaped U+10FFFF", "a: \"x\\\xF4\x8F\xBF\xBF\"",
       "!invalid escape sequence \\\xF4\x8F\xBF\xBF", 1, 6},
      {"unterminated", "a: 1\nb: \"xy", "!unterminated quotation mark", 2, 4},
      {"unterminated cell", "[2]: a,\"b", "!unterminated quotation mark", 1, 8},
      {"column counts characters", "\xC3\xA9: \"\\x\"", "!invalid escape", 1, 5},
      {"item outside a list", "- 1", "!a list item outside any list array", 1, 1},
      // strict=False: counts and row widths give way, nothing else.
      {"lenient count", "[3]: 1,2", "[1,2]", 0, 0, ',', false},
      {"lenient rows", "t[1]{a,b}:\n  1,2,3\n  4", "{\"t\":[{\"a\":1,\"b\":2},{\"a\":4}]}", 0, 0,
       ',', false},
      {"lenient list", "[1]:\n  - 1\n  - 2", "[1,2]", 0, 0, ',', false},
      {"lenient keeps escapes strict", "a: \"\\q\"", "!invalid escape", 1, 5, ',', false},
  };
  for (const Case& c : cases) check(c);

  // Nesting: 512 containers are read, 513 are refused without recursion.
  for (std::size_t depth : {512u, 513u}) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) {
      text += std::string(i, ' ') + "k:\n";
    }
    text += std::string(depth, ' ') + "v: 1";
    Recorder r;
    auto result = vardel::read_nested(text, DecodeSettings{}, r);
    // depth `k:` levels plus the top-level object.
    CHECK_CASE(result.ok() == (depth + 1 <= 512), std::to_string(depth));
  }
  return vardel::testing::finish("test_nested");
}
