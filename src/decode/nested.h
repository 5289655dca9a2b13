// The nested reader: reads back every value the encoder writes, nested to any depth, and TOON
// as people write it, reporting what it reads to a Sink.
//
// Lines are the structure. A line belongs to the nearest line above it with smaller
// indentation; an object's members share one column, as do a list's items and a table's rows.
// A nameless array header right after `key:` is that key's value. Where an array nested
// directly in a list item writes its own items at the outer list's column, the header's
// element count says how many are its own; without a count it takes all of them.
#pragma once

#include <string_view>

#include "core/error.h"
#include "core/result.h"
#include "decode/settings.h"
#include "decode/sink.h"

namespace vardel {

// Reads the one top-level value of `text` (an object, an array or a scalar; an empty text is
// the empty object) and reports it to `sink`, objects with KeyOrder::AsRead. Returns Ok, or the
// first DecodingError or NestingTooDeep with its line and column (1-based, in characters); when
// the sink stops the reading, a Stopped error, and the sink holds the reason. After an error
// the sink may have received part of the value.
Result<Ok, ToonError> read_nested(std::string_view text, const DecodeSettings& settings,
                                  Sink& sink);

}  // namespace vardel
