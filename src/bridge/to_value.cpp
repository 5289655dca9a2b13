// Reads Python data for the encoder: one level at a time, or whole into a
// value tree.
//
// Exact built-in types are classified first and read directly; everything
// else goes through `convert_other`, which makes the full ordered list of
// type tests (subclasses, sets, bytes, collections.abc sequences and mappings).
// Containers are read by index up to the length seen at the start. Exact
// containers are read in place; before any Python code can run (and so mutate
// the data), secure() takes references to everything being read and
// snapshots the dicts in progress, so nothing the conversion relies on can be
// freed under it.
#include "bridge/to_value.h"

#include "bridge/converter.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

#include "bridge/abc.h"
#include "bridge/dict_iter.h"
#include "bridge/guard.h"
#include "bridge/pyref.h"
#include "core/error.h"

namespace vardel {

namespace {

// Reads an int as a 16-byte little-endian integer; returns false with the
// interpreter's exception pending when it does not fit.
bool as_int128(PyObject* o, unsigned char (&bytes)[16], bool is_signed) {
  auto* l = reinterpret_cast<PyLongObject*>(o);
#if PY_VERSION_HEX >= 0x030D0000
  return _PyLong_AsByteArray(l, bytes, 16, 1, is_signed, 1) == 0;
#else
  return _PyLong_AsByteArray(l, bytes, 16, 1, is_signed) == 0;
#endif
}

}  // namespace

Read Converter::wide_integer(PyObject* o, Value& out) {
  // Raising an overflow error allocates, which may run the garbage collector.
  secure();
  PyRef index = PyRef::steal(PyNumber_Index(o));
  if (!index) return ConversionError::fetch();
  unsigned char b[16];
  std::uint64_t lo = 0;
  std::uint64_t hi = 0;
  if (as_int128(index.get(), b, false)) {
    std::memcpy(&lo, b, 8);
    std::memcpy(&hi, b + 8, 8);
    if (hi != 0) return ConversionError::custom("JSON number out of range");
    out = Value::number(Number::from_unsigned(lo));
    return {};
  }
  PyErr_Clear();
  if (!as_int128(index.get(), b, true)) return ConversionError::fetch();
  std::memcpy(&lo, b, 8);
  std::memcpy(&hi, b + 8, 8);
  // In range when the upper half is the sign extension of the lower half.
  bool fits = (hi == 0 && lo <= std::uint64_t(INT64_MAX)) ||
              (hi == ~std::uint64_t(0) && lo >= (std::uint64_t(1) << 63));
  if (!fits) return ConversionError::custom("JSON number out of range");
  auto v = static_cast<std::int64_t>(lo);
  out = v >= 0 ? Value::number(Number::from_unsigned(lo)) : Value::number(Number::from_negative(v));
  return {};
}

Read Converter::key_text(PyObject* key, std::string_view& text) {
  if (!PyUnicode_Check(key)) return ConversionError::unexpected(key, "PyString");
  if (!utf8_text(key, keys_, text)) return ConversionError::fetch();
  keep_.note(key);
  return {};
}

void Converter::start_dict(DictRead& read, Member* members, std::size_t n, std::size_t level) {
  read.members = members;
  read.n = n;
  // Only the first kOrderLevels levels are remembered: sharing one record
  // between deeper levels would let a nested dict overwrite it while an
  // enclosing dict is still being placed through it.
  if (sort_keys_ && n >= 2 && n <= kOrderMax && level < kOrderLevels) read.level = &orders_[level];
}

void Converter::choose_order(DictRead& read, PyObject* k) {
  LevelOrders& level = *read.level;
  for (KeyOrder& way : level.ways) {
    if (way.n == read.n && way.keys[0] == k) {
      read.order = &way;
      read.placed = true;
      level.misses = 0;
      return;
    }
  }
  if (level.skip != 0) {
    --level.skip;
    return;
  }
  read.order = &level.ways[level.next];
}

Read Converter::exact_dict(PyObject* o, Value& out) {
  std::size_t level = depth_;
  if (Read r = enter(o); !r) return r;
  Entered entered(*this);
  Frame& f = frames_[depth_ - 1];
  f.in_place = true;
  if (secured_) snapshot(f);
  std::size_t n = static_cast<std::size_t>(PyDict_GET_SIZE(o));
  Member* members = arena_->alloc<Member>(n);
  DictRead read;
  start_dict(read, members, n, level);
  std::size_t done = 0;
  Read ok;
  bool exact_keys = true;
  auto key = [&](PyObject* k, std::string_view& text) {
    exact_keys = exact_keys && PyUnicode_CheckExact(k);
    return key_text(k, text);
  };
  PyObject* k;
  auto value = [&](PyObject* v, Value& item) { return at_key(convert_leaf_first(v, item), k); };
  // The dict is read in place; should Python code be about to run, secure()
  // first snapshots the pairs not yet read (as keys() and values() would).
  while (done < n) {
    PyObject* v;
    if (f.in_place) {
      if (!dict_next(o, &f.pos, &k, &v)) break;
    } else {
      if (f.snap_next == f.snap_end) break;
      k = pending_[f.snap_next];
      v = pending_[f.snap_next + 1];
      f.snap_next += 2;
    }
    hold(f, v);
    ok = read_pair(read, done, k, v, key, value);
    f.release_item();
    if (!ok) break;
    ++done;
  }
  if (!f.in_place) {
    for (std::size_t i = f.snap_base; i < f.snap_end; ++i) Py_DECREF(pending_[i]);
    pending_.resize(f.snap_base);
  }
  if (!ok) return ok;
  if (read.placed) {
    if (done != n) panic("dict changed size before its snapshot was taken");
    out = Value::object(Map(members, n));
    return {};
  }
  std::size_t kept =
      sort_keys_ ? order_members(read, done) : order_mapping(members, done, exact_keys);
  out = Value::object(Map(members, kept));
  return {};
}

std::size_t Converter::order_mapping(Member* members, std::size_t n, bool exact_keys) {
  if (sort_keys_) return sort_members(members, n);
  return exact_keys ? n : keep_first_places(members, n);
}

std::optional<Converter::Level> Converter::read_level(PyObject* o) {
  if (depth_ == kMaxDepth) return std::nullopt;  // convert() tells which failure
  std::optional<Level> level = Py_TYPE(o) == &PyDict_Type ? dict_level(o) : sequence_level(o);
  if (level) {
    frames_[depth_++] = Frame{o};
    frames_[depth_ - 1].level = true;
  }
  return level;
}

bool Converter::read_other_item(PyObject* o, Value& out) {
  PyTypeObject* t = Py_TYPE(o);
  if (t == &PyUnicode_Type) {
    if (wide_ && wide_text(o, out)) {
      keep_.pin(o);
      return true;
    }
    std::string_view text;
    if (PyUnicode_IS_COMPACT_ASCII(o)) {
      text = {static_cast<const char*>(PyUnicode_DATA(o)),
              static_cast<std::size_t>(PyUnicode_GET_LENGTH(o))};
    } else if (!utf8_text(o, *arena_, text)) {
      PyErr_Clear();
      return false;
    }
    keep_.note_in_level(o);
    out = Value::string(text);
    return true;
  }
  if (t == &PyLong_Type) {
    // Only what needs no exception: the rest of the range is read whole.
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow > 0 && _PyLong_NumBits(o) <= 64) {
      out = Value::number(Number::from_unsigned(PyLong_AsUnsignedLongLong(o)));
      return true;
    }
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
      PyErr_Clear();
      return false;
    }
    out = v >= 0 ? Value::number(Number::from_unsigned(static_cast<std::uint64_t>(v)))
                 : Value::number(Number::from_negative(v));
    return true;
  }
  if (t == &PyFloat_Type) {
    out = floating(PyFloat_AS_DOUBLE(o));
    return true;
  }
  Value::Kind kind;
  if (t == &PyDict_Type) {
    kind = Value::Kind::Object;
  } else if (t == &PyList_Type || t == &PyTuple_Type) {
    kind = Value::Kind::Array;
  } else if (o == Py_None) {
    out = Value::null();
    return true;
  } else if (t == &PyBool_Type) {
    out = Value::boolean(o == Py_True);
    return true;
  } else if (hook_ != nullptr && hook_->text_at_once(o)) {
    out = Value::string(arena_->copy(hook_->text()));
    return true;
  } else {
    return false;
  }
  std::size_t n = static_cast<std::size_t>(Py_SIZE(o));
  if (t == &PyDict_Type) {
    n = static_cast<std::size_t>(PyDict_GET_SIZE(o));
    if (prefetch_deferred_) prefetch_table(o);
  }
  // Empty, it is not opened, so the nesting limit is checked here: the items
  // of the level being read lie one level below it. It is deferred all the
  // same, so that user code that fills it before it is reached is seen.
  if (n == 0 && depth_ + 1 >= kMaxDepth) return false;
  if (scalars_now_ && kind == Value::Kind::Array && n <= kScalarArrayMax &&
      read_scalar_array(o, n, out))
    return true;
  if (keep_.secured()) keep_.hold(o);
  out = Value::deferred(kind, n, o);
  return true;
}

