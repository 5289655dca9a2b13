#include "module/functions.h"

#include <cstring>
#include <optional>

#include "bridge/guard.h"
#include "bridge/pyref.h"
#include "bridge/python_sink.h"
#include "bridge/python_source.h"
#include "bridge/utf8_str.h"
#include "decode/decode.h"
#include "decode/nested.h"
#include "encode/encode.h"
#include "encode/writer.h"
#include "module/args.h"
#include "module/errors.h"
#include "module/options.h"

namespace vardel {

namespace {

const char* const kEncodeParams[] = {"data", "options", "default"};
const FunctionDescription kEncode{"encode", nullptr, kEncodeParams, 3, 1, 1};

const char* const kDecodeParams[] = {"toon_str", "options"};
const FunctionDescription kDecode{"decode_toon", nullptr, kDecodeParams, 2, 1};
const FunctionDescription kDecodeNested{"decode", nullptr, kDecodeParams, 2, 1};

// Returns the UTF-8 text of the str argument `toon_str`, or null with an exception set.
const char* text_argument(PyObject* source, Py_ssize_t& n) {
  if (!PyUnicode_Check(source)) {
    raise_cannot_convert(source, "PyString");
    argument_extraction_error("toon_str");
    return nullptr;
  }
  return PyUnicode_AsUTF8AndSize(source, &n);
}

PyObject* encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[3];
    if (!extract_arguments_fastcall(kEncode, args, PyVectorcall_NARGS(nargs), kwnames, slots))
      return nullptr;
    PyObject* fn = slots[2] == Py_None ? nullptr : slots[2];
    if (fn != nullptr && !PyCallable_Check(fn)) {
      PyRef name = PyRef::steal(type_qualname(Py_TYPE(fn)));
      if (name)
        PyErr_Format(PyExc_TypeError,
                     "encode() argument 'default' must be callable or None, not %U", name.get());
      return nullptr;
    }
    EncodeSettings settings;
    OptionsBorrow borrow;
    if (slots[1] != nullptr && slots[1] != Py_None &&
        !read_encode_options(slots[1], borrow, settings))
      return nullptr;
    OutputBuffer out;
    std::optional<DefaultHook> hook;
    if (fn != nullptr) hook.emplace(fn);
    auto ascii = encode_python(slots[0], out, settings, hook ? &*hook : nullptr);
    if (!ascii) return raise_encode_failure(ascii.error());
    return str_from_utf8(out.view(), *ascii);
  });
}

// Keeps the cyclic garbage collector off for its lifetime, as it was before. The values a
// decoder builds hold no cycles and no Python code runs while they are built, so a collection
// could free nothing; yet every container made counts towards one, and each would walk the
// growing result again.
class NoCollection {
 public:
  NoCollection() : was_enabled_(PyGC_Disable() != 0) {}
  NoCollection(const NoCollection&) = delete;
  NoCollection& operator=(const NoCollection&) = delete;
  ~NoCollection() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  bool was_enabled_;
};

PyObject* decode_toon(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[2];
    if (!extract_arguments_fastcall(kDecode, args, PyVectorcall_NARGS(nargs), kwnames, slots))
      return nullptr;
    Py_ssize_t n = 0;
    const char* text = text_argument(slots[0], n);
    if (text == nullptr) return nullptr;
    OptionsBorrow borrow;
    if (slots[1] != nullptr && slots[1] != Py_None && !check_decode_options(slots[1], borrow))
      return nullptr;
    std::string_view toon(text, static_cast<std::size_t>(n));
    NoCollection no_collection;
    PythonSink sink(toon);
    auto done = decode_document(toon, sink);
    if (!done) return raise_toon_error(done.error());
    return sink.take_result().release();
  });
}

PyObject* decode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[2];
    if (!extract_arguments_fastcall(kDecodeNested, args, PyVectorcall_NARGS(nargs), kwnames, slots))
      return nullptr;
    Py_ssize_t n = 0;
    const char* text = text_argument(slots[0], n);
    if (text == nullptr) return nullptr;
    DecodeSettings settings;
    OptionsBorrow borrow;
    if (slots[1] != nullptr && slots[1] != Py_None &&
        !read_decode_options(slots[1], borrow, settings))
      return nullptr;
    NoCollection no_collection;
    PythonSink sink;
    auto read = read_nested({text, static_cast<std::size_t>(n)}, settings, sink);
    if (!read) return raise_decode_error(read.error());
    return sink.take_result().release();
  });
}

}  // namespace

PyMethodDef encode_def = {
    "encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode)),
    METH_FASTCALL | METH_KEYWORDS,
    "encode(data, options=None, *, default=None)\n--\n\nEncode Python data to TOON format"};

PyMethodDef decode_toon_def = {
    "decode_toon", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_toon)),
    METH_FASTCALL | METH_KEYWORDS,
    "decode_toon(toon_str, options=None)\n--\n\nDecode TOON format to Python data"};

PyMethodDef decode_def = {
    "decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode)),
    METH_FASTCALL | METH_KEYWORDS,
    "decode(toon_str, options=None)\n--\n\nDecode TOON text to Python data, nested to any depth"};

}  // namespace vardel
