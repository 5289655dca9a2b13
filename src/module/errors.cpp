#include "module/errors.h"

#include <string>

namespace vardel {

namespace {

PyObject* exception_class(ToonError::Kind kind) {
  switch (kind) {
    case ToonError::Kind::IndentationTooLarge: return PyExc_OverflowError;
    case ToonError::Kind::DecodingError:
    case ToonError::Kind::InvalidDelimiter:
    case ToonError::Kind::PythonConversionError:
    case ToonError::Kind::NestingTooDeep: return PyExc_ValueError;
    case ToonError::Kind::Abandoned: return PyExc_SystemError;  // encode retries instead
    case ToonError::Kind::Stopped: return PyExc_SystemError;    // the sink's reason is raised
  }
  return PyExc_ValueError;
}

}  // namespace

PyObject* raise_toon_error(const ToonError& e) {
  std::string text = e.display();
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                           "replace");
  if (message == nullptr) return nullptr;
  PyErr_SetObject(exception_class(e.kind()), message);
  Py_DECREF(message);
  return nullptr;
}

PyObject* raise_conversion_error(const ConversionError& e) {
  if (PyObject* exc = e.interruption()) {
    PyErr_SetRaisedException(Py_NewRef(exc));
    return nullptr;
  }
  return raise_toon_error(ToonError(ToonError::Kind::PythonConversionError, e.display()));
}

}  // namespace vardel
