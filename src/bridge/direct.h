// Encoding straight from Python data, without building a value tree.
#pragma once

#include <Python.h>

#include "encode/encode.h"
#include "encode/writer.h"

namespace vardel {

// Encodes `obj` into `out` when it is made only of exact built-in types
// (dict with str keys, list, tuple, str, int, float, bool, None): containers
// are read as the encoder reaches them, one level at a time, so no tree of
// the whole data is built. Reading such data runs no Python code, so it
// cannot change meanwhile. Returns true with the text in `out` and
// `all_ascii` set when the text is ASCII. Returns false, with no exception
// set and `out` holding a partial text, for anything else and for every
// failure: the caller then converts the data with deserialize_any and
// encodes the tree, which gives the same text or the error for the data.
bool encode_direct(PyObject* obj, OutputBuffer& out, const EncodeSettings& settings,
                   bool& all_ascii);

}  // namespace vardel
