// Encoding Python data: the encoder reads each container as it reaches it.
#pragma once

#include <Python.h>

#include <variant>

#include "bridge/conversion_error.h"
#include "bridge/default_hook.h"
#include "core/error.h"
#include "core/result.h"
#include "encode/encode.h"
#include "encode/writer.h"

namespace vardel {

// Why encoding Python data failed: the encoder's error or the data's.
using EncodeFailure = std::variant<ToonError, ConversionError>;

// Encodes `obj` into `out` as UTF-8. Exact dicts
// (with exact str keys), lists and tuples are read one level at a time, as
// the encoder reaches them, so no tree of such data is built; any other
// container is read whole by the general rules when the encoder reaches it.
// The text and the failure are those of reading all the data first, depth
// first in each container's own order, and encoding the tree: a failure to
// read the data wins over the encoder's own, and user code runs in that order.
// With `hook`, each object the reading refuses is replaced by what the hook
// gives for it. A ConversionError carries the path to the value it is about.
Result<Ok, EncodeFailure> encode_python(PyObject* obj, OutputBuffer& out,
                                        const EncodeSettings& settings,
                                        DefaultHook* hook = nullptr);

// As encode_python, returning the text as a new str. Text that is not ASCII
// is written at the width of its widest character straight from the strs'
// own storage, without passing through UTF-8. Throws std::bad_alloc when the
// str cannot be made.
Result<PyObject*, EncodeFailure> encode_python_str(PyObject* obj, const EncodeSettings& settings,
                                                   DefaultHook* hook = nullptr);

// Takes one piece of the text, a new reference; returns false with an exception set to stop.
using TakePiece = bool (*)(PyObject* piece, void* context);

// As encode_python_str, handing the text to `take` as non-empty strs of at most `piece`
// characters (cut between characters), in order, with `context`; an empty text is no piece.
// Returns false, with an exception set, when a piece cannot be made or `take` stops.
Result<bool, EncodeFailure> encode_python_pieces(PyObject* obj, const EncodeSettings& settings,
                                                 DefaultHook* hook, std::size_t piece,
                                                 TakePiece take, void* context);

}  // namespace vardel
