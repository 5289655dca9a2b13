#include "module/errors.h"

#include <string>

#include "bridge/error_path.h"
#include "bridge/pyref.h"

namespace vardel {

namespace {

PyObject* exception_class(ToonError::Kind kind) {
  switch (kind) {
    case ToonError::Kind::IndentationTooLarge:
      return PyExc_OverflowError;
    case ToonError::Kind::DecodingError:
    case ToonError::Kind::InvalidDelimiter:
    case ToonError::Kind::PythonConversionError:
    case ToonError::Kind::NestingTooDeep:
      return PyExc_ValueError;
    case ToonError::Kind::Stopped:
      return PyExc_SystemError;  // a sink stopped with no exception
  }
  return PyExc_ValueError;
}

// Returns true if `exc` reaches the caller as it is: it says that the process
// is being interrupted or ran out of memory, not that the data is wrong.
bool passes_through(PyObject* exc) {
  return !PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_Exception)) ||
         PyErr_GivenExceptionMatches(exc, PyExc_MemoryError);
}

}  // namespace

PyObject* raise_toon_error(const ToonError& e) {
  // A sink that stopped the decoding has raised its own exception.
  if (e.kind() == ToonError::Kind::Stopped && PyErr_Occurred()) return nullptr;
  std::string text = e.display();
  PyObject* message =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
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
  PyObject* exc = e.exception();
  if (exc != nullptr && passes_through(exc)) {
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
  // What passes through (an interruption, a MemoryError) reaches the caller
  // as it was raised: no note, which would also need memory of its own.
  PyRef raised = PyRef::steal(PyErr_GetRaisedException());
  if (raised && e.shows_path() && !passes_through(raised.get()))
    add_note(raised.get(), e.path().note());
  PyErr_SetRaisedException(raised.release());
  return nullptr;
}

PyObject* decode_error_class() {
  // Made once and kept: the module is imported by one interpreter only.
  static PyObject* cls = nullptr;
  if (cls == nullptr) {
    cls = PyErr_NewExceptionWithDoc(
        "vardel.DecodeError",
        "TOON text that decode cannot read. A ValueError; msg is the reason, lineno and colno "
        "(1-based, colno in characters) the place in the text.",
        PyExc_ValueError, nullptr);
  }
  return cls;
}

PyObject* raise_decode_error(const ToonError& e) {
  if (e.kind() == ToonError::Kind::Stopped) return nullptr;  // the sink's exception is set
  PyObject* cls = decode_error_class();
  if (cls == nullptr) return nullptr;
  const std::string& text = e.message();
  PyRef msg = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!msg) return nullptr;
  PyRef full = PyRef::steal(
      PyUnicode_FromFormat("%U (line %zu, column %zu)", msg.get(), e.line(), e.column()));
  if (!full) return nullptr;
  PyRef exc = PyRef::steal(PyObject_CallOneArg(cls, full.get()));
  if (!exc) return nullptr;
  PyRef lineno = PyRef::steal(PyLong_FromSize_t(e.line()));
  PyRef colno = PyRef::steal(PyLong_FromSize_t(e.column()));
  if (!lineno || !colno || PyObject_SetAttrString(exc.get(), "msg", msg.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "lineno", lineno.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "colno", colno.get()) < 0)
    return nullptr;
  PyErr_SetObject(cls, exc.get());
  return nullptr;
}

}  // namespace vardel
