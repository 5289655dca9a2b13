// The common types read the way the ready-made hook reads them, without calling it.
//
// A type is read here only when the hook's result is known to come from the
// code read here: exact datetime, date, time and UUID objects, Enum members,
// dataclass instances, and subclasses that look attributes up normally and
// keep what the hook relies on (isoformat, __str__ and the int slot, value).
// Anything else is left to the hook.
#include "bridge/common_types.h"

#include <datetime.h>

#include <cstdint>
#include <iterator>

namespace vardel {

namespace {

// Held for the life of the process: the module is never unloaded, and
// releasing them from a static destructor would run after the interpreter ends.
struct Known {
  bool ready = false;
  PyTypeObject* uuid_type = nullptr;
  PyTypeObject* enum_type = nullptr;
  PyObject* field_marker = nullptr;  // dataclasses._FIELD, read on the first dataclass
  PyObject* hook = nullptr;
  // The attributes the hook relies on, as the base classes define them.
  PyObject* datetime_isoformat = nullptr;
  PyObject* date_isoformat = nullptr;
  PyObject* time_isoformat = nullptr;
  PyObject* uuid_str = nullptr;
  PyObject* uuid_int = nullptr;
  PyObject* enum_value = nullptr;
  // Interned attribute names.
  PyObject* isoformat = nullptr;
  PyObject* utcoffset = nullptr;
  PyObject* str = nullptr;
  PyObject* int_ = nullptr;
  PyObject* value = nullptr;
  PyObject* value_ = nullptr;
  PyObject* fields = nullptr;
  PyObject* field_type = nullptr;
  PyObject* name = nullptr;
  PyObject* class_ = nullptr;
  PyObject* object_class = nullptr;  // object.__class__
};

Known known;

// Returns a new reference to `module`.`attr`, or null with an exception set.
PyObject* import_attr(const char* module, const char* attr) {
  PyRef m = PyRef::steal(PyImport_ImportModule(module));
  return m ? PyObject_GetAttrString(m.get(), attr) : nullptr;
}

// Returns a new reference to the attribute `name` in the method order of `type`.
PyObject* defined(PyTypeObject* type, PyObject* name) {
  return Py_XNewRef(_PyType_Lookup(type, name));
}

bool intern(PyObject*& slot, const char* text) {
  slot = PyUnicode_InternFromString(text);
  return slot != nullptr;
}

// Returns a new reference to the attribute `name` of `type` when it is the
// standard library's own definition, a function `qualname` or (through a
// property) has one as getter, else null: a definition patched in before the
// first use is not relied on, the hook is called instead. Leaves no exception set.
PyObject* original(PyTypeObject* type, PyObject* name, const char* qualname) {
  PyRef attr = PyRef::borrow(_PyType_Lookup(type, name));
  if (!attr) return nullptr;
  PyRef function = PyRef::borrow(attr.get());
  if (!PyFunction_Check(function.get())) {
    function = PyRef::steal(PyObject_GetAttrString(attr.get(), "fget"));
    PyErr_Clear();
  }
  if (!function || !PyFunction_Check(function.get())) return nullptr;
  PyObject* q = reinterpret_cast<PyFunctionObject*>(function.get())->func_qualname;
  if (!PyUnicode_Check(q) || PyUnicode_CompareWithASCIIString(q, qualname) != 0) return nullptr;
  return attr.release();
}

// Imports what the readers compare against, once. Returns false with an
// exception set (and tries again on the next call).
bool ready() {
  if (known.ready) return true;
  if (PyDateTimeAPI == nullptr) {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) return false;
  }
  if (known.name == nullptr &&
      !(intern(known.isoformat, "isoformat") && intern(known.utcoffset, "utcoffset") &&
        intern(known.str, "__str__") && intern(known.int_, "int") && intern(known.value, "value") &&
        intern(known.value_, "_value_") && intern(known.fields, "__dataclass_fields__") &&
        intern(known.field_type, "_field_type") && intern(known.class_, "__class__") &&
        intern(known.name, "name")))
    return false;
  PyRef uuid = PyRef::steal(import_attr("uuid", "UUID"));
  PyRef enum_type = PyRef::steal(import_attr("enum", "Enum"));
  if (!uuid || !enum_type) return false;
  if (!PyType_Check(uuid.get()) || !PyType_Check(enum_type.get())) {
    PyErr_SetString(PyExc_TypeError, "uuid.UUID and enum.Enum must be classes");
    return false;
  }
  known.uuid_type = reinterpret_cast<PyTypeObject*>(uuid.release());
  known.enum_type = reinterpret_cast<PyTypeObject*>(enum_type.release());
  known.datetime_isoformat = defined(PyDateTimeAPI->DateTimeType, known.isoformat);
  known.date_isoformat = defined(PyDateTimeAPI->DateType, known.isoformat);
  known.time_isoformat = defined(PyDateTimeAPI->TimeType, known.isoformat);
  known.uuid_str = original(known.uuid_type, known.str, "UUID.__str__");
  known.uuid_int = defined(known.uuid_type, known.int_);
  known.enum_value = original(known.enum_type, known.value, "Enum.value");
  known.object_class = defined(&PyBaseObject_Type, known.class_);
  known.ready = true;
  return true;
}

// Whether `name` on instances of `t` is `base`'s: lookups are the default
// ones and `t` does not redefine it.
bool keeps(PyTypeObject* t, PyObject* name, PyObject* base) {
  return base != nullptr && t->tp_getattro == PyObject_GenericGetAttr &&
         _PyType_Lookup(t, name) == base;
}

// Writes `v` as `n` decimal digits, zero-padded.
char* digits(char* w, unsigned v, int n) {
  for (int i = n - 1; i >= 0; --i) {
    w[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  return w + n;
}

// Writes "HH:MM:SS" and ".ffffff" when the microseconds are not zero.
char* clock(char* w, unsigned h, unsigned m, unsigned s, unsigned us) {
  w = digits(w, h, 2);
  *w++ = ':';
  w = digits(w, m, 2);
  *w++ = ':';
  w = digits(w, s, 2);
  if (us != 0) {
    *w++ = '.';
    w = digits(w, us, 6);
  }
  return w;
}

enum class Step { Done, Other, Failed };

// Appends the UTC offset that isoformat() appends for `tzinfo` (not None),
// asked with `arg`: "+HH:MM", with ":SS" when it has seconds or
// microseconds and ".ffffff" when it has microseconds. An offset isoformat()
// would refuse is left to the hook, which then raises isoformat()'s error.
Step offset(PyObject* tzinfo, PyObject* arg, char*& w) {
  PyRef delta = PyRef::steal(PyObject_CallMethodOneArg(tzinfo, known.utcoffset, arg));
  if (!delta) return Step::Failed;
  if (delta.get() == Py_None) return Step::Done;
  if (!PyDelta_Check(delta.get())) return Step::Other;
  long long days = PyDateTime_DELTA_GET_DAYS(delta.get());
  long long total = (days * 86400 + PyDateTime_DELTA_GET_SECONDS(delta.get())) * 1000000 +
                    PyDateTime_DELTA_GET_MICROSECONDS(delta.get());
  constexpr long long kDay = 86400LL * 1000000;
  if (total <= -kDay || total >= kDay) return Step::Other;
  *w++ = total < 0 ? '-' : '+';
  if (total < 0) total = -total;
  auto us = static_cast<unsigned>(total % 1000000);
  auto s = static_cast<unsigned>(total / 1000000);
  w = digits(w, s / 3600, 2);
  *w++ = ':';
  w = digits(w, s / 60 % 60, 2);
  if (s % 60 != 0 || us != 0) {
    *w++ = ':';
    w = digits(w, s % 60, 2);
  }
  if (us != 0) {
    *w++ = '.';
    w = digits(w, us, 6);
  }
  return Step::Done;
}

char* calendar_date(char* w, PyObject* o) {
  w = digits(w, PyDateTime_GET_YEAR(o), 4);
  *w++ = '-';
  w = digits(w, PyDateTime_GET_MONTH(o), 2);
  *w++ = '-';
  return digits(w, PyDateTime_GET_DAY(o), 2);
}

Step finish_text(Step step, char* end, CommonForm& form) {
  if (step != Step::Done) return step;
  form.kind = CommonForm::Kind::Text;
  form.size = static_cast<std::size_t>(end - form.text);
  return Step::Done;
}

Step datetime_text(PyObject* o, CommonForm& form) {
  char* w = calendar_date(form.text, o);
  *w++ = 'T';
  w = clock(w, PyDateTime_DATE_GET_HOUR(o), PyDateTime_DATE_GET_MINUTE(o),
            PyDateTime_DATE_GET_SECOND(o), PyDateTime_DATE_GET_MICROSECOND(o));
  PyObject* tz = PyDateTime_DATE_GET_TZINFO(o);
  Step step = tz == Py_None ? Step::Done : offset(tz, o, w);
  return finish_text(step, w, form);
}

Step time_text(PyObject* o, CommonForm& form) {
  char* w = clock(form.text, PyDateTime_TIME_GET_HOUR(o), PyDateTime_TIME_GET_MINUTE(o),
                  PyDateTime_TIME_GET_SECOND(o), PyDateTime_TIME_GET_MICROSECOND(o));
  PyObject* tz = PyDateTime_TIME_GET_TZINFO(o);
  Step step = tz == Py_None ? Step::Done : offset(tz, Py_None, w);
  return finish_text(step, w, form);
}

// Whether str() of a UUID of type `t` is UUID.__str__ reading the int slot.
bool plain_uuid(PyTypeObject* t) {
  return keeps(t, known.str, known.uuid_str) && keeps(t, known.int_, known.uuid_int) &&
         Py_IS_TYPE(known.uuid_int, &PyMemberDescr_Type);
}

// The canonical text of a UUID from its 128-bit int attribute; a UUID whose
// int is not one is left to the hook.
Step uuid_text(PyObject* o, CommonForm& form) {
  PyRef value = PyRef::steal(PyObject_GetAttr(o, known.int_));
  if (!value) return Step::Failed;
  if (!PyLong_CheckExact(value.get())) return Step::Other;
  unsigned char bytes[16];
  auto* l = reinterpret_cast<PyLongObject*>(value.get());
#if PY_VERSION_HEX >= 0x030D0000
  int r = _PyLong_AsByteArray(l, bytes, 16, 0, 0, 1);
#else
  int r = _PyLong_AsByteArray(l, bytes, 16, 0, 0);
#endif
  if (r < 0) {
    PyErr_Clear();  // negative or wider than 128 bits: str() decides what that gives
    return Step::Other;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  char* w = form.text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *w++ = '-';
    *w++ = kHex[bytes[i] >> 4];
    *w++ = kHex[bytes[i] & 15];
  }
  return finish_text(Step::Done, w, form);
}

Step enum_value(PyObject* o, CommonForm& form) {
  form.object = PyRef::steal(PyObject_GetAttr(o, known.value_));
  if (!form.object) return Step::Failed;
  form.kind = CommonForm::Kind::Object;
  return Step::Done;
}

// The names of the entries of a dataclass's field table marked as fields,
// in order: a new reference to a tuple, or null with an exception set.
PyObject* read_field_names(PyObject* fields) {
  if (known.field_marker == nullptr) {
    known.field_marker = import_attr("dataclasses", "_FIELD");
    if (known.field_marker == nullptr) return nullptr;
  }
  // A snapshot: reading a field may run code that changes the table.
  PyRef entries = PyRef::steal(PyDict_Values(fields));
  PyRef names = PyRef::steal(PyList_New(0));
  if (!entries || !names) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
    PyObject* field = PyList_GET_ITEM(entries.get(), i);
    PyRef type = PyRef::steal(PyObject_GetAttr(field, known.field_type));
    if (!type) return nullptr;
    if (type.get() != known.field_marker) continue;
    PyRef name = PyRef::steal(PyObject_GetAttr(field, known.name));
    if (!name || PyList_Append(names.get(), name.get()) < 0) return nullptr;
  }
  return PyList_AsTuple(names.get());
}

// The field names of the last few dataclasses met, by field table. A table
// is not expected to change once its class is made; one that changes size is
// read again. Held for the life of the process, like `known`.
struct FieldNames {
  PyObject* table = nullptr;
  Py_ssize_t size = 0;
  PyObject* names = nullptr;
};
FieldNames field_names_seen[8];

// Returns a new reference to the field names of the table `fields`, or null
// with an exception set.
PyObject* field_names(PyObject* fields) {
  auto slot = reinterpret_cast<std::uintptr_t>(fields) >> 4;
  FieldNames& seen = field_names_seen[slot % std::size(field_names_seen)];
  if (seen.table == fields && seen.size == PyDict_GET_SIZE(fields)) return Py_NewRef(seen.names);
  PyObject* names = read_field_names(fields);
  if (names == nullptr) return nullptr;
  Py_XDECREF(seen.table);
  Py_XDECREF(seen.names);
  seen = {Py_NewRef(fields), PyDict_GET_SIZE(fields), Py_NewRef(names)};
  return names;
}

// The dict of the fields of a dataclass instance, `fields` being its class's
// field table: the entries marked as fields, in order, each read from `o`.
Step dataclass_dict(PyObject* o, PyObject* fields, CommonForm& form) {
  if (!PyDict_Check(fields)) return Step::Other;
  PyRef names = PyRef::steal(field_names(fields));
  if (!names) return Step::Failed;
  Py_ssize_t n = PyTuple_GET_SIZE(names.get());
  PyRef out = PyRef::steal(_PyDict_NewPresized(n));
  if (!out) return Step::Failed;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* name = PyTuple_GET_ITEM(names.get(), i);
    PyRef value = PyRef::steal(PyObject_GetAttr(o, name));
    if (!value || PyDict_SetItem(out.get(), name, value.get()) < 0) return Step::Failed;
  }
  form.object = std::move(out);
  form.kind = CommonForm::Kind::Object;
  return Step::Done;
}

// The types after the exact datetimes, in the hook's order.
[[gnu::cold]] Step other_form(PyObject* o, CommonForm& form) {
  PyTypeObject* t = Py_TYPE(o);
  if (PyDateTime_Check(o))
    return keeps(t, known.isoformat, known.datetime_isoformat) ? datetime_text(o, form)
                                                               : Step::Other;
  if (PyDate_Check(o)) {
    if (!keeps(t, known.isoformat, known.date_isoformat)) return Step::Other;
    return finish_text(Step::Done, calendar_date(form.text, o), form);
  }
  if (PyTime_Check(o))
    return keeps(t, known.isoformat, known.time_isoformat) ? time_text(o, form) : Step::Other;
  if (PyType_IsSubtype(t, known.uuid_type)) return plain_uuid(t) ? uuid_text(o, form) : Step::Other;
  if (PyType_IsSubtype(t, known.enum_type))
    return keeps(t, known.value, known.enum_value) ? enum_value(o, form) : Step::Other;
  if (PyObject* fields = _PyType_Lookup(t, known.fields)) {
    if (t->tp_getattro != PyObject_GenericGetAttr) return Step::Other;
    PyRef held = PyRef::borrow(fields);
    return dataclass_dict(o, held.get(), form);
  }
  return Step::Other;
}

}  // namespace

