#include "value/value.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace vardel {

namespace {

// Returns the first (up to) eight bytes of `s` as a number that orders like
// the bytes: big-endian, zero-padded. An empty key may have a null data
// pointer (the decoder's unnamed arrays), which memcpy must not be given.
std::uint64_t prefix8(std::string_view s) {
  unsigned char b[8] = {};
  if (!s.empty()) std::memcpy(b, s.data(), s.size() < 8 ? s.size() : 8);
  std::uint64_t v = 0;
  for (unsigned char c : b) v = (v << 8) | c;
  return v;
}

// Byte-wise order of keys; most keys differ within their first eight bytes.
bool key_less(std::string_view a, std::string_view b) {
  std::uint64_t pa = prefix8(a);
  std::uint64_t pb = prefix8(b);
  if (pa != pb) return pa < pb;
  std::size_t n = a.size() < b.size() ? a.size() : b.size();
  int c = n <= 8 ? 0 : std::memcmp(a.data() + 8, b.data() + 8, n - 8);
  return c != 0 ? c < 0 : a.size() < b.size();
}

}  // namespace

const Value* Map::find(std::string_view key) const {
  const Member* it = std::lower_bound(
      begin(), end(), key, [](const Member& m, std::string_view k) { return key_less(m.key, k); });
  if (it != end() && it->key == key) return &it->value;
  return nullptr;
}

std::size_t sort_members(Member* members, std::size_t n) {
  if (n < 2) return n;
  bool sorted_unique = true;
  for (std::size_t i = 1; i < n; ++i) {
    if (!key_less(members[i - 1].key, members[i].key)) {
      sorted_unique = false;
      break;
    }
  }
  if (sorted_unique) return n;
  auto less = [](const Member& a, const Member& b) { return key_less(a.key, b.key); };
  if (n <= 16) {
    // Insertion sort: stable and fastest for the small objects that dominate real data.
    for (std::size_t i = 1; i < n; ++i) {
      Member m = members[i];
      std::size_t j = i;
      while (j > 0 && less(m, members[j - 1])) {
        members[j] = members[j - 1];
        --j;
      }
      members[j] = m;
    }
  } else {
    std::stable_sort(members, members + n, less);
  }
  // Equal keys are now adjacent in insertion order; keep the last of each run.
  std::size_t out = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + 1 < n && members[i].key == members[i + 1].key) continue;
    members[out++] = members[i];
  }
  return out;
}

Map MapBuilder::finish(Arena& arena) {
  std::size_t n = sort_members(pending_.data(), pending_.size());
  Member* m = arena.alloc<Member>(n);
  if (n != 0) std::memcpy(static_cast<void*>(m), pending_.data(), n * sizeof(Member));
  pending_.clear();
  return Map(m, n);
}

}  // namespace vardel
