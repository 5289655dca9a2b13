// The collections.abc checks for objects of types the conversion does not know.
#pragma once

#include <Python.h>

namespace vardel {

// Returns true if `o` counts as a collections.abc.Sequence. A failed lookup or
// check is reported as unraisable and answers false.
bool passes_sequence_check(PyObject* o);

// Returns true if `o` counts as a collections.abc.Mapping, likewise.
bool passes_mapping_check(PyObject* o);

}  // namespace vardel
