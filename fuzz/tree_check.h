// Properties of value trees shared by the fuzz targets: what a decoded
// document may hold, and equality up to the changes a round trip through
// TOON text is documented to make (whole-valued doubles come back as
// integers, negative zero as zero).
#pragma once

#include <charconv>
#include <cmath>
#include <system_error>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_common.h"
#include "value/error.h"
#include "value/value.h"

namespace fuzz {

inline const char* kind_name(vardel::Value::Kind k) {
  switch (k) {
    case vardel::Value::Kind::Null: return "null";
    case vardel::Value::Kind::Bool: return "bool";
    case vardel::Value::Kind::Number: return "number";
    case vardel::Value::Kind::String: return "string";
    case vardel::Value::Kind::Array: return "array";
    case vardel::Value::Kind::Object: return "object";
  }
  return "?";
}

inline std::string describe(const vardel::Value& v) {
  using K = vardel::Value::Kind;
  switch (v.kind()) {
    case K::Null: return "null";
    case K::Bool: return v.as_bool() ? "true" : "false";
    case K::Number: {
      vardel::Number n = v.as_number();
      char buf[64];
      switch (n.form()) {
        case vardel::Number::Form::Unsigned:
          std::snprintf(buf, sizeof buf, "u%llu", static_cast<unsigned long long>(n.as_unsigned()));
          break;
        case vardel::Number::Form::Negative:
          std::snprintf(buf, sizeof buf, "i%lld", static_cast<long long>(n.as_negative()));
          break;
        case vardel::Number::Form::Double: std::snprintf(buf, sizeof buf, "d%.17g", n.as_double()); break;
      }
      return buf;
    }
    case K::String: return show(v.as_string(), 80);
    case K::Array: return "array of " + std::to_string(v.size());
    case K::Object: return "object of " + std::to_string(v.as_map().size());
  }
  return "?";
}

// Checks the invariants of a Number: the negative form holds negatives only,
// doubles are finite.
inline void check_number(vardel::Number n) {
  switch (n.form()) {
    case vardel::Number::Form::Unsigned: break;
    case vardel::Number::Form::Negative: FUZZ_CHECK(n.as_negative() < 0); break;
    case vardel::Number::Form::Double: FUZZ_CHECK(std::isfinite(n.as_double())); break;
  }
}

// Checks a map: keys valid UTF-8, strictly ascending in byte order.
inline void check_map_order(const vardel::Map& m) {
  for (std::size_t i = 0; i < m.size(); ++i) {
    FUZZ_CHECK_MSG(valid_utf8(m[i].key), show(m[i].key));
    if (i > 0) FUZZ_CHECK_MSG(m[i - 1].key < m[i].key, show(m[i - 1].key) + " !< " + show(m[i].key));
  }
}

inline void check_scalar(const vardel::Value& v) {
  FUZZ_CHECK_MSG(v.is_scalar(), kind_name(v.kind()));
  if (v.kind() == vardel::Value::Kind::Number) check_number(v.as_number());
  if (v.kind() == vardel::Value::Kind::String) FUZZ_CHECK_MSG(valid_utf8(v.as_string()), show(v.as_string()));
}

// What the decoder may produce: one object whose members are scalars, arrays
// of scalars, or arrays of objects whose members are scalars.
inline void check_decoded(const vardel::Value& root) {
  using K = vardel::Value::Kind;
  FUZZ_CHECK(root.kind() == K::Object);
  vardel::Map m = root.as_map();
  check_map_order(m);
  for (const vardel::Member& member : m) {
    const vardel::Value& v = member.value;
    if (v.is_scalar()) {
      check_scalar(v);
      continue;
    }
    FUZZ_CHECK_MSG(v.kind() == K::Array, kind_name(v.kind()));
    for (const vardel::Value& e : v) {
      if (e.is_scalar()) {
        check_scalar(e);
        continue;
      }
      FUZZ_CHECK_MSG(e.kind() == K::Object, kind_name(e.kind()));
      vardel::Map row = e.as_map();
      check_map_order(row);
      for (const vardel::Member& cell : row) check_scalar(cell.value);
    }
  }
}

// The only errors the decoder reports are the two escape errors.
inline void check_decode_error(const vardel::ToonError& e) {
  FUZZ_CHECK(e.kind() == vardel::ToonError::Kind::DecodingError);
  const std::string& m = e.message();
  static constexpr std::string_view kInvalid = "Invalid escape sequence: \\";
  if (m == "Unterminated escape sequence") return;
  FUZZ_CHECK_MSG(m.size() > kInvalid.size() && std::string_view(m).substr(0, kInvalid.size()) == kInvalid,
                 show(m));
  // The offending character is named whole: exactly one UTF-8 character follows.
  std::string_view rest = std::string_view(m).substr(kInvalid.size());
  FUZZ_CHECK_MSG(valid_utf8(rest), show(m));
  auto lead = static_cast<unsigned char>(rest[0]);
  std::size_t len = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  FUZZ_CHECK_MSG(rest.size() == len, show(m));
}

// An integer or double as one comparable value.
struct Numeric {
  bool is_int;
  bool negative;       // for integers
  std::uint64_t mag;   // for integers: the magnitude
  double d;            // for doubles
};

inline Numeric numeric(vardel::Number n) {
  switch (n.form()) {
    case vardel::Number::Form::Unsigned: return {true, false, n.as_unsigned(), 0};
    case vardel::Number::Form::Negative:
      return {true, true, std::uint64_t(0) - static_cast<std::uint64_t>(n.as_negative()), 0};
    default: return {false, false, 0, n.as_double()};
  }
}

// Returns the number the decoder gives back for `n` after the encoder wrote
// it. The encoder writes a double in positional notation with its shortest
// round-trip digits, so a whole-valued double is written as an integer: the
// integer of those digits (not always the double's exact value: 2.0**63 is
// written 9223372036854776000). When that integer lies in -2**63 .. 2**64-1
// the decoder reads it as an integer; otherwise it reads the same double.
// Negative zero comes back as 0. Integers come back unchanged.
inline Numeric after_round_trip(vardel::Number n) {
  Numeric v = numeric(n);
  if (v.is_int) return v;
  double d = v.d;
  if (d != std::trunc(d)) return v;
  if (d == 0) return {true, false, 0, 0};
  // The shortest digits, from the scientific form: d.ddd...e+X.
  char buf[64];
  auto written = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  if (written.ec != std::errc()) return v;
  std::string_view sci(buf, static_cast<std::size_t>(written.ptr - buf));
  bool negative = sci.front() == '-';
  if (negative) sci.remove_prefix(1);
  std::size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e)) {
    if (c != '.') digits += c;
  }
  int exponent = std::atoi(std::string(sci.substr(e + 1)).c_str());
  if (exponent < 0 || exponent > 25) return v;  // whole and nonzero: exponent >= 0
  // The integer of those digits: the digits followed by zeros up to the exponent.
  if (digits.size() > static_cast<std::size_t>(exponent) + 1) return v;  // not whole after all
  digits.append(static_cast<std::size_t>(exponent) + 1 - digits.size(), '0');
  std::uint64_t mag = 0;
  auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), mag);
  if (parsed.ec != std::errc() || parsed.ptr != digits.data() + digits.size()) return v;
  if (negative && mag > (std::uint64_t(1) << 63)) return v;
  return {true, negative, mag, 0};
}

