// What the encoder's reading of Python data keeps alive.
#pragma once

#include <Python.h>

#include "bridge/conversion_error.h"
#include "core/block_vec.h"
#include "core/result.h"
#include "core/value.h"

namespace vardel {

// The objects whose contents a value tree or an open level points into (str
// buffers, containers read later).
//
// While the conversion has run no Python code, nothing can free them (every
// container being read holds its items), so they are at most noted. Before
// the first call that may run Python code, secure() takes a strong reference
// to each noted object, and every later one is taken at once; the references
// are released with the KeepAlive.
class KeepAlive {
 public:
  KeepAlive() = default;
  KeepAlive(const KeepAlive&) = delete;
  KeepAlive& operator=(const KeepAlive&) = delete;
  ~KeepAlive() {
    if (secured_)
      for (PyObject* o : refs_) Py_DECREF(o);
  }
  // Notes a borrowed str whose buffer a tree will point into.
  void note(PyObject* o) {
    track(o);
    refs_.push_back(o);  // first: a failed push_back must leave no reference taken
    if (secured_) Py_INCREF(o);
  }
  // Notes a str whose buffer only an open level points into: before secure()
  // the open levels are held by other means (see Converter::secure).
  void note_in_level(PyObject* o) {
    track(o);
    if (secured_) hold(o);
  }
  // Holds `o` from now on; only once secured.
  void hold(PyObject* o) {
    refs_.push_back(o);  // first, as in note()
    Py_INCREF(o);
  }
  // Notes a str that a wide string reads in place until the result is made,
  // after the container that held it may have let it go: as note(), without
  // tracking, since its text is not written as UTF-8.
  void pin(PyObject* o) {
    refs_.push_back(o);  // first, as in note()
    if (secured_) Py_INCREF(o);
  }
  // Tracks whether the text written as UTF-8 so far is ASCII.
  void track(PyObject* o) { all_ascii_ = all_ascii_ && PyUnicode_IS_ASCII(o); }
  // Returns true if every noted str is ASCII, and with it the text written as UTF-8 (pinned
  // strs are not noted).
  bool all_ascii() const { return all_ascii_; }
  bool secured() const { return secured_; }
  // Holds every noted object from now on; call before Python code may run.
  void secure() {
    if (secured_) return;
    for (PyObject* o : refs_) Py_INCREF(o);
    secured_ = true;
  }

 private:
  BlockVec<PyObject*> refs_;
  bool secured_ = false;
  bool all_ascii_ = true;
};

}  // namespace vardel
