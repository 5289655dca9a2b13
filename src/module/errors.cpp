#include "module/errors.h"

#include <string>

#include "bridge/error_path.h"
#include "bridge/pyref.h"

namespace vardel {

namespace {

PyObject* exception_class(ToonError::Kind kind) {
  switch (kind) {
    case ToonError::Kind::IndentationTooLarge: return PyExc_OverflowError;
    case ToonError::Kind::DecodingError:
    case ToonError::Kind::InvalidDelimiter:
    case ToonError::Kind::PythonConversionError:
    case ToonError::Kind::NestingTooDeep: return PyExc_ValueError;
    case ToonError::Kind::Stopped: return PyExc_SystemError;  // a sink stopped with no exception
  }
  return PyExc_ValueError;
}

}  // namespace

PyObject* raise_toon_error(const ToonError& e) {
  // A sink that stopped the decoding has raised its own exception.
  if (e.kind() == ToonError::Kind::Stopped && PyErr_Occurred()) return nullptr;
  std::string text = e.display();
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                           "replace");
  if (message == nullptr) return nullptr;
  PyErr_SetObject(exception_class(e.kind()), message);
  Py_DECREF(message);
  if (e.line() != 0) {
    PyRef raised = PyRef::steal(PyErr_GetRaisedException());
    add_note(raised.get(), "at line " + std::to_string(e.line()));
    PyErr_SetRaisedException(raised.release());
  }
  return nullptr;
}

PyObject* raise_conversion_error(const ConversionError& e) {
  if (PyObject* exc = e.interruption()) {
    PyErr_SetRaisedException(Py_NewRef(exc));
    return nullptr;
  }
  std::optional<std::string> text = e.display();
  if (!text) return nullptr;  // interrupted
  return raise_toon_error(ToonError(ToonError::Kind::PythonConversionError, std::move(*text)));
}

PyObject* raise_encode_failure(const EncodeFailure& failure) {
  if (const auto* own = std::get_if<ToonError>(&failure)) return raise_toon_error(*own);
  const auto& e = std::get<ConversionError>(failure);
  if (PyObject* exc = e.propagated()) {
    PyErr_SetRaisedException(Py_NewRef(exc));
  } else {
    raise_conversion_error(e);
  }
  PyRef raised = PyRef::steal(PyErr_GetRaisedException());
  if (raised && e.shows_path() &&
      PyObject_TypeCheck(raised.get(), reinterpret_cast<PyTypeObject*>(PyExc_Exception)))
    add_note(raised.get(), e.path().note());
  PyErr_SetRaisedException(raised.release());
  return nullptr;
}

}  // namespace vardel
