// EncodeOptions and DecodeOptions: plain mutable records whose fields are
// guarded by a borrow count while a call reads them. They compare, print and
// pickle by their fields; being mutable, they are unhashable.
#include "module/options.h"

#include <cstring>
#include <string>

#include "bridge/conversion_error.h"
#include "bridge/guard.h"
#include "bridge/pyref.h"
#include "module/args.h"

namespace vardel {

namespace {

// Borrow state: 0 free, > 0 shared readers, -1 a writer.
using BorrowCount = Py_ssize_t;

struct OptionsObject {
  PyObject_HEAD BorrowCount borrow;
};

struct EncodeOptionsObject {
  PyObject_HEAD BorrowCount borrow;
  std::string* delimiter;
  unsigned long long indent;
  bool use_length_markers;
  bool strict;
  bool sort_keys;
  bool uniform_indent;
};

struct DecodeOptionsObject {
  PyObject_HEAD BorrowCount borrow;
  bool strict;
  char delimiter;
};

PyObject* g_encode_type = nullptr;
PyObject* g_decode_type = nullptr;

// --- conversions of Python values to field values -------------------------

bool to_text(PyObject* o, std::string& out) {
  if (!PyUnicode_Check(o)) {
    raise_cannot_convert(o, "PyString");
    return false;
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (s == nullptr) return false;
  out.assign(s, static_cast<std::size_t>(n));
  return true;
}

bool to_u64(PyObject* o, unsigned long long& out) {
  PyRef index;
  if (!PyLong_Check(o)) {
    index = PyRef::steal(PyNumber_Index(o));
    if (!index) return false;
    o = index.get();
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

// Returns true if `o` is a numpy boolean scalar (numpy.bool_ or numpy.bool).
bool is_numpy_bool(PyObject* o) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
  PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
  PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__name__"));
  PyErr_Clear();
  if (!module || !name || !PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get()))
    return false;
  return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

bool to_bool(PyObject* o, bool& out) {
  if (o == Py_True || o == Py_False) {
    out = o == Py_True;
    return true;
  }
  PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
  if (nb != nullptr && nb->nb_bool != nullptr && is_numpy_bool(o)) {
    int r = nb->nb_bool(o);
    if (r < 0) return false;
    out = r != 0;
    return true;
  }
  raise_cannot_convert(o, "PyBool");
  return false;
}

// Reads the delimiter of DecodeOptions: a str of one of the three characters
// that can separate array elements; ValueError names them for any other str.
bool to_delimiter_char(PyObject* o, char& out) {
  if (!PyUnicode_Check(o)) {
    raise_cannot_convert(o, "PyString");
    return false;
  }
  if (PyUnicode_GET_LENGTH(o) == 1) {
    Py_UCS4 c = PyUnicode_READ_CHAR(o, 0);
    if (c == ',' || c == '\t' || c == '|') {
      out = static_cast<char>(c);
      return true;
    }
  }
  // A plain copy, so that the message runs no __repr__ of a str subclass.
  PyRef plain = PyRef::steal(PyUnicode_FromObject(o));
  if (!plain) return false;
  PyErr_Format(PyExc_ValueError, "delimiter must be ',', '\\t' or '|', not %R", plain.get());
  return false;
}

// Converts parameter `name`; on failure applies the argument error rule.
template <class T, class F>
bool convert_param(PyObject* o, const char* name, F&& conv, T& out) {
  if (conv(o, out)) return true;
  argument_extraction_error(name);
  return false;
}

// --- the borrow flag ------------------------------------------------------

BorrowCount& borrow_of(PyObject* self) {
  return reinterpret_cast<OptionsObject*>(self)->borrow;
}

// Runs `store` under the writer borrow; fails when a call holds the instance.
template <class F>
int with_writer(PyObject* self, F&& store) {
  BorrowCount& b = borrow_of(self);
  if (b != 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return -1;
  }
  b = -1;
  store();
  b = 0;
  return 0;
}

int deleting(PyObject* value) {
  if (value != nullptr) return 0;
  PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
  return -1;
}

// --- what both classes share: repr, equality, pickling ---------------------

const char* bool_text(bool b) {
  return b ? "True" : "False";
}

// Returns "Name(" with the qualified name of the instance's type.
PyObject* repr_opening(PyObject* self) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(self)));
  if (!name) return nullptr;
  return PyUnicode_FromFormat("%U(", name.get());
}

// Equality of two option instances by `same_fields`; any other comparison,
// or one with an object of another type, is left to the other operand.
template <class F>
PyObject* compare_fields(PyObject* a, PyObject* b, int op, F&& same_fields) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
  return PyBool_FromLong(same_fields() == (op == Py_EQ));
}

