// The reader of Python data for the encoder: exact built-in containers one
// level at a time without running Python code (read_level), anything else
// whole by the general rules, user code included (convert).
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "bridge/conversion_error.h"
#include "bridge/default_hook.h"
#include "bridge/to_value.h"
#include "bridge/utf8_str.h"
#include "core/error.h"
#include "core/value.h"
#include "core/vec.h"

namespace vardel {

inline constexpr const char* kTooDeep = "data is nested deeper than 512 levels";
inline constexpr const char* kCircular = "circular reference: a container holds itself";
static_assert(kMaxDepth == 512, "update kTooDeep");

// The outcome of reading whole: nothing when it succeeded, else the error.
class [[nodiscard]] Read {
 public:
  Read() = default;
  Read(ConversionError e) : error_(std::move(e)) {}
  explicit operator bool() const { return !error_.has_value(); }
  ConversionError take_error() { return std::move(*error_); }

 private:
  std::optional<ConversionError> error_;
};

class Converter {
 public:
  // Trees go to `arena`; key text not read in place goes to `keys`, which
  // must outlive every read (key orders are remembered across reads).
  Converter(Arena& arena, Arena& keys, KeepAlive& keep, bool sort_keys)
      : arena_(&arena), keys_(keys), keep_(keep), sort_keys_(sort_keys) {}
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  // Releases what the readers still hold when a failure unwinds them.
  ~Converter() {
    for (PyObject* o : pending_) Py_DECREF(o);
    for (std::size_t i = 0; i < depth_; ++i) frames_[i].release_item();
  }

  // Makes non-ASCII strs wide strings (Value::wide_string), read in place
  // and held until the converter's KeepAlive ends, for a caller that makes
  // the text at its final width (str_from_output).
  void use_wide_strings() { wide_ = true; }

