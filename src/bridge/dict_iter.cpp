#include "bridge/dict_iter.h"

#include "bridge/pyref.h"

namespace vardel {

namespace dict_layout {
bool trusted = false;
}  // namespace dict_layout

namespace {

bool checked = false;

// Returns true if reading `dict` in place gives exactly what PyDict_Next gives.
bool agrees(PyObject* dict) {
  Py_ssize_t a = 0;
  Py_ssize_t b = 0;
  PyObject *ka, *va, *kb, *vb;
  for (;;) {
    bool more_a = dict_next(dict, &a, &ka, &va);
    bool more_b = PyDict_Next(dict, &b, &kb, &vb) != 0;
    if (more_a != more_b) return false;
    if (!more_a) return true;
    if (a != b || ka != kb || va != vb) return false;
  }
}

// Returns a dict built from `code`, or null.
PyRef sample(const char* code) {
  PyRef globals = PyRef::steal(PyDict_New());
  if (!globals) return {};
  PyRef builtins = PyRef::borrow(PyEval_GetBuiltins());
  if (PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0) return {};
  return PyRef::steal(PyRun_String(code, Py_eval_input, globals.get(), globals.get()));
}

}  // namespace

void check_dict_layout() {
  if (checked) return;
  checked = true;
  const char* samples[] = {
      "{'a': 1, 'b': 'two', 'c': None}",
      "{1: 'x', 'k': 2.5, (1, 2): 3}",
      "(lambda d: (d.pop('b'), d.pop(7), d)[2])({'a': 1, 'b': 2, 7: 3, 'c': 4, 'd': 5})",
      "(lambda d: (d.pop('a'), d)[1])({'a': 1, 'b': 2})",
      "{str(i): i for i in range(300)}",
      "{}",
  };
  dict_layout::trusted = true;
  for (const char* code : samples) {
    PyRef d = sample(code);
    if (!d || !PyDict_CheckExact(d.get()) || !agrees(d.get())) {
      dict_layout::trusted = false;
      break;
    }
  }
  PyErr_Clear();
}

}  // namespace vardel
