#include "bridge/python_sink.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "bridge/utf8_str.h"

namespace vardel {

namespace {

// Spreads a key's length, first and last bytes over a slot number.
std::size_t slot_of(std::string_view text, std::size_t slots) {
  std::uint64_t head = 0, tail = 0;
  std::size_t n = text.size();
  if (n >= 8) {
    std::memcpy(&head, text.data(), 8);
    std::memcpy(&tail, text.data() + n - 8, 8);
  } else {
    std::memcpy(&head, text.data(), n);
  }
  std::uint64_t h = (head ^ (tail * 0x9E3779B97F4A7C15ULL) ^ n) * 0xBF58476D1CE4E5B9ULL;
  return static_cast<std::size_t>(h >> 56) % slots;
}

}  // namespace

PyObject* KeyCache::get(std::string_view text) {
  if (text.size() > kMaxSize || text.empty()) return str_from_utf8(text);
  PyRef& slot = slots_[slot_of(text, kSlots)];
  PyObject* cached = slot.get();
  if (cached != nullptr && static_cast<std::size_t>(PyUnicode_GET_LENGTH(cached)) == text.size() &&
      std::memcmp(PyUnicode_DATA(cached), text.data(), text.size()) == 0)
    return Py_NewRef(cached);
  PyObject* made = str_from_utf8(text);
  if (made != nullptr && PyUnicode_IS_COMPACT_ASCII(made)) slot.reset(Py_NewRef(made));
  return made;
}

PyRef PythonSink::take_result() {
  if (!open_.empty() || stack_.size() != 1) return PyRef();
  PyRef result = std::move(stack_.back());
  stack_.clear();
  return result;
}

bool PythonSink::push(PyObject* o) {
  PyRef owned = PyRef::steal(o);
  if (!owned) return false;
  stack_.push_back(std::move(owned));
  return true;
}

bool PythonSink::number(Number n) {
  switch (n.form()) {
    case Number::Form::Unsigned: return push(PyLong_FromUnsignedLongLong(n.as_unsigned()));
    case Number::Form::Negative: return push(PyLong_FromLongLong(n.as_negative()));
    case Number::Form::Double: return push(PyFloat_FromDouble(n.as_double()));
  }
  return push(nullptr);
}

bool PythonSink::string(std::string_view s) { return push(str_from_utf8(s)); }

bool PythonSink::begin_array(std::size_t) {
  open_.push_back({stack_.size(), false, KeyOrder::AsRead});
  return true;
}

bool PythonSink::end_array() {
  std::size_t start = open_.back().start;
  open_.pop_back();
  std::size_t n = stack_.size() - start;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (list == nullptr) return false;
  for (std::size_t i = 0; i < n; ++i)
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), stack_[start + i].release());
  stack_.resize(start);
  return push(list);
}

bool PythonSink::begin_object(KeyOrder order) {
  open_.push_back({stack_.size(), true, order});
  return true;
}

bool PythonSink::end_object() {
  Open o = open_.back();
  open_.pop_back();
  PyObject* dict = make_dict(stack_.data() + o.start, (stack_.size() - o.start) / 2, o.order);
  stack_.resize(o.start);
  return push(dict);
}

PyObject* PythonSink::make_dict(PyRef* pairs, std::size_t n, KeyOrder order) {
  PyRef dict = PyRef::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(n)));
  if (!dict) return nullptr;
  auto key = [pairs](std::size_t i) { return pairs[2 * i].get(); };
  bool in_order = true;
  if (order == KeyOrder::Sorted) {
    // Rows come with their keys in order already; other objects are sorted here.
    for (std::size_t i = 1; i < n && in_order; ++i) in_order = str_order(key(i - 1), key(i)) < 0;
  }
  if (in_order) {
    // A repeated key keeps its first place and takes the later value: dict insertion does that.
    for (std::size_t i = 0; i < n; ++i)
      if (PyDict_SetItem(dict.get(), key(i), pairs[2 * i + 1].get()) < 0) return nullptr;
    return dict.release();
  }
  order_.resize(n);
  for (std::size_t i = 0; i < n; ++i) order_[i] = i;
  // Stable, so the members of a repeated key stay in reading order and the last value wins.
  std::stable_sort(order_.begin(), order_.end(),
                   [&](std::size_t a, std::size_t b) { return str_order(key(a), key(b)) < 0; });
  for (std::size_t i : order_)
    if (PyDict_SetItem(dict.get(), key(i), pairs[2 * i + 1].get()) < 0) return nullptr;
  return dict.release();
}

}  // namespace vardel
