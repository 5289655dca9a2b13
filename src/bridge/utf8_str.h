// Every routine between strs and UTF-8 text: reading a str's UTF-8 form,
// making a str from UTF-8 text the codec wrote, ordering strs like their
// UTF-8 forms.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/arena.h"
#include "core/text.h"
#include "core/value.h"
#include "encode/writer.h"

namespace vardel {

// Sets `text` to the UTF-8 form of the str `o`: ASCII text and text whose
// UTF-8 form the interpreter already holds in place, other text transcoded
// into `arena` (asking the interpreter for it would leave a UTF-8 copy
// attached to the str for as long as it lives). Returns false with an
// exception set for text that has no UTF-8 form (lone surrogates).
bool utf8_text(PyObject* o, Arena& arena, std::string_view& text);

// Sets `out` to a wide string (Value::wide_string) reading the code points
// of the str `o` in place, and returns true, when `o` is compact, not ASCII,
// stored at the width of its widest code point and free of surrogates. Else
// returns false: its UTF-8 form (or its error) is for utf8_text.
bool wide_text(PyObject* o, Value& out);

// A place in the text of an OutputBuffer: at byte `byte`, and at code point
// `unit` of splice `splice`, the first splice not wholly behind it.
struct OutputPlace {
  std::size_t byte = 0;
  std::size_t splice = 0;
  std::size_t unit = 0;
};

// Returns a new str holding the text of `out`, its bytes (UTF-8) and its
// splices, from `at` on: `budget` bytes and code points at most (cut between
// characters; at least one character while any is left), made once at the
// width of its widest character. Moves `at` past it. Null with an exception
// set on failure. `ascii_bytes` tells that the bytes are ASCII.
PyObject* str_from_output(const OutputBuffer& out, bool ascii_bytes, OutputPlace& at,
                          std::size_t budget);

// True if `at` is at the end of the text of `out`.
inline bool at_end(const OutputBuffer& out, const OutputPlace& at) {
  return at.byte == out.size() && at.splice == out.splices().size();
}

// str_from_utf8 for any text: measured first (unless the caller knows it is
// ASCII), so the str is made once at its final width and filled in one pass.
PyObject* str_from_any_utf8(std::string_view text, bool known_ascii);

// Returns a new str holding `text`, which must be valid UTF-8, or null with
// an exception set.
//
// Most keys and values are short ASCII texts. Those are tested and copied
// here with two overlapping loads and stores, without a call: the general
// routine's set-up (and memcpy's) costs more than such a text's copy.
[[gnu::always_inline]] inline PyObject* str_from_utf8(std::string_view text,
                                                      bool known_ascii = false) {
  const std::size_t n = text.size();
  if (n - 1 >= 16) return str_from_any_utf8(text, known_ascii);  // empty, or longer than 16
  const char* p = text.data();
  // The first and the last min(n, 8) bytes (overlapping, or the same bytes), or for a text
  // shorter than four its first, middle and last bytes.
  std::uint64_t head = 0, tail = 0;
  if (n >= 8) {
    std::memcpy(&head, p, 8);
    std::memcpy(&tail, p + n - 8, 8);
  } else if (n >= 4) {
    std::uint32_t h, t;
    std::memcpy(&h, p, 4);
    std::memcpy(&t, p + n - 4, 4);
    head = h;
    tail = t;
  } else {
    head = static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[n / 2]) |
           static_cast<unsigned char>(p[n - 1]);
  }
  if (((head | tail) & 0x8080808080808080ULL) != 0) return str_from_any_utf8(text, known_ascii);
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 0x7F);
  if (s == nullptr) return nullptr;
  auto* d = static_cast<char*>(PyUnicode_DATA(s));
  if (n >= 8) {
    std::memcpy(d, &head, 8);
    std::memcpy(d + n - 8, &tail, 8);
  } else if (n >= 4) {
    auto h = static_cast<std::uint32_t>(head), t = static_cast<std::uint32_t>(tail);
    std::memcpy(d, &h, 4);
    std::memcpy(d + n - 4, &t, 4);
  } else {
    d[0] = p[0];
    d[n / 2] = p[n / 2];
    d[n - 1] = p[n - 1];
  }
  return s;
}

// Returns a negative number, zero or a positive number as the str `a` orders
// before, equal to or after the str `b` by code points, which is the byte
// order of their UTF-8 forms.
int str_order(PyObject* a, PyObject* b);

// Returns the UTF-8 form of `s`, any code point without one (a lone surrogate)
// replaced by U+FFFD. Leaves no exception pending.
std::string utf8_lossy(PyObject* s);

}  // namespace vardel
