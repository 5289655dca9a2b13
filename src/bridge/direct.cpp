#include "bridge/direct.h"

#include "bridge/converter.h"
#include "core/arena.h"
#include "core/vec.h"

namespace vardel {

namespace {

// Opens deferred containers with a shallow converter. Each level's storage
// is taken from one arena and given back when the encoder closes the level,
// so memory stays in proportion to the containers open at once, not to the data.
class DirectSource final : public Source {
 public:
  DirectSource() : keep_(false), converter_(arena_, keep_) {
    converter_.read_shallow();
    converter_.keep_keys_in(keys_);
  }

  // Stores the value standing for the data: a scalar or a deferred container.
  bool root(PyObject* obj, Value& out) { return converter_.convert(obj, out); }

  bool open(const Value& deferred, Value& out) override {
    marks_.push_back(arena_.mark());
    auto* o = static_cast<PyObject*>(const_cast<void*>(deferred.source()));
    if (converter_.read_level(o, marks_.size(), out)) return true;
    close();
    return false;
  }

  void close() override {
    arena_.rewind(marks_.back());
    marks_.pop_back();
  }

  bool all_ascii() const { return keep_.all_ascii(); }

 private:
  Arena arena_;  // the open levels, rewound as they close
  Arena keys_;   // keys not read in place, for the whole call
  KeepAlive keep_;
  Converter converter_;
  Vec<Arena::Mark> marks_;
};

}  // namespace

bool encode_direct(PyObject* obj, OutputBuffer& out, const EncodeSettings& settings,
                   bool& all_ascii) {
  DirectSource source;
  Value root;
  if (!source.root(obj, root) || !encode_into(out, root, 0, settings, &source)) return false;
  all_ascii = source.all_ascii();
  return true;
}

}  // namespace vardel
