#include "bridge/python_source.h"

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>

#include "bridge/converter.h"
#include "bridge/dict_iter.h"
#include "bridge/guard.h"
#include "bridge/utf8_str.h"
#include "core/arena.h"

namespace vardel {

namespace {

// Opens the containers the encoder reaches.
//
// An exact container is read one level deep; its storage is taken from one
// arena and given back when the encoder closes it, so memory stays in
// proportion to the containers open at once. Any other container, and an
// exact one holding anything else, is read whole when it is opened, and the
// tree replaces its deferred value, so that it is never read twice.
//
// The encoder writes an object's members in key order, but the data is read
// in each mapping's own order. The two differ only inside a dict whose nested
// containers are written in another order than read (a region): while no
// user code runs and nothing fails, reading in either order gives the same
// text. So a region is written as it is read; should anything in it need the
// general rules or fail, the outermost region is written anew, read whole.
class PythonSource final : public Source {
 public:
  PythonSource(bool sort_keys, DefaultHook* hook, bool wide)
      : converter_(arena_, keys_, keep_, sort_keys) {
    if (hook != nullptr) converter_.use_default(*hook);
    if (wide) converter_.use_wide_strings();
  }

  // Returns the value standing for `obj`: a scalar, a deferred container or
  // the tree of a container read whole.
  Result<const Value*, ConversionError> root(PyObject* obj) {
    if (!converter_.read_item(obj, root_)) {
      if (Read r = converter_.convert(obj, root_); !r) return fail(r.take_error());
    }
    return &root_;
  }

  Opened open(const Value& deferred, Value& out) override {
    auto* o = static_cast<PyObject*>(const_cast<void*>(deferred.source()));
    opened(deferred);
    Arena::Mark mark = arena_.mark();
    if (o != whole_next_) {
      if (std::optional<Converter::Level> level = converter_.read_level(o)) {
        out = level->contents;
        levels_.push_back(Level{o, mark, out, converter_.depth() - 1, 0, true, level->reordered});
        return {};
      }
      arena_.rewind(mark);
      if (std::size_t r = outermost_region(); r != kNone) return again(r);
    }
    whole_next_ = nullptr;
    Value tree;
    if (Read r = converter_.convert(o, tree); !r)
      return failed(through_levels(std::move(r), levels_.size()));
    const_cast<Value&>(deferred) = tree;  // storage of the source's own
    if (keep_.secured() && !rest_read_) {
      if (Read r = read_rest(); !r) return failed(std::move(r));
    }
    out = tree;
    // The tree stays with the enclosing level, which may open it again.
    levels_.push_back(Level{o, mark, out, converter_.depth(), 0, false, false});
    return {};
  }

  void close() override {
    const Level& level = levels_.back();
    if (level.lazy) {
      converter_.leave_level(level.frame);
      arena_.rewind(level.mark);
    }
    levels_.pop_back();
  }

  // Once user code has run, it may have changed anything not read yet: reads
  // all of that at once, in reading order (what the open levels hold after
  // their latest opened item, innermost first), into trees kept for the call.
  // Nothing is read one level at a time after that.
  Read read_rest() {
    rest_read_ = true;
    converter_.trees_in(rest_);
    for (std::size_t i = levels_.size(); i-- > 0;) {
      const Level& level = levels_[i];
      if (!level.lazy) continue;
      std::size_t n = level.contents.size();
      Read ok =
          level.contents.kind() == Value::Kind::Object
              ? converter_.read_rest(level.frame, level.next, level.contents.as_map().data(), n)
              : converter_.read_rest(level.frame, level.next,
                                     const_cast<Value*>(level.contents.begin()), n);
      if (!ok) return through_levels(std::move(ok), i);
    }
    return {};
  }

  // Reads, in reading order, every container the encoder has not reached:
  // those after the latest opened item of each open level, innermost first,
  // and the root when it was never opened.
  Opened settle() override {
    if (std::size_t r = outermost_region(); r != kNone) return again(r);
    for (std::size_t i = levels_.size(); i-- > 0;) {
      const Level& level = levels_[i];
      if (!level.lazy) continue;
      converter_.leave_level(level.frame + 1);
      for (std::size_t j = level.next; j < level.contents.size(); ++j) {
        if (Read r = read_whole(level.item(j)); !r)
          return failed(through_levels(at_item(std::move(r), level, j), i));
      }
    }
    if (!root_opened_) {
      if (Read r = read_whole(root_); !r) return failed(std::move(r));
    }
    return {};
  }

