// A sink that builds Python objects while the decoder reads: dicts, lists,
// strs, ints, floats, None and bools, with no value tree in between.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>
#include <vector>

#include "bridge/pyref.h"
#include "decode/sink.h"

namespace vardel {

// Recently made key strs, found again by their text: the keys of a table's
// rows, and keys repeated across a document, are made once.
class KeyCache {
 public:
  // Returns a new reference to a str holding `text` (valid UTF-8), or null
  // with an exception set.
  PyObject* get(std::string_view text);

 private:
  static constexpr std::size_t kSlots = 256;
  static constexpr std::size_t kMaxSize = 64;  // longer keys are rarely repeated
  // Only ASCII strs are kept: their data is the key's UTF-8 text itself.
  PyRef slots_[kSlots];
};

// Builds the reported value. Containers are made when they end: a list at its
// exact size, a dict with its members in their KeyOrder. Stops the decoding
// when the interpreter fails (out of memory): the exception is then pending.
// Every reference it holds is released when it is destroyed, so a decoding
// that ends early leaks nothing.
class PythonSink final : public Sink {
 public:
  // Returns the top-level value once it has been reported whole, else null.
  PyRef take_result();

  bool null() override { return push(Py_NewRef(Py_None)); }
  bool boolean(bool b) override { return push(Py_NewRef(b ? Py_True : Py_False)); }
  bool number(Number n) override;
  bool string(std::string_view s) override;
  bool begin_array(std::size_t size_hint) override;
  bool end_array() override;
  bool begin_object(KeyOrder order) override;
  bool key(std::string_view k) override { return push(keys_.get(k)); }
  bool end_object() override;

 private:
  struct Open {
    std::size_t start;  // first element, or first key, on the stack
    bool object;
    KeyOrder order;
  };
  // Takes over `o` (a new reference, or null when making it failed).
  bool push(PyObject* o);
  // Returns a new dict of the `n` key-value pairs at `pairs` in `order`, or null.
  PyObject* make_dict(PyRef* pairs, std::size_t n, KeyOrder order);

  // Finished values not yet in a container; an open object's keys and values alternate.
  std::vector<PyRef> stack_;
  std::vector<Open> open_;
  std::vector<std::size_t> order_;  // scratch for sorting members
  KeyCache keys_;
};

}  // namespace vardel
