// Python data to value tree.
#pragma once

#include <Python.h>

#include <vector>

#include "convert/conversion_error.h"
#include "value/result.h"
#include "value/value.h"

namespace vardel {

// Strong references to the str objects whose UTF-8 buffers the value tree
// points into; released when the tree is no longer needed.
class KeepAlive {
 public:
  KeepAlive() = default;
  KeepAlive(const KeepAlive&) = delete;
  KeepAlive& operator=(const KeepAlive&) = delete;
  ~KeepAlive() {
    for (PyObject* o : refs_) Py_DECREF(o);
  }
  // Takes over a strong reference.
  void adopt(PyObject* o) { refs_.push_back(o); }

 private:
  std::vector<PyObject*> refs_;
};

// Returns the value tree of `obj` (borrowed), its storage in `arena` and the
// strings it points into held by `keep`, or the first ConversionError.
Result<Value, ConversionError> deserialize_any(PyObject* obj, Arena& arena, KeepAlive& keep);

}  // namespace vardel