inline bool same_numeric(const Numeric& a, const Numeric& b) {
  if (a.is_int != b.is_int) return false;
  if (a.is_int) return a.negative == b.negative && a.mag == b.mag;
  return std::memcmp(&a.d, &b.d, sizeof a.d) == 0;
}

// Returns true if `got` is what decoding gives back for the scalar `want`.
inline bool same_scalar_after_round_trip(const vardel::Value& want, const vardel::Value& got) {
  using K = vardel::Value::Kind;
  if (want.kind() == K::Number) {
    return got.kind() == K::Number &&
           same_numeric(after_round_trip(want.as_number()), numeric(got.as_number()));
  }
  if (want.kind() != got.kind()) return false;
  switch (want.kind()) {
    case K::Null: return true;
    case K::Bool: return want.as_bool() == got.as_bool();
    case K::String: return want.as_string() == got.as_string();
    default: return false;
  }
}

// Compares two values whose containers are at most flat (arrays of scalars or
// of objects with scalar members), scalars by same_scalar_after_round_trip.
// Returns an empty string when equal, else a description of the first difference.
inline std::string difference_after_round_trip(const vardel::Value& want, const vardel::Value& got) {
  using K = vardel::Value::Kind;
  if (want.is_scalar()) {
    if (same_scalar_after_round_trip(want, got)) return {};
    return "scalar " + describe(want) + " came back as " + describe(got);
  }
  if (want.kind() != got.kind()) return std::string(kind_name(want.kind())) + " came back as " + describe(got);
  if (want.kind() == K::Array) {
    if (want.size() != got.size()) return describe(want) + " came back as " + describe(got);
    for (std::size_t i = 0; i < want.size(); ++i) {
      std::string d = difference_after_round_trip(want[i], got[i]);
      if (!d.empty()) return "element " + std::to_string(i) + ": " + d;
    }
    return {};
  }
  vardel::Map a = want.as_map();
  vardel::Map b = got.as_map();
  for (std::size_t i = 0; i < a.size() || i < b.size(); ++i) {
    if (i >= a.size()) return "extra key " + show(b[i].key);
    if (i >= b.size()) return "missing key " + show(a[i].key);
    if (a[i].key != b[i].key) return "key " + show(a[i].key) + " came back as " + show(b[i].key);
    std::string d = difference_after_round_trip(a[i].value, b[i].value);
    if (!d.empty()) return "member " + show(a[i].key) + ": " + d;
  }
  return {};
}

}  // namespace fuzz
