// Builds Python objects from a value tree: lists at their final size, dicts
// filled in the map's key order, and one str object per distinct key text
// (field names repeat on every row of a table).
#include "bridge/to_python.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "bridge/pyref.h"

namespace vardel {

namespace {

// Returns true if no byte of `s` has its high bit set.
bool is_ascii(std::string_view s) {
  const char* p = s.data();
  std::size_t n = s.size();
  std::uint64_t bits = 0;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    bits |= w;
  }
  for (; n != 0; ++p, --n) bits |= static_cast<unsigned char>(*p);
  return (bits & 0x8080808080808080ULL) == 0;
}

// Returns a new str decoded from valid UTF-8.
PyObject* make_str(std::string_view s) {
  if (is_ascii(s)) {
    PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
    if (o != nullptr && !s.empty()) std::memcpy(PyUnicode_DATA(o), s.data(), s.size());
    return o;
  }
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

class Builder {
 public:
  ~Builder() {
    for (Recent& r : recent_) Py_XDECREF(r.key);
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
      // Held: building the value may evict the key from the cache.
      PyRef key = PyRef::borrow(key_object(member.key));
      if (!key) return nullptr;
      PyRef value = PyRef::steal(build(member.value));
      if (!value) return nullptr;
      if (PyDict_SetItem(out.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return out.release();
  }

  // Returns a borrowed str for a key. The rows of a table share their key
  // storage, so a key text seen at the same address gives the same str; other
  // keys (mostly unique) are made directly.
  PyObject* key_object(std::string_view text) {
    // Field names lie a few bytes apart in the header line: mix every address bit.
    std::uint64_t mixed = reinterpret_cast<std::uintptr_t>(text.data()) * 0x9E3779B97F4A7C15ULL;
    std::size_t slot = static_cast<std::size_t>(mixed >> 58);
    Recent& r = recent_[slot];
    if (r.data == text.data() && r.size == text.size() && r.data != nullptr) return r.key;
    PyObject* key = make_str(text);
    if (key == nullptr) return nullptr;
    Py_XDECREF(r.key);
    r = {text.data(), text.size(), key};
    return key;
  }

  static constexpr std::size_t kRecent = 64;  // the slot is the top 6 bits of the mixed address
  struct Recent {
    const char* data = nullptr;
    std::size_t size = 0;
    PyObject* key = nullptr;  // owned
  };
  Recent recent_[kRecent];
};

}  // namespace

Result<PyObject*, ConversionError> value_to_python(const Value& value) {
  Builder b;
  PyObject* o = b.build(value);
  if (o == nullptr) return fail(ConversionError::fetch());
  return o;
}

}  // namespace vardel
