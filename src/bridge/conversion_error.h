// The error of both conversions between Python objects and value trees.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "bridge/error_path.h"
#include "bridge/pyref.h"

namespace vardel {

class ConversionError {
 public:
  enum class Kind {
    PythonException,         // a Python exception taken off the error indicator
    CustomMessage,           // a message shown as it is
    UnsupportedType,         // "unsupported type " + a type name
    UnexpectedType,          // "unexpected type: " + a failed type expectation
    SequenceLengthMismatch,  // a sequence reported two lengths
    DefaultRaised,           // the caller's default function raised: re-raised unchanged
  };

  // Takes the pending Python exception (a SystemError stands in when none is
  // pending). A pending PanicException is reported and rethrown instead.
  static ConversionError fetch();
  // Takes the exception the caller's default function raised, as fetch() does.
  static ConversionError default_raised();
  static ConversionError custom(std::string message);
  // A custom message for data that reached the nesting limit, whose path (a
  // step for every level) names no place worth showing.
  static ConversionError nesting_limit(std::string message);
  static ConversionError unsupported(std::string type_name);
  // "'{type of obj}' object cannot be converted to '{target}'".
  static ConversionError unexpected(PyObject* obj, const char* target);
  static ConversionError length_mismatch(std::size_t expected, std::size_t actual);

  Kind kind() const { return r_->kind; }
  // Returns the Python exception carried by a PythonException, else null.
  PyObject* exception() const { return r_->exception.get(); }
  // Returns the exception of a DefaultRaised error, otherwise null.
  PyObject* propagated() const;
  // Where in the data the conversion failed, recorded as the failure unwinds.
  ErrorPath& path() { return r_->path; }
  const ErrorPath& path() const { return r_->path; }
  // Whether a note naming the path helps find the failure.
  bool shows_path() const { return r_->shows_path; }
  // Returns the display text. When the str() of a carried exception is
  // interrupted (a BaseException that is not an Exception), returns nothing
  // with that interruption pending; a PanicException raised there ends the
  // call (rethrow_if_panic).
  std::optional<std::string> display() const;

 private:
  struct Record {
    Kind kind;
    std::string text;          // message, type name or expectation
    PyRef exception;           // PythonException
    std::size_t expected = 0;  // SequenceLengthMismatch
    std::size_t actual = 0;
    ErrorPath path;
    bool shows_path = true;
  };
  explicit ConversionError(std::unique_ptr<Record> r) : r_(std::move(r)) {}
  static ConversionError make(Kind kind, std::string text);
  std::unique_ptr<Record> r_;
};

// Returns the qualified name of `type` as a str (a fallback text on failure).
// Leaves no exception pending.
PyObject* type_qualname(PyTypeObject* type);

// Returns the str "'{type of obj}' object cannot be converted to '{target}'",
// or null with an exception set.
PyObject* cannot_convert_text(PyObject* obj, const char* target);

// Sets TypeError with the cannot_convert_text of `obj` and `target`.
void raise_cannot_convert(PyObject* obj, const char* target);

}  // namespace vardel
