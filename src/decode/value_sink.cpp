#include "decode/value_sink.h"

#include <cstring>
#include <unordered_map>

#include "decode/decode.h"

namespace vardel {

namespace {

// Objects up to this size are merged by scanning; larger ones through a hash map.
constexpr std::size_t kScanLimit = 32;

// Returns a copy of `n` objects at `from` in the arena.
template <class T>
T* store(Arena& arena, const T* from, std::size_t n) {
  T* to = arena.alloc<T>(n);
  if (n != 0) std::memcpy(static_cast<void*>(to), from, n * sizeof(T));
  return to;
}

}  // namespace

std::size_t merge_repeated(Member* members, std::size_t n) {
  std::size_t out = 0;
  if (n <= kScanLimit) {
    for (std::size_t i = 0; i < n; ++i) {
      std::size_t j = 0;
      while (j < out && members[j].key != members[i].key) ++j;
      if (j < out)
        members[j].value = members[i].value;
      else
        members[out++] = members[i];
    }
    return out;
  }
  std::unordered_map<std::string_view, std::size_t> place;
  place.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    auto [it, added] = place.try_emplace(members[i].key, out);
    if (added)
      members[out++] = members[i];
    else
      members[it->second].value = members[i].value;
  }
  return out;
}

bool ValueSink::put(Value v) {
  if (open_.empty()) {
    result_ = v;
    complete_ = true;
  } else if (open_.back().object) {
    members_.push_back({key_, v});
  } else {
    items_.push_back(v);
  }
  return true;
}

bool ValueSink::begin_array(std::size_t) {
  open_.push_back({false, KeyOrder::AsRead, items_.size(), key_});
  return true;
}

bool ValueSink::end_array() {
  Open o = open_.back();
  open_.pop_back();
  std::size_t n = items_.size() - o.start;
  Value* items = store(arena_, items_.data() + o.start, n);
  items_.resize(o.start);
  key_ = o.parent_key;
  return put(Value::array(items, n));
}

bool ValueSink::begin_object(KeyOrder order) {
  open_.push_back({true, order, members_.size(), key_});
  return true;
}

bool ValueSink::key(std::string_view k) {
  key_ = arena_.copy(k);
  return true;
}

bool ValueSink::end_object() {
  Open o = open_.back();
  open_.pop_back();
  Member* first = members_.data() + o.start;
  std::size_t n = members_.size() - o.start;
  n = o.order == KeyOrder::Sorted ? sort_members(first, n) : merge_repeated(first, n);
  Member* members = store(arena_, first, n);
  members_.resize(o.start);
  key_ = o.parent_key;
  return put(Value::object(Map(members, n)));
}

Result<Document, ToonError> decode_tree(std::string_view text) {
  Document doc;
  ValueSink sink(doc.arena);
  if (auto done = decode_document(text, sink); !done) return fail(std::move(done.error()));
  doc.root = sink.result();
  return doc;
}

}  // namespace vardel
