// What a decoder reads, reported as it reads it.
//
// A decoder calls its sink in document order: a scalar is one call; an
// object is begin_object, then a key call before each member's value, then
// end_object; an array is begin_array, its elements, then end_array. The
// top-level value is one such value. Strings and keys are valid UTF-8 and
// are only valid during the call that reports them.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "core/value.h"

namespace vardel {

// How an object's members are to be arranged once it ends.
enum class KeyOrder : unsigned char {
  AsRead,  // in the order read; a repeated key keeps its first place and takes the later value
  Sorted,  // ascending by key bytes; a repeated key keeps only its last value
};

// A table's full row: an object whose members are, in this order and each key once, the key
// `keys[c]` with the scalar `cells[c]` (null, bool, number or string) for each column c in
// `columns`. Its keys and strings are valid only during the call that reports it.
struct Row {
  const std::string_view* keys;
  const Value* cells;
  std::span<const std::size_t> columns;
};

// Receives the values a decoder reads. Every call returns false to stop the
// decoding: the sink then holds the reason, and the decoder returns at once
// without calling it again.
class Sink {
 public:
  virtual bool null() = 0;
  virtual bool boolean(bool b) = 0;
  virtual bool number(Number n) = 0;
  virtual bool string(std::string_view s) = 0;
  // `size_hint` is the element count the text announces (0 when unknown);
  // the elements reported may be fewer or more.
  virtual bool begin_array(std::size_t size_hint) = 0;
  virtual bool end_array() = 0;
  virtual bool begin_object(KeyOrder order) = 0;
  virtual bool key(std::string_view k) = 0;
  virtual bool end_object() = 0;
  // Reports a whole row at once. It means begin_object(AsRead), then each member's key and
  // scalar, then end_object, which is what this default reports; a sink may override it to
  // build the object in one step, since it knows the width and that no value nests.
  virtual bool row(const Row& row);

 protected:
  ~Sink() = default;
};

}  // namespace vardel