bool common_form(PyObject* o, CommonForm& form) {
  form.kind = CommonForm::Kind::Other;
  if (!ready()) return false;
  PyTypeObject* t = Py_TYPE(o);
  Step step;
  if (t == PyDateTimeAPI->DateTimeType) {
    step = datetime_text(o, form);
  } else if (t == PyDateTimeAPI->DateType) {
    step = finish_text(Step::Done, calendar_date(form.text, o), form);
  } else {
    step = other_form(o, form);
  }
  if (step == Step::Failed) {
    form.kind = CommonForm::Kind::Other;
    return false;
  }
  return true;
}

bool common_types_ready() {
  return ready();
}

bool common_text_at_once(PyObject* o, CommonForm& form) {
  form.kind = CommonForm::Kind::Other;
  PyTypeObject* t = Py_TYPE(o);
  // datetime.timezone answers utcoffset() with the offset it holds.
  auto plain_zone = [](PyObject* tz) {
    return tz == Py_None || Py_TYPE(tz) == Py_TYPE(PyDateTime_TimeZone_UTC);
  };
  Step step;
  if (t == PyDateTimeAPI->DateTimeType) {
    if (!plain_zone(PyDateTime_DATE_GET_TZINFO(o))) return false;
    step = datetime_text(o, form);
  } else if (t == PyDateTimeAPI->DateType) {
    step = finish_text(Step::Done, calendar_date(form.text, o), form);
  } else if (t == PyDateTimeAPI->TimeType) {
    if (!plain_zone(PyDateTime_TIME_GET_TZINFO(o))) return false;
    step = time_text(o, form);
  } else if (t == known.uuid_type && plain_uuid(t)) {
    step = uuid_text(o, form);
  } else {
    return false;
  }
  if (step == Step::Done && form.kind == CommonForm::Kind::Text) return true;
  PyErr_Clear();
  form.kind = CommonForm::Kind::Other;
  return false;
}