// The value of __reduce__: the instance's type, its positional fields and,
// as attribute state, its keyword-only fields (set through the setters when
// pickle or copy rebuild the instance).
PyObject* reduce_value(PyObject* self, PyObject* positional, PyObject* keyword_only) {
  PyRef args = PyRef::steal(positional);
  PyRef attrs = PyRef::steal(keyword_only);
  if (!args || !attrs) return nullptr;
  return Py_BuildValue("(O O (O O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get(),
                       Py_None, attrs.get());
}

// --- EncodeOptions --------------------------------------------------------

EncodeOptionsObject* enc(PyObject* self) {
  return reinterpret_cast<EncodeOptionsObject*>(self);
}

// The last two are keyword-only: the positional form of the first four stays as it was.
const char* const kEncodeParams[] = {"delimiter", "indent",    "use_length_markers",
                                     "strict",    "sort_keys", "uniform_indent"};
const FunctionDescription kEncodeNew{"__new__", "EncodeOptions", kEncodeParams, 6, 0, 2};

PyObject* encode_options_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[6];
    if (!extract_arguments_tuple_dict(kEncodeNew, args, kwargs, slots)) return nullptr;
    std::string delimiter = ",";
    unsigned long long indent = 2;
    bool markers = true;
    bool strict = true;
    bool sort_keys = true;
    bool uniform_indent = false;
    if (slots[0] && !convert_param(slots[0], "delimiter", to_text, delimiter)) return nullptr;
    if (slots[1] && !convert_param(slots[1], "indent", to_u64, indent)) return nullptr;
    if (slots[2] && !convert_param(slots[2], "use_length_markers", to_bool, markers))
      return nullptr;
    if (slots[3] && !convert_param(slots[3], "strict", to_bool, strict)) return nullptr;
    if (slots[4] && !convert_param(slots[4], "sort_keys", to_bool, sort_keys)) return nullptr;
    if (slots[5] && !convert_param(slots[5], "uniform_indent", to_bool, uniform_indent))
      return nullptr;
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    EncodeOptionsObject* o = enc(self.get());
    o->borrow = 0;
    o->delimiter = new std::string(std::move(delimiter));
    o->indent = indent;
    o->use_length_markers = markers;
    o->strict = strict;
    o->sort_keys = sort_keys;
    o->uniform_indent = uniform_indent;
    return self.release();
  });
}

void encode_options_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete enc(self)->delimiter;
  enc(self)->delimiter = nullptr;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* get_delimiter(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const std::string& d = *enc(self)->delimiter;
    return PyUnicode_DecodeUTF8(d.data(), static_cast<Py_ssize_t>(d.size()), nullptr);
  });
}

int set_delimiter(PyObject* self, PyObject* value, void*) {
  return guarded<int>(-1, [&]() -> int {
    if (deleting(value) < 0) return -1;
    std::string text;
    if (!convert_param(value, "delimiter", to_text, text)) return -1;
    return with_writer(self, [&] { *enc(self)->delimiter = std::move(text); });
  });
}

PyObject* get_indent(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr,
                            [&] { return PyLong_FromUnsignedLongLong(enc(self)->indent); });
}

int set_indent(PyObject* self, PyObject* value, void*) {
  return guarded<int>(-1, [&]() -> int {
    if (deleting(value) < 0) return -1;
    unsigned long long v = 0;
    if (!convert_param(value, "indent", to_u64, v)) return -1;
    return with_writer(self, [&] { enc(self)->indent = v; });
  });
}

template <bool EncodeOptionsObject::*Field>
PyObject* get_enc_flag(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return PyBool_FromLong(enc(self)->*Field); });
}

template <bool EncodeOptionsObject::*Field>
int set_enc_flag(PyObject* self, PyObject* value, void* closure) {
  return guarded<int>(-1, [&]() -> int {
    if (deleting(value) < 0) return -1;
    bool v = false;
    if (!convert_param(value, static_cast<const char*>(closure), to_bool, v)) return -1;
    return with_writer(self, [&] { enc(self)->*Field = v; });
  });
}

PyGetSetDef encode_getset[] = {
    {"delimiter", get_delimiter, set_delimiter, "", nullptr},
    {"indent", get_indent, set_indent, "", nullptr},
    {"use_length_markers", get_enc_flag<&EncodeOptionsObject::use_length_markers>,
     set_enc_flag<&EncodeOptionsObject::use_length_markers>, "",
     const_cast<char*>("use_length_markers")},
    {"strict", get_enc_flag<&EncodeOptionsObject::strict>,
     set_enc_flag<&EncodeOptionsObject::strict>, "", const_cast<char*>("strict")},
    {"sort_keys", get_enc_flag<&EncodeOptionsObject::sort_keys>,
     set_enc_flag<&EncodeOptionsObject::sort_keys>, "", const_cast<char*>("sort_keys")},
    {"uniform_indent", get_enc_flag<&EncodeOptionsObject::uniform_indent>,
     set_enc_flag<&EncodeOptionsObject::uniform_indent>, "", const_cast<char*>("uniform_indent")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* encode_options_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyRef opening = PyRef::steal(repr_opening(self));
    PyRef delimiter = PyRef::steal(get_delimiter(self, nullptr));
    if (!opening || !delimiter) return nullptr;
    const EncodeOptionsObject* o = enc(self);
    return PyUnicode_FromFormat(
        "%Udelimiter=%R, indent=%llu, use_length_markers=%s, strict=%s, sort_keys=%s, "
        "uniform_indent=%s)",
        opening.get(), delimiter.get(), o->indent, bool_text(o->use_length_markers),
        bool_text(o->strict), bool_text(o->sort_keys), bool_text(o->uniform_indent));
  });
}