  ConversionError take_error() {
    if (!error_) panic("the encoder stopped for the source, which holds no error");
    return std::move(*error_);
  }
  // True if the text written as UTF-8 is ASCII.
  bool all_ascii() const { return keep_.all_ascii(); }

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  struct Level {
    PyObject* obj;
    Arena::Mark mark;
    Value contents;
    std::size_t frame;  // the converter's depth outside this level
    std::size_t next;   // one past the latest item opened from this level
    bool lazy;          // read one level deep; else whole
    bool reordered;     // a region (see above)
    const Value& item(std::size_t i) const {
      return contents.kind() == Value::Kind::Object ? contents.as_map()[i].value : contents[i];
    }
    // Returns the index of `v` among the items, or kNone.
    std::size_t index_of(const Value& v) const {
      if (contents.size() == 0) return kNone;
      auto at = reinterpret_cast<std::uintptr_t>(&v);
      if (contents.kind() == Value::Kind::Object) {
        auto base = reinterpret_cast<std::uintptr_t>(&contents.as_map().data()->value);
        return at >= base && at - base < contents.size() * sizeof(Member)
                   ? (at - base) / sizeof(Member)
                   : kNone;
      }
      auto base = reinterpret_cast<std::uintptr_t>(contents.begin());
      return at >= base && at - base < contents.size() * sizeof(Value) ? (at - base) / sizeof(Value)
                                                                       : kNone;
    }
  };

  // Records that the encoder reached `deferred`.
  void opened(const Value& deferred) {
    if (&deferred == &root_) {
      root_opened_ = true;
      return;
    }
    for (std::size_t i = levels_.size(); i-- > 0;) {
      if (!levels_[i].lazy) continue;
      std::size_t j = levels_[i].index_of(deferred);
      if (j != kNone) {
        levels_[i].next = j + 1;
        prefetch_ahead(levels_[i], j);
        return;
      }
    }
  }

  // Rows of a table and objects of a list are opened one after another, and the first touch of
  // each dict's table is most of the cost of reading it: while item `j` of `level` is opened,
  // asks for the table of an item a few ahead and for the dict of one further on, whose table
  // pointer the first of those reads then. Only while no user code has run: after that, an item
  // not reached may stand for a container that its holder has let go (see read_rest).
  void prefetch_ahead(const Level& level, std::size_t j) const {
    if (keep_.secured()) return;
    constexpr std::size_t kValuesAhead = 2;
    constexpr std::size_t kTableAhead = 4;
    constexpr std::size_t kDictAhead = 8;
    const std::size_t n = level.contents.size();
    if (j + kDictAhead < n) {
      const Value& far = level.item(j + kDictAhead);
      if (far.is_deferred()) __builtin_prefetch(far.source());
    }
    if (j + kTableAhead < n) {
      const Value& near = level.item(j + kTableAhead);
      if (near.is_deferred() && near.kind() == Value::Kind::Object)
        prefetch_table(static_cast<PyObject*>(const_cast<void*>(near.source())));
    }
    if (j + kValuesAhead < n) {
      const Value& next = level.item(j + kValuesAhead);
      if (next.is_deferred() && next.kind() == Value::Kind::Object)
        prefetch_first_values(static_cast<PyObject*>(const_cast<void*>(next.source())));
    }
  }

  std::size_t outermost_region() const {
    for (std::size_t i = 0; i < levels_.size(); ++i) {
      if (levels_[i].lazy && levels_[i].reordered) return i;
    }
    return kNone;
  }

  // Asks for the region opened at level `r` to be written anew, read whole.
  Opened again(std::size_t r) {
    whole_next_ = levels_[r].obj;
    return {Opened::Again, r};
  }

