// PyRef: the one owner of a strong PyObject* reference.
#pragma once

#include <Python.h>

#include <utility>

namespace vardel {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null).
  static PyRef steal(PyObject* o) { return PyRef(o); }
  // Takes a new reference to a borrowed object (may be null).
  static PyRef borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) reset(std::exchange(other.o_, nullptr));
    return *this;
  }
  ~PyRef() { Py_XDECREF(o_); }

  PyObject* get() const { return o_; }
  explicit operator bool() const { return o_ != nullptr; }
  // Gives up ownership and returns the reference.
  [[nodiscard]] PyObject* release() { return std::exchange(o_, nullptr); }
  // Drops the held reference and takes over `o`.
  void reset(PyObject* o = nullptr) {
    PyObject* old = std::exchange(o_, o);
    Py_XDECREF(old);
  }

 private:
  explicit PyRef(PyObject* o) : o_(o) {}
  PyObject* o_ = nullptr;
};

}  // namespace vardel