PyObject* encode_options_compare(PyObject* a, PyObject* b, int op) {
  return guarded<PyObject*>(nullptr, [&] {
    return compare_fields(a, b, op, [&] {
      const EncodeOptionsObject* x = enc(a);
      const EncodeOptionsObject* y = enc(b);
      return *x->delimiter == *y->delimiter && x->indent == y->indent &&
             x->use_length_markers == y->use_length_markers && x->strict == y->strict &&
             x->sort_keys == y->sort_keys && x->uniform_indent == y->uniform_indent;
    });
  });
}

PyObject* encode_options_reduce(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyRef delimiter = PyRef::steal(get_delimiter(self, nullptr));
    if (!delimiter) return nullptr;
    const EncodeOptionsObject* o = enc(self);
    return reduce_value(
        self,
        Py_BuildValue("(OKOO)", delimiter.get(), o->indent,
                      o->use_length_markers ? Py_True : Py_False, o->strict ? Py_True : Py_False),
        Py_BuildValue("{sOsO}", "sort_keys", o->sort_keys ? Py_True : Py_False, "uniform_indent",
                      o->uniform_indent ? Py_True : Py_False));
  });
}

PyMethodDef encode_methods[] = {
    {"__reduce__", encode_options_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kEncodeDoc =
    "EncodeOptions(delimiter=..., indent=2, use_length_markers=True, strict=True, *, "
    "sort_keys=True, uniform_indent=False)\n--\n\n"
    "Configuration options for TOON encoding";

// --- DecodeOptions --------------------------------------------------------

DecodeOptionsObject* dec(PyObject* self) {
  return reinterpret_cast<DecodeOptionsObject*>(self);
}

const char* const kDecodeParams[] = {"strict", "delimiter"};
const FunctionDescription kDecodeNew{"__new__", "DecodeOptions", kDecodeParams, 2, 0, 1};

PyObject* decode_options_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[2];
    if (!extract_arguments_tuple_dict(kDecodeNew, args, kwargs, slots)) return nullptr;
    bool strict = true;
    char delimiter = ',';
    if (slots[0] && !convert_param(slots[0], "strict", to_bool, strict)) return nullptr;
    if (slots[1] && !convert_param(slots[1], "delimiter", to_delimiter_char, delimiter))
      return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    dec(self)->borrow = 0;
    dec(self)->strict = strict;
    dec(self)->delimiter = delimiter;
    return self;
  });
}

void decode_options_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* get_dec_strict(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return PyBool_FromLong(dec(self)->strict); });
}

int set_dec_strict(PyObject* self, PyObject* value, void*) {
  return guarded<int>(-1, [&]() -> int {
    if (deleting(value) < 0) return -1;
    bool v = false;
    if (!convert_param(value, "strict", to_bool, v)) return -1;
    return with_writer(self, [&] { dec(self)->strict = v; });
  });
}

PyObject* get_dec_delimiter(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr,
                            [&] { return PyUnicode_FromStringAndSize(&dec(self)->delimiter, 1); });
}

int set_dec_delimiter(PyObject* self, PyObject* value, void*) {
  return guarded<int>(-1, [&]() -> int {
    if (deleting(value) < 0) return -1;
    char v = ',';
    if (!convert_param(value, "delimiter", to_delimiter_char, v)) return -1;
    return with_writer(self, [&] { dec(self)->delimiter = v; });
  });
}

PyGetSetDef decode_getset[] = {
    {"strict", get_dec_strict, set_dec_strict, "", nullptr},
    {"delimiter", get_dec_delimiter, set_dec_delimiter, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* decode_options_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyRef opening = PyRef::steal(repr_opening(self));
    PyRef delimiter = PyRef::steal(get_dec_delimiter(self, nullptr));
    if (!opening || !delimiter) return nullptr;
    return PyUnicode_FromFormat("%Ustrict=%s, delimiter=%R)", opening.get(),
                                bool_text(dec(self)->strict), delimiter.get());
  });
}

