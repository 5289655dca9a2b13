// The encoder's walk over a value tree, writing one output buffer in one pass.
//
// Nested blocks are indented further by every construct that encloses them.
// Rather than encoding a child into a text of its own and copying it into the
// parent line by line, each construct is written with an `extra`: the number
// of spaces the enclosing constructs put in front of each of its lines after
// the first. Every line feed written on a construct's behalf is followed at
// once by that many spaces, so the buffer always holds the finished text and
// no byte is copied twice. Wherever a construct trims the buffer end, its own
// text already holds a character other than space and line feed (a key's
// colon, a header's), so the trim never reaches into what came before it.
//
// The default layout indents a construct at `depth` by indent x depth on top
// of `extra`, so the indentation grows faster than one indent per level. The
// uniform layout (EncodeSettings::uniform_indent) writes the same lines but
// folds every column into `extra` and hands nested constructs depth 0: each
// level then adds exactly `indent`. A list item's text starts two columns
// after its hyphen, and whatever the item holds is laid out from that column:
// an object's further members stand there, and nested values (the block of a
// first member included) one indent further, so a block is always deeper
// than the members that follow it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/result.h"
#include "core/vec.h"
#include "encode/encode.h"
#include "encode/tokens.h"
#include "encode/writer.h"

namespace vardel {

// Why writing stopped: the encoder's own error, a failure the source holds,
// or the source's request to write the container opened at `level` anew.
struct Stop {
  enum Why : std::uint8_t { Own, SourceFailed, Again };
  Why why;
  std::size_t level = 0;           // Again
  std::optional<ToonError> error;  // Own
};

// The outcome of one writing step: a product, or why writing stopped. While
// writing goes on it costs one null pointer.
template <class T>
class [[nodiscard]] Step {
 public:
  Step(T value) : value_(value) {}
  Step(Failure<Stop> f) : stop_(std::make_unique<Stop>(std::move(f.error))) {}
  explicit operator bool() const { return stop_ == nullptr; }
  const T& operator*() const { return value_; }
  Stop& error() { return *stop_; }

 private:
  T value_{};
  std::unique_ptr<Stop> stop_;
};

using Written = Step<Ok>;

class Encoder {
 public:
  Encoder(OutputBuffer& out, const EncodeSettings& settings, Source* source);

  // Writes `value` as encoded at `depth`, with `extra` spaces in front of
  // each of its lines after the first.
  Written write(const Value& value, std::uint64_t depth, std::uint64_t extra);

 private:
  // A container's contents while it is written: the container itself, or
  // for a deferred one what the source opened, closed again on destruction.
  class Contents {
   public:
    Contents() = default;
    Contents(const Contents&) = delete;
    Contents& operator=(const Contents&) = delete;
    ~Contents() { close(); }
    const Value& get() const { return value_; }
    // True if the source asked for this container to be written anew.
    bool asked_again(const Stop& stop) const {
      return stop.why == Stop::Again && owner_ != nullptr && stop.level == level_;
    }
    void close() {
      if (owner_ == nullptr) return;
      owner_->source_->close();
      --owner_->opened_;
      owner_ = nullptr;
    }

   private:
    friend class Encoder;
    Value value_;
    Encoder* owner_ = nullptr;  // set while the source holds an open level
    std::size_t level_ = 0;     // the level of that open
  };
  // Makes `contents` hold the contents of the container `value`.
  Written open(const Value& value, Contents& contents);

