// Turns codec and conversion failures into Python exceptions: the one place
// where that happens. (Allocation failures, the only C++ exceptions, become
// MemoryError in the guard every entry runs under: bridge/guard.h.)
#pragma once

#include <Python.h>

#include "bridge/conversion_error.h"
#include "bridge/python_source.h"
#include "core/error.h"

namespace vardel {

// Raises `e` as its Python exception and returns null; a DecodingError that
// knows its line carries the note "at line N". A Stopped error leaves
// the exception its sink raised.
PyObject* raise_toon_error(const ToonError& e);

// Returns the class vardel.DecodeError (a ValueError with msg, lineno and
// colno), made on first use; null with an exception set when that fails.
PyObject* decode_error_class();

// Raises an error of decode: a DecodeError for one in the text; nothing more
// when the sink stopped the reading, which has already set its exception.
// Returns null.
PyObject* raise_decode_error(const ToonError& e);

// Raises a conversion failure as a PythonConversionError and returns null.
// A carried exception that is no fault of the data is re-raised unchanged
// instead: an interruption (KeyboardInterrupt, SystemExit and any other
// exception that is not an Exception) or a MemoryError.
PyObject* raise_conversion_error(const ConversionError& e);

// Raises the failure of encode_python and returns null. A conversion failure
// is raised as raise_conversion_error does, except that an exception raised
// by the caller's default function is re-raised unchanged; both carry a note
// naming where in the data the failure happened, except interruptions and
// failures at the nesting limit (a step for each of 512 levels names no place).
PyObject* raise_encode_failure(const EncodeFailure& e);

}  // namespace vardel
