// What the ready-made hook (vardel.common_types) gives the common types, found
// through the C API instead of a call to the hook.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "bridge/pyref.h"

namespace vardel {

// The longest text: a datetime with microseconds and an offset with seconds
// and microseconds, "YYYY-MM-DDTHH:MM:SS.ffffff+HH:MM:SS.ffffff".
inline constexpr std::size_t kCommonTextMax = 42;

// One object's form under the ready-made hook.
struct CommonForm {
  enum class Kind : unsigned char {
    Other,   // not read here: the hook decides (other types, overridden methods)
    Text,    // the ASCII text in `text`: a datetime, date or time's isoformat(), a UUID's str()
    Object,  // `object`: an Enum member's value, or the dict of a dataclass instance's fields
  };
  Kind kind = Kind::Other;
  std::size_t size = 0;
  char text[kCommonTextMax];
  PyRef object;

  std::string_view view() const { return {text, size}; }
};

// Fills `form` with what the hook returns for `o`, or leaves Kind::Other.
// Runs no Python code except what the hook would run too: a tzinfo's
// utcoffset() and attribute reads of the fields and the Enum value. Returns
// false with an exception set when one of those failed.
bool common_form(PyObject* o, CommonForm& form);

// Fills `form` with the text of `o` when `o` is an exact date, an exact
// datetime or time whose tzinfo is None or a datetime.timezone, or an exact
// UUID: reading these runs no Python code. Returns false otherwise, with no
// exception pending. Only once common_types_ready().
bool common_text_at_once(PyObject* o, CommonForm& form);

// Imports what common_form() compares against, once; returns false with an
// exception set when that fails.
bool common_types_ready();

// Whether the conversion refuses `o` without asking collections.abc, which
// calls Python code: `o` is an exact datetime, date, time or UUID, or an
// Enum member or dataclass instance of a class that no conversion rule
// takes. Such a class is mutable and not a subclass of a built-in type the
// conversion reads, and neither inherits from nor is registered with
// Sequence or Mapping (registering a mutable class sets its type flag), and
// its instances do not redefine __class__. False until common_types_ready().
bool refused_without_check(PyObject* o);

// Returns the ready-made hook (borrowed), importing it on first use; null
// with an exception set when it cannot be imported.
PyObject* common_types_hook();

}  // namespace vardel
