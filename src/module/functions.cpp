#include "module/functions.h"

#include <cstring>

#include "bridge/direct.h"
#include "bridge/python_sink.h"
#include "bridge/to_value.h"
#include "bridge/utf8_str.h"
#include "decode/decode.h"
#include "decode/nested.h"
#include "encode/encode.h"
#include "encode/writer.h"
#include "module/args.h"
#include "module/errors.h"
#include "bridge/guard.h"
#include "module/options.h"
#include "bridge/pyref.h"

namespace vardel {

namespace {

const char* const kEncodeParams[] = {"data", "options"};
const FunctionDescription kEncode{"encode", nullptr, kEncodeParams, 2, 1};

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
    PyObject* slots[2];
    if (!extract_arguments_fastcall(kEncode, args, PyVectorcall_NARGS(nargs), kwnames, slots))
      return nullptr;
    EncodeSettings settings;
    OptionsBorrow borrow;
    if (slots[1] != nullptr && slots[1] != Py_None &&
        !read_encode_options(slots[1], borrow, settings))
      return nullptr;
    OutputBuffer out;
    bool ascii = false;
    if (encode_direct(slots[0], out, settings, ascii)) return str_from_utf8(out.view(), ascii);
    // Data of other types, and data that fails, take the general path.
    out.truncate(0);
    Arena arena;
    KeepAlive keep;
    auto value = deserialize_any(slots[0], arena, keep);
    if (!value) return raise_conversion_error(value.error());
    auto written = encode_into(out, *value, 0, settings);
    if (!written) return raise_toon_error(written.error());
    return str_from_utf8(out.view(), keep.all_ascii());
  });
}

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
    PythonSink sink(toon);
    auto done = decode_document(toon, sink);
    if (!done) return raise_toon_error(done.error());
    return sink.take_result().release();
  });
}

PyObject* decode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[2];
    if (!extract_arguments_fastcall(kDecodeNested, args, PyVectorcall_NARGS(nargs), kwnames,
                                    slots))
      return nullptr;
    Py_ssize_t n = 0;
    const char* text = text_argument(slots[0], n);
    if (text == nullptr) return nullptr;
    DecodeSettings settings;
    OptionsBorrow borrow;
    if (slots[1] != nullptr && slots[1] != Py_None &&
        !read_decode_options(slots[1], borrow, settings))
      return nullptr;
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
    "encode(data, options=None)\n--\n\nEncode Python data to TOON format"};

PyMethodDef decode_toon_def = {
    "decode_toon", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_toon)),
    METH_FASTCALL | METH_KEYWORDS,
    "decode_toon(toon_str, options=None)\n--\n\nDecode TOON format to Python data"};

PyMethodDef decode_def = {
    "decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode)),
    METH_FASTCALL | METH_KEYWORDS,
    "decode(toon_str, options=None)\n--\n\nDecode TOON text to Python data, nested to any depth"};

}  // namespace vardel
