#include "bridge/python_sink.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#include "bridge/utf8_str.h"

namespace vardel {

namespace {

// Returns true if the bytes `a` (of length `na`) order strictly before `b`.
bool bytes_less(const char* a, std::size_t na, std::string_view b) {
  // Keys often share long prefixes (dotted paths), which the comparison (memcmp) passes many
  // bytes at a time. An empty key may have no storage at all.
  return std::string_view(a, na) < b;
}

}  // namespace

PyRef PythonSink::take_result() {
  if (!open_.empty() || stack_.size() != 1) return PyRef();
  PyRef result = std::move(stack_.back());
  stack_.clear();
  return result;
}

bool PythonSink::place(PyObject* o) {
  if (o == nullptr) return false;
  if (!open_.empty()) {
    Open& top = open_.back();
    if (top.dict && !top.collecting) {
      PyRef key = std::move(top.key);
      PyRef value = PyRef::steal(o);
      return PyDict_SetItem(top.dict.get(), key.get(), value.get()) == 0;
    }
    // The list takes over the reference; nothing here can fail.
    if (top.filled < top.capacity) {
      PyList_SET_ITEM(top.list.get(), static_cast<Py_ssize_t>(top.filled++), o);
      return true;
    }
    if (top.list) spill(top);
  }
  push(o);
  return true;
}

void PythonSink::push(PyObject* o) {
  PyRef owned = PyRef::steal(o);
  stack_.push_back(std::move(owned));  // on bad_alloc, `owned` still holds the reference
}

void PythonSink::spill(Open& o) {
  for (std::size_t i = 0; i < o.filled; ++i) {
    PyObject** item = &PyList_GET_ITEM(o.list.get(), static_cast<Py_ssize_t>(i));
    stack_.push_back(PyRef::steal(std::exchange(*item, nullptr)));
  }
  o.list.reset();
  o.capacity = 0;
}

namespace {

// Returns a new int or float for `n`, or null with an exception set.
PyObject* number_object(Number n) {
  switch (n.form()) {
    case Number::Form::Unsigned:
      return PyLong_FromUnsignedLongLong(n.as_unsigned());
    case Number::Form::Negative:
      return PyLong_FromLongLong(n.as_negative());
    case Number::Form::Double:
      return PyFloat_FromDouble(n.as_double());
  }
  return nullptr;
}

}  // namespace

bool PythonSink::number(Number n) {
  return place(number_object(n));
}

PyObject* PythonSink::scalar(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::String:
      return values_.get(v.as_string());
    case Value::Kind::Number:
      return number_object(v.as_number());
    case Value::Kind::Bool:
      return Py_NewRef(v.as_bool() ? Py_True : Py_False);
    default:
      return Py_NewRef(Py_None);
  }
}

bool PythonSink::row(const Row& row) {
  const std::size_t width = row.columns.size();
  PyRef dict = PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(width)));
  if (!dict) return false;
  for (std::size_t c : row.columns) {
    std::string_view k = row.keys[c];
    // The field names were made for the row before, unless evicted. An empty name may have
    // no storage (null data); it is never cached.
    PyObject* found = k.data() != nullptr ? keys_.find_slice(k) : nullptr;
    PyRef key = PyRef::steal(found != nullptr ? found : keys_.get(k));
    if (!key) return false;
    PyRef value = PyRef::steal(scalar(row.cells[c]));
    if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) return false;
  }
  last_width_ = width;
  return place(dict.release());
}

bool PythonSink::string(std::string_view s) {
  return place(values_.get(s));
}

bool PythonSink::begin_array(std::size_t size_hint) {
  PyRef list;
  // The count a text announces may be false: only a small one is trusted with memory.
  if (size_hint != 0 && size_hint <= kMaxPresized) {
    list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size_hint)));
    if (!list) return false;
  }
  open_.push_back({PyRef(), PyRef(), stack_.size(), KeyOrder::AsRead, true});
  open_.back().capacity = list ? size_hint : 0;
  open_.back().list = std::move(list);
  return true;
}