Read Converter::read_rest(std::size_t depth, std::size_t from, Value* items, std::size_t n) {
  leave_level(depth + 1);
  Frame& f = frames_[depth];
  PyObject* o = f.container;
  bool is_list = PyList_CheckExact(o);
  for (std::size_t i = from; i < n; ++i) {
    PyObject* item;
    if (is_list) {
      // As exact_sequence reads a list: to its first length, by index.
      if (i >= static_cast<std::size_t>(PyList_GET_SIZE(o))) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return ConversionError::fetch();
      }
      item = PyList_GET_ITEM(o, i);
    } else if (items[i].is_deferred()) {
      item = static_cast<PyObject*>(const_cast<void*>(items[i].source()));
    } else if (items[i].kind() == Value::Kind::Array) {
      item = scalar_array_source(items[i]);
    } else {
      continue;  // a scalar, read already
    }
    hold(f, item);
    Value v;
    Read ok = convert_leaf_first(item, v);
    f.release_item();
    if (!ok) return at_index(std::move(ok), i);
    items[i] = v;
  }
  return {};
}

Read Converter::read_rest(std::size_t depth, std::size_t from, Member* members, std::size_t n) {
  leave_level(depth + 1);
  Frame& f = frames_[depth];
  for (std::size_t i = from; i < n; ++i) {
    const Value& value = members[i].value;
    PyObject* item;
    if (value.is_deferred()) {
      item = static_cast<PyObject*>(const_cast<void*>(value.source()));
    } else if (value.kind() == Value::Kind::Array) {
      item = scalar_array_source(value);
    } else {
      continue;  // a scalar, read already
    }
    hold(f, item);
    Value v;
    Read ok = convert(item, v);
    f.release_item();
    if (!ok) return at_key_text(std::move(ok), members[i].key);
    members[i].value = v;
  }
  return {};
}

