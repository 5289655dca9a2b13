// Whitespace and code point helpers shared by the encoder and the decoder.
//
// Whitespace is the Unicode White_Space set: U+0009..U+000D, U+0020, U+0085,
// U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
// Text is UTF-8, except where code units of a fixed width are named.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vardel {

// True if the code point `c` is whitespace.
constexpr bool is_white_space(char32_t c) {
  if (c < 0x80) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// The code point at index `i` of text of `width` bytes per code point
// (Latin-1, UCS-2 or UCS-4).
inline char32_t code_point(const void* units, unsigned width, std::size_t i) {
  if (width == 1) return static_cast<const std::uint8_t*>(units)[i];
  if (width == 2) return static_cast<const char16_t*>(units)[i];
  return static_cast<const char32_t*>(units)[i];
}

// Appends the UTF-8 form of the code point `c` (not a surrogate) to `out`.
inline void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Returns the byte length of the whitespace character that starts `s`, or 0.
inline std::size_t white_space_prefix(std::string_view s) {
  if (s.empty()) return 0;
  auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 < 0x80) return (b0 == 0x20 || (b0 >= 0x09 && b0 <= 0x0D)) ? 1 : 0;
  if (b0 == 0xC2 && s.size() >= 2) {
    auto b1 = static_cast<unsigned char>(s[1]);
    return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;
  }
  if (s.size() < 3) return 0;
  auto b1 = static_cast<unsigned char>(s[1]);
  auto b2 = static_cast<unsigned char>(s[2]);
  if (b0 == 0xE1) return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;
  if (b0 == 0xE2) {
    if (b1 == 0x80) return (b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
    if (b1 == 0x81) return b2 == 0x9F ? 3 : 0;
    return 0;
  }
  if (b0 == 0xE3) return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;
  return 0;
}

// Returns the byte length of the whitespace character that ends `s`, or 0.
inline std::size_t white_space_suffix(std::string_view s) {
  if (s.empty()) return 0;
  auto last = static_cast<unsigned char>(s.back());
  if (last < 0x80) return (last == 0x20 || (last >= 0x09 && last <= 0x0D)) ? 1 : 0;
  if (s.size() >= 2 && static_cast<unsigned char>(s[s.size() - 2]) == 0xC2)
    return (last == 0x85 || last == 0xA0) ? 2 : 0;
  if (s.size() >= 3) return white_space_prefix(s.substr(s.size() - 3)) == 3 ? 3 : 0;
  return 0;
}

// Returns `s` without leading whitespace.
inline std::string_view trim_start(std::string_view s) {
  while (std::size_t n = white_space_prefix(s)) s.remove_prefix(n);
  return s;
}

// Returns `s` without trailing whitespace.
inline std::string_view trim_end(std::string_view s) {
  while (std::size_t n = white_space_suffix(s)) s.remove_suffix(n);
  return s;
}

// Returns `s` without whitespace at either end.
inline std::string_view trim(std::string_view s) {
  return trim_start(trim_end(s));
}

// Returns true if `s` begins or ends with a whitespace character.
inline bool has_edge_white_space(std::string_view s) {
  return white_space_prefix(s) != 0 || white_space_suffix(s) != 0;
}

}  // namespace vardel
