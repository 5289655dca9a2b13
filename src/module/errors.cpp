#include "module/errors.h"

#include <string>

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
    case ToonError::Kind::Abandoned: return PyExc_SystemError;  // encode retries instead
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
  return nullptr;
}

PyObject* raise_conversion_error(const ConversionError& e) {
  if (PyObject* exc = e.interruption()) {
    PyErr_SetRaisedException(Py_NewRef(exc));
    return nullptr;
  }
  return raise_toon_error(ToonError(ToonError::Kind::PythonConversionError, e.display()));
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
  PyRef full = PyRef::steal(PyUnicode_FromFormat("%U (line %zu, column %zu)", msg.get(),
                                                 e.line(), e.column()));
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
