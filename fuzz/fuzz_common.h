// Helpers shared by the fuzz targets: a reader that turns fuzz bytes into
// choices, UTF-8 validation, string and value-tree generators, and a check
// that aborts with a message (so a broken property is a crash the fuzzer and
// the corpus replayer both report).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "value/arena.h"
#include "value/error.h"
#include "value/value.h"

namespace fuzz {

[[noreturn]] inline void check_failed(const char* what, const char* file, int line,
                                      const std::string& detail) {
  std::fprintf(stderr, "%s:%d: property violated: %s\n", file, line, what);
  if (!detail.empty()) std::fprintf(stderr, "  detail: %s\n", detail.c_str());
  std::fflush(stderr);
  std::abort();
}

// FUZZ_CHECK(cond) / FUZZ_CHECK_MSG(cond, detail): abort when cond is false.
#define FUZZ_CHECK(cond) \
  ((cond) ? (void)0 : ::fuzz::check_failed(#cond, __FILE__, __LINE__, std::string()))
#define FUZZ_CHECK_MSG(cond, detail) \
  ((cond) ? (void)0 : ::fuzz::check_failed(#cond, __FILE__, __LINE__, (detail)))

// Returns true if `s` is well-formed UTF-8 as CPython produces it: no overlong
// forms, no surrogates, nothing above U+10FFFF.
inline bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    char32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

// Printable form of a byte string for failure messages.
inline std::string show(std::string_view s, std::size_t limit = 400) {
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size() && i < limit; ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  if (s.size() > limit) out += "...";
  return out + "\"";
}

// Turns the fuzz input into a stream of choices. Reading past the end yields
// zeros, so every input, however short, describes one complete case.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}

  bool empty() const { return i_ >= n_; }
  std::size_t remaining() const { return i_ < n_ ? n_ - i_ : 0; }

  std::uint8_t byte() { return i_ < n_ ? p_[i_++] : 0; }
  bool flag() { return (byte() & 1) != 0; }
  std::uint64_t u64() {
    std::uint64_t v = 0;
    for (int k = 0; k < 8; ++k) v = (v << 8) | byte();
    return v;
  }
  // A number in [0, bound) (bound > 0), from one or two bytes.
  std::size_t below(std::size_t bound) {
    if (bound <= 256) return byte() % bound;
    std::size_t v = (std::size_t(byte()) << 8) | byte();
    return v % bound;
  }
  // Up to `max` raw bytes.
  std::string_view raw(std::size_t max) {
    std::size_t k = below(max + 1);
    if (k > remaining()) k = remaining();
    std::string_view s(reinterpret_cast<const char*>(p_ + i_), k);
    i_ += k;
    return s;
  }

 private:
  const std::uint8_t* p_;
  std::size_t n_;
  std::size_t i_ = 0;
};

// Pieces that matter to the codec: structural characters, every kind of
// whitespace, controls, literals, number shapes and multi-byte characters.
inline constexpr std::string_view kPieces[] = {
    "a",      "b",       "Z",        "_",        ".",        "0",        "1",        "9",
    "-",      "+",       "e",        "E",        " ",        "\t",       "\n",       "\r",
    "\r\n",   ",",       "|",        ":",        "\"",       "\\",       "[",        "]",
    "{",      "}",       "#",        "/",        "'",        "=",        "@",        "x",
    "\\n",    "\\\"",    "\\\\",     "\\t",      "\\q",      "true",     "false",    "null",
    "True",   "nan",     "-inf",     "Infinity", "1e5",      "1E-3",     ".5",       "5.",
    "007",    "0x1F",    "1e400",    "42",       "-7",       "2.5",      "1.0",      "-0",
    "9223372036854775807", "9223372036854775808", "18446744073709551615",
    "18446744073709551616", "-9223372036854775808", "-9223372036854775809",
    "\x01",   "\x1b",    "\x7f",     std::string_view("\0", 1), "\xc2\x80",  "\xc2\x9f",
    "\xc2\x85",  "\xc2\xa0", "\xe1\x9a\x80", "\xe2\x80\x80", "\xe2\x80\x8a", "\xe2\x80\xa8",
    "\xe2\x80\xa9", "\xe2\x80\xaf", "\xe2\x81\x9f", "\xe3\x80\x80", "\xef\xbb\xbf",
    "\xc3\xa9", "\xe4\xb8\xad", "\xf0\x9f\x98\x80", "\xef\xbf\xbf", "\xf4\x8f\xbf\xbf",
    "[2]:",   "[0]:",    "[2|]",     "[2\t]",    "{a,b}:",   "  ",       "    ",     "- ",
};
inline constexpr std::size_t kPieceCount = sizeof(kPieces) / sizeof(kPieces[0]);

// A valid UTF-8 string of up to `max_pieces` pieces chosen by the input.
inline std::string text(Bytes& in, std::size_t max_pieces) {
  std::size_t pieces = in.below(max_pieces + 1);
  std::string s;
  for (std::size_t k = 0; k < pieces && !in.empty(); ++k) {
    std::uint8_t b = in.byte();
    if (b < 0xC0) {
      s += kPieces[b % kPieceCount];
    } else {
      // Any code point: a printable ASCII byte, or one from the rest of the range.
      std::uint32_t cp = (std::uint32_t(b & 0x3F) << 16) | (std::uint32_t(in.byte()) << 8) | in.byte();
      cp %= 0x110000;
      if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
      if (cp < 0x80) {
        s += static_cast<char>(cp);
      } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
      } else if (cp < 0x10000) {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
      } else {
        s += static_cast<char>(0xF0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
      }
    }
  }
  return s;
}

// A finite double: special values, whole values of every size, and raw bit patterns.
inline double finite_double(Bytes& in) {
  static constexpr double kSpecial[] = {
      0.0,     -0.0,    1.0,     -1.0,     0.5,     2.5,          0.1,       1e16,
      1e21,    1e300,   -1e300,  5e-324,   1.5e-7,  1e-7,         123456789.125,
      9223372036854775808.0,    18446744073709551616.0, -9223372036854775808.0,
      -9223372036854777856.0,   18446744073709549568.0, 4503599627370496.5,
      1.7976931348623157e308,   2.2250738585072014e-308, 0.30000000000000004,
  };
  std::uint8_t mode = in.byte();
  if (mode < 128) return kSpecial[mode % (sizeof(kSpecial) / sizeof(kSpecial[0]))];
  if (mode < 192) return static_cast<double>(static_cast<std::int64_t>(in.u64()) >> (mode % 64));
  std::uint64_t bits = in.u64();
  double d;
  static_assert(sizeof d == sizeof bits);
  __builtin_memcpy(&d, &bits, sizeof d);
  if (d != d || d - d != 0) return 0.25;  // NaN or infinite
  return d;
}

// An integer Number from the interesting ranges.
inline vardel::Number integer(Bytes& in) {
  std::uint8_t mode = in.byte();
  switch (mode % 6) {
    case 0: return vardel::Number::from_unsigned(in.byte());
    case 1: return vardel::Number::from_unsigned(in.u64());
    case 2: return vardel::Number::from_unsigned(std::uint64_t(INT64_MAX) + in.byte());
    case 3: return vardel::Number::from_unsigned(UINT64_MAX - in.byte());
    case 4: return vardel::Number::from_negative(-1 - static_cast<std::int64_t>(in.byte()));
    default: {
      std::int64_t v = static_cast<std::int64_t>(in.u64() | (std::uint64_t(1) << 63));
      return vardel::Number::from_negative(v);
    }
  }
}

// A scalar Value: null, a boolean, an integer, a double or a string (copied
// into `arena`).
inline vardel::Value scalar(Bytes& in, vardel::Arena& arena, std::size_t max_pieces = 8) {
  switch (in.byte() % 6) {
    case 0: return vardel::Value::null();
    case 1: return vardel::Value::boolean(in.flag());
    case 2: return vardel::Value::number(integer(in));
    case 3: return vardel::Value::number(vardel::Number::from_double(finite_double(in)));
    default: return vardel::Value::string(arena.copy(text(in, max_pieces)));
  }
}

}  // namespace fuzz