  // Converts `o` into `out`, or fails. The common leaves (ASCII str, small
  // int, float) without a call; the rest through convert().
  [[gnu::always_inline]] Read convert_leaf_first(PyObject* o, Value& out) {
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyUnicode_Type && PyUnicode_IS_COMPACT_ASCII(o)) {
      keep_.note(o);
      out = Value::string({static_cast<const char*>(PyUnicode_DATA(o)),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(o))});
      return {};
    }
    if (t == &PyLong_Type && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
      Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
      out = v >= 0 ? Value::number(Number::from_unsigned(static_cast<std::uint64_t>(v)))
                   : Value::number(Number::from_negative(v));
      return {};
    }
    if (t == &PyFloat_Type) {
      out = floating(PyFloat_AS_DOUBLE(o));
      return {};
    }
    return convert(o, out);
  }

  // Converts `o` into `out`, or fails.
  Read convert(PyObject* o, Value& out) {
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyUnicode_Type) return string(o, out);
    if (t == &PyLong_Type) return integer(o, out);
    if (t == &PyFloat_Type) {
      out = floating(PyFloat_AS_DOUBLE(o));
      return {};
    }
    if (t == &PyDict_Type) return exact_dict(o, out);
    if (t == &PyList_Type) return exact_sequence(o, out);
    if (o == Py_None) {
      out = Value::null();
      return {};
    }
    if (t == &PyBool_Type) {
      out = Value::boolean(o == Py_True);
      return {};
    }
    if (t == &PyTuple_Type) return exact_sequence(o, out);
    return convert_other(o, out);
  }

  // Sends every object the conversion refuses to `hook` (which outlives the
  // converter), and converts what stands for it in its place. Each object
  // being replaced counts as a level of nesting for the containers in what
  // replaces it, so that a hook that keeps returning new objects ends.
  void use_default(DefaultHook& hook) { hook_ = &hook; }

  // One container level read by read_level.
  struct Level {
    Value contents;
    // An object with two or more nested members that are written in another
    // order than they were read in.
    bool reordered = false;
  };
  // Reads `o` one level deep when it is an exact dict (with exact str keys),
  // list or tuple whose items are exact built-in types that read without
  // running Python code or raising: nested non-empty containers become
  // deferred values (the object as source). Enters `o` until leave_level.
  // Returns nothing, with nothing entered and no exception pending, for
  // anything else, which convert() then reads whole.
  std::optional<Level> read_level(PyObject* o);
  // Reads `o` as read_level reads an item: a scalar, a short array of
  // scalars (read_scalar_array), or a nested container as a deferred value,
  // or (with a default hook) the text an object is replaced by when that
  // runs no Python code. Returns false, with no exception pending, for
  // anything else. The common leaves (ASCII str, small int, float) without
  // a call.
  [[gnu::always_inline]] bool read_item(PyObject* o, Value& out) {
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyUnicode_Type && PyUnicode_IS_COMPACT_ASCII(o)) {
      keep_.note_in_level(o);
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
    if (t == &PyFloat_Type) {
      out = floating(PyFloat_AS_DOUBLE(o));
      return true;
    }
    return read_other_item(o, out);
  }
  // The container that read_scalar_array read the array `v` from.
  static PyObject* scalar_array_source(const Value& v) {
    return static_cast<PyObject*>(const_cast<void*>((v.begin() - 1)->source()));
  }
  // Stores the trees read from now on in `arena`.
  void trees_in(Arena& arena) { arena_ = &arena; }
  // Reads whole the items from `from` on of the level entered at `depth`
  // (its `n` items or members read by read_level, changed in place), in the
  // order its container gives them: items of a list as they are now, up to
  // the length it had; the nested containers of a tuple or dict as read.
  // Call once Python code may have changed them; leaves the levels entered
  // after it.
  Read read_rest(std::size_t depth, std::size_t from, Value* items, std::size_t n);
  Read read_rest(std::size_t depth, std::size_t from, Member* members, std::size_t n);
  // Leaves the levels entered after the first `depth`.
  void leave_level(std::size_t depth) {
    if (depth_ > depth) depth_ = depth;
  }
  // Containers entered and not left.
  std::size_t depth() const { return depth_; }

 private:
  static Value floating(double d) {
    return std::isfinite(d) ? Value::number(Number::from_double(d)) : Value::null();
  }

  Read string(PyObject* o, Value& out) {
    if (wide_ && wide_text(o, out)) {
      keep_.pin(o);
      return {};
    }
    std::string_view text;
    if (!utf8_text(o, *arena_, text)) return ConversionError::fetch();
    keep_.note(o);
    out = Value::string(text);
    return {};
  }

  Read integer(PyObject* o, Value& out) {
    auto* l = reinterpret_cast<PyLongObject*>(o);
    if (PyUnstable_Long_IsCompact(l)) {
      Py_ssize_t v = PyUnstable_Long_CompactValue(l);
      out = v >= 0 ? Value::number(Number::from_unsigned(static_cast<std::uint64_t>(v)))
                   : Value::number(Number::from_negative(v));
      return {};
    }
    return wide_integer(o, out);
  }

  // The general integer rule: read as unsigned, then signed, 128-bit.
  Read wide_integer(PyObject* o, Value& out);

  // Enters a container; fails when the nesting limit is reached.
  Read enter(PyObject* o) {
    if (depth_ + replacing_ >= kMaxDepth) {
      for (std::size_t i = 0; i < depth_; ++i) {
        if (frames_[i].container == o) return ConversionError::nesting_limit(kCircular);
      }
      return ConversionError::nesting_limit(kTooDeep);
    }
    frames_[depth_++] = Frame{o};
    return {};
  }
  // Leaves the innermost container, letting go of the item it held.
  void leave() { frames_[--depth_].release_item(); }
  // Leaves a container when it goes out of scope.
  class Entered {
   public:
    explicit Entered(Converter& c) : c_(c) {}
    Entered(const Entered&) = delete;
    Entered& operator=(const Entered&) = delete;
    ~Entered() { c_.leave(); }

   private:
    Converter& c_;
  };

  bool read_other_item(PyObject* o, Value& out);
  std::optional<Level> dict_level(PyObject* o);
  std::optional<Level> sequence_level(PyObject* o);

  Read exact_dict(PyObject* o, Value& out);
  Read exact_sequence(PyObject* o, Value& out);
  Read convert_other(PyObject* o, Value& out);
  Read generic_sequence(PyObject* o, std::optional<std::size_t> expected, Value& out,
                        bool& not_sequence);
  Read generic_mapping(PyObject* o, Value& out);
  Read set_items(PyObject* o, Value& out);
  // Reads the exact list or tuple `o` of `n` items into `out` now, where read_level would defer
  // it, when its items are all scalars that read_item reads: short arrays of numbers or words
  // then need no level of their own. Returns false, having kept nothing, for anything else.
  bool read_scalar_array(PyObject* o, std::size_t n, Value& out);
  // Whether the level being read reads its short arrays of scalars with it: not where their
  // own level would be too deep, nor once Python code may have run, since read_rest reads
  // again every such array the encoder has not reached, but none read after it.
  bool read_scalars_now() const { return depth_ + 1 < kMaxDepth && !keep_.secured(); }
  static constexpr std::size_t kScalarArrayMax = 16;
  // How many items ahead of the one read a list's or tuple's next item starts to load.
  static constexpr std::size_t kItemLookahead = 4;
  Read unsupported(PyObject* o);
  // Fails with the error of the bytes or bytearray `o`.
  static Read refused_bytes(PyObject* o);
  // Converts what the default hook gives for the refused object `o`.
  Read replaced(PyObject* o, Value& out);
  // Add to a failed read of an item the step from its container to it.
  static Read at_index(Read r, std::size_t i) {
    if (r) return r;
    ConversionError e = r.take_error();
    e.path().add_index(i);
    return e;
  }
  static Read at_key(Read r, PyObject* key) {
    if (r) return r;
    ConversionError e = r.take_error();
    e.path().add_key(key);
    return e;
  }
  static Read at_key_text(Read r, std::string_view key) {
    if (r) return r;
    ConversionError e = r.take_error();
    e.path().add_key_text(key);
    return e;
  }
  // Returns the key's UTF-8 slice kept alive, or fails.
  Read key_text(PyObject* key, std::string_view& text);
  Read finish_object(Vec<Member>& members, bool exact_keys, Value& out);
  // Puts `n` members read in mapping order into the order they are written
  // in; returns how many are kept. `exact_keys`: no two keys have equal text.
  std::size_t order_mapping(Member* members, std::size_t n, bool exact_keys);
  // Stores the elements read from a sequence or set as the array `out`.
  Read finish_array(const Vec<Value>& items, Value& out);
  // Records repeat one key set in one insertion order, and their keys are the
  // same str objects. For dicts of up to kOrderMax keys the converter remembers,
  // per nesting level, the key objects of the last few key orders read there
  // and the sorted slot of each key; a dict whose first key object begins one
  // of them is read straight into sorted order while its keys follow it. A few,
  // because the dicts of a level often alternate between shapes (a tweet's
  // entities, metadata and user). Where a level's dicts seldom repeat a shape
  // (configuration), remembering costs more than it saves: after more dicts in
  // a row than there are records that none of them served, the next
  // kOrderBackOff dicts at that level are only sorted.
  static constexpr std::size_t kOrderMax = 48;
  static constexpr std::size_t kOrderLevels = 8;
  static constexpr std::size_t kOrderWays = 4;
  static constexpr unsigned kOrderBackOff = 8;
  // A key's text. Unlike std::string_view it has no constructor, so that the records below are
  // not written when the converter is made: some 24 KB, where a call on small data writes far
  // less.
  struct KeyText {
    const char* data;
    std::size_t size;
  };
  struct KeyOrder {
    std::size_t n = 0;
    PyObject* keys[kOrderMax];  // in dict order; kept alive by keep_ for the call
    KeyText text[kOrderMax];
    std::uint8_t slot[kOrderMax];  // sorted position of the key at each dict position
  };
  struct LevelOrders {
    KeyOrder ways[kOrderWays];
    unsigned next = 0;    // the record a new key order replaces
    unsigned misses = 0;  // dicts in a row that no record served
    unsigned skip = 0;    // dicts still to sort without remembering
  };
  // State of one exact dict being read.
  struct DictRead {
    Member* members = nullptr;
    std::size_t n = 0;
    LevelOrders* level = nullptr;  // null for dicts too small or too large to remember
    KeyOrder* order = nullptr;     // the record placed through, or to be filled
    bool placed = false;           // members are being written to the remembered slots
    PyObject* keys[kOrderMax];
  };
  // Prepares `read` for a dict of `n` members at nesting level `level`.
  void start_dict(DictRead& read, Member* members, std::size_t n, std::size_t level);
  // Reads the i-th pair of a dict into its member: the key with key(k, text),
  // the value with value(v, out), which both give what the read gives (a bool
  // for a level read, a Read otherwise); one that converts to false stops it.
  template <class Key, class Item>
  auto read_pair(DictRead& read, std::size_t i, PyObject* k, PyObject* v, Key&& key, Item&& value)
      -> decltype(value(v, std::declval<Value&>()));
  // Picks the record to place the dict through by its first key `k`, or the one to fill.
  void choose_order(DictRead& read, PyObject* k);
  // Moves the first `count` placed members back to dict order.
  void unplace(DictRead& read, std::size_t count);
  // Sorts the members read in dict order; returns how many are kept.
  std::size_t order_members(DictRead& read, std::size_t n);
  LevelOrders orders_[kOrderLevels];

  Arena* arena_;
  Arena& keys_;
  KeepAlive& keep_;
  const bool sort_keys_;
  bool wide_ = false;
  DefaultHook* hook_ = nullptr;
  std::size_t replacing_ = 0;  // objects being replaced, each counted as a level
  Vec<const void*> nested_;    // a dict level's nested values, in reading order
  bool scalars_now_ = false;   // read_scalars_now() of the level being read
  // Whether a dict deferred now has its table loaded ahead: only in a small level, whose items
  // are opened soon; a large one's are loaded a few items ahead as they are opened.
  bool prefetch_deferred_ = true;
  static constexpr std::size_t kPrefetchedLevel = 32;
  std::size_t depth_ = 0;
  // One frame per container being read, outermost first.
  // Made by enter() (Frame{container}, the rest zero), so that the array of
  // them is not written when the converter is made.
  struct Frame {
    PyObject* container;
    PyObject* item;  // the element or value being converted, borrowed
    bool item_held;  // secure() took a reference to `item`
    bool in_place;   // an exact dict read with PyDict_Next at `pos`
    bool level;      // a level read whole by read_level, written meanwhile
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
  Vec<PyObject*> pending_;  // references held by the dict readers in progress
};

}  // namespace vardel
