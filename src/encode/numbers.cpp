// Number tokens.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "encode/tokens.h"

namespace vardel {

namespace {

// Significant digits of the shortest round-trip form of a double.
constexpr std::size_t kMaxDigits = 17;
// The longest positional double: sign, "0.", 323 zeros and 17 digits.
constexpr std::size_t kMaxDoubleText = 1 + 2 + 323 + kMaxDigits;
// Room past the text for fixed-size copies that are then partly taken back.
constexpr std::size_t kSlack = 16;

}  // namespace

void write_unsigned(OutputBuffer& out, std::uint64_t u) {
  char* p = out.room(20);
  out.commit(static_cast<std::size_t>(std::to_chars(p, p + 20, u).ptr - p));
}

void write_negative(OutputBuffer& out, std::int64_t i) {
  char* p = out.room(20);
  out.commit(static_cast<std::size_t>(std::to_chars(p, p + 20, i).ptr - p));
}

// Writes `d` when it is a decimal with at most kShortFraction fraction digits
// and 15 significant digits, the common case of measured and rounded values.
// Such a decimal is the shortest that reads back as `d`, and the only one of
// its length: below 10^15 the decimal grid is coarser than the doubles, so
// no two candidates of that length round to the same double.
bool write_short_decimal(OutputBuffer& out, double d) {
  constexpr int kShortFraction = 4;
  constexpr double kScale = 1e4;
  static constexpr std::uint64_t kPow10[] = {1, 10, 100, 1000, 10000};
  double a = std::fabs(d);
  double scaled = a * kScale;
  if (!(scaled < 1e15)) return false;
  // One test covers every fraction length up to four: a shorter decimal that
  // reads back as `d` is the same value as this one with zeros stripped.
  double m = std::nearbyint(scaled);
  if (m / kScale != a) return false;
  auto digits = static_cast<std::uint64_t>(m);
  int k = kShortFraction;
  while (k > 0 && digits % 10 == 0) {
    digits /= 10;
    --k;
  }
  char* start = out.room(40);
  char* w = start;
  if (std::signbit(d)) *w++ = '-';
  w = std::to_chars(w, w + 20, digits / kPow10[k]).ptr;
  if (k != 0) {
    std::uint64_t frac = digits % kPow10[k];
    *w++ = '.';
    for (int i = k - 1; i >= 0; --i) {
      w[i] = static_cast<char>('0' + frac % 10);
      frac /= 10;
    }
    w += k;
  }
  out.commit(static_cast<std::size_t>(w - start));
  return true;
}

void write_double(OutputBuffer& out, double d) {
  if (!std::isfinite(d)) {
    // A tree never holds these; null keeps the text readable if one slips in.
    out.append("null", 4);
    return;
  }
  if (write_short_decimal(out, d)) return;
  // The shortest round-trip digits, as D[.DDD]e±XX[X].
  char sci[40];
  const char* end = std::to_chars(sci, sci + 32, d, std::chars_format::scientific).ptr;
  const char* p = sci;
  char* const start = out.room(kMaxDoubleText + kSlack);
  char* w = start;
  if (*p == '-') {
    *w++ = '-';
    ++p;
  }
  // The exponent has two or three digits.
  const char* e = end[-4] == 'e' ? end - 4 : end - 5;
  int exponent = 0;
  for (const char* q = e + 2; q < end; ++q) exponent = exponent * 10 + (*q - '0');
  if (e[1] == '-') exponent = -exponent;
  // Up to 17 significant digits without the point; copies below move a fixed
  // 17 bytes (the room has slack for it) and advance by the real length.
  char digits[kMaxDigits + kSlack];
  digits[0] = p[0];
  std::memcpy(digits + 1, p + 2, kMaxDigits - 1);
  int n = e > p + 1 ? static_cast<int>(e - p) - 1 : 1;
  // The shortest digits end in zero only for zero itself; be safe anyway.
  while (n > 1 && digits[n - 1] == '0') --n;

  // The value is 0.D1D2...Dn x 10^point.
  int point = exponent + 1;
  if (point <= 0) {
    w[0] = '0';
    w[1] = '.';
    w += 2;
    std::memset(w, '0', static_cast<std::size_t>(-point));
    w -= point;
    std::memcpy(w, digits, kMaxDigits);
    w += n;
  } else if (point >= n) {
    std::memcpy(w, digits, kMaxDigits);
    w += n;
    std::memset(w, '0', static_cast<std::size_t>(point - n));
    w += point - n;
  } else {
    std::memcpy(w, digits, kMaxDigits);
    w += point;
    *w++ = '.';
    std::memcpy(w, digits + point, kMaxDigits);
    w += n - point;
  }
  out.commit(static_cast<std::size_t>(w - start));
}

void write_number(OutputBuffer& out, Number n) {
  switch (n.form()) {
    case Number::Form::Unsigned: write_unsigned(out, n.as_unsigned()); break;
    case Number::Form::Negative: write_negative(out, n.as_negative()); break;
    case Number::Form::Double: write_double(out, n.as_double()); break;
  }
}

}  // namespace vardel
