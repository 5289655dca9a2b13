// Builds Python objects from a value tree: lists at their final size, dicts
// filled in the map's key order, and one str object per distinct key text
// (field names repeat on every row of a table).
#include "convert/to_python.h"

#include <cstring>
#include <string_view>
#include <unordered_map>

#include "module/pyref.h"

namespace vardel {

namespace {

// Returns a new str decoded from valid UTF-8.
PyObject* make_str(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

class Builder {
 public:
  ~Builder() {
    for (auto& [text, obj] : keys_) Py_DECREF(obj);
  }

  // Returns a new reference, or null with an exception set.
  PyObject* build(const Value& v) {
    switch (v.kind()) {
      case Value::Kind::Null: return Py_NewRef(Py_None);
      case Value::Kind::Bool: return Py_NewRef(v.as_bool() ? Py_True : Py_False);
      case Value::Kind::Number: {
        Number n = v.as_number();
        switch (n.form()) {
          case Number::Form::Unsigned: return PyLong_FromUnsignedLongLong(n.as_unsigned());
          case Number::Form::Negative: return PyLong_FromLongLong(n.as_negative());
          case Number::Form::Double: return PyFloat_FromDouble(n.as_double());
        }
        return nullptr;
      }
      case Value::Kind::String: return make_str(v.as_string());
      case Value::Kind::Array: return list(v);
      case Value::Kind::Object: return dict(v.as_map());
    }
    PyErr_SetString(PyExc_SystemError, "unknown value kind");
    return nullptr;
  }

 private:
  PyObject* list(const Value& v) {
    PyRef out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!out) return nullptr;
    Py_ssize_t i = 0;
    for (const Value& item : v) {
      PyObject* o = build(item);
      if (o == nullptr) return nullptr;
      PyList_SET_ITEM(out.get(), i++, o);
    }
    return out.release();
  }

  PyObject* dict(const Map& m) {
    PyRef out = PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(m.size())));
    if (!out) return nullptr;
    for (const Member& member : m) {
      PyObject* key = key_object(member.key);
      if (key == nullptr) return nullptr;
      PyRef value = PyRef::steal(build(member.value));
      if (!value) return nullptr;
      if (PyDict_SetItem(out.get(), key, value.get()) < 0) return nullptr;
    }
    return out.release();
  }

  // Returns a borrowed str for a key, made once per distinct text.
  PyObject* key_object(std::string_view text) {
    auto it = keys_.find(text);
    if (it != keys_.end()) return it->second;
    PyObject* key = make_str(text);
    if (key == nullptr) return nullptr;
    keys_.emplace(text, key);
    return key;
  }

  std::unordered_map<std::string_view, PyObject*> keys_;
};

}  // namespace

Result<PyObject*, ConversionError> value_to_python(const Value& value) {
  Builder b;
  PyObject* o = b.build(value);
  if (o == nullptr) return fail(ConversionError::fetch());
  return o;
}

}  // namespace vardel
