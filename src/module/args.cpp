#include "module/args.h"

#include <string>

#include "bridge/guard.h"
#include "bridge/pyref.h"

namespace vardel {

namespace {

std::string display_name(const FunctionDescription& d) {
  std::string s;
  if (d.cls_name != nullptr) {
    s += d.cls_name;
    s += '.';
  }
  s += d.func_name;
  s += "()";
  return s;
}

void too_many_positional(const FunctionDescription& d, Py_ssize_t given) {
  std::string name = display_name(d);
  const char* verb = given == 1 ? "was" : "were";
  if (d.required == d.n_positional()) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 name.c_str(), d.n_positional(), given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 name.c_str(), d.required, d.n_positional(), given, verb);
  }
}

void multiple_values(const FunctionDescription& d, std::size_t param) {
  PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", display_name(d).c_str(),
               d.params[param]);
}

void unexpected_keyword(const FunctionDescription& d, PyObject* keyword) {
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
               display_name(d).c_str(), keyword);
}

void missing_required(const FunctionDescription& d, PyObject* const* slots) {
  std::string names;
  std::size_t count = 0;
  std::size_t total = 0;
  for (std::size_t i = 0; i < d.required; ++i) total += slots[i] == nullptr;
  for (std::size_t i = 0; i < d.required; ++i) {
    if (slots[i] != nullptr) continue;
    if (count > 0) {
      if (total == 2) {
        names += " and ";
      } else {
        names += count + 1 == total ? ", and " : ", ";
      }
    }
    names += '\'';
    names += d.params[i];
    names += '\'';
    ++count;
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
               display_name(d).c_str(), total, total == 1 ? "argument" : "arguments",
               names.c_str());
}

// Returns the index of the parameter named `keyword`, or n_params.
std::size_t find_param(const FunctionDescription& d, PyObject* keyword) {
  for (std::size_t i = 0; i < d.n_params; ++i) {
    if (PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, d.params[i]) == 0)
      return i;
  }
  return d.n_params;
}

bool bind_keyword(const FunctionDescription& d, PyObject* keyword, PyObject* value,
                  PyObject** slots) {
  std::size_t i = find_param(d, keyword);
  if (i == d.n_params) {
    unexpected_keyword(d, keyword);
    return false;
  }
  if (slots[i] != nullptr) {
    multiple_values(d, i);
    return false;
  }
  slots[i] = value;
  return true;
}

bool check_required(const FunctionDescription& d, Py_ssize_t nargs, PyObject* const* slots) {
  if (static_cast<std::size_t>(nargs) >= d.required) return true;
  for (std::size_t i = 0; i < d.required; ++i) {
    if (slots[i] == nullptr) {
      missing_required(d, slots);
      return false;
    }
  }
  return true;
}

}  // namespace

bool extract_arguments_fastcall(const FunctionDescription& d, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  for (std::size_t i = 0; i < d.n_params; ++i) slots[i] = nullptr;
  if (static_cast<std::size_t>(nargs) > d.n_positional()) {
    too_many_positional(d, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!bind_keyword(d, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) return false;
    }
  }
  return check_required(d, nargs, slots);
}

bool extract_arguments_tuple_dict(const FunctionDescription& d, PyObject* args, PyObject* kwargs,
                                  PyObject** slots) {
  for (std::size_t i = 0; i < d.n_params; ++i) slots[i] = nullptr;
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (static_cast<std::size_t>(nargs) > d.n_positional()) {
    too_many_positional(d, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(d, key, value, slots)) return false;
    }
  }
  return check_required(d, nargs, slots);
}

void argument_extraction_error(const char* name) {
  PyRef first = PyRef::steal(PyErr_GetRaisedException());
  if (!first) return;
  // User code run by the conversion (an __index__ or __bool__) may have failed internally.
  rethrow_if_panic(first.get());
  if (Py_TYPE(first.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(first.release());
    return;
  }
  PyRef text = PyRef::steal(PyObject_Str(first.get()));
  if (!text) return;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  PyRef error = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!error) return;
  if (PyObject* cause = PyException_GetCause(first.get())) PyException_SetCause(error.get(), cause);
  PyErr_SetRaisedException(error.release());
}

}  // namespace vardel