bool PythonSink::end_array() {
  Open o = std::move(open_.back());
  open_.pop_back();
  if (o.list) {
    // Fewer elements than announced: the list ends at the last one (the rest are null).
    if (o.filled < o.capacity) Py_SET_SIZE(o.list.get(), static_cast<Py_ssize_t>(o.filled));
    return place(o.list.release());
  }
  std::size_t n = stack_.size() - o.start;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (list == nullptr) return false;
  for (std::size_t i = 0; i < n; ++i)
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), stack_[o.start + i].release());
  stack_.resize(o.start);
  return place(list);
}

bool PythonSink::begin_object(KeyOrder order) {
  if (open_.empty()) {
    open_.push_back({PyRef(), PyRef(), stack_.size(), order, true});
    return true;
  }
  // Objects next to each other (a table's rows) mostly have the same width.
  PyRef dict = PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(last_width_)));
  if (!dict) return false;
  open_.push_back({std::move(dict), PyRef(), stack_.size(), order, false});
  return true;
}

bool PythonSink::key(std::string_view k) {
  // A key of a nested object is one that documents of a kind repeat, and goes through the
  // process's table. The top-level object's keys are its own; keeping them would only evict
  // those that recur.
  PyRef s = PyRef::steal(open_.size() == 1 ? str_from_utf8(k) : shared_key(k));
  if (!s) return false;
  Open& o = open_.back();
  if (o.order == KeyOrder::Sorted && o.ascending) {
    if (o.has_last && (o.last == nullptr || !bytes_less(o.last, o.last_size, k))) {
      o.ascending = false;
      if (!o.collecting) start_collecting(o);
    } else {
      o.has_last = true;
      bool ascii = PyUnicode_IS_COMPACT_ASCII(s.get());
      o.last = ascii ? static_cast<const char*>(PyUnicode_DATA(s.get())) : nullptr;
      o.last_size = k.size();
    }
  }
  if (o.collecting)
    stack_.push_back(std::move(s));
  else
    o.key = std::move(s);
  return true;
}

void PythonSink::start_collecting(Open& o) {
  o.collecting = true;
  PyObject* key;
  PyObject* value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(o.dict.get(), &pos, &key, &value)) {
    stack_.push_back(PyRef::borrow(key));
    stack_.push_back(PyRef::borrow(value));
  }
  PyDict_Clear(o.dict.get());
}

bool PythonSink::fill_collected(Open& o) {
  PyRef* pairs = stack_.data() + o.start;
  std::size_t n = (stack_.size() - o.start) / 2;
  if (!o.dict) {
    o.dict = PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(n)));
    if (!o.dict) return false;
  }
  auto key = [pairs](std::size_t i) { return pairs[2 * i].get(); };
  auto set = [&](std::size_t i) {
    return PyDict_SetItem(o.dict.get(), key(i), pairs[2 * i + 1].get()) == 0;
  };
  if (o.order == KeyOrder::AsRead || o.ascending) {
    for (std::size_t i = 0; i < n; ++i)
      if (!set(i)) return false;
  } else {
    order_.resize(n);
    for (std::size_t i = 0; i < n; ++i) order_[i] = i;
    // Stable, so the members of a repeated key stay in reading order, and the dict, which
    // keeps a repeated key's first place, takes its last value.
    std::stable_sort(order_.begin(), order_.end(),
                     [&](std::size_t a, std::size_t b) { return str_order(key(a), key(b)) < 0; });
    for (std::size_t i : order_)
      if (!set(i)) return false;
  }
  stack_.resize(o.start);
  return true;
}

bool PythonSink::end_object() {
  Open o = std::move(open_.back());
  open_.pop_back();
  if (o.collecting && !fill_collected(o)) return false;
  last_width_ = static_cast<std::size_t>(PyDict_GET_SIZE(o.dict.get()));
  return place(o.dict.release());
}

}  // namespace vardel