PyObject* decode_options_compare(PyObject* a, PyObject* b, int op) {
  return guarded<PyObject*>(nullptr, [&] {
    return compare_fields(a, b, op, [&] {
      return dec(a)->strict == dec(b)->strict && dec(a)->delimiter == dec(b)->delimiter;
    });
  });
}

PyObject* decode_options_reduce(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyRef delimiter = PyRef::steal(get_dec_delimiter(self, nullptr));
    if (!delimiter) return nullptr;
    return reduce_value(self, Py_BuildValue("(O)", dec(self)->strict ? Py_True : Py_False),
                        Py_BuildValue("{sO}", "delimiter", delimiter.get()));
  });
}

PyMethodDef decode_methods[] = {
    {"__reduce__", decode_options_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kDecodeDoc =
    "DecodeOptions(strict=True, *, delimiter=',')\n--\n\nConfiguration options for TOON decoding";

// --- class creation -------------------------------------------------------

// What make_type builds a class from. `dotted_name` is "vardel._vardel."
// followed by `name`.
struct ClassParts {
  const char* name;
  const char* dotted_name;
  int basicsize;
  newfunc new_fn;
  destructor dealloc;
  reprfunc repr;
  richcmpfunc compare;
  const char* doc;
  PyGetSetDef* getset;
  PyMethodDef* methods;
};

// The class is created under the dotted name, from which the interpreter takes
// __module__; a bare name makes PyType_FromSpec issue a DeprecationWarning,
// which fails the import when warnings are errors. The class then keeps the
// bare name in its messages. Both classes are unhashable: they are mutable and
// compare by value.
PyObject* make_type(const ClassParts& c) {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(c.new_fn)},
      {Py_tp_dealloc, reinterpret_cast<void*>(c.dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(c.repr)},
      {Py_tp_richcompare, reinterpret_cast<void*>(c.compare)},
      {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
      {Py_tp_doc, const_cast<char*>(c.doc)},
      {Py_tp_getset, c.getset},
      {Py_tp_methods, c.methods},
      {0, nullptr},
  };
  PyType_Spec shape{c.dotted_name, c.basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&shape);
  if (type == nullptr) return nullptr;
  reinterpret_cast<PyTypeObject*>(type)->tp_name = c.name;
  return type;
}

bool borrow_as(PyObject* options, PyObject* type, const char* target, OptionsBorrow& borrow) {
  if (type == nullptr) return false;
  if (!PyObject_TypeCheck(options, reinterpret_cast<PyTypeObject*>(type))) {
    raise_cannot_convert(options, target);
    argument_extraction_error("options");
    return false;
  }
  return borrow.acquire(options);
}

}  // namespace

PyObject* encode_options_type() {
  if (g_encode_type == nullptr) {
    g_encode_type =
        make_type({"EncodeOptions", "vardel._vardel.EncodeOptions", sizeof(EncodeOptionsObject),
                   encode_options_new, encode_options_dealloc, encode_options_repr,
                   encode_options_compare, kEncodeDoc, encode_getset, encode_methods});
  }
  return g_encode_type;
}

PyObject* decode_options_type() {
  if (g_decode_type == nullptr) {
    g_decode_type =
        make_type({"DecodeOptions", "vardel._vardel.DecodeOptions", sizeof(DecodeOptionsObject),
                   decode_options_new, decode_options_dealloc, decode_options_repr,
                   decode_options_compare, kDecodeDoc, decode_getset, decode_methods});
  }
  return g_decode_type;
}

bool OptionsBorrow::acquire(PyObject* instance) {
  BorrowCount& b = borrow_of(instance);
  if (b < 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return false;
  }
  ++b;
  instance_ = Py_NewRef(instance);
  return true;
}

OptionsBorrow::~OptionsBorrow() {
  if (instance_ == nullptr) return;
  --borrow_of(instance_);
  Py_DECREF(instance_);
}

bool read_encode_options(PyObject* options, OptionsBorrow& borrow, EncodeSettings& settings) {
  if (!borrow_as(options, encode_options_type(), "EncodeOptions", borrow)) return false;
  EncodeOptionsObject* o = enc(options);
  settings.delimiter = *o->delimiter;
  settings.indent = o->indent;
  settings.use_length_markers = o->use_length_markers;
  settings.strict = o->strict;
  settings.sort_keys = o->sort_keys;
  settings.uniform_indent = o->uniform_indent;
  return true;
}

bool read_decode_options(PyObject* options, OptionsBorrow& borrow, DecodeSettings& settings) {
  if (!borrow_as(options, decode_options_type(), "DecodeOptions", borrow)) return false;
  DecodeOptionsObject* o = dec(options);
  settings.delimiter = o->delimiter;
  settings.strict = o->strict;
  return true;
}

bool check_decode_options(PyObject* options, OptionsBorrow& borrow) {
  return borrow_as(options, decode_options_type(), "DecodeOptions", borrow);
}

}  // namespace vardel
