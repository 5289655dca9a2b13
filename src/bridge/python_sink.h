// A sink that builds Python objects while the decoder reads: dicts, lists,
// strs, ints, floats, None and bools, with no value tree in between.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "bridge/pyref.h"
#include "bridge/str_cache.h"
#include "core/pooled_vec.h"
#include "decode/sink.h"

namespace vardel {

// Builds the reported value. A list is made when its array begins, at the size its text
// announces when that is small, else when it ends, at its exact size. A dict is filled while its
// object is read as long as that gives the object's KeyOrder: always for AsRead (dict insertion
// keeps a repeated key's first place and takes its later value), and for Sorted while the keys
// come in strictly ascending byte order, as a table's rows do. A Sorted object whose keys come
// otherwise collects its members and is sorted when it ends (a repeated key keeps its last
// value). The top-level object, often large, always collects its members, so that its dict is
// made at its final size.
//
// Stops the decoding when the interpreter fails (out of memory): the exception
// is then pending. Every reference it holds is released when it is destroyed,
// so a decoding that ends early leaks nothing.
class PythonSink final : public Sink {
 public:
  // `source` is the text being decoded, if the caller knows it (see StrCache).
  explicit PythonSink(std::string_view source = {}) : keys_(64, source), values_(16, {}) {
    // Room for a small document from the start: growing one element at a time would allocate
    // again and again in every call.
    stack_.reserve(64);
    open_.reserve(16);
  }

  // Returns the top-level value once it has been reported whole, else null.
  PyRef take_result();

  bool null() override { return place(Py_NewRef(Py_None)); }
  bool boolean(bool b) override { return place(Py_NewRef(b ? Py_True : Py_False)); }
  bool number(Number n) override;
  bool string(std::string_view s) override;
  bool begin_array(std::size_t size_hint) override;
  bool end_array() override;
  bool begin_object(KeyOrder order) override;
  bool key(std::string_view k) override;
  bool end_object() override;
  // The row's dict is made at its width and filled in one loop.
  bool row(const Row& row) override;

 private:
  struct Open {
    PyRef dict;         // the object's dict (null for an array)
    PyRef key;          // the key of the member whose value comes next (filling the dict)
    std::size_t start;  // first element, or first collected key, on the stack
    KeyOrder order;
    bool collecting;        // the members go onto the stack (the dict is filled at the end)
    bool ascending = true;  // a Sorted object's keys have come in strictly ascending order
    // The last key's bytes while `ascending` (an ASCII str's own, kept alive by the dict or
    // the stack; null when not known), to tell whether the next key comes after it.
    const char* last = nullptr;
    std::size_t last_size = 0;
    bool has_last = false;
    // An array whose announced count was small: its list, made at that size (`capacity`), and
    // how many elements it holds so far. Null, with no capacity, once more elements come than
    // announced.
    PyRef list;
    std::size_t filled = 0;
    std::size_t capacity = 0;
  };
  // Returns a new reference to the object for the scalar `v`, or null with an exception set.
  PyObject* scalar(const Value& v);
  // Adds `o` (a new reference, or null when making it failed) to the innermost open
  // container, or keeps it as the result.
  bool place(PyObject* o);
  // Pushes `o` (a new reference) onto the stack.
  void push(PyObject* o);
  // Moves the elements of `o.list` onto the stack, where the rest are collected.
  void spill(Open& o);
  // Moves the members filled in so far onto the stack, where the rest are collected.
  void start_collecting(Open& o);
  // Makes and fills `o.dict` from the collected key-value pairs on the stack.
  bool fill_collected(Open& o);

  static constexpr std::size_t kMaxPresized = 4096;

  // Array elements not yet in their list, collected members, and the result.
  PooledVec<PyRef> stack_;
  Vec<Open> open_;
  PooledVec<std::size_t> order_;  // scratch for sorting members
  std::size_t last_width_ = 0;    // members of the last object made: the next one's size guess
  StrCache<128, Misses::SharedKeys> keys_;  // tables' field names: most are slices of the source
  StrCache<64> values_;                     // short string values, which are found by their bytes
};

}  // namespace vardel
