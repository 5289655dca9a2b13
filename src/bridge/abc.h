// The collections.abc checks for objects of types the conversion does not know.
#pragma once

#include <Python.h>

namespace vardel {

// The answer of an isinstance check. A lookup or check that raises an
// Exception is reported as unraisable and answers No; one that raises any
// other BaseException (KeyboardInterrupt, SystemExit, ...) is Interrupted,
// with that exception pending.
enum class Check { No, Yes, Interrupted };

// Whether `o` counts as a collections.abc.Sequence.
Check sequence_check(PyObject* o);

// Whether `o` counts as a collections.abc.Mapping.
Check mapping_check(PyObject* o);

}  // namespace vardel
