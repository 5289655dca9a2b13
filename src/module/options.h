// The option classes EncodeOptions and DecodeOptions.
#pragma once

#include <Python.h>

#include "decode/settings.h"
#include "encode/encode.h"

namespace vardel {

// Returns the class object (created on first use), or null with an exception set.
PyObject* encode_options_type();
PyObject* decode_options_type();

// A shared borrow of an option instance, held for the length of one call.
class OptionsBorrow {
 public:
  OptionsBorrow() = default;
  OptionsBorrow(const OptionsBorrow&) = delete;
  OptionsBorrow& operator=(const OptionsBorrow&) = delete;
  ~OptionsBorrow();
  // Takes a shared borrow of `instance`; returns false with RuntimeError set
  // when a writer holds it.
  bool acquire(PyObject* instance);

 private:
  PyObject* instance_ = nullptr;
};

// Applies the option argument of encode (present, not None): checks its type,
// borrows it into `borrow` and copies its fields into `settings`. Returns
// false with an exception set.
bool read_encode_options(PyObject* options, OptionsBorrow& borrow, EncodeSettings& settings);

// Applies the option argument of decode (present, not None): checks its type,
// borrows it into `borrow` and copies its fields into `settings`. Returns
// false with an exception set.
bool read_decode_options(PyObject* options, OptionsBorrow& borrow, DecodeSettings& settings);

// Applies the option argument of decode_toon, which reads no field: checks
// its type and borrows it.
bool check_decode_options(PyObject* options, OptionsBorrow& borrow);

}  // namespace vardel
