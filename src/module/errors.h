// Turns codec failures into Python exceptions: the one place where that happens.
#pragma once

#include <Python.h>

#include "bridge/conversion_error.h"
#include "core/error.h"

namespace vardel {

// Raises `e` as its Python exception and returns null. A Stopped error leaves
// the exception its sink raised.
PyObject* raise_toon_error(const ToonError& e);

// Raises a conversion failure as a PythonConversionError and returns null;
// an interruption (KeyboardInterrupt, SystemExit, ...) is re-raised unchanged.
PyObject* raise_conversion_error(const ConversionError& e);

}  // namespace vardel
