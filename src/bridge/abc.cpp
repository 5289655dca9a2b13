#include "bridge/abc.h"

#include "bridge/guard.h"
#include "bridge/pyref.h"

namespace vardel {

namespace {

PyObject* g_sequence = nullptr;
PyObject* g_mapping = nullptr;

// Returns the class `name` of collections.abc, cached for the process once
// found; null with an exception set when the lookup fails.
PyObject* abc_class(PyObject*& cache, const char* name) {
  if (cache != nullptr) return cache;
  PyRef module_name = PyRef::steal(PyUnicode_FromString("collections.abc"));
  if (!module_name) return nullptr;
  PyRef module = PyRef::steal(PyImport_Import(module_name.get()));
  if (!module) return nullptr;
  PyRef attr = PyRef::steal(PyUnicode_FromString(name));
  if (!attr) return nullptr;
  cache = PyObject_GetAttr(module.get(), attr.get());
  return cache;
}

// Answers for the pending exception: an interruption stays pending, anything
// else is reported as unraisable with `o` as context.
Check failed_check(PyObject* o) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return Check::No;
  PyRef held = PyRef::steal(exc);
  rethrow_if_panic(held.get());
  bool interrupted = !PyErr_GivenExceptionMatches(held.get(), PyExc_Exception);
  PyErr_SetRaisedException(held.release());
  if (interrupted) return Check::Interrupted;
  PyErr_WriteUnraisable(o);
  return Check::No;
}

Check isinstance_of(PyObject* o, PyObject*& cache, const char* name) {
  PyObject* cls = abc_class(cache, name);
  if (cls == nullptr) return failed_check(o);
  int r = PyObject_IsInstance(o, cls);
  if (r < 0) return failed_check(o);
  return r == 1 ? Check::Yes : Check::No;
}

}  // namespace

Check sequence_check(PyObject* o) {
  if (PyType_GetFlags(Py_TYPE(o)) & (Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS))
    return Check::Yes;
  return isinstance_of(o, g_sequence, "Sequence");
}

Check mapping_check(PyObject* o) {
  if (PyType_GetFlags(Py_TYPE(o)) & Py_TPFLAGS_DICT_SUBCLASS) return Check::Yes;
  return isinstance_of(o, g_mapping, "Mapping");
}

}  // namespace vardel
