// Turns codec failures into Python exceptions: the one place where that happens.
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

// Raises a conversion failure as a PythonConversionError and returns null;
// an interruption (KeyboardInterrupt, SystemExit, ...) is re-raised unchanged.
PyObject* raise_conversion_error(const ConversionError& e);

// Raises the failure of encode_python and returns null. A conversion failure
// is raised as raise_conversion_error does, except that an exception raised
// by the caller's default function is re-raised unchanged; both carry a note
// naming where in the data the failure happened, except interruptions and
// failures at the nesting limit (a step for each of 512 levels names no place).
PyObject* raise_encode_failure(const EncodeFailure& e);

}  // namespace vardel
