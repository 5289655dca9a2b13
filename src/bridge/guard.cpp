#include "bridge/guard.h"

#include <cstdio>

#include "bridge/pyref.h"

namespace vardel {

namespace {

constexpr const char* kPanicDoc =
    "Raised when native code called from Python fails irrecoverably.\n\n"
    "Like SystemExit it derives from BaseException, not Exception, so that it is not\n"
    "caught by ordinary handlers and normally propagates to the top and ends the\n"
    "interpreter.";

constexpr const char* kFallbackMessage = "internal failure in vardel native code";

PyObject* g_panic_type = nullptr;

// Returns the text of a PanicException's first argument, or the fallback.
std::string panic_message(PyObject* exc) {
  PyRef args = PyRef::steal(PyObject_GetAttrString(exc, "args"));
  if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) > 0) {
    PyRef text = PyRef::steal(PyObject_Str(PyTuple_GET_ITEM(args.get(), 0)));
    if (text) {
      Py_ssize_t n = 0;
      if (const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n)) return std::string(s, n);
    }
  }
  PyErr_Clear();
  return kFallbackMessage;
}

}  // namespace

void panic(std::string message, std::source_location where) {
  throw InternalFailure{std::move(message), where};
}

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    g_panic_type =
        PyErr_NewExceptionWithDoc("vardel.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

void raise_panic(const std::string& message, const char* file, unsigned line) {
  const std::string& text = message.empty() ? std::string(kFallbackMessage) : message;
  std::fprintf(stderr, "vardel: internal failure in thread %lu at %s:%u: %s\n",
               PyThread_get_thread_ident(), file, line, text.c_str());
  std::fflush(stderr);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // its creation failed and set an exception
  PyRef arg = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace"));
  if (!arg) return;
  PyErr_SetObject(type, arg.get());
}

void rethrow_if_panic(PyObject* exc) {
  if (g_panic_type == nullptr || !PyErr_GivenExceptionMatches(exc, g_panic_type)) return;
  std::string message = panic_message(exc);
  std::fprintf(stderr,
               "vardel: a PanicException reached vardel from code it called;\n"
               "vardel: it ends this call as well. Its traceback follows:\n");
  std::fflush(stderr);
  PyErr_SetRaisedException(Py_NewRef(exc));
  PyErr_PrintEx(0);
  panic(std::move(message));
}

}  // namespace vardel
