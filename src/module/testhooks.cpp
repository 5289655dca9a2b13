// Test-only entry points, compiled into builds made with VARDEL_TEST_HOOKS.
// Tests load them from the extension's own file under the module name
// _vardel_testhooks, so they share its process-wide state.
#ifdef VARDEL_TEST_HOOKS

#include <Python.h>

#include <stdexcept>

#include "bridge/dict_iter.h"
#include "bridge/guard.h"
#include "bridge/pyref.h"
#include "module/options.h"

namespace vardel {

namespace {

// panic(message): fails internally with `message` (an empty one uses the fallback).
PyObject* hook_panic(PyObject*, PyObject* arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(arg, &n);
    if (s == nullptr) return nullptr;
    panic(std::string(s, static_cast<std::size_t>(n)));
  });
}

// throw_error(): fails with a C++ exception that is not an internal failure.
PyObject* hook_throw(PyObject*, PyObject*) {
  return guarded<PyObject*>(nullptr, []() -> PyObject* { throw std::logic_error("logic"); });
}

// panic_type(): the PanicException class.
PyObject* hook_panic_type(PyObject*, PyObject*) { return Py_XNewRef(panic_exception_type()); }

// dict_layout_trusted(): whether exact dicts are read straight from their tables.
PyObject* hook_dict_layout(PyObject*, PyObject*) {
  return PyBool_FromLong(dict_layout::trusted);
}

// Calls `during` (unless None) while `borrow` is held; false with an exception set.
bool call_during(PyObject* during) {
  if (during == Py_None) return true;
  PyRef result = PyRef::steal(PyObject_CallNoArgs(during));
  return static_cast<bool>(result);
}

// encode_settings(options, during): applies `options` as encode does, calls
// during() while the call holds it, and returns the settings the call would use.
PyObject* hook_encode_settings(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "encode_settings(options, during)");
      return nullptr;
    }
    OptionsBorrow borrow;
    EncodeSettings s;
    if (!read_encode_options(args[0], borrow, s) || !call_during(args[1])) return nullptr;
    return Py_BuildValue("(NKNNNN)",
                         PyUnicode_FromStringAndSize(s.delimiter.data(),
                                                     static_cast<Py_ssize_t>(s.delimiter.size())),
                         static_cast<unsigned long long>(s.indent),
                         PyBool_FromLong(s.use_length_markers), PyBool_FromLong(s.strict),
                         PyBool_FromLong(s.sort_keys), PyBool_FromLong(s.uniform_indent));
  });
}

// decode_settings(options, during): the same for the options of decode.
PyObject* hook_decode_settings(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "decode_settings(options, during)");
      return nullptr;
    }
    OptionsBorrow borrow;
    DecodeSettings s;
    if (!read_decode_options(args[0], borrow, s) || !call_during(args[1])) return nullptr;
    return Py_BuildValue("(NN)", PyUnicode_FromStringAndSize(&s.delimiter, 1),
                         PyBool_FromLong(s.strict));
  });
}

PyMethodDef hook_methods[] = {
    {"encode_settings", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                            hook_encode_settings)),
     METH_FASTCALL, nullptr},
    {"decode_settings", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                            hook_decode_settings)),
     METH_FASTCALL, nullptr},
    {"dict_layout_trusted", hook_dict_layout, METH_NOARGS, nullptr},
    {"panic", hook_panic, METH_O, nullptr},
    {"throw_error", hook_throw, METH_NOARGS, nullptr},
    {"panic_type", hook_panic_type, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef hooks_def = {
    PyModuleDef_HEAD_INIT, "_vardel_testhooks", nullptr, -1, hook_methods,
    nullptr,               nullptr,             nullptr, nullptr,
};

}  // namespace

}  // namespace vardel

PyMODINIT_FUNC PyInit__vardel_testhooks(void) {
  return PyModule_Create(&vardel::hooks_def);
}

#endif
