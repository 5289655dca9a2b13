// The TOON encoder: walks a Value tree and writes its text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/result.h"
#include "core/value.h"
#include "encode/writer.h"

namespace vardel {

// Encoder settings, made per call of encode.
struct EncodeSettings {
  std::string delimiter = ",";     // must be ",", "\t" or "|" once a non-empty array is written
  std::uint64_t indent = 2;        // spaces per nesting level
  bool use_length_markers = true;  // headers carry the element count and delimiter mark
  bool strict = true;              // held, read by nothing
  bool sort_keys = true;           // object members by key bytes; else each mapping's own order
  bool uniform_indent = false;     // every nesting level adds exactly `indent` spaces
};

// Why encode_into stopped: the encoder's own error, or a failure the source
// reported, whose reason the source holds.
struct EncodeError {
  std::optional<ToonError> own;  // empty when the source failed
};

// What a Source did when asked for a container.
struct Opened {
  enum Status : std::uint8_t {
    Ok,      // the contents are stored
    Failed,  // the source failed and holds why; the encoding stops
    Again,   // the container opened at level `again` (0: the outermost one still
             // open) is to be written anew from the start of its text
  };
  Status status = Ok;
  std::size_t again = 0;
};

// Supplies the contents of deferred containers (Value::deferred) to an
// encoder that meets them, so that a tree can be encoded without being built
// whole. Opens and closes nest like the containers; the level of an open is
// the number of opens not yet closed before it.
class Source {
 public:
  // Stores in `out` the array or object that `deferred` stands for: one level
  // deep (its own elements or member values may be deferred again) or whole.
  // The storage stays valid until the matching close(). The source may store
  // the contents in `deferred` itself, so that a later open finds them there.
  virtual Opened open(const Value& deferred, Value& out) = 0;
  // Releases what the latest open() not yet closed stored.
  virtual void close() = 0;
  // Called when the encoder fails on its own, before it closes anything:
  // reads whatever the encoding had not reached, so that a failure of the
  // source there wins over the encoder's error (Failed), or asks for a
  // container to be written anew first (Again).
  virtual Opened settle() = 0;

 protected:
  ~Source() = default;
};

// Returns the complete TOON text of `value` encoded at `depth` (never ending
// in a line feed), or the first error.
Result<std::string, ToonError> encode_value(const Value& value, std::uint64_t depth,
                                            const EncodeSettings& settings);

// Appends the text of `value` encoded at `depth` to `out`: the same text and
// errors as encode_value, without the final copy into a std::string. After a
// failure `out` holds a partial text that the caller discards. Throws
// std::bad_alloc when the output cannot be allocated. Deferred containers in
// `value` are opened through `source`, which must be given when there are any.
Result<Ok, EncodeError> encode_into(OutputBuffer& out, const Value& value, std::uint64_t depth,
                                    const EncodeSettings& settings, Source* source = nullptr);

// Returns `text` bare, or quoted with escapes when its bare form would be misread.
std::string quote_if_needed(std::string_view text, std::string_view delimiter);

// Returns true if `text` is an ASCII letter or underscore followed by ASCII
// letters, digits, underscores and full stops.
bool is_valid_identifier(std::string_view text);

}  // namespace vardel
