// strs made once and found again by their text: within a call, the keys of a
// table's rows and short values that recur; across calls, the keys that every
// document of a kind repeats.
#pragma once

#include <Python.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <string_view>

#include "bridge/pyref.h"
#include "bridge/utf8_str.h"

namespace vardel {

// Returns bits of `text` that tell most keys apart: a short key whole, a longer one by its
// first and last eight bytes. Fixed-size loads only, which the compiler keeps in registers.
inline std::uint64_t key_bits(const char* p, std::size_t n) {
  if (n >= 8) {
    std::uint64_t head, tail;
    std::memcpy(&head, p, 8);
    std::memcpy(&tail, p + n - 8, 8);
    return head ^ (tail * 0x9E3779B97F4A7C15ULL);
  }
  if (n >= 4) {
    std::uint32_t head, tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    return (std::uint64_t{head} << 32) | tail;
  }
  if (n == 0) return 0;
  auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
  return (byte(0) << 16) | (byte(n / 2) << 8) | byte(n - 1);
}

// Returns true if the `n` bytes at `a` and `b` are equal; compares whole words where it can.
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
  if (n < 8) {
    if (n < 4) {
      for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
      return true;
    }
    // The first and the last four bytes, which overlap unless n is eight.
    std::uint32_t x, y, z, w;
    std::memcpy(&x, a, 4);
    std::memcpy(&y, b, 4);
    std::memcpy(&z, a + n - 4, 4);
    std::memcpy(&w, b + n - 4, 4);
    return x == y && z == w;
  }
  std::uint64_t x, y;
  for (std::size_t i = 0; i + 8 < n; i += 8) {
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) return false;
  }
  // The last eight bytes, overlapping the loop's when n is not a multiple of eight.
  std::memcpy(&x, a + n - 8, 8);
  std::memcpy(&y, b + n - 8, 8);
  return x == y;
}

// Returns a new reference to a str holding `text` (valid UTF-8), or null with an exception set.
// Keys that documents repeat from call to call (an API's field names) are made once for the
// process: ASCII texts of 1 to kSharedKeyMax bytes are kept in a fixed table, each replacing the
// one that held its slot, so that later calls, and the objects they return, share them.
PyObject* shared_key(std::string_view text);
inline constexpr std::size_t kSharedKeyMax = 64;

// Where a StrCache gets the strs it does not hold.
enum class Misses {
  Made,       // made anew
  SharedKeys  // from shared_key
};

// Recently made strs, found again by their text: the field names of a
// table's rows and the short values that recur in a column are made once.
// `Slots` is a power of two: a slice of the source takes the slot of its
// address modulo Slots, so the field names of a header shorter than that
// never evict each other.
template <std::size_t Slots, Misses From = Misses::Made>
class StrCache {
 public:
  // Texts longer than `max_size` bytes are not cached. `source` is the text
  // being decoded (may be empty): a text that is a slice of it is found by its
  // address alone, since equal slices hold equal text.
  StrCache(std::size_t max_size, std::string_view source) : max_size_(max_size), source_(source) {}
  StrCache(const StrCache&) = delete;
  StrCache& operator=(const StrCache&) = delete;
  ~StrCache();

  // Returns a new reference to a str holding `text` (valid UTF-8), or null
  // with an exception set.
  [[gnu::always_inline]] PyObject* get(std::string_view text);

  // Returns a new reference to the str made for this very slice of the source
  // when it is still cached, else null (no exception): a table's field names
  // on every row after the first.
  PyObject* find_slice(std::string_view text) const {
    auto at = reinterpret_cast<std::uintptr_t>(text.data());
    std::size_t index = static_cast<std::size_t>(at) % Slots;
    if (!used(index)) return nullptr;
    const Entry& e = *std::launder(reinterpret_cast<const Entry*>(raw_) + index);
    return e.at == text.data() && e.size == text.size() ? Py_NewRef(e.str.get()) : nullptr;
  }

 private:
  static_assert((Slots & (Slots - 1)) == 0);
  struct Entry {
    // Where the text lies in the source, or null for a text found by its
    // bytes: then the str is ASCII, so its data is the UTF-8 text itself.
    const char* at;
    std::size_t size;
    PyRef str;
  };
  // Slots are made when first filled, and only filled ones are destroyed: a
  // call on a small text uses few of them, and should not pay for the rest.
  bool used(std::size_t i) const { return (used_[i / 64] >> (i % 64)) & 1; }
  Entry& slot(std::size_t i) { return *std::launder(reinterpret_cast<Entry*>(raw_) + i); }

  std::size_t max_size_;
  std::string_view source_;
  std::uint64_t used_[(Slots + 63) / 64] = {};
  alignas(Entry) unsigned char raw_[Slots * sizeof(Entry)];
};

template <std::size_t Slots, Misses From>
inline StrCache<Slots, From>::~StrCache() {
  for (std::size_t w = 0; w < std::size(used_); ++w)
    for (std::uint64_t bits = used_[w]; bits != 0; bits &= bits - 1)
      slot(w * 64 + static_cast<std::size_t>(std::countr_zero(bits))).~Entry();
}

template <std::size_t Slots, Misses From>
inline PyObject* StrCache<Slots, From>::get(std::string_view text) {
  if (text.size() > max_size_ || text.empty()) return str_from_utf8(text);
  // A slice of the source: its address and size name its text.
  auto at = reinterpret_cast<std::uintptr_t>(text.data());
  auto first = reinterpret_cast<std::uintptr_t>(source_.data());
  bool in_source = at - first < source_.size();
  std::size_t index;
  if (in_source) {
    index = static_cast<std::size_t>(at) % Slots;
  } else {
    std::uint64_t bits = key_bits(text.data(), text.size()) ^ text.size();
    std::uint64_t mixed = bits * 0xBF58476D1CE4E5B9ULL;
    index = static_cast<std::size_t>(mixed >> 32) % Slots;
  }
  if (used(index)) {
    Entry& e = slot(index);
    const auto* cached = static_cast<const char*>(PyUnicode_DATA(e.str.get()));
    if (e.size == text.size() &&
        (in_source ? e.at == text.data()
                   : e.at == nullptr && same_bytes(cached, text.data(), text.size())))
      return Py_NewRef(e.str.get());
  }
  PyObject* made = From == Misses::SharedKeys ? shared_key(text) : str_from_utf8(text);
  if (made == nullptr) return nullptr;
  if (in_source || PyUnicode_IS_COMPACT_ASCII(made)) {
    const char* where = in_source ? text.data() : nullptr;
    if (used(index)) {
      Entry& e = slot(index);
      e.str.reset(Py_NewRef(made));
      e.at = where;
      e.size = text.size();
    } else {
      new (raw_ + index * sizeof(Entry)) Entry{where, text.size(), PyRef::borrow(made)};
      used_[index / 64] |= std::uint64_t{1} << (index % 64);
    }
  }
  return made;
}

}  // namespace vardel
