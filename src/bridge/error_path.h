// Where in the data a conversion failed: the path from the root to the value.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/pyref.h"

namespace vardel {

// The steps from the root container to the offending value, recorded as a
// failure unwinds (innermost step first).
class ErrorPath {
 public:
  // Records the step into a sequence's item `i`.
  void add_index(std::size_t i) { steps_.push_back({PyRef(), i}); }
  // Records the step into a mapping's value under `key` (borrowed; held from now on).
  void add_key(PyObject* key) { steps_.push_back({PyRef::borrow(key), 0}); }
  // Records the step into an object's member under the key `text` (UTF-8).
  void add_key_text(std::string_view text);
  std::size_t size() const { return steps_.size(); }

  // Returns the note naming the path, root first: "at $" for the root,
  // ".name" for a str key that is an identifier, ["other key"] for any other
  // str key (escaped as in JSON, non-ASCII kept), [i] for an index. The note
  // is valid UTF-8 (a lone surrogate in a key is written as its \u escape).
  std::string note() const;

 private:
  struct Step {
    PyRef key;  // null for an index
    std::size_t index;
  };
  std::vector<Step> steps_;
};

// Adds `note` (UTF-8) to the raised exception `exc` with its add_note()
// method. The exception's type and message stay as they are; when add_note()
// is missing or fails, the exception goes without the note. Leaves no
// exception set.
void add_note(PyObject* exc, const std::string& note);

}  // namespace vardel
