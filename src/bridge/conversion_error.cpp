#include "bridge/conversion_error.h"

#include "bridge/guard.h"
#include "bridge/utf8_str.h"

namespace vardel {

PyObject* type_qualname(PyTypeObject* type) {
  PyObject* name = PyType_GetQualName(type);
  if (name == nullptr || !PyUnicode_Check(name)) {
    Py_XDECREF(name);
    PyErr_Clear();
    return PyUnicode_FromString("<failed to extract type name>");
  }
  return name;
}

PyObject* cannot_convert_text(PyObject* obj, const char* target) {
  PyRef name = PyRef::steal(type_qualname(Py_TYPE(obj)));
  if (!name) return nullptr;
  return PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", name.get(), target);
}

void raise_cannot_convert(PyObject* obj, const char* target) {
  if (PyRef text = PyRef::steal(cannot_convert_text(obj, target)))
    PyErr_SetObject(PyExc_TypeError, text.get());
}

ConversionError ConversionError::make(Kind kind, std::string text) {
  auto r = std::make_unique<Record>();
  r->kind = kind;
  r->text = std::move(text);
  return ConversionError(std::move(r));
}

ConversionError ConversionError::fetch() {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    exc = PyErr_GetRaisedException();
  }
  PyRef held = PyRef::steal(exc);
  rethrow_if_panic(held.get());
  ConversionError e = make(Kind::PythonException, {});
  e.r_->exception = std::move(held);
  return e;
}

ConversionError ConversionError::default_raised() {
  ConversionError e = fetch();
  e.r_->kind = Kind::DefaultRaised;
  return e;
}

ConversionError ConversionError::custom(std::string message) {
  return make(Kind::CustomMessage, std::move(message));
}

ConversionError ConversionError::nesting_limit(std::string message) {
  ConversionError e = custom(std::move(message));
  e.r_->shows_path = false;
  return e;
}

ConversionError ConversionError::unsupported(std::string type_name) {
  return make(Kind::UnsupportedType, std::move(type_name));
}

ConversionError ConversionError::unexpected(PyObject* obj, const char* target) {
  PyRef text = PyRef::steal(cannot_convert_text(obj, target));
  std::string message = text ? utf8_lossy(text.get()) : std::string();
  PyErr_Clear();
  return make(Kind::UnexpectedType, std::move(message));
}

ConversionError ConversionError::length_mismatch(std::size_t expected, std::size_t actual) {
  ConversionError e = make(Kind::SequenceLengthMismatch, {});
  e.r_->expected = expected;
  e.r_->actual = actual;
  return e;
}

PyObject* ConversionError::propagated() const {
  return r_->kind == Kind::DefaultRaised ? r_->exception.get() : nullptr;
}

std::optional<std::string> ConversionError::display() const {
  switch (r_->kind) {
    case Kind::DefaultRaised:
    case Kind::PythonException: {
      PyObject* exc = r_->exception.get();
      PyRef name = PyRef::steal(type_qualname(Py_TYPE(exc)));
      std::string out =
          name ? utf8_lossy(name.get()) : std::string("<failed to extract type name>");
      PyErr_Clear();
      out += ": ";
      PyRef text = PyRef::steal(PyObject_Str(exc));
      if (text) {
        out += utf8_lossy(text.get());
      } else {
        PyRef failure = PyRef::steal(PyErr_GetRaisedException());
        if (failure) {
          rethrow_if_panic(failure.get());
          if (!PyErr_GivenExceptionMatches(failure.get(), PyExc_Exception)) {
            PyErr_SetRaisedException(failure.release());
            return std::nullopt;
          }
        }
        out += "<exception str() failed>";
      }
      return out;
    }
    case Kind::CustomMessage:
      return r_->text;
    case Kind::UnsupportedType:
      return "unsupported type " + r_->text;
    case Kind::UnexpectedType:
      return "unexpected type: " + r_->text;
    case Kind::SequenceLengthMismatch:
      return "expected sequence of length " + std::to_string(r_->expected) + ", got " +
             std::to_string(r_->actual);
  }
  return r_->text;
}

}  // namespace vardel
