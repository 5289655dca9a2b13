#include "convert/utf8_str.h"

#include <cstdint>
#include <cstring>

namespace vardel {

namespace {

// Widest character class in a text: what PyUnicode_New needs to pick the width.
struct Measure {
  std::size_t chars = 0;
  Py_UCS4 maxchar = 0;
};

Measure measure(const unsigned char* p, std::size_t n) {
  std::size_t continuation = 0;
  unsigned char top = 0;
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char b = p[i];
    continuation += (b & 0xC0) == 0x80;
    top = b > top ? b : top;
  }
  Measure m;
  m.chars = n - continuation;
  if (top < 0x80) {
    m.maxchar = 0x7F;
  } else if (top < 0xC4) {
    m.maxchar = 0xFF;  // lead bytes C2 and C3 only
  } else if (top < 0xF0) {
    m.maxchar = 0xFFFF;
  } else {
    m.maxchar = 0x10FFFF;
  }
  return m;
}

template <class Unit>
void fill(const unsigned char* p, std::size_t n, Unit* out) {
  const unsigned char* end = p + n;
  while (p < end) {
    // Runs of ASCII, which most text is, widen eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if (w & 0x8080808080808080ULL) break;
      for (int i = 0; i < 8; ++i) out[i] = p[i];
      out += 8;
      p += 8;
    }
    if (p == end) break;
    unsigned char b = *p;
    if (b < 0x80) {
      *out++ = b;
      ++p;
    } else if (b < 0xE0) {
      *out++ = static_cast<Unit>(((b & 0x1F) << 6) | (p[1] & 0x3F));
      p += 2;
    } else if (b < 0xF0) {
      *out++ = static_cast<Unit>(((b & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
      p += 3;
    } else {
      *out++ = static_cast<Unit>(((b & 0x07) << 18) | ((p[1] & 0x3F) << 12) |
                                 ((p[2] & 0x3F) << 6) | (p[3] & 0x3F));
      p += 4;
    }
  }
}

}  // namespace

PyObject* str_from_utf8(std::string_view text, bool known_ascii) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  Measure m = known_ascii ? Measure{text.size(), 0x7F} : measure(p, text.size());
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(m.chars), m.maxchar);
  if (s == nullptr || text.empty()) return s;
  void* data = PyUnicode_DATA(s);
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
      if (m.maxchar < 0x80)
        std::memcpy(data, p, text.size());
      else
        fill(p, text.size(), static_cast<Py_UCS1*>(data));
      break;
    case PyUnicode_2BYTE_KIND: fill(p, text.size(), static_cast<Py_UCS2*>(data)); break;
    default: fill(p, text.size(), static_cast<Py_UCS4*>(data)); break;
  }
  return s;
}

}  // namespace vardel