std::optional<Converter::Level> Converter::dict_level(PyObject* o) {
  std::size_t n = static_cast<std::size_t>(PyDict_GET_SIZE(o));
  Member* members = arena_->alloc<Member>(n);
  DictRead read;
  start_dict(read, members, n, depth_);
  nested_.clear();
  auto key = [&](PyObject* k, std::string_view& text) {
    // Keys are exact str: distinct keys then have distinct text, and an
    // object has as many members as its dict has keys.
    if (!PyUnicode_CheckExact(k)) return false;
    if (PyUnicode_IS_COMPACT_ASCII(k)) {
      text = {static_cast<const char*>(PyUnicode_DATA(k)),
              static_cast<std::size_t>(PyUnicode_GET_LENGTH(k))};
    } else if (!utf8_text(k, keys_, text)) {
      PyErr_Clear();
      return false;
    }
    keep_.note_in_level(k);
    return true;
  };
  scalars_now_ = read_scalars_now();
  prefetch_deferred_ = n <= kPrefetchedLevel;
  auto value = [&](PyObject* v, Value& item) {
    if (!read_item(v, item)) return false;
    // An array read now (read_scalar_array) is read again as a deferred one would be.
    if (item.kind() >= Value::Kind::Array) nested_.push_back(v);
    return true;
  };
  Py_ssize_t pos = 0;
  PyObject* k;
  PyObject* v;
  for (std::size_t i = 0; i < n; ++i) {
    if (!dict_next(o, &pos, &k, &v)) panic("dict changed size while read");
    if (!read_pair(read, i, k, v, key, value)) return std::nullopt;
  }
  Level level;
  std::size_t kept = read.placed ? n : sort_keys_ ? order_members(read, n) : n;
  level.contents = Value::object(Map(members, kept));
  if (nested_.size() >= 2 && sort_keys_) {
    // Read in dict order, written in key order: the nested values must come
    // in the same order in both.
    std::size_t j = 0;
    for (std::size_t i = 0; i < kept; ++i) {
      const Value& item = members[i].value;
      const void* nested = item.is_deferred()                  ? item.source()
                           : item.kind() == Value::Kind::Array ? scalar_array_source(item)
                                                               : nullptr;
      if (nested != nullptr && nested != nested_[j++]) {
        level.reordered = true;
        break;
      }
    }
  }
  return level;
}

