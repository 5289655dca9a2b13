// Number tokens.
#include <charconv>
#include <cmath>
#include <cstring>

#include "encode/tokens.h"

namespace vardel {

namespace {

// The longest positional double: sign, "0.", 323 zeros and 17 digits.
constexpr std::size_t kMaxDoubleText = 1 + 2 + 323 + 17;

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
  // The shortest round-trip digits, as d[.ddd]e±XX.
  char sci[32];
  const char* end = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific).ptr;
  const char* p = sci;

  char* const start = out.room(kMaxDoubleText);
  char* w = start;
  if (*p == '-') {
    *w++ = '-';
    ++p;
  }
  char digits[24];
  int n = 0;
  for (; p < end && *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  int exponent = 0;
  if (p < end) {
    ++p;  // 'e'
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    for (; p < end; ++p) exponent = exponent * 10 + (*p - '0');
    if (negative) exponent = -exponent;
  }
  // The shortest digits end in zero only for zero itself; be safe anyway.
  while (n > 1 && digits[n - 1] == '0') --n;

  // The value is 0.d1d2...dn x 10^point.
  int point = exponent + 1;
  if (point <= 0) {
    *w++ = '0';
    *w++ = '.';
    std::memset(w, '0', static_cast<std::size_t>(-point));
    w += -point;
    std::memcpy(w, digits, static_cast<std::size_t>(n));
    w += n;
  } else if (point >= n) {
    std::memcpy(w, digits, static_cast<std::size_t>(n));
    w += n;
    std::memset(w, '0', static_cast<std::size_t>(point - n));
    w += point - n;
  } else {
    std::memcpy(w, digits, static_cast<std::size_t>(point));
    w += point;
    *w++ = '.';
    std::memcpy(w, digits + point, static_cast<std::size_t>(n - point));
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
