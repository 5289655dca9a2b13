// The caller's `default` function: what stands for an object the conversion refuses.
#pragma once

#include <Python.h>

#include <string_view>

#include "bridge/common_types.h"
#include "bridge/pyref.h"

namespace vardel {

class DefaultHook {
 public:
  enum class Outcome {
    Text,       // text(): ASCII text standing for the object
    Object,     // object(): an object to convert in the refused object's place
    Unchanged,  // the function returned the object itself: it stays refused
    Failed,     // the function raised; its exception is pending, to propagate unchanged
  };

  // `fn` (borrowed, callable) outlives the hook. When it is the ready-made
  // hook, the types that common_form() reads are read without calling it.
  explicit DefaultHook(PyObject* fn);
  DefaultHook(const DefaultHook&) = delete;
  DefaultHook& operator=(const DefaultHook&) = delete;

  // Finds what stands for `o` (borrowed). Text and Object stay valid until
  // the next call; the caller holds object() for as long as it needs it.
  Outcome replace(PyObject* o);
  // Whether `o` is a type the ready-made hook reads that no conversion rule
  // takes (refused_without_check), so it can be replaced at once.
  bool refused_at_once(PyObject* o) const { return common_ && refused_without_check(o); }
  // Whether `o` is replaced by text found without running Python code
  // (common_text_at_once), then in text().
  bool text_at_once(PyObject* o) { return common_ && common_text_at_once(o, form_); }
  std::string_view text() const { return form_.view(); }
  PyRef take_object() { return std::move(result_); }

 private:
  PyObject* fn_;
  bool common_;
  CommonForm form_;
  PyRef result_;
};

}  // namespace vardel
