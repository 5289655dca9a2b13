// Making a str from UTF-8 text the codec wrote.
#pragma once

#include <Python.h>

#include <string_view>

namespace vardel {

// Returns a new str holding `text`, which must be valid UTF-8, or null with
// an exception set. The text is measured first (unless the caller knows it is
// ASCII), so the str is made once at its final width and filled in one pass.
PyObject* str_from_utf8(std::string_view text, bool known_ascii = false);

}  // namespace vardel
