// The TOON decoder: reads text into one flat object.
#pragma once

#include <string>
#include <string_view>

#include "core/error.h"
#include "core/result.h"
#include "core/value.h"

namespace vardel {

// Returns the document read from `text` (always an object), or the first
// DecodingError. String values and keys in the tree may be slices of `text`,
// which must outlive the document. All rows of one tabular array share their
// key storage: a field's key has the same data pointer in every row.
Result<Document, ToonError> decode_document(std::string_view text);

// Returns the scalar that `token` stands for; strings may be slices of `token`
// or copies in `arena`.
Result<Value, ToonError> parse_value(std::string_view token, Arena& arena);

// Returns `body` with its backslash escapes resolved.
Result<std::string, ToonError> unescape_string(std::string_view body);

}  // namespace vardel