  void write_scalar(const Value& value);
  // Writes "key: token" for a scalar member and returns true; for a nested
  // member writes "key:" and returns false, leaving the value to the caller.
  bool write_member_head(const Member& m);
  Written write_object(const Value& value, std::uint64_t depth, std::uint64_t extra);
  // Writes the members of an object whose lines start at column `line`.
  Written write_members(Map members, std::uint64_t depth, std::uint64_t extra, std::uint64_t line);
  Written write_array(const Value& value, std::uint64_t depth, std::uint64_t extra);
  void write_inline(const Value& array);
  enum class Table { Written, Unfit };
  Step<Table> write_table(const Value& array, Map fields, std::uint64_t depth, std::uint64_t extra);
  // Returns Unfit if `row` is not an object with exactly the keys of
  // `fields` (in any order), all holding scalars; else writes its cells in
  // the order of `fields`.
  Step<Table> write_row(const Value& row, Map fields);
  // Sets cell_of_[f] to the position in `cells` of the key fields[f]. Returns
  // false unless `cells` holds exactly the keys of `fields`, all with scalars.
  bool match_cells(Map cells, Map fields);
  Written write_list(const Value& array, std::uint64_t depth, std::uint64_t extra);
  Written write_list_object(const Value& item, std::uint64_t depth, std::uint64_t extra);
  Written write_list_members(Map members, std::uint64_t depth, std::uint64_t extra);
  // Uniform layout: writes a nested member value on the lines after its key,
  // its block one indent past `column`.
  Written write_nested(const Value& value, std::uint64_t column);
  // Writes "[" count mark "]", or "[]" without length markers.
  void write_brackets(std::size_t count);

  // Returns extra + indent x (depth + levels): where a line of a construct
  // at `depth` starts, `levels` deeper. Fails when that many spaces would
  // make the text longer than kMaxTextSize.
  Step<std::uint64_t> column(std::uint64_t extra, std::uint64_t depth, std::uint64_t levels) {
    std::uint64_t steps, width, at;
    if (indent_ == 0) return extra;
    if (__builtin_add_overflow(depth, levels, &steps) ||
        __builtin_mul_overflow(indent_, steps, &width) ||
        __builtin_add_overflow(extra, width, &at) || at >= kMaxTextSize)
      return too_far();
    return at;
  }
  // Returns base + more; fails as column() does.
  Step<std::uint64_t> shifted(std::uint64_t base, std::uint64_t more) {
    std::uint64_t at;
    if (__builtin_add_overflow(base, more, &at) || at >= kMaxTextSize) return too_far();
    return at;
  }
  // Fails a line indented too far.
  [[gnu::cold]] Failure<Stop> too_far();
  // Counts one container level around the current one for as long as it lives.
  class Level {
   public:
    explicit Level(std::size_t& level) : level_(level) { ++level_; }
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;
    ~Level() { --level_; }

   private:
    std::size_t& level_;
  };
  // Fails when one more container level would exceed kMaxDepth.
  Written check_depth() {
    if (level_ < kMaxDepth) return Ok{};
    return too_deep();
  }
  [[gnu::cold]] Failure<Stop> too_deep();
  // The encoder's own failure; first lets the source read what was not reached.
  Stop own_error(ToonError::Kind kind, std::string message);

  OutputBuffer& out_;
  const EncodeSettings& settings_;
  const std::uint64_t indent_;
  const QuoteRule quote_;
  const char delimiter_;     // the array delimiter character, when valid
  const bool delimiter_ok_;  // the setting is exactly ",", TAB or "|"
  const bool uniform_;       // the uniform layout (see above)
  Source* const source_;     // opens deferred containers; may be null
  std::size_t level_ = 0;    // containers entered and not left
  std::size_t opened_ = 0;   // source levels open
  // The current table's field positions in key order, built when a row
  // first lists its keys in another order, and that row's cell per field.
  Vec<std::size_t> by_key_;
  Vec<std::size_t> cell_of_;
};

inline bool is_empty_object(const Value& v) {
  return v.kind() == Value::Kind::Object && v.size() == 0;
}

// The depth of a nested construct; saturates, since any line at such a depth
// with a non-zero indent fails the column check long before.
inline std::uint64_t deeper(std::uint64_t depth, std::uint64_t levels) {
  std::uint64_t d;
  return __builtin_add_overflow(depth, levels, &d) ? UINT64_MAX : d;
}

}  // namespace vardel
