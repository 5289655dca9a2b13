#include "module/functions.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "bridge/guard.h"
#include "bridge/pyref.h"
#include "bridge/python_sink.h"
#include "bridge/python_source.h"
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

const char* const kDumpParams[] = {"data", "fp", "options", "default"};
const FunctionDescription kDump{"dump", nullptr, kDumpParams, 4, 2, 1};

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

// Reads the options and hook given as arguments to `fn_name` into `settings` and `hook`; returns
// false with an exception set. `borrow` holds what the settings borrow.
bool encode_arguments(const char* fn_name, PyObject* options, PyObject* default_fn,
                      OptionsBorrow& borrow, EncodeSettings& settings,
                      std::optional<DefaultHook>& hook) {
  PyObject* fn = default_fn == Py_None ? nullptr : default_fn;
  if (fn != nullptr && !PyCallable_Check(fn)) {
    PyRef name = PyRef::steal(type_qualname(Py_TYPE(fn)));
    if (name)
      PyErr_Format(PyExc_TypeError, "%s() argument 'default' must be callable or None, not %U",
                   fn_name, name.get());
    return false;
  }
  if (options != nullptr && options != Py_None && !read_encode_options(options, borrow, settings))
    return false;
  if (fn != nullptr) hook.emplace(fn);
  return true;
}

PyObject* encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[3];
    if (!extract_arguments_fastcall(kEncode, args, PyVectorcall_NARGS(nargs), kwnames, slots))
      return nullptr;
    EncodeSettings settings;
    OptionsBorrow borrow;
    std::optional<DefaultHook> hook;
    if (!encode_arguments("encode", slots[1], slots[2], borrow, settings, hook)) return nullptr;
    auto text = encode_python_str(slots[0], settings, hook ? &*hook : nullptr);
    if (!text) return raise_encode_failure(text.error());
    return *text;
  });
}

// The text is handed to the file a piece at a time: the whole text is never held twice, as a str
// or bytes object beside the buffer it was written in.
constexpr std::size_t kDumpPiece = std::size_t(1) << 20;

// Returns whether `fp` takes bytes: a binary stream of the io module. Anything else is written
// strs, as json.dump does. Null with an exception set on failure.
std::optional<bool> takes_bytes(PyObject* fp) {
  PyRef io = PyRef::steal(PyImport_ImportModule("io"));
  if (!io) return std::nullopt;
  for (const char* base : {"RawIOBase", "BufferedIOBase"}) {
    PyRef type = PyRef::steal(PyObject_GetAttrString(io.get(), base));
    if (!type) return std::nullopt;
    int is = PyObject_IsInstance(fp, type.get());
    if (is < 0) return std::nullopt;
    if (is) return true;
  }
  return false;
}

// Calls `write` with `text` as pieces of bytes cut between characters; a binary stream that
// writes less than a piece is handed the rest. Returns false with an exception set.
bool write_bytes(PyObject* write, std::string_view text) {
  while (!text.empty()) {
    std::size_t n = std::min(text.size(), kDumpPiece);
    while (n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    PyRef piece = PyRef::steal(PyBytes_FromStringAndSize(text.data(), Py_ssize_t(n)));
    if (!piece) return false;
    PyRef written = PyRef::steal(PyObject_CallOneArg(write, piece.get()));
    if (!written) return false;
    std::size_t done = n;
    if (PyLong_Check(written.get())) {
      Py_ssize_t w = PyLong_AsSsize_t(written.get());
      if (w < 0 && PyErr_Occurred()) return false;
      if (w >= 0 && std::size_t(w) < n) done = std::size_t(w);
    }
    text.remove_prefix(done);
  }
  return true;
}

// Hands a piece of text, a str, to the `write` method `context`.
bool write_str(PyObject* piece, void* context) {
  PyRef owned = PyRef::steal(piece);
  PyRef written = PyRef::steal(PyObject_CallOneArg(static_cast<PyObject*>(context), piece));
  return bool(written);
}

PyObject* dump(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[4];
    if (!extract_arguments_fastcall(kDump, args, PyVectorcall_NARGS(nargs), kwnames, slots))
      return nullptr;
    PyRef write = PyRef::steal(PyObject_GetAttrString(slots[1], "write"));
    if (!write) return nullptr;
    std::optional<bool> as_bytes = takes_bytes(slots[1]);
    if (!as_bytes) return nullptr;
    EncodeSettings settings;
    OptionsBorrow borrow;
    std::optional<DefaultHook> hook;
    if (!encode_arguments("dump", slots[2], slots[3], borrow, settings, hook)) return nullptr;
    DefaultHook* h = hook ? &*hook : nullptr;
    if (*as_bytes) {
      OutputBuffer out;
      auto encoded = encode_python(slots[0], out, settings, h);
      if (!encoded) return raise_encode_failure(encoded.error());
      if (!write_bytes(write.get(), out.view())) return nullptr;
    } else {
      auto written =
          encode_python_pieces(slots[0], settings, h, kDumpPiece, write_str, write.get());
      if (!written) return raise_encode_failure(written.error());
      if (!*written) return nullptr;
    }
    Py_RETURN_NONE;
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
    std::string_view toon(text, static_cast<std::size_t>(n));
    NoCollection no_collection;
    PythonSink sink(toon);
    auto read = read_nested(toon, settings, sink);
    if (!read) return raise_decode_error(read.error());
    return sink.take_result().release();
  });
}

}  // namespace

PyMethodDef encode_def = {
    "encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode)),
    METH_FASTCALL | METH_KEYWORDS,
    "encode(data, options=None, *, default=None)\n--\n\nEncode Python data to TOON format"};

PyMethodDef dump_def = {
    "dump", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dump)),
    METH_FASTCALL | METH_KEYWORDS,
    "dump(data, fp, options=None, *, default=None)\n--\n\nEncode Python data to TOON text "
    "written to the file fp: bytes to a binary stream, strs to any other"};

PyMethodDef decode_toon_def = {
    "decode_toon", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_toon)),
    METH_FASTCALL | METH_KEYWORDS,
    "decode_toon(toon_str, options=None)\n--\n\nDecode TOON format to Python data"};

PyMethodDef decode_def = {
    "decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode)),
    METH_FASTCALL | METH_KEYWORDS,
    "decode(toon_str, options=None)\n--\n\nDecode TOON text to Python data, nested to any depth"};

}  // namespace vardel
