#include "bridge/error_path.h"

#include "bridge/conversion_error.h"
#include "bridge/utf8_str.h"
#include "core/text.h"

namespace vardel {

namespace {

// Appends `s` quoted, with the escapes json.dumps(s, ensure_ascii=False)
// writes; a lone surrogate, which has no UTF-8 form, as its \u escape.
void append_quoted(std::string& out, PyObject* s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\b':
        out += "\\b";
        continue;
      case '\f':
        out += "\\f";
        continue;
      default:
        break;
    }
    if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF)) {
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 15];
    } else {
      append_utf8(out, c);
    }
  }
  out += '"';
}

void append_key(std::string& out, PyObject* key) {
  if (!PyUnicode_Check(key)) {
    // Not reached by the converter, which fails on such a key before its value.
    PyRef text = PyRef::steal(PyObject_Repr(key));
    out += '[';
    out += text ? utf8_lossy(text.get()) : std::string("?");
    out += ']';
    PyErr_Clear();
    return;
  }
  if (PyUnicode_IsIdentifier(key) == 1) {
    out += '.';
    out += utf8_lossy(key);  // an identifier has no surrogates
    return;
  }
  out += '[';
  append_quoted(out, key);
  out += ']';
}

}  // namespace

void ErrorPath::add_key_text(std::string_view text) {
  PyRef key = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!key) {
    PyErr_Clear();  // out of memory: the note names "?" for this step
    key = PyRef::steal(PyUnicode_FromString("?"));
    PyErr_Clear();
  }
  steps_.push_back({std::move(key), 0});
}

std::string ErrorPath::note() const {
  std::string out = "at $";
  for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) {
    if (step->key) {
      append_key(out, step->key.get());
    } else {
      out += '[';
      out += std::to_string(step->index);
      out += ']';
    }
  }
  return out;
}

void add_note(PyObject* exc, const std::string& note) {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(note.data(), static_cast<Py_ssize_t>(note.size()), "replace"));
  PyRef done = text ? PyRef::steal(PyObject_CallMethod(exc, "add_note", "O", text.get())) : PyRef();
  if (!done) PyErr_Clear();
}

}  // namespace vardel
