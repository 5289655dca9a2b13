// The extension module _vardel: single-phase initialisation, owned by the
// first interpreter that imports it.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "bridge/conversion_error.h"
#include "bridge/dict_iter.h"
#include "bridge/guard.h"
#include "bridge/pyref.h"
#include "module/errors.h"
#include "module/functions.h"
#include "module/options.h"

namespace vardel {

namespace {

std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

constexpr const char* kModuleDoc =
    "The native core of vardel: encode converts Python data to TOON, a compact, line-oriented\n"
    "notation for JSON-shaped data, and decode_toon reads TOON text back into Python data.";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_vardel", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends `name` to the module's __all__ (creating the list when missing) and
// sets the attribute. Returns false with an exception set.
bool add_attribute(PyObject* module, PyObject* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    raise_cannot_convert(all.get(), "PyList");
    return false;
  }
  if (PyList_Append(all.get(), name) < 0) return false;
  return PyObject_SetAttr(module, name, value) == 0;
}

bool add_function(PyObject* module, PyMethodDef* def) {
  PyRef module_name = PyRef::steal(PyObject_GetAttrString(module, "__name__"));
  if (!module_name) return false;
  PyRef fn = PyRef::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
  if (!fn) return false;
  PyRef name = PyRef::steal(PyObject_GetAttrString(fn.get(), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    raise_cannot_convert(name.get(), "PyString");
    return false;
  }
  return add_attribute(module, name.get(), fn.get());
}

bool add_class(PyObject* module, const char* name, PyObject* type) {
  if (type == nullptr) return false;
  PyRef key = PyRef::steal(PyUnicode_FromString(name));
  return key && add_attribute(module, key.get(), type);
}

// Sets an attribute that the module's __all__ does not list: the package
// exports it under its own __all__.
bool add_unlisted(PyObject* module, const char* name, PyObject* value) {
  return value != nullptr && PyModule_AddObjectRef(module, name, value) == 0;
}

bool add_unlisted_function(PyObject* module, PyMethodDef* def) {
  PyRef module_name = PyRef::steal(PyObject_GetAttrString(module, "__name__"));
  if (!module_name) return false;
  PyRef fn = PyRef::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
  return fn && add_unlisted(module, def->ml_name, fn.get());
}

bool initialise(PyObject* module) {
  return add_function(module, &encode_def) && add_function(module, &decode_toon_def) &&
         add_class(module, "EncodeOptions", encode_options_type()) &&
         add_class(module, "DecodeOptions", decode_options_type()) &&
         add_unlisted_function(module, &decode_def) && add_unlisted_function(module, &dump_def) &&
         add_unlisted(module, "DecodeError", decode_error_class());
}

PyObject* init_module() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, id, std::memory_order_seq_cst) &&
      expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "vardel._vardel does not support sub-interpreters: it can only be "
                    "imported by the interpreter that imported it first");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);
  PyRef module = PyRef::steal(PyModule_Create2(&module_def, 1013));
  if (!module || !initialise(module.get())) return nullptr;
  check_dict_layout();
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace

}  // namespace vardel

PyMODINIT_FUNC PyInit__vardel(void) {
  return vardel::guarded<PyObject*>(nullptr, [] { return vardel::init_module(); });
}
