// Shared by the fuzz targets: a check that aborts (so the fuzzer and the
// replayer both report it), the input reader, generators of strings, scalars
// and tables, and the properties of decoded and round-tripped trees.
#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/arena.h"
#include "core/error.h"
#include "core/value.h"

namespace fuzz {

using namespace std::literals;

using vardel::Member;
using vardel::Number;
using vardel::Value;
using K = Value::Kind;

[[noreturn]] inline void fail(const char* what, const char* file, int line,
                              const std::string& detail) {
  std::fprintf(stderr, "%s:%d: property violated: %s\n  detail: %s\n", file, line, what,
               detail.c_str());
  std::abort();
}
#define FUZZ_CHECK_MSG(cond, detail) \
  ((cond) ? (void)0 : ::fuzz::fail(#cond, __FILE__, __LINE__, (detail)))
#define FUZZ_CHECK(cond) FUZZ_CHECK_MSG(cond, std::string())

// Well-formed UTF-8 as CPython produces it: no overlong forms, no surrogates, nothing above
// U+10FFFF. Its code points go to `out` when given.
inline bool valid_utf8(std::string_view s, std::vector<char32_t>* out = nullptr) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  for (std::size_t i = 0, n = s.size(); i < n;) {
    unsigned c = p[i];
    std::size_t len = c < 0x80 ? 1 : c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
    if (len == 0 || n - i < len) return false;
    char32_t cp = len == 1 ? c : c & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    if (out) out->push_back(cp);
    i += len;
  }
  return true;
}

// Printable form of bytes for failure messages.
inline std::string show(std::string_view s, std::size_t limit = 400) {
  std::string out = "\"";
  for (char buf[8]; unsigned char c : s.substr(0, limit))
    out.append(buf, std::snprintf(buf, 8,
                                  c == '"' || c == '\\'   ? "\\%c"
                                  : c >= 0x20 && c < 0x7F ? "%c"
                                                          : "\\x%02x",
                                  c));
  return out + (s.size() > limit ? "\"..." : "\"");
}

// The fuzz input as a stream of choices; past the end it yields zeros.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}
  bool empty() const { return i_ >= n_; }
  std::uint8_t byte() { return i_ < n_ ? p_[i_++] : 0; }
  std::uint64_t u64() {
    std::uint64_t v = 0;
    for (int k = 0; k < 8; ++k) v = (v << 8) | byte();
    return v;
  }
  std::size_t below(std::size_t bound) {  // in [0, bound), bound > 0
    if (bound <= 256) return byte() % bound;
    std::size_t hi = byte();
    return ((hi << 8) | byte()) % bound;
  }

 private:
  const std::uint8_t* p_;
  std::size_t n_, i_ = 0;
};

// Structural characters, every kind of whitespace, controls, literals, number shapes, multi-byte
// characters.
// clang-format off
inline constexpr std::string_view kPieces[] = {
    "a", "b", "Z", "_", ".", "0", "1", "9", "-", "+", "e", "E", " ", "\t", "\n", "\r", "\r\n", ",",
    "|", ":", "\"", "\\", "[", "]", "{", "}", "#", "/", "'", "=", "@", "x", "\\n", "\\\"", "\\\\",
    "\\t", "\\q", "true", "false", "null", "True", "nan", "-inf", "Infinity", "1e5", "1E-3", ".5",
    "5.", "007", "0x1F", "1e400", "42", "-7", "2.5", "1.0", "-0", "9223372036854775807",
    "9223372036854775808", "18446744073709551615", "18446744073709551616", "-9223372036854775808",
    "-9223372036854775809", "\x01", "\x1b", "\x7f", "\0"sv, "\xc2\x80", "\xc2\x9f", "\xc2\x85",
    "\xc2\xa0", "\xe1\x9a\x80", "\xe2\x80\x80", "\xe2\x80\x8a", "\xe2\x80\xa8", "\xe2\x80\xa9",
    "\xe2\x80\xaf", "\xe2\x81\x9f", "\xe3\x80\x80", "\xef\xbb\xbf", "\xc3\xa9", "\xe4\xb8\xad",
    "\xf0\x9f\x98\x80", "\xef\xbf\xbf", "\xf4\x8f\xbf\xbf", "[2]:", "[0]:", "[2|]", "[2\t]",
    "{a,b}:", "  ", "    ", "- ",
};
// clang-format on

// Valid UTF-8 of up to `max_pieces` pieces or arbitrary code points.
inline std::string text(Bytes& in, std::size_t max_pieces) {
  std::string s;
  for (std::size_t k = 0, n = in.below(max_pieces + 1); k < n && !in.empty(); ++k) {
    std::uint8_t b = in.byte();
    if (b < 0xC0) {
      s += kPieces[b % std::size(kPieces)];
      continue;
    }
    std::uint32_t cp = (std::uint32_t(b & 0x3F) << 16) | (std::uint32_t(in.byte()) << 8);
    cp = (cp | in.byte()) % 0x110000;
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
    int len = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    s += static_cast<char>(len == 1 ? cp : (0xF00 >> len) | (cp >> (6 * (len - 1))));
    for (int j = len - 2; j >= 0; --j) s += static_cast<char>(0x80 | ((cp >> (6 * j)) & 0x3F));
  }
  return s;
}

inline Value scalar(Bytes& in, vardel::Arena& arena, std::size_t max_pieces = 8) {
  // clang-format off
  static constexpr double kEdges[] = {
      0.0, -0.0, 1.0, -1.0, 0.5, 2.5, 0.1, 1e16, 1e21, 1e300, -1e300, 5e-324, 1.5e-7, 1e-7,
      123456789.125, 9223372036854775808.0, 18446744073709551616.0, -9223372036854775808.0,
      -9223372036854777856.0, 18446744073709549568.0, 4503599627370496.5, 1.7976931348623157e308,
      2.2250738585072014e-308, 0.30000000000000004,
  };
  // clang-format on
  switch (in.byte() % 6) {
    case 0:
      return Value::null();
    case 1:
      return Value::boolean(in.byte() & 1);
    case 2: {  // integers near 0 and at the ends of both ranges
      std::uint8_t m = in.byte() % 6;
      std::uint64_t u = m == 1 || m == 5 ? in.u64() : in.byte();
      if (m < 4)
        return Value::number(Number::from_unsigned(m == 2   ? INT64_MAX + u
                                                   : m == 3 ? UINT64_MAX - u
                                                            : u));
      return Value::number(
          Number::from_negative(m == 4 ? -1 - std::int64_t(u) : std::int64_t(u | (1ull << 63))));
    }
    case 3: {
      std::uint8_t mode = in.byte();
      double d = kEdges[mode % std::size(kEdges)];
      if (mode >= 128 && mode < 192)
        d = static_cast<double>(static_cast<std::int64_t>(in.u64()) >> (mode % 64));
      if (mode >= 192) {
        std::uint64_t bits = in.u64();
        std::memcpy(&d, &bits, sizeof d);
        if (!std::isfinite(d)) d = 0.25;
      }
      return Value::number(Number::from_double(d));
    }
    default:
      return Value::string(arena.copy(text(in, max_pieces)));
  }
}

inline Value object(Member* m, std::size_t n) {
  return Value::object(vardel::Map(m, vardel::sort_members(m, n)));
}

// A copy of `v` whose objects list their members in an order drawn from `in`, as a mapping's own
// order reaches an encoder that keeps it; rows of one table then come in different orders.
inline Value shuffled(const Value& v, Bytes& in, vardel::Arena& arena) {
  if (v.is_scalar()) return v;
  std::size_t n = v.size();
  if (v.kind() == K::Array) {
    Value* items = arena.alloc<Value>(n);
    for (std::size_t i = 0; i < n; ++i) items[i] = shuffled(v[i], in, arena);
    return Value::array(items, n);
  }
  Member* m = arena.alloc<Member>(n);
  for (std::size_t i = 0; i < n; ++i) m[i] = v.as_map()[i];
  for (std::size_t i = n; i > 1; --i) std::swap(m[i - 1], m[in.below(i)]);
  for (std::size_t i = 0; i < n; ++i) m[i].value = shuffled(m[i].value, in, arena);
  return Value::object(vardel::Map(m, n));
}

// `rows` objects with the given keys (repeats collapse alike in every row) and scalar values.
inline Value table(Bytes& in, vardel::Arena& arena, const std::vector<std::string_view>& keys,
                   std::size_t rows, std::size_t pieces) {
  Value* items = arena.alloc<Value>(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    Member* m = arena.alloc<Member>(keys.size());
    for (std::size_t f = 0; f < keys.size(); ++f) m[f] = {keys[f], scalar(in, arena, pieces)};
    items[r] = object(m, keys.size());
  }
  return Value::array(items, rows);
}

// `d` in positional notation with its shortest round-trip digits.
inline std::string positional(double d) {
  char buf[64];
  *std::to_chars(buf, buf + 63, std::fabs(d), std::chars_format::scientific).ptr = 0;
  std::string_view sci(buf);
  std::string digits, sign = std::signbit(d) ? "-" : "";
  for (char c : sci.substr(0, sci.find('e')))
    if (c != '.') digits += c;
  int e = std::atoi(sci.data() + sci.find('e') + 1);
  if (e < 0) return sign + "0." + std::string(-e - 1, '0') + digits;
  if (digits.size() <= std::size_t(e) + 1)
    return sign + digits + std::string(e + 1 - digits.size(), '0');
  return sign + digits.insert(e + 1, ".");
}

// A comparable spelling of a value. With `trip`, numbers as a round trip gives them back: a whole
// double as the integer of its written digits when that fits 64 bits, negative zero as 0.
inline std::string key(const Value& v, bool trip = false) {
  switch (v.kind()) {
    case K::Null:
      return "null";
    case K::Bool:
      return v.as_bool() ? "true" : "false";
    case K::String:
      return "\"" + std::string(v.as_string());
    case K::Array:
      return "array of " + std::to_string(v.size());
    case K::Object:
      return "object of " + std::to_string(v.size());
    case K::Number:
      break;
  }
  Number n = v.as_number();
  if (n.form() == Number::Form::Unsigned) return std::to_string(n.as_unsigned());
  if (n.form() == Number::Form::Negative) return std::to_string(n.as_negative());
  double d = n.as_double();
  if (trip && d == std::trunc(d)) {
    std::string p = positional(d == 0 ? 0.0 : d);  // negative zero comes back as 0
    std::uint64_t u;
    std::int64_t i;
    const char* end = p.data() + p.size();
    auto r = d > 0 ? std::from_chars(p.data(), end, u) : std::from_chars(p.data(), end, i);
    if (r.ec == std::errc() && r.ptr == end) return p;
  }
  char buf[40];
  std::snprintf(buf, sizeof buf, "double %a", d);
  return buf;
}

// The first difference between `want` (at most flat) and what came back, or "".
inline std::string difference(const Value& want, const Value& got) {
  if (key(want, true) != key(got)) return show(key(want, true)) + " came back as " + show(key(got));
  for (std::size_t i = 0; !want.is_scalar() && i < want.size(); ++i) {
    bool obj = want.kind() == K::Object;
    if (obj && want.as_map()[i].key != got.as_map()[i].key)
      return "key " + show(want.as_map()[i].key) + " came back as " + show(got.as_map()[i].key);
    std::string d = obj ? difference(want.as_map()[i].value, got.as_map()[i].value)
                        : difference(want[i], got[i]);
    if (!d.empty()) return (obj ? show(want.as_map()[i].key) : std::to_string(i)) + ": " + d;
  }
  return {};
}

inline void check_scalar(const Value& v) {
  FUZZ_CHECK_MSG(v.is_scalar(), key(v));
  Number n = v.kind() == K::Number ? v.as_number() : Number::from_unsigned(0);
  FUZZ_CHECK(
      n.form() == Number::Form::Unsigned ||
      (n.form() == Number::Form::Negative ? n.as_negative() < 0 : std::isfinite(n.as_double())));
  FUZZ_CHECK_MSG(v.kind() != K::String || valid_utf8(v.as_string()), show(v.as_string()));
}

// An object with valid UTF-8 keys in strictly ascending byte order; with `flat`, scalar members
// only.
inline void check_object(const Value& v, bool flat) {
  FUZZ_CHECK_MSG(v.kind() == K::Object, key(v));
  vardel::Map m = v.as_map();
  for (std::size_t i = 0; i < m.size(); ++i) {
    FUZZ_CHECK_MSG(valid_utf8(m[i].key) && (i == 0 || m[i - 1].key < m[i].key), show(m[i].key));
    if (flat) check_scalar(m[i].value);
  }
}

// What the decoder produces: an object of scalars, arrays of scalars and arrays of flat objects.
inline void check_decoded(const Value& root) {
  check_object(root, false);
  for (const Member& m : root.as_map()) {
    if (m.value.is_scalar()) check_scalar(m.value);
    FUZZ_CHECK_MSG(m.value.is_scalar() || m.value.kind() == K::Array, key(m.value));
    for (std::size_t i = 0; !m.value.is_scalar() && i < m.value.size(); ++i) {
      if (m.value[i].is_scalar())
        check_scalar(m.value[i]);
      else
        check_object(m.value[i], true);
    }
  }
}

// The decoder's only errors: the two escape errors, naming exactly one whole character.
inline void check_decode_error(const vardel::ToonError& e) {
  static constexpr std::string_view kInvalid = "Invalid escape sequence: \\";
  std::string_view m = e.message(), rest = m.substr(std::min(m.size(), kInvalid.size()));
  FUZZ_CHECK(e.kind() == vardel::ToonError::Kind::DecodingError);
  if (m == "Unterminated escape sequence") return;
  auto lead = rest.empty() ? 0u : static_cast<unsigned char>(rest[0]);
  FUZZ_CHECK_MSG(m.substr(0, kInvalid.size()) == kInvalid && valid_utf8(rest) &&
                     rest.size() == (lead < 0x80   ? 1u
                                     : lead < 0xE0 ? 2u
                                     : lead < 0xF0 ? 3u
                                                   : 4u),
                 show(m));
}

}  // namespace fuzz
