// The converter from Python data to value trees, shared by deserialize_any
// and the direct encoder.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "bridge/conversion_error.h"
#include "bridge/default_hook.h"
#include "bridge/to_value.h"
#include "bridge/utf8_str.h"
#include "core/error.h"
#include "core/value.h"

namespace vardel {

inline constexpr const char* kTooDeep = "data is nested deeper than 512 levels";
inline constexpr const char* kCircular = "circular reference: a container holds itself";
static_assert(kMaxDepth == 512, "update kTooDeep");

class Converter {
 public:
  Converter(Arena& arena, KeepAlive& keep) : arena_(arena), key_arena_(&arena), keep_(keep) {}
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  // Releases what the readers still hold when a failure unwinds them.
  ~Converter() {
    for (PyObject* o : pending_) Py_DECREF(o);
    for (std::size_t i = 0; i < depth_; ++i) frames_[i].release_item();
  }

  // Converts `o` into `out`; on failure records the error and returns false.
  // The common leaves (ASCII str, small int, float) without a call; the rest
  // through convert().
  [[gnu::always_inline]] bool convert_leaf_first(PyObject* o, Value& out) {
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyUnicode_Type && PyUnicode_IS_COMPACT_ASCII(o)) {
      keep_.note(o);
      out = Value::string({static_cast<const char*>(PyUnicode_DATA(o)),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(o))});
      return true;
    }
    if (t == &PyLong_Type && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
      Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
      out = v >= 0 ? Value::number(Number::from_unsigned(static_cast<std::uint64_t>(v)))
                   : Value::number(Number::from_negative(v));
      return true;
    }
    if (t == &PyFloat_Type) return floating(PyFloat_AS_DOUBLE(o), out);
    return convert(o, out);
  }

  bool convert(PyObject* o, Value& out) {
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyUnicode_Type) return string(o, out);
    if (t == &PyLong_Type) return integer(o, out);
    if (t == &PyFloat_Type) return floating(PyFloat_AS_DOUBLE(o), out);
    if (t == &PyDict_Type)
      return shallow_ ? defer(o, Value::Kind::Object, PyDict_GET_SIZE(o), out) : exact_dict(o, out);
    if (t == &PyList_Type)
      return shallow_ ? defer(o, Value::Kind::Array, PyList_GET_SIZE(o), out)
                      : exact_sequence(o, out);
    if (o == Py_None) {
      out = Value::null();
      return true;
    }
    if (t == &PyBool_Type) {
      out = Value::boolean(o == Py_True);
      return true;
    }
    if (t == &PyTuple_Type)
      return shallow_ ? defer(o, Value::Kind::Array, PyTuple_GET_SIZE(o), out)
                      : exact_sequence(o, out);
    return shallow_ ? give_up() : convert_other(o, out);
  }

  ConversionError take_error() { return std::move(*error_); }

  // Sends every object the conversion refuses to `hook` (which outlives the
  // converter), and converts what stands for it in its place. Each object
  // being replaced counts as a level of nesting for the containers in what
  // replaces it, so that a hook that keeps returning new objects ends.
  void use_default(DefaultHook& hook) { hook_ = &hook; }

  // Makes the converter read one container level at a time, for the direct
  // encoder: exact dicts, lists and tuples inside the container being read
  // become deferred values (Value::deferred, the object as source), and
  // anything else that is not an exact built-in scalar, or could not be read
  // without running Python code or raising, fails at once.
  void read_shallow() { shallow_ = true; }
  // Stores the UTF-8 form of keys that is not read in place in `arena`,
  // which must outlive every read (key orders are remembered across reads).
  void keep_keys_in(Arena& arena) { key_arena_ = &arena; }
  // Reads the exact dict, list or tuple `o` one level deep (after
  // read_shallow), remembering key orders under `level`.
  bool read_level(PyObject* o, std::size_t level, Value& out) {
    level_base_ = level;
    return Py_TYPE(o) == &PyDict_Type ? exact_dict(o, out) : exact_sequence(o, out);
  }

 private:
  bool failed(ConversionError e) {
    error_.emplace(std::move(e));
    return false;
  }
  bool failed_fetch() { return failed(ConversionError::fetch()); }
  // Fails a shallow read; the caller takes the general path.
  bool give_up() { return failed(ConversionError::custom("not read directly")); }
  static bool defer(PyObject* o, Value::Kind kind, Py_ssize_t n, Value& out) {
    out = Value::deferred(kind, static_cast<std::size_t>(n), o);
    return true;
  }

  bool floating(double d, Value& out) {
    out = std::isfinite(d) ? Value::number(Number::from_double(d)) : Value::null();
    return true;
  }

  bool string(PyObject* o, Value& out) {
    std::string_view text;
    if (!utf8_text(o, arena_, text)) return failed_fetch();
    keep_.note(o);
    out = Value::string(text);
    return true;
  }

  bool integer(PyObject* o, Value& out) {
    auto* l = reinterpret_cast<PyLongObject*>(o);
    if (PyUnstable_Long_IsCompact(l)) {
      Py_ssize_t v = PyUnstable_Long_CompactValue(l);
      out = v >= 0 ? Value::number(Number::from_unsigned(static_cast<std::uint64_t>(v)))
                   : Value::number(Number::from_negative(v));
      return true;
    }
    return wide_integer(o, out);
  }

  // The general integer rule: read as unsigned, then signed, 128-bit.
  bool wide_integer(PyObject* o, Value& out);

  // Enters a container; fails when the nesting limit is reached.
  bool enter(PyObject* o) {
    if (depth_ + replacing_ >= kMaxDepth) {
      for (std::size_t i = 0; i < depth_; ++i) {
        if (frames_[i].container == o) return failed(ConversionError::nesting_limit(kCircular));
      }
      return failed(ConversionError::nesting_limit(kTooDeep));
    }
    frames_[depth_++] = Frame{o};
    return true;
  }
  void leave() { --depth_; }

  bool exact_dict(PyObject* o, Value& out);
  bool exact_sequence(PyObject* o, Value& out);
  bool convert_other(PyObject* o, Value& out);
  bool generic_sequence(PyObject* o, std::optional<std::size_t> expected, Value& out,
                        bool& not_sequence);
  bool generic_mapping(PyObject* o, Value& out);
  bool set_items(PyObject* o, Value& out);
  bool unsupported(PyObject* o);
  // Fails with the error of the bytes or bytearray `o`.
  bool refused_bytes(PyObject* o);
  // Converts what the default hook gives for the refused object `o`.
  bool replaced(PyObject* o, Value& out);
  // Records, as a failure unwinds, the step from a container to its item.
  bool failed_at_index(std::size_t i) {
    error_->path().add_index(i);
    return false;
  }
  bool failed_at_key(PyObject* key) {
    error_->path().add_key(key);
    return false;
  }
  // Returns the key's UTF-8 slice kept alive, or fails.
  bool key_text(PyObject* key, std::string_view& text);
  bool finish_object(std::vector<Member>& members, Value& out);
  // Stores the elements read from a sequence or set as the array `out`.
  bool finish_array(const std::vector<Value>& items, Value& out);
  // Records repeat one key set in one insertion order, and their keys are the
  // same str objects. For small dicts the converter remembers, per nesting
  // level, the key objects of the last dict read and the sorted slot of each;
  // a dict with the same key objects is then written straight into sorted order.
  static constexpr std::size_t kOrderMax = 32;
  static constexpr std::size_t kOrderLevels = 8;
  struct KeyOrder {
    std::size_t n = 0;
    PyObject* keys[kOrderMax];  // in dict order; kept alive by keep_ for the call
    std::string_view text[kOrderMax];
    std::uint8_t slot[kOrderMax];  // sorted position of the key at each dict position
  };
  // State of one exact dict being read.
  struct DictRead {
    Member* members = nullptr;
    KeyOrder* order = nullptr;  // null for dicts too small or too large to remember
    bool placed = false;        // members are being written to the remembered slots
    PyObject* keys[kOrderMax];
  };
  // Reads the i-th pair of a dict into its member.
  bool read_pair(DictRead& read, std::size_t i, PyObject* k, PyObject* v);
  // Moves the first `count` placed members back to dict order.
  void unplace(DictRead& read, std::size_t count);
  // Sorts the members read in dict order; returns how many are kept.
  std::size_t order_members(DictRead& read, std::size_t n);
  KeyOrder orders_[kOrderLevels];

  Arena& arena_;
  Arena* key_arena_;
  KeepAlive& keep_;
  bool shallow_ = false;
  std::size_t level_base_ = 0;  // nesting level of the outermost container being read
  std::optional<ConversionError> error_;
  DefaultHook* hook_ = nullptr;
  std::size_t replacing_ = 0;  // objects being replaced, each counted as a level
  std::size_t depth_ = 0;
  // One frame per container being read, outermost first.
  // Made by enter() (Frame{container}, the rest zero), so that the array of
  // them is not written when the converter is made.
  struct Frame {
    PyObject* container;
    PyObject* item;   // the element or value being converted, borrowed
    bool item_held;   // secure() took a reference to `item`
    bool in_place;    // an exact dict read with PyDict_Next at `pos`
    Py_ssize_t pos;
    std::size_t snap_base, snap_next, snap_end;  // its snapshot in pending_
    void release_item() {
      if (item_held) Py_DECREF(item);
      item = nullptr;
      item_held = false;
    }
  };
  // Called before anything that may run Python code: from then on every
  // object the tree or a reader relies on is held by a strong reference.
  void secure();
  // Replaces the rest of an in-place dict read by a snapshot of its pairs.
  void snapshot(Frame& f);
  // Makes `item` the frame's current item, held once Python code may run.
  void hold(Frame& f, PyObject* item);
  bool secured_ = false;
  Frame frames_[kMaxDepth];
  std::vector<PyObject*> pending_;  // references held by the dict readers in progress
};

}  // namespace vardel
