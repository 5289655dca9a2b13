// Turns codec failures into Python exceptions: the one place where that happens.
#pragma once

#include <Python.h>

#include "bridge/conversion_error.h"
#include "core/error.h"

namespace vardel {

// Raises `e` as its Python exception and returns null. A Stopped error leaves
// the exception its sink raised.
PyObject* raise_toon_error(const ToonError& e);

// Returns the class vardel.DecodeError (a ValueError with msg, lineno and
// colno), made on first use; null with an exception set when that fails.
PyObject* decode_error_class();

// Raises an error of decode: a DecodeError for one in the text; nothing more
// when the sink stopped the reading, which has already set its exception.
// Returns null.
PyObject* raise_decode_error(const ToonError& e);

// Raises a conversion failure as a PythonConversionError and returns null;
// an interruption (KeyboardInterrupt, SystemExit, ...) is re-raised unchanged.
PyObject* raise_conversion_error(const ConversionError& e);

}  // namespace vardel
