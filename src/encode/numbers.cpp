// Number tokens.
#include <array>
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

// Significant digits of the shortest round-trip form of a double.
constexpr int kMaxDigits = 17;
// The longest positional double: sign, "0.", 323 zeros and 17 digits.
constexpr std::size_t kMaxDoubleText = 1 + 2 + 323 + kMaxDigits;

// "00" to "99", two bytes each.
constexpr auto kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

// Writes v < 10^4 as exactly four digits.
void write_4_digits(char* p, std::uint32_t v) {
  std::memcpy(p, &kDigitPairs[2 * (v / 100)], 2);
  std::memcpy(p + 2, &kDigitPairs[2 * (v % 100)], 2);
}

// Writes v < 10^8 as exactly eight digits.
void write_8_digits(char* p, std::uint32_t v) {
  write_4_digits(p, v / 10000);
  write_4_digits(p + 4, v % 10000);
}

// Writes v < 10^17 as exactly 17 digits, leading zeros included: the same
// few steps for every value, whatever its length.
void write_17_digits(char* p, std::uint64_t v) {
  constexpr std::uint64_t k1e8 = 100000000;
  constexpr std::uint64_t k1e16 = k1e8 * k1e8;
  p[0] = static_cast<char>('0' + v / k1e16);
  std::uint64_t low = v % k1e16;
  write_8_digits(p + 1, static_cast<std::uint32_t>(low / k1e8));
  write_8_digits(p + 9, static_cast<std::uint32_t>(low % k1e8));
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
  auto [digits, exponent] = fmt::detail::dragonbox::to_decimal(std::fabs(d));
  // The digits are copied below kMaxDigits bytes at a time, whatever their
  // number n: the buffers have room past the end for it (zeroed here, so that
  // no copy reads an unset byte).
  char text[2 * kMaxDigits] = {};
  // Most doubles in data have few digits: those take one of the three steps of the long form.
  constexpr std::uint64_t k1e8 = 100000000;
  if (digits < k1e8)
    write_8_digits(text + kMaxDigits - 8, static_cast<std::uint32_t>(digits));
  else
    write_17_digits(text, digits);
  int n = fmt::detail::count_digits(digits);
  const char* first = text + kMaxDigits - n;

  char* const start = out.room(kMaxDoubleText + kMaxDigits);
  char* w = start;
  if (std::signbit(d)) *w++ = '-';
  int point = n + exponent;  // the value is 0.D1..Dn x 10^point
  if (exponent >= 0) {
    std::memcpy(w, first, kMaxDigits);
    w += n;
    std::memset(w, '0', static_cast<std::size_t>(exponent));
    w += exponent;
  } else if (point > 0) {
    std::memcpy(w, first, kMaxDigits);
    w += point;
    *w++ = '.';
    std::memcpy(w, first + point, kMaxDigits);
    w += -exponent;
  } else {
    w[0] = '0';
    w[1] = '.';
    std::memset(w + 2, '0', static_cast<std::size_t>(-point));
    w += 2 - point;
    std::memcpy(w, first, kMaxDigits);
    w += n;
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
