// The module functions encode, dump, decode_toon and decode.
#pragma once

#include <Python.h>

namespace vardel {

extern PyMethodDef encode_def;
extern PyMethodDef dump_def;
extern PyMethodDef decode_toon_def;
extern PyMethodDef decode_def;

}  // namespace vardel