std::optional<Converter::Level> Converter::sequence_level(PyObject* o) {
  std::size_t n = static_cast<std::size_t>(Py_SIZE(o));
  Value* items = arena_->alloc<Value>(n);
  PyObject** source = PyList_CheckExact(o) ? reinterpret_cast<PyListObject*>(o)->ob_item
                                           : reinterpret_cast<PyTupleObject*>(o)->ob_item;
  scalars_now_ = read_scalars_now();
  prefetch_deferred_ = n <= kPrefetchedLevel;
  for (std::size_t i = 0; i < n; ++i) {
    // Lists of short lists (points, matrix rows) are common enough to be tried first.
    PyObject* item = source[i];
    if (i + kItemLookahead < n) __builtin_prefetch(source[i + kItemLookahead]);
    if (scalars_now_ && PyList_CheckExact(item) &&
        static_cast<std::size_t>(PyList_GET_SIZE(item)) <= kScalarArrayMax &&
        read_scalar_array(item, static_cast<std::size_t>(PyList_GET_SIZE(item)), items[i]))
      continue;
    if (!read_item(item, items[i])) return std::nullopt;
  }
  Level level;
  level.contents = Value::array(items, n);
  return level;
}

bool Converter::read_scalar_array(PyObject* o, std::size_t n, Value& out) {
  PyObject** source = PyList_CheckExact(o) ? reinterpret_cast<PyListObject*>(o)->ob_item
                                           : reinterpret_cast<PyTupleObject*>(o)->ob_item;
  Arena::Mark mark = arena_->mark();
  // The container itself stands before its items, for read_rest.
  Value* slots = arena_->alloc<Value>(n + 1);
  slots[0] = Value::deferred(Value::Kind::Array, n, o);
  Value* items = slots + 1;
  for (std::size_t i = 0; i < n; ++i) {
    PyTypeObject* t = Py_TYPE(source[i]);
    if (t == &PyList_Type || t == &PyTuple_Type || t == &PyDict_Type ||
        !read_item(source[i], items[i])) {
      arena_->rewind(mark);
      return false;
    }
  }
  out = Value::array(items, n);
  return true;
}

void Converter::secure() {
  keep_.secure();
  if (secured_) return;
  secured_ = true;
  // Remembered key objects may be freed from now on; later ones are held.
  for (LevelOrders& level : orders_)
    for (KeyOrder& way : level.ways) way.n = 0;
  // Outer frames first, so that each frame's snapshot lies below those of the
  // frames it encloses and every frame can drop its own from the top.
  for (std::size_t i = 0; i < depth_; ++i) {
    Frame& f = frames_[i];
    if (f.level) {
      // A level being written points into its items, which no code has
      // changed since it was read: hold them as they are.
      PyObject* o = f.container;
      if (PyDict_CheckExact(o)) {
        Py_ssize_t pos = 0;
        PyObject* k;
        PyObject* v;
        while (PyDict_Next(o, &pos, &k, &v)) {
          keep_.hold(k);
          keep_.hold(v);
        }
      } else {
        for (Py_ssize_t j = 0; j < Py_SIZE(o); ++j)
          keep_.hold(PyList_CheckExact(o) ? PyList_GET_ITEM(o, j) : PyTuple_GET_ITEM(o, j));
      }
      continue;
    }
    if (f.item != nullptr && !f.item_held) {
      Py_INCREF(f.item);
      f.item_held = true;
    }
    if (f.in_place) snapshot(f);
  }
}