bool refused_without_check(PyObject* o) {
  if (!known.ready) return false;
  PyTypeObject* t = Py_TYPE(o);
  if (t == PyDateTimeAPI->DateTimeType || t == PyDateTimeAPI->DateType ||
      t == PyDateTimeAPI->TimeType || t == known.uuid_type)
    return true;
  constexpr unsigned long kTaken =
      Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_LONG_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS |
      Py_TPFLAGS_TUPLE_SUBCLASS | Py_TPFLAGS_BYTES_SUBCLASS | Py_TPFLAGS_UNICODE_SUBCLASS |
      Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_SEQUENCE | Py_TPFLAGS_MAPPING;
  unsigned long flags = PyType_GetFlags(t);
  if (!(flags & Py_TPFLAGS_HEAPTYPE) || (flags & kTaken)) return false;
  if (_PyType_Lookup(t, known.class_) != known.object_class) return false;
  if (PyType_IsSubtype(t, &PyFloat_Type) || PyType_IsSubtype(t, &PySet_Type) ||
      PyType_IsSubtype(t, &PyFrozenSet_Type) || PyType_IsSubtype(t, &PyByteArray_Type))
    return false;
  return PyType_IsSubtype(t, known.enum_type) || _PyType_Lookup(t, known.fields) != nullptr;
}

PyObject* common_types_hook() {
  if (known.hook == nullptr) known.hook = import_attr("vardel._types", "common_types");
  return known.hook;
}

}  // namespace vardel
