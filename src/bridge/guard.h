// The internal-failure guard: every entry from the interpreter runs its body
// through `guarded`, so that a C++ exception or a broken invariant becomes a
// PanicException instead of crossing into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <source_location>
#include <string>

namespace vardel {

// Thrown when an internal invariant is broken; caught only by `guarded`.
struct InternalFailure {
  std::string message;
  std::source_location where;
};

// Throws an InternalFailure carrying `message` and the caller's location.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Returns the PanicException class (created on first use), or null with an
// exception set.
PyObject* panic_exception_type();

// Writes the one-line failure report to standard error and sets a
// PanicException carrying `message` as the current exception.
void raise_panic(const std::string& message, const char* file, unsigned line);

// If `exc` (a raised exception, borrowed) is a PanicException, reports it on
// standard error and throws an InternalFailure with its message, so that the
// current call ends in a new PanicException instead of absorbing it.
void rethrow_if_panic(PyObject* exc);

// Runs `body` and returns its result; on an internal failure reports it,
// sets a PanicException and returns `error_value`.
template <class R, class F>
R guarded(R error_value, F&& body) noexcept {
  try {
    return body();
  } catch (const InternalFailure& f) {
    raise_panic(f.message, f.where.file_name(), f.where.line());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what(), "<native code>", 0);
  } catch (...) {
    raise_panic("", "<native code>", 0);
  }
  return error_value;
}

}  // namespace vardel
