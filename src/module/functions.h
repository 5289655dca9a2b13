// The module functions encode and decode_toon.
#pragma once

#include <Python.h>

namespace vardel {

extern PyMethodDef encode_def;
extern PyMethodDef decode_toon_def;

}  // namespace vardel