void Converter::snapshot(Frame& f) {
  f.snap_base = f.snap_next = pending_.size();
  PyObject* k;
  PyObject* v;
  // Each reference is taken once stored: a failed push_back leaves none taken.
  while (PyDict_Next(f.container, &f.pos, &k, &v)) {
    pending_.push_back(k);
    Py_INCREF(k);
    pending_.push_back(v);
    Py_INCREF(v);
  }
  f.snap_end = pending_.size();
  f.in_place = false;
}

void Converter::hold(Frame& f, PyObject* item) {
  f.item = item;
  if (secured_) {
    Py_INCREF(item);
    f.item_held = true;
  }
}

template <class Key, class Item>
auto Converter::read_pair(DictRead& read, std::size_t i, PyObject* k, PyObject* v, Key&& key,
                          Item&& value) -> decltype(value(v, std::declval<Value&>())) {
  if (i == 0 && read.level != nullptr) choose_order(read, k);
  KeyOrder* order = read.order;
  Member* m;
  if (read.placed) {
    if (k == order->keys[i]) {
      // The same key object as in the previous dict here: its text is known
      // and already kept alive, and so is its sorted slot.
      m = &read.members[order->slot[i]];
      m->key = std::string_view(order->text[i].data, order->text[i].size);
      m->value = Value();
      return value(v, m->value);
    }
    unplace(read, i);
  }
  m = &read.members[i];
  m->value = Value();
  if (auto r = key(k, m->key); !r) return r;
  if (order != nullptr) read.keys[i] = k;
  return value(v, m->value);
}

void Converter::unplace(DictRead& read, std::size_t count) {
  alignas(Member) unsigned char storage[sizeof(Member) * kOrderMax];
  auto* tmp = reinterpret_cast<Member*>(storage);
  KeyOrder* order = read.order;
  for (std::size_t j = 0; j < count; ++j) {
    tmp[j] = read.members[order->slot[j]];
    read.keys[j] = order->keys[j];
  }
  for (std::size_t j = 0; j < count; ++j) read.members[j] = tmp[j];
  read.placed = false;
}

std::size_t Converter::order_members(DictRead& read, std::size_t n) {
  Member* members = read.members;
  KeyOrder* order = read.order;
  if (read.level == nullptr || n < 2) return sort_members(members, n);
  LevelOrders& level = *read.level;
  // No record served this dict (or one served only its first keys).
  if (++level.misses > kOrderWays) {
    // After the pause, one dict is remembered again before the next one.
    level.misses = kOrderWays - 1;
    level.skip = kOrderBackOff;
    order = nullptr;
  }
  if (order == nullptr || n != read.n) return sort_members(members, n);
  if (order == &level.ways[level.next]) level.next = (level.next + 1) % kOrderWays;
  // Remember where each key went, so that the next dict at this level with
  // the same key objects in the same order is placed without comparing text.
  alignas(Member) unsigned char storage[sizeof(Member) * kOrderMax];
  auto* before = reinterpret_cast<Member*>(storage);
  std::memcpy(static_cast<void*>(before), members, n * sizeof(Member));
  std::size_t kept = sort_members(members, n);
  if (kept != n) return kept;
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = 0; i < n; ++i) {
      if (before[i].key.data() == members[j].key.data() &&
          before[i].key.size() == members[j].key.size()) {
        order->slot[i] = static_cast<std::uint8_t>(j);
        break;
      }
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    order->keys[i] = read.keys[i];
    order->text[i] = {before[i].key.data(), before[i].key.size()};
  }
  order->n = n;
  return n;
}

Read Converter::exact_sequence(PyObject* o, Value& out) {
  if (Read r = enter(o); !r) return r;
  Entered entered(*this);
  Frame& f = frames_[depth_ - 1];
  bool is_list = PyList_CheckExact(o);
  std::size_t n = static_cast<std::size_t>(Py_SIZE(o));
  Value* items = arena_->alloc<Value>(n);
  for (std::size_t i = 0; i < n; ++i) {
    items[i] = Value();
    if (is_list) {
      // A list may shrink while user code runs; read it as item access would.
      if (i >= static_cast<std::size_t>(PyList_GET_SIZE(o))) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return ConversionError::fetch();
      }
      hold(f, PyList_GET_ITEM(o, i));
    } else {
      hold(f, PyTuple_GET_ITEM(o, i));
    }
    Read ok = convert_leaf_first(f.item, items[i]);
    f.release_item();
    if (!ok) return at_index(std::move(ok), i);
  }
  out = Value::array(items, n);
  return {};
}

