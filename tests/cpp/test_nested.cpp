// The nested reader on the core, on texts that Python cannot hand it or that no encoder writes:
// outer list items standing left or right of the members of an item that ends a nested list, and
// escapes of bytes that are not UTF-8. Everything else it reads, and where it fails, is checked
// from Python (tests/test_decode_nested.py).
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
  };
  for (const Case& c : cases) check(c);
  return vardel::testing::finish("test_nested");
}
