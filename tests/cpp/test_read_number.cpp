// Number tokens read by the decoder against std::from_chars, the reference for both forms: an
// integer in -2^63 .. 2^64-1 reads as that integer, any other integer or decimal as the nearest
// double. Tokens of random lengths put digit runs at every offset of the eight-byte steps the
// reader takes, and at both sides of the 19 digits it reads in one pass; the boundaries are
// tests/test_decode_numbers.py's, read through both decoders.
#include <bit>
#include <charconv>
#include <cstdint>
#include <optional>
#include <random>
#include <string>

#include "check.h"
#include "decode/reader.h"

namespace {

using vardel::Number;
using vardel::decoder::read_number;

// What `token` (an optional sign, digits, and an optional point with digits) stands for.
Number expected(const std::string& token) {
  const bool negative = token[0] == '-';
  const std::size_t digits = token[0] == '-' || token[0] == '+' ? 1 : 0;
  const char* first = token.data() + digits;
  const char* last = token.data() + token.size();
  if (token.find('.') == std::string::npos) {
    std::uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(first, last, magnitude);
    if (ec == std::errc() && end == last) {
      if (!negative || magnitude == 0) return Number::from_unsigned(magnitude);
      if (magnitude <= std::uint64_t(1) << 63)
        return Number::from_negative(static_cast<std::int64_t>(0 - magnitude));
    }
  }
  double d = 0;
  std::from_chars(first, last, d);
  return Number::from_double(negative ? -d : d);
}

bool same(const Number& a, const Number& b) {
  if (a.form() != b.form()) return false;
  switch (a.form()) {
    case Number::Form::Unsigned:
      return a.as_unsigned() == b.as_unsigned();
    case Number::Form::Negative:
      return a.as_negative() == b.as_negative();
    case Number::Form::Double:
      return std::bit_cast<std::uint64_t>(a.as_double()) ==
             std::bit_cast<std::uint64_t>(b.as_double());
  }
  return false;
}

void check_token(const std::string& token) {
  std::optional<Number> got = read_number(token);
  CHECK_CASE(got.has_value() && same(*got, expected(token)), token);
}

// Random tokens: the lengths of both digit runs spread over 0..22 and leading zeros common, so
// every length meets every alignment.
void test_random_tokens() {
  std::mt19937_64 random(20261207);
  auto below = [&](std::uint64_t n) { return random() % n; };
  for (int i = 0; i < 1'000'000; ++i) {
    std::string token;
    std::uint64_t sign = below(4);  // "-", "+" or none
    token = sign == 0 ? "-" : sign == 1 ? "+" : "";
    std::size_t whole = 1 + below(22);
    std::size_t zeros = below(3) == 0 ? below(whole + 1) : 0;
    for (std::size_t k = 0; k < whole; ++k)
      token += k < zeros ? '0' : static_cast<char>('0' + below(10));
    if (below(3) != 0) {
      token += '.';
      std::size_t frac = 1 + below(22);
      for (std::size_t k = 0; k < frac; ++k) token += static_cast<char>('0' + below(10));
    }
    check_token(token);
  }
}

// Not numbers: a digit run followed by anything but a point and digits, or a point without
// digits after a sign. Every byte that is not a digit ends a run, those next to the digits in
// ASCII ('/' and ':') included, wherever it falls in an eight-byte step.
void test_not_numbers() {
  for (const char* token : {"-", "+", "12a", "1.2.3", "1.5x", "12345678a", "123456789012.34z",
                            "1,5", "1 5", "0x10", "1e", "1.e5x", "--1", "+-1", "12:30", "1/2"}) {
    CHECK_CASE(!read_number(token).has_value(), token);
  }
  for (int c = 1; c < 256; ++c) {
    if ((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E') continue;
    const std::string other(1, static_cast<char>(c));
    for (std::size_t at = 0; at <= 9; ++at) {
      std::string token = std::string("1234567890").insert(at, other);
      if (at == 0 && (c == '-' || c == '+')) continue;  // a sign
      CHECK_CASE(!read_number(token).has_value(), token);
      CHECK_CASE(!read_number("0." + token).has_value(), token);
    }
  }
}

}  // namespace

int main() {
  test_random_tokens();
  test_not_numbers();
  return vardel::testing::finish("test_read_number");
}
