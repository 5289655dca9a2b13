// Every routine between strs and UTF-8 text: reading a str's UTF-8 form,
// making a str from UTF-8 text the codec wrote, ordering strs like their
// UTF-8 forms.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "core/arena.h"

namespace vardel {

// Sets `text` to the UTF-8 form of the str `o`: ASCII text and text whose
// UTF-8 form the interpreter already holds in place, other text transcoded
// into `arena` (asking the interpreter for it would leave a UTF-8 copy
// attached to the str for as long as it lives). Returns false with an
// exception set for text that has no UTF-8 form (lone surrogates).
bool utf8_text(PyObject* o, Arena& arena, std::string_view& text);

// Returns a new str holding `text`, which must be valid UTF-8, or null with
// an exception set. The text is measured first (unless the caller knows it is
// ASCII), so the str is made once at its final width and filled in one pass.
PyObject* str_from_utf8(std::string_view text, bool known_ascii = false);

// Returns a negative number, zero or a positive number as the str `a` orders
// before, equal to or after the str `b` by code points, which is the byte
// order of their UTF-8 forms.
int str_order(PyObject* a, PyObject* b);

// Appends the UTF-8 form of the code point `c` (not a surrogate) to `out`.
void append_utf8(std::string& out, Py_UCS4 c);

// Returns the UTF-8 form of `s`, any code point without one (a lone surrogate)
// replaced by U+FFFD. Leaves no exception pending.
std::string utf8_lossy(PyObject* s);

}  // namespace vardel
