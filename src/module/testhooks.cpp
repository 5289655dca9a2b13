// Test-only entry points, compiled into builds made with VARDEL_TEST_HOOKS.
// Tests load them from the extension's own file under the module name
// _vardel_testhooks, so they share its process-wide state.
#ifdef VARDEL_TEST_HOOKS

#include <Python.h>

#include <stdexcept>

#include "bridge/common_types.h"
#include "bridge/dict_iter.h"
#include "bridge/error_path.h"
#include "bridge/guard.h"
#include "bridge/pyref.h"
#include "core/alloc_fault.h"
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
PyObject* hook_panic_type(PyObject*, PyObject*) {
  return Py_XNewRef(panic_exception_type());
}

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

// fail_allocation(n): counts the codec's allocations from zero again and makes
// the nth from now fail (none when n is 0).
PyObject* hook_fail_allocation(PyObject*, PyObject* arg) {
  unsigned long long n = PyLong_AsUnsignedLongLong(arg);
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  alloc_fault::arm(n);
  Py_RETURN_NONE;
}

// allocations(): the codec's allocations since the last fail_allocation.
PyObject* hook_allocations(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLongLong(alloc_fault::count());
}

// common_form(obj): ("text", str) or ("object", value) as the C API reads `obj`
// for the ready-made hook, or None when the hook decides.
PyObject* hook_common_form(PyObject*, PyObject* arg) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    CommonForm form;
    if (!common_form(arg, form)) return nullptr;
    switch (form.kind) {
      case CommonForm::Kind::Text:
        return Py_BuildValue(
            "(sN)", "text",
            PyUnicode_FromStringAndSize(form.text, static_cast<Py_ssize_t>(form.size)));
      case CommonForm::Kind::Object:
        return Py_BuildValue("(sO)", "object", form.object.get());
      case CommonForm::Kind::Other:
        break;
    }
    Py_RETURN_NONE;
  });
}

// Fills `path` from a list of steps, root first: an int is an index, anything else a key.
bool read_steps(PyObject* steps, ErrorPath& path) {
  if (!PyList_Check(steps)) {
    PyErr_SetString(PyExc_TypeError, "steps must be a list");
    return false;
  }
  for (Py_ssize_t i = PyList_GET_SIZE(steps) - 1; i >= 0; --i) {
    PyObject* step = PyList_GET_ITEM(steps, i);
    if (PyLong_CheckExact(step)) {
      Py_ssize_t index = PyLong_AsSsize_t(step);
      if (index < 0) return false;
      path.add_index(static_cast<std::size_t>(index));
    } else {
      path.add_key(step);
    }
  }
  return true;
}

// path_note(steps): the note naming the path.
PyObject* hook_path_note(PyObject*, PyObject* steps) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ErrorPath path;
    if (!read_steps(steps, path)) return nullptr;
    std::string note = path.note();
    return PyUnicode_DecodeUTF8(note.data(), static_cast<Py_ssize_t>(note.size()), nullptr);
  });
}

// add_path_note(exc, steps): adds the note naming the path to the exception `exc`.
PyObject* hook_add_path_note(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "add_path_note(exc, steps)");
      return nullptr;
    }
    ErrorPath path;
    if (!read_steps(args[1], path)) return nullptr;
    add_note(args[0], path.note());
    Py_RETURN_NONE;
  });
}

PyMethodDef hook_methods[] = {
    {"allocations", hook_allocations, METH_NOARGS, nullptr},
    {"fail_allocation", hook_fail_allocation, METH_O, nullptr},
    {"encode_settings",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hook_encode_settings)),
     METH_FASTCALL, nullptr},
    {"decode_settings",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hook_decode_settings)),
     METH_FASTCALL, nullptr},
    {"common_form", hook_common_form, METH_O, nullptr},
    {"path_note", hook_path_note, METH_O, nullptr},
    {"add_path_note",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hook_add_path_note)), METH_FASTCALL,
     nullptr},
    {"dict_layout_trusted", hook_dict_layout, METH_NOARGS, nullptr},
    {"panic", hook_panic, METH_O, nullptr},
    {"throw_error", hook_throw, METH_NOARGS, nullptr},
    {"panic_type", hook_panic_type, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef hooks_def = {
    PyModuleDef_HEAD_INIT,
    "_vardel_testhooks",
    nullptr,
    -1,
    hook_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace vardel

PyMODINIT_FUNC PyInit__vardel_testhooks(void) {
  return PyModule_Create(&vardel::hooks_def);
}

#endif
