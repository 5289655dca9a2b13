#include "bridge/default_hook.h"

namespace vardel {

DefaultHook::DefaultHook(PyObject* fn) : fn_(fn), common_(false) {
  PyObject* ready_made = common_types_hook();
  if (ready_made == nullptr) {
    PyErr_Clear();  // not importable: the function is called like any other
    return;
  }
  common_ = fn == ready_made;
  if (common_ && !common_types_ready()) {
    PyErr_Clear();  // calling the hook gives its own error
    common_ = false;
  }
}

DefaultHook::Outcome DefaultHook::replace(PyObject* o) {
  if (common_) {
    if (!common_form(o, form_)) return Outcome::Failed;
    switch (form_.kind) {
      case CommonForm::Kind::Text:
        return Outcome::Text;
      case CommonForm::Kind::Object:
        result_ = std::move(form_.object);
        return Outcome::Object;
      case CommonForm::Kind::Other:
        break;
    }
  }
  result_ = PyRef::steal(PyObject_CallOneArg(fn_, o));
  if (!result_) return Outcome::Failed;
  if (result_.get() == o) {
    result_.reset();
    return Outcome::Unchanged;
  }
  return Outcome::Object;
}

}  // namespace vardel