Read Converter::unsupported(PyObject* o) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(o)));
  if (name) {
    PyRef text = PyRef::steal(PyObject_Str(name.get()));
    if (text) return ConversionError::unsupported(utf8_lossy(text.get()));
  }
  PyErr_Clear();
  return ConversionError::unsupported("unknown");
}

Read Converter::convert_other(PyObject* o, Value& out) {
  // Everything from here on may call into Python code.
  secure();
  if (hook_ != nullptr && hook_->refused_at_once(o)) return replaced(o, out);
  PyTypeObject* t = Py_TYPE(o);
  unsigned long flags = PyType_GetFlags(t);
  if (o == Py_None) {
    out = Value::null();
    return {};
  }
  if (t == &PyBool_Type) {
    int r = PyObject_IsTrue(o);
    if (r < 0) return ConversionError::fetch();
    out = Value::boolean(r != 0);
    return {};
  }
  if (flags & Py_TPFLAGS_LONG_SUBCLASS) return wide_integer(o, out);
  bool not_sequence = false;
  if (flags & (Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS)) {
    Py_ssize_t n = PyObject_Size(o);
    if (n < 0) return ConversionError::fetch();
    return generic_sequence(o, static_cast<std::size_t>(n), out, not_sequence);
  }
  if (flags & Py_TPFLAGS_DICT_SUBCLASS) return generic_mapping(o, out);
  if (flags & Py_TPFLAGS_UNICODE_SUBCLASS) return string(o, out);
  if (t == &PyByteArray_Type || (flags & Py_TPFLAGS_BYTES_SUBCLASS) ||
      PyType_IsSubtype(t, &PyByteArray_Type)) {
    return hook_ != nullptr ? replaced(o, out) : refused_bytes(o);
  }
  if (t == &PyFloat_Type || PyType_IsSubtype(t, &PyFloat_Type)) {
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) return ConversionError::fetch();
    out = floating(d);
    return {};
  }
  if (t == &PyFrozenSet_Type || PyType_IsSubtype(t, &PyFrozenSet_Type) || t == &PySet_Type ||
      PyType_IsSubtype(t, &PySet_Type)) {
    Read as_sequence = generic_sequence(o, std::nullopt, out, not_sequence);
    if (as_sequence || !not_sequence) return as_sequence;
    // Not a sequence after all: read it by iteration; the sequence error is dropped.
    return set_items(o, out);
  }
  Check sequence = sequence_check(o);
  if (sequence == Check::Interrupted) return ConversionError::fetch();
  if (sequence == Check::Yes) {
    Py_ssize_t n = PyObject_Size(o);
    if (n < 0) return ConversionError::fetch();
    return generic_sequence(o, static_cast<std::size_t>(n), out, not_sequence);
  }
  Check mapping = mapping_check(o);
  if (mapping == Check::Interrupted) return ConversionError::fetch();
  if (mapping == Check::Yes) return generic_mapping(o, out);
  return hook_ != nullptr ? replaced(o, out) : unsupported(o);
}

Read Converter::refused_bytes(PyObject* o) {
  if (PyType_GetFlags(Py_TYPE(o)) & Py_TPFLAGS_BYTES_SUBCLASS)
    return ConversionError::custom("invalid type: byte array, expected any valid JSON value");
  return ConversionError::unexpected(o, "PyBytes");
}

Read Converter::replaced(PyObject* o, Value& out) {
  if (depth_ + replacing_ > kMaxDepth) return ConversionError::nesting_limit(kTooDeep);
  switch (hook_->replace(o)) {
    case DefaultHook::Outcome::Text:
      out = Value::string(arena_->copy(hook_->text()));
      return {};
    case DefaultHook::Outcome::Unchanged: {
      PyTypeObject* t = Py_TYPE(o);
      bool bytes = (PyType_GetFlags(t) & Py_TPFLAGS_BYTES_SUBCLASS) ||
                   PyType_IsSubtype(t, &PyByteArray_Type);
      return bytes ? refused_bytes(o) : unsupported(o);
    }
    case DefaultHook::Outcome::Failed:
      return ConversionError::default_raised();
    case DefaultHook::Outcome::Object:
      break;
  }
  // Held while converted: only the strs the tree points into are kept after.
  PyRef replacement = hook_->take_object();
  ++replacing_;
  Read read = convert(replacement.get(), out);
  --replacing_;
  return read;
}

