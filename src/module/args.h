// Argument binding shared by the module functions and the option constructors.
#pragma once

#include <Python.h>

#include <cstddef>

namespace vardel {

// What a callable accepts: its parameters in order, the leading `required`
// of them without default, the trailing `keyword_only` of them only by
// keyword. No parameter is positional-only.
struct FunctionDescription {
  const char* func_name;  // "encode", "__new__"
  const char* cls_name;   // owning class, or nullptr
  const char* const* params;
  std::size_t n_params;
  std::size_t required;
  std::size_t keyword_only = 0;

  std::size_t n_positional() const { return n_params - keyword_only; }
};

// Binds vectorcall arguments into `slots` (borrowed; null where not given).
// Returns false with a TypeError set when the arguments do not fit.
bool extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// Binds a tuple and a keyword dict (may be null) into `slots`, as above.
bool extract_arguments_tuple_dict(const FunctionDescription& desc, PyObject* args, PyObject* kwargs,
                                  PyObject** slots);

// Called with a conversion failure of parameter `name` pending: an exception of
// exactly TypeError is replaced by TypeError "argument '{name}': {message}"
// keeping its cause; any other exception is left unchanged, except that a
// PanicException ends the call as an internal failure (rethrow_if_panic).
void argument_extraction_error(const char* name);

}  // namespace vardel
