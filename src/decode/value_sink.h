// A sink that builds a Value tree in an arena: the decoder's product for the
// fuzz targets, the C++ tests and any caller without Python.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/arena.h"
#include "core/error.h"
#include "core/result.h"
#include "core/value.h"
#include "core/vec.h"
#include "decode/sink.h"

namespace vardel {

// Builds the reported value in `arena`, copying every string and key into
// it. An object's members follow its KeyOrder: Sorted gives a Map in key
// order, AsRead a Map in the order read (each key once either way). Never
// stops the decoding; running out of memory throws std::bad_alloc.
class ValueSink final : public Sink {
 public:
  explicit ValueSink(Arena& arena) : arena_(arena) {}

  // Returns true once a whole top-level value has been reported.
  bool complete() const { return complete_; }
  // Returns the top-level value (null until complete()).
  Value result() const { return result_; }

  bool null() override { return put(Value::null()); }
  bool boolean(bool b) override { return put(Value::boolean(b)); }
  bool number(Number n) override { return put(Value::number(n)); }
  bool string(std::string_view s) override { return put(Value::string(arena_.copy(s))); }
  bool begin_array(std::size_t size_hint) override;
  bool end_array() override;
  bool begin_object(KeyOrder order) override;
  bool key(std::string_view k) override;
  bool end_object() override;

 private:
  struct Open {
    bool object;
    KeyOrder order;
    std::size_t start;            // first element or member of this container
    std::string_view parent_key;  // the key this container is the value of
  };
  // Adds a finished value to the innermost open container, or makes it the result.
  bool put(Value v);

  Arena& arena_;
  Vec<Open> open_;
  Vec<Value> items_;      // elements of the open arrays, innermost last
  Vec<Member> members_;   // members of the open objects, innermost last
  std::string_view key_;  // the key of the next member, in the arena
  Value result_;
  bool complete_ = false;
};

// Returns the document read from `text` as a Value tree (see decode_document),
// or the text's first DecodingError. The tree holds copies of its strings.
Result<Document, ToonError> decode_tree(std::string_view text);

// Keeps one member per key, at the place where the key first occurs and with
// the value of its last occurrence; returns how many are kept (a prefix).
std::size_t merge_repeated(Member* members, std::size_t n);

}  // namespace vardel
