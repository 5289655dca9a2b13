// Scalar tokens: what a bare or quoted token stands for, and backslash escapes.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

// fast_float's Eisel-Lemire rounding and digit helpers (see third_party/fast_float).
#include <fast_float/fast_float.h>

#include "core/text.h"
#include "decode/reader.h"

namespace vardel::decoder {

namespace {

// Returns the UTF-8 character that starts `s` (non-empty), or U+FFFD when the bytes there
// are not a well-formed character, so an error message is always valid UTF-8.
std::string_view whole_character(std::string_view s) {
  auto b0 = static_cast<unsigned char>(s[0]);
  std::size_t len = b0 < 0x80 ? 1 : b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC0 ? 2 : 0;
  bool ok = len != 0 && len <= s.size() && b0 < 0xF5 && b0 != 0xC0 && b0 != 0xC1;
  for (std::size_t i = 1; ok && i < len; ++i)
    ok = (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80;
  return ok ? s.substr(0, len) : std::string_view("\xEF\xBF\xBD");
}

// Writes `body` with its escapes resolved to `out`, which has room for body.size() bytes (the
// result is never longer). Returns the number of bytes written.
Result<std::size_t, ToonError> unescape_into(std::string_view body, char* out) {
  const char* p = body.data();
  const char* end = p + body.size();
  char* o = out;
  while (p < end) {
    auto* bs = static_cast<const char*>(std::memchr(p, '\\', static_cast<std::size_t>(end - p)));
    const char* stop = bs == nullptr ? end : bs;
    std::memcpy(o, p, static_cast<std::size_t>(stop - p));
    o += stop - p;
    if (bs == nullptr) break;
    if (bs + 1 == end) return decoding_error("Unterminated escape sequence");
    switch (bs[1]) {
      case '"':
        *o++ = '"';
        break;
      case '\\':
        *o++ = '\\';
        break;
      case 'n':
        *o++ = '\n';
        break;
      case 'r':
        *o++ = '\r';
        break;
      case 't':
        *o++ = '\t';
        break;
      default: {
        std::string_view rest(bs + 1, static_cast<std::size_t>(end - bs - 1));
        return decoding_error("Invalid escape sequence: \\" + std::string(whole_character(rest)));
      }
    }
    p = bs + 2;
  }
  return static_cast<std::size_t>(o - out);
}

// Reads the decimal exponent after an 'e' or 'E', saturating far beyond any double's range.
std::int64_t saturated_exponent(std::string_view digits, bool negative) {
  std::int64_t e = 0;
  for (char c : digits) {
    if (e < 1'000'000'000) e = e * 10 + (c - '0');
  }
  return negative ? -e : e;
}

// A token that matched the decimal floating-point form but is out of a double's range:
// returns true (zero of the token's sign) when its magnitude is below the smallest double,
// false when it is above the largest. `int_digits`, `frac_digits` and `exponent` are the
// token's parts.
bool underflows(std::string_view int_digits, std::string_view frac_digits, std::int64_t exponent) {
  // Decimal exponent of the leading significant digit, as a power of ten.
  std::int64_t lead;
  std::size_t nz = int_digits.find_first_not_of('0');
  if (nz != npos) {
    lead = static_cast<std::int64_t>(int_digits.size() - nz - 1);
    if (lead > 1'000'000'000) lead = 1'000'000'000;  // huge runs of digits overflow anyway
  } else {
    nz = frac_digits.find_first_not_of('0');
    if (nz == npos) return true;  // all zeros
    lead = -static_cast<std::int64_t>(nz > 1'000'000'000 ? 1'000'000'000 : nz) - 1;
  }
  return lead + exponent < 0;
}

// Reads `t` as read_number does, for every form: the integer range checks digit by digit, and
// the decimal form goes through std::from_chars.
std::optional<Number> read_number_general(std::string_view t) {
  const std::size_t n = t.size();
  std::size_t i = 0;
  bool negative = false;
  if (t[0] == '+' || t[0] == '-') {
    negative = t[0] == '-';
    i = 1;
  }
  const std::size_t int_begin = i;
  std::uint64_t acc = 0;
  bool overflow = false;
  // Nineteen digits cannot overflow; only longer runs need the check below.
  const std::size_t unchecked = int_begin + 19 < n ? int_begin + 19 : n;
  while (i < unchecked && is_digit(t[i])) acc = acc * 10 + static_cast<std::uint64_t>(t[i++] - '0');
  while (i < n && is_digit(t[i])) {
    auto d = static_cast<std::uint64_t>(t[i] - '0');
    if (!overflow) {
      if (acc > (std::numeric_limits<std::uint64_t>::max() - d) / 10)
        overflow = true;
      else
        acc = acc * 10 + d;
    }
    ++i;
  }
  const std::size_t int_end = i;
  if (i == n) {
    if (int_end == int_begin) return std::nullopt;  // a sign alone
    if (!overflow) {
      if (!negative || acc == 0) return Number::from_unsigned(acc);  // "-0" is the integer zero
      constexpr std::uint64_t kMinMagnitude = std::uint64_t(1) << 63;
      if (acc <= kMinMagnitude) {
        std::int64_t v = acc == kMinMagnitude ? std::numeric_limits<std::int64_t>::min()
                                              : -static_cast<std::int64_t>(acc);
        return Number::from_negative(v);
      }
    }
    // Beyond the integer range: read as a double below.
  }

  // Decimal floating-point form: digits with an optional point and fraction, or a point and
  // at least one digit; then an optional exponent with an optional sign and digits.
  std::size_t frac_begin = i, frac_end = i;
  if (i < n && t[i] == '.') {
    frac_begin = ++i;
    while (i < n && is_digit(t[i])) ++i;
    frac_end = i;
  }
  if (int_end == int_begin && frac_end == frac_begin) return std::nullopt;
  std::int64_t exponent = 0;
  if (i < n && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    bool exp_negative = false;
    if (i < n && (t[i] == '+' || t[i] == '-')) exp_negative = t[i++] == '-';
    std::size_t exp_begin = i;
    while (i < n && is_digit(t[i])) ++i;
    if (i == exp_begin) return std::nullopt;
    exponent = saturated_exponent(t.substr(exp_begin, i - exp_begin), exp_negative);
  }
  if (i != n) return std::nullopt;

  // Short decimals without an exponent, the usual case: the digits and the
  // power of ten are both exact doubles, so one correctly rounded division
  // gives the correctly rounded value.
  const std::size_t int_digits = int_end - int_begin;
  const std::size_t frac_digits = frac_end - frac_begin;
  if (exponent == 0 && i == frac_end && int_digits + frac_digits <= 15) {
    static constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    std::uint64_t digits = 0;
    for (std::size_t k = int_begin; k < int_end; ++k) digits = digits * 10 + (t[k] - '0');
    for (std::size_t k = frac_begin; k < frac_end; ++k) digits = digits * 10 + (t[k] - '0');
    double d = static_cast<double>(digits) / kPow10[frac_digits];
    return Number::from_double(negative ? -d : d);
  }

  // from_chars takes no leading '+'; it rounds to nearest, ties to even.
  const char* first = t.data() + (t[0] == '+' ? 1 : 0);
  double d = 0;
  auto [ptr, ec] = std::from_chars(first, t.data() + n, d);
  if (ec == std::errc::result_out_of_range) {
    if (!underflows(t.substr(int_begin, int_end - int_begin),
                    t.substr(frac_begin, frac_end - frac_begin), exponent))
      return std::nullopt;  // too large for a double: not a number
    d = negative ? -0.0 : 0.0;
  } else if (ec != std::errc() || ptr != t.data() + n || !std::isfinite(d)) {
    return std::nullopt;
  }
  return Number::from_double(d);
}

// Returns the `k` bytes at `p` (k <= 8) as a word, the first byte lowest and the bytes above
// them zero. Overlapping loads, so no byte past p + k is read.
std::uint64_t load_bytes(const char* p, std::size_t k) {
  std::uint64_t word = 0;
  if (k == 8) {
    std::memcpy(&word, p, 8);
  } else if (k >= 4) {
    std::uint32_t low, high;
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + k - 4, 4);
    word = low | (std::uint64_t{high} << (8 * (k - 4)));
  } else {
    for (std::size_t i = 0; i < k; ++i)
      word |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
  }
  return word;
}

// Adds the decimal digits that start at `p` to `w` (w times ten per digit, plus the digit) and
// returns where they end. Eight bytes at a time: the run's length within them comes from one
// test of all eight, and its digits are read in one step. `w` wraps around past 19 digits: the
// caller counts them.
const char* add_digits(const char* p, const char* end, std::uint64_t& w) {
  static constexpr std::uint64_t kPow10[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
  if constexpr (std::endian::native != std::endian::little) {
    while (p != end && is_digit(*p)) w = w * 10 + static_cast<std::uint64_t>(*p++ - '0');
    return p;
  }
  for (;;) {
    std::size_t k = end - p < 8 ? static_cast<std::size_t>(end - p) : 8;
    std::uint64_t word = load_bytes(p, k);
    // A digit byte becomes 0..9, whose high bit stays clear after adding 0x76; any other byte
    // (the zero bytes above the k read among them) sets it. A carry out of a byte comes only
    // from a byte that is not a digit, so the lowest flag is exact.
    std::uint64_t x = word ^ 0x3030303030303030ULL;
    std::uint64_t other = ((x + 0x7676767676767676ULL) | x) & 0x8080808080808080ULL;
    if (other == 0) {
      w = w * 100'000'000 + fast_float::parse_eight_digits_unrolled(word);
      p += 8;
      continue;
    }
    auto n = static_cast<unsigned>(std::countr_zero(other)) / 8;
    if (n == 0) return p;
    // The n digits moved to the top, below them zero digits, which add nothing.
    std::uint64_t digits = (word << (8 * (8 - n))) | (0x3030303030303030ULL >> (8 * n));
    w = w * kPow10[n] + fast_float::parse_eight_digits_unrolled(digits);
    return p + n;
  }
}

}  // namespace

const char* read_written_number(const char* p, const char* end, Number& out) {
  constexpr std::size_t kMaxDigits = 19;  // 10^19 - 1 < 2^64: the digits fit `w` exactly
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  const char* const int_begin = p;
  std::uint64_t w = 0;
  p = add_digits(p, end, w);
  const auto int_digits = static_cast<std::size_t>(p - int_begin);
  if (int_digits == 0 || int_digits > kMaxDigits) return nullptr;
  if (p == end || *p != '.') {
    if (!negative || w == 0) {
      out = Number::from_unsigned(w);  // "-0" is the integer zero
      return p;
    }
    if (w >= std::uint64_t(1) << 63) return nullptr;
    out = Number::from_negative(-static_cast<std::int64_t>(w));
    return p;
  }
  const char* const frac_begin = ++p;
  p = add_digits(p, end, w);
  const auto frac_digits = static_cast<std::size_t>(p - frac_begin);
  if (frac_digits == 0 || int_digits + frac_digits > kMaxDigits) return nullptr;

  using Binary = fast_float::binary_format<double>;
  // Clinger's case: the digits and the power of ten are both exact doubles, so one correctly
  // rounded division gives the correctly rounded value.
  if (w <= Binary::max_mantissa_fast_path()) {
    double d =
        static_cast<double>(w) / Binary::exact_power_of_ten(static_cast<std::int64_t>(frac_digits));
    out = Number::from_double(negative ? -d : d);
    return p;
  }
  // Eisel and Lemire's: w x 10^-frac_digits to the nearest double, unless the product is too
  // close to a halfway point to tell (power2 < 0). A normal double comes out (power2 > 0): with
  // at most 19 digits after the point, no nonzero value is near the subnormal range.
  fast_float::adjusted_mantissa am =
      fast_float::compute_float<Binary>(-static_cast<std::int64_t>(frac_digits), w);
  if (am.power2 <= 0 || am.power2 >= Binary::infinite_power()) return nullptr;
  double d = 0;
  fast_float::to_float(negative, am, d);
  out = Number::from_double(d);
  return p;
}

// The forms an encoder writes are read in one pass (read_written_number); every other form,
// and the rare decimal that compute_float cannot round, by read_number_general.
std::optional<Number> read_number(std::string_view t) {
  const char* const end = t.data() + t.size();
  Number n = Number::from_unsigned(0);
  if (read_written_number(t.data(), end, n) == end) return n;
  return read_number_general(t);
}

Result<std::string_view, ToonError> read_escaped(std::string_view body, Arena& arena) {
  if (body.empty() || std::memchr(body.data(), '\\', body.size()) == nullptr) return body;
  char* buf = arena.alloc<char>(body.size());
  auto len = unescape_into(body, buf);
  if (!len) return fail(std::move(len.error()));
  return std::string_view(buf, *len);
}

Status read_scalar(std::string_view token, Arena& arena, Value& out) {
  token = trim(token);
  if (token.empty()) {
    out = Value::string(token);
    return Ok{};
  }
  switch (token[0]) {
    case '"':
      // A lone quotation mark is the one-character string: it has no distinct closing mark.
      if (token.size() >= 2 && token.back() == '"') {
        auto s = read_escaped(token.substr(1, token.size() - 2), arena);
        if (!s) return fail(std::move(s.error()));
        out = Value::string(*s);
        return Ok{};
      }
      break;
    case 't':
      if (token == "true") {
        out = Value::boolean(true);
        return Ok{};
      }
      break;
    case 'f':
      if (token == "false") {
        out = Value::boolean(false);
        return Ok{};
      }
      break;
    case 'n':
      if (token == "null") {
        out = Value::null();
        return Ok{};
      }
      break;
    case '+':
    case '-':
    case '.':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      if (std::optional<Number> n = read_number(token)) {
        out = Value::number(*n);
        return Ok{};
      }
      break;
    default:
      break;
  }
  out = Value::string(token);
  return Ok{};
}

}  // namespace vardel::decoder
