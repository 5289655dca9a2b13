// Value tree to Python data.
#pragma once

#include <Python.h>

#include "bridge/conversion_error.h"
#include "core/result.h"
#include "core/value.h"

namespace vardel {

// Returns a new reference to the Python object equivalent to `value`, or the
// ConversionError of a failing interpreter call.
Result<PyObject*, ConversionError> value_to_python(const Value& value);

}  // namespace vardel
