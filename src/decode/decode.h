// The TOON decoder: reads text and reports one flat object to a sink.
#pragma once

#include <string_view>

#include "core/error.h"
#include "core/result.h"
#include "decode/sink.h"

namespace vardel {

// Reads `text` and reports what it holds to `sink`: always one object (KeyOrder::Sorted) whose
// members are scalars and arrays, the arrays' elements being scalars or objects of scalars.
// Every object comes out in ascending key order: a row that has all its table's fields is
// reported in that order already, each key once (KeyOrder::AsRead), any other object is
// KeyOrder::Sorted. Returns the text's first DecodingError, with the number of its line, or a
// Stopped error as soon as the sink stops; the sink may have been told part of the document by
// then.
Result<Ok, ToonError> decode_document(std::string_view text, Sink& sink);

}  // namespace vardel