  // Reads the container `v` stands for whole and drops the tree (a scalar or
  // a tree is read already), or fails.
  Read read_whole(const Value& v) {
    if (!v.is_deferred()) return {};
    Arena::Mark mark = arena_.mark();
    Value tree;
    Read read = converter_.convert(static_cast<PyObject*>(const_cast<void*>(v.source())), tree);
    arena_.rewind(mark);
    return read;
  }

  Opened failed(Read read) {
    error_.emplace(read.take_error());
    return {Opened::Failed};
  }

  // Adds to a failed read the steps through the levels below `count`: the
  // item last opened in each, innermost first.
  Read through_levels(Read read, std::size_t count) {
    if (read) return read;
    ConversionError e = read.take_error();
    for (std::size_t i = count; i-- > 0;) {
      if (levels_[i].lazy && levels_[i].next > 0) add_step(e, levels_[i], levels_[i].next - 1);
    }
    return e;
  }
  // Adds to a failed read of item `j` of `level` the step to it.
  static Read at_item(Read read, const Level& level, std::size_t j) {
    if (read) return read;
    ConversionError e = read.take_error();
    add_step(e, level, j);
    return e;
  }
  static void add_step(ConversionError& e, const Level& level, std::size_t j) {
    if (level.contents.kind() == Value::Kind::Object) {
      e.path().add_key_text(level.contents.as_map()[j].key);
    } else {
      e.path().add_index(j);
    }
  }

  Arena arena_;  // the open levels, rewound as they close
  Arena keys_;   // keys not read in place, for the whole call
  Arena rest_;   // what read_rest read, for the whole call
  KeepAlive keep_;
  Converter converter_;
  Value root_;
  bool root_opened_ = false;
  bool rest_read_ = false;
  Vec<Level> levels_;
  PyObject* whole_next_ = nullptr;  // the region to read whole when opened next
  std::optional<ConversionError> error_;
};

// Encodes `obj` into `out` through `source`.
Result<Ok, EncodeFailure> encode_through(PythonSource& source, PyObject* obj, OutputBuffer& out,
                                         const EncodeSettings& settings) {
  auto root = source.root(obj);
  if (!root) return fail(EncodeFailure(std::move(root.error())));
  auto written = encode_into(out, **root, 0, settings, &source);
  if (written) return Ok{};
  if (written.error().own) return fail(EncodeFailure(std::move(*written.error().own)));
  return fail(EncodeFailure(source.take_error()));
}

}  // namespace

Result<Ok, EncodeFailure> encode_python(PyObject* obj, OutputBuffer& out,
                                        const EncodeSettings& settings, DefaultHook* hook) {
  PythonSource source(settings.sort_keys, hook, false);
  return encode_through(source, obj, out, settings);
}

Result<PyObject*, EncodeFailure> encode_python_str(PyObject* obj, const EncodeSettings& settings,
                                                   DefaultHook* hook) {
  PyObject* text = nullptr;
  auto take = [](PyObject* piece, void* into) {
    *static_cast<PyObject**>(into) = piece;
    return true;
  };
  auto done = encode_python_pieces(obj, settings, hook, SIZE_MAX, take, &text);
  if (!done) return fail(std::move(done.error()));
  if (!*done) throw std::bad_alloc();  // PyUnicode_New fails only for want of memory
  return text != nullptr ? text : PyUnicode_New(0, 0);  // the empty text, a piece of nothing
}

Result<bool, EncodeFailure> encode_python_pieces(PyObject* obj, const EncodeSettings& settings,
                                                 DefaultHook* hook, std::size_t piece,
                                                 TakePiece take, void* context) {
  OutputBuffer out;
  // The wide strings' text is read while the source, which holds their strs, still lives. With
  // a delimiter other than one ASCII byte the encoder writes them as UTF-8: none are made then.
  const std::string& d = settings.delimiter;
  bool wide = d.size() == 1 && static_cast<unsigned char>(d[0]) < 0x80;
  PythonSource source(settings.sort_keys, hook, wide);
  auto done = encode_through(source, obj, out, settings);
  if (!done) return fail(std::move(done.error()));
  for (OutputPlace at; !at_end(out, at);) {
    PyObject* text = str_from_output(out, source.all_ascii(), at, piece);
    if (text == nullptr || !take(text, context)) return false;
  }
  return true;
}

}  // namespace vardel
