// Python data to value tree.
#pragma once

#include <Python.h>

#include <vector>

#include "bridge/conversion_error.h"
#include "bridge/default_hook.h"
#include "core/result.h"
#include "core/value.h"

namespace vardel {

// The str objects whose UTF-8 buffers the value tree points into.
//
// While the conversion has run no Python code, nothing can free them (every
// container being read holds its items), so they are only noted. Before the
// first call that may run Python code, secure() takes a strong reference to
// each noted object, and every later one is taken at once; the references are
// released with the tree. A KeepAlive made with `record` false only tracks
// all_ascii(), for readers that never run Python code.
class KeepAlive {
 public:
  explicit KeepAlive(bool record = true) : record_(record) {}
  KeepAlive(const KeepAlive&) = delete;
  KeepAlive& operator=(const KeepAlive&) = delete;
  ~KeepAlive() {
    if (secured_)
      for (PyObject* o : refs_) Py_DECREF(o);
  }
  // Notes a borrowed str whose buffer the tree will point into.
  void note(PyObject* o) {
    all_ascii_ = all_ascii_ && PyUnicode_IS_ASCII(o);
    if (!record_) return;
    if (secured_) Py_INCREF(o);
    refs_.push_back(o);
  }
  // Returns true if every noted str is ASCII, and with it the encoded text.
  bool all_ascii() const { return all_ascii_; }
  // Holds every noted object from now on; call before Python code may run.
  void secure() {
    if (secured_) return;
    for (PyObject* o : refs_) Py_INCREF(o);
    secured_ = true;
  }

 private:
  std::vector<PyObject*> refs_;
  bool secured_ = false;
  bool all_ascii_ = true;
  bool record_;
};

// Returns the value tree of `obj` (borrowed), its storage in `arena` and the
// strings it points into held by `keep`, or the first ConversionError, with
// the path to the value it is about. With `hook`, each object the conversion
// refuses is replaced by what the hook gives for it.
Result<Value, ConversionError> deserialize_any(PyObject* obj, Arena& arena, KeepAlive& keep,
                                               DefaultHook* hook = nullptr);

}  // namespace vardel
