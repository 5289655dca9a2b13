// The decoder names the line of a decoding error: the line it was reading,
// counted from 1 by line feeds (a CR LF pair is one line end), whatever kind
// of line it is (an entry, a header, a table row) and however many blank
// lines come before it.
#include <string>

#include "check.h"
#include "decode/value_sink.h"

namespace {

struct Case {
  const char* name;
  std::string text;
  std::size_t line;
};

void check_line(const Case& c) {
  auto tree = vardel::decode_tree(c.text);
  CHECK_CASE(!tree.ok() && tree.error().kind() == vardel::ToonError::Kind::DecodingError, c.name);
  if (tree.ok()) return;
  CHECK_CASE(tree.error().line() == c.line,
             std::string(c.name) + ": line " + std::to_string(tree.error().line()));
}

}  // namespace

int main() {
  std::string many;
  for (int i = 0; i < 300; ++i) many += "k: 1\n";
  const Case cases[] = {
      {"first line", "x: \"a\\q\"", 1},
      {"after a blank line", "a: 1\nb: 2\n\nc: \"\\u12\"", 4},
      {"table row, CR LF", "a: 1\r\nt[2]{x,y}:\r\n  1,2\r\n  3,\"\\z\"\r\n", 4},
      {"field name", "a: 1\nt[1]{\"\\k\"}:\n  1", 2},
      {"inline array", "a: 1\nk[2]: 1,\"\\x\"\nb: 2", 2},
      {"key", "a:1\n\n\n\"k\\w\": 3", 4},
      {"last line without a line feed", many + "b: \"\\q\"", 301},
      {"whitespace-only lines", "\n\n   \nb: \"\\\"\n", 4},
      {"nested block", "a:\n  b:\n    c[1]: \"\\e\"\nd: 1", 3},
      {"lone CR inside a line", "a: 1\rb\nc: \"\\q\"", 2},
  };
  for (const Case& c : cases) check_line(c);
  // Documents that decode have no error, and a ToonError made elsewhere knows no line.
  CHECK(vardel::decode_tree("a: 1\nb: \"\\n\"").ok());
  CHECK(vardel::ToonError(vardel::ToonError::Kind::InvalidDelimiter, "x").line() == 0);
  return vardel::testing::finish("test_decode_lines");
}
