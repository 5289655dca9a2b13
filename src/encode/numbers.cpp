// Number tokens.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

// fmt's Dragonbox, compiled header-only here and nowhere else (see third_party/fmt).
#define FMT_HEADER_ONLY
#include <fmt/format.h>

#include "encode/tokens.h"

namespace vardel {

namespace {

// The longest positional double: sign, "0.", 323 zeros and 17 digits.
constexpr std::size_t kMaxDoubleText = 1 + 2 + 323 + 17;

// The eight ASCII digits of v < 10^8, the first in the lowest byte. Computed in lanes of one
// word: the halves of four digits, then the pairs of two, then the digits.
std::uint64_t eight_digits(std::uint32_t v) {
  std::uint64_t halves = (v / 10000) | (std::uint64_t{v % 10000} << 32);
  // Per 32-bit lane x < 10^4: x * 10486 >> 20 is x / 100.
  std::uint64_t hundreds = ((halves * 10486) >> 20) & 0x0000007F'0000007FULL;
  std::uint64_t pairs = hundreds | ((halves - 100 * hundreds) << 16);
  // Per 16-bit lane x < 100: x * 103 >> 10 is x / 10.
  std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F'000F000FULL;
  std::uint64_t digits = tens | ((pairs - 10 * tens) << 8);
  return digits | 0x30303030'30303030ULL;
}

// The digits of a significand as up to three words of ASCII digits, the first digit of each
// in its lowest byte. They stay in registers and are stored whole: digits written to memory
// and read back to be moved would be read across several stores, which the processor cannot
// forward, and every double would wait for them.
struct Digits {
  std::uint64_t words[3];
  int sizes[3];  // digits in each word
  int pieces;
};

// The digits of `v`, 10^8 <= v < 10^17, of which there are `n`.
Digits long_digits(std::uint64_t v, int n) {
  constexpr std::uint64_t k1e8 = 100000000;
  const std::uint64_t high = v / k1e8;
  const std::uint64_t low = eight_digits(static_cast<std::uint32_t>(v % k1e8));
  if (high < k1e8) {
    const int m = n - 8;
    return {{eight_digits(static_cast<std::uint32_t>(high)) >> (8 * (8 - m)), low}, {m, 8}, 2};
  }
  return {{'0' + high / k1e8, eight_digits(static_cast<std::uint32_t>(high % k1e8)), low},
          {1, 8, 8},
          3};
}

// Stores `digits` at `w`, with a decimal point after the first `point` of them when that is
// fewer than all; returns the end. Every store is of eight bytes, past the end included.
char* put_digits(char* w, const Digits& digits, int point) {
  for (int i = 0; i < digits.pieces; ++i) {
    const std::uint64_t word = digits.words[i];
    const int size = digits.sizes[i];
    std::memcpy(w, &word, 8);
    if (point >= 0 && point < size) {
      // The point falls in this word: it goes over the digit there, and the rest of the word
      // over the bytes after it.
      w[point] = '.';
      const std::uint64_t rest = word >> (8 * point);
      std::memcpy(w + point + 1, &rest, 8);
      ++w;
    }
    w += size;
    point -= size;
  }
  return w;
}

}  // namespace

void write_unsigned(OutputBuffer& out, std::uint64_t u) {
  char* p = out.room(20);
  out.commit(static_cast<std::size_t>(std::to_chars(p, p + 20, u).ptr - p));
}

void write_negative(OutputBuffer& out, std::int64_t i) {
  char* p = out.room(20);
  out.commit(static_cast<std::size_t>(std::to_chars(p, p + 20, i).ptr - p));
}

void write_double(OutputBuffer& out, double d) {
  if (!std::isfinite(d)) {
    // A tree never holds these; null keeps the text readable if one slips in.
    out.append("null", 4);
    return;
  }
  // The shortest digits that read back as |d|, closest to it (ties to even),
  // without trailing zeros: |d| is digits x 10^exponent; zero is {0, 0}.
  auto [significand, exponent] = fmt::detail::dragonbox::to_decimal(std::fabs(d));
  const int n = fmt::detail::count_digits(significand);
  const int point = n + exponent;  // the value is 0.D1..Dn x 10^point
  char* const start = out.room(kMaxDoubleText + 8);
  char* w = start;
  if (std::signbit(d)) *w++ = '-';
  // Most doubles in data have at most eight digits: one word of them.
  const Digits digits =
      significand < 100000000
          ? Digits{{eight_digits(static_cast<std::uint32_t>(significand)) >> (8 * (8 - n))}, {n}, 1}
          : long_digits(significand, n);
  if (exponent >= 0) {
    w = put_digits(w, digits, -1);
    std::memset(w, '0', static_cast<std::size_t>(exponent));
    w += exponent;
  } else if (point > 0) {
    w = put_digits(w, digits, point);
  } else {
    w[0] = '0';
    w[1] = '.';
    std::memset(w + 2, '0', static_cast<std::size_t>(-point));
    w = put_digits(w + 2 - point, digits, -1);
  }
  out.commit(static_cast<std::size_t>(w - start));
}

void write_number(OutputBuffer& out, Number n) {
  switch (n.form()) {
    case Number::Form::Unsigned:
      write_unsigned(out, n.as_unsigned());
      break;
    case Number::Form::Negative:
      write_negative(out, n.as_negative());
      break;
    case Number::Form::Double:
      write_double(out, n.as_double());
      break;
  }
}

}  // namespace vardel