Read Converter::generic_sequence(PyObject* o, std::optional<std::size_t> expected, Value& out,
                                 bool& not_sequence) {
  unsigned long flags = PyType_GetFlags(Py_TYPE(o));
  if (!(flags & (Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS))) {
    Check sequence = sequence_check(o);
    if (sequence == Check::Interrupted) return ConversionError::fetch();
    if (sequence == Check::No) {
      not_sequence = true;
      return ConversionError::unexpected(o, "Sequence");
    }
  }
  Py_ssize_t len = PyObject_Size(o);
  if (len < 0) return ConversionError::fetch();
  std::size_t n = static_cast<std::size_t>(len);
  if (expected && *expected != n) return ConversionError::length_mismatch(*expected, n);
  Vec<Value> items;
  {
    if (Read r = enter(o); !r) return r;
    Entered entered(*this);
    items.reserve(n < 4096 ? n : 4096);
    for (std::size_t i = 0; i < n; ++i) {
      PyRef item = PyRef::steal(PySequence_GetItem(o, static_cast<Py_ssize_t>(i)));
      if (!item) return ConversionError::fetch();
      Value v;
      if (Read r = convert(item.get(), v); !r) return at_index(std::move(r), i);
      items.push_back(v);
    }
  }
  return finish_array(items, out);
}

Read Converter::set_items(PyObject* o, Value& out) {
  PyRef iter = PyRef::steal(PyObject_GetIter(o));
  if (!iter) return ConversionError::fetch();
  Vec<Value> items;
  {
    if (Read r = enter(o); !r) return r;
    Entered entered(*this);
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
      Value v;
      if (Read r = convert(item.get(), v); !r) return at_index(std::move(r), items.size());
      items.push_back(v);
    }
  }
  if (PyErr_Occurred()) return ConversionError::fetch();
  return finish_array(items, out);
}

Read Converter::finish_array(const Vec<Value>& items, Value& out) {
  Value* stored = arena_->alloc<Value>(items.size());
  if (!items.empty())
    std::memcpy(static_cast<void*>(stored), items.data(), items.size() * sizeof(Value));
  out = Value::array(stored, items.size());
  return {};
}

Read Converter::finish_object(Vec<Member>& members, bool exact_keys, Value& out) {
  Member* stored = arena_->alloc<Member>(members.size());
  if (!members.empty())
    std::memcpy(static_cast<void*>(stored), members.data(), members.size() * sizeof(Member));
  out = Value::object(Map(stored, order_mapping(stored, members.size(), exact_keys)));
  return {};
}

Read Converter::generic_mapping(PyObject* o, Value& out) {
  if (!(PyType_GetFlags(Py_TYPE(o)) & Py_TPFLAGS_DICT_SUBCLASS)) {
    Check mapping = mapping_check(o);
    if (mapping == Check::Interrupted) return ConversionError::fetch();
    if (mapping == Check::No) return ConversionError::unexpected(o, "Mapping");
  }
  PyRef keys = PyRef::steal(PyMapping_Keys(o));
  if (!keys) return ConversionError::fetch();
  PyRef values = PyRef::steal(PyMapping_Values(o));
  if (!values) return ConversionError::fetch();
  Py_ssize_t len = PyMapping_Size(o);
  if (len < 0) return ConversionError::fetch();
  Vec<Member> members;
  {
    if (Read r = enter(o); !r) return r;
    Entered entered(*this);
    for (Py_ssize_t i = 0; i < len; ++i) {
      PyRef key = PyRef::steal(PySequence_GetItem(keys.get(), i));
      if (!key) return ConversionError::fetch();
      Member m{};
      if (Read r = key_text(key.get(), m.key); !r) return r;
      PyRef value = PyRef::steal(PySequence_GetItem(values.get(), i));
      if (!value) return ConversionError::fetch();
      if (Read r = convert(value.get(), m.value); !r) return at_key(std::move(r), key.get());
      members.push_back(m);
    }
  }
  // keys() may name a key twice.
  return finish_object(members, false, out);
}

}  // namespace vardel
