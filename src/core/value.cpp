#include "core/value.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vardel {

namespace {

constexpr std::size_t kSmallObject = 16;

// Returns the first (up to) eight bytes of `s` as a number that orders like
// the bytes: big-endian, zero-padded. An empty key may have a null data
// pointer (the decoder's unnamed arrays), which is never read.
inline std::uint64_t prefix8(std::string_view s) {
  std::uint64_t v = 0;
  if (s.size() >= 8) {
    std::memcpy(&v, s.data(), 8);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
  }
  // Shorter keys, the most common ones, in two loads that may overlap rather than a loop.
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  if (n >= 4) {
    std::uint32_t head, tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    if constexpr (std::endian::native == std::endian::little) {
      head = __builtin_bswap32(head);
      tail = __builtin_bswap32(tail);
    }
    return (std::uint64_t{head} << 32) | (std::uint64_t{tail} << (64 - 8 * n));
  }
  if (n == 0) return 0;
  return (std::uint64_t{p[0]} << 56) | (std::uint64_t{p[n / 2]} << (56 - 8 * (n / 2))) |
         (std::uint64_t{p[n - 1]} << (56 - 8 * (n - 1)));
}

// Byte-wise order of two keys whose prefixes (prefix8) are `pa` and `pb`;
// most keys differ within their first eight bytes.
inline bool key_less(std::uint64_t pa, std::string_view a, std::uint64_t pb, std::string_view b) {
  if (pa != pb) return pa < pb;
  std::size_t n = a.size() < b.size() ? a.size() : b.size();
  int c = n <= 8 ? 0 : std::memcmp(a.data() + 8, b.data() + 8, n - 8);
  return c != 0 ? c < 0 : a.size() < b.size();
}

bool key_less(std::string_view a, std::string_view b) {
  return key_less(prefix8(a), a, prefix8(b), b);
}

// Keeps the last member of each run of equal keys (runs are in insertion
// order); returns how many are kept.
std::size_t drop_repeated(Member* members, std::size_t n) {
  std::size_t out = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + 1 < n && members[i].key == members[i + 1].key) continue;
    members[out++] = members[i];
  }
  return out;
}

// Stable insertion sort of a small object whose keys' prefixes (`pre`, computed once) tie
// somewhere: a long shared prefix, or a key twice.
std::size_t insertion_sort(Member* members, std::uint64_t* pre, std::size_t n) {
  for (std::size_t i = 1; i < n; ++i) {
    Member m = members[i];
    std::uint64_t p = pre[i];
    std::size_t j = i;
    while (j > 0 && key_less(p, m.key, pre[j - 1], members[j - 1].key)) {
      members[j] = members[j - 1];
      pre[j] = pre[j - 1];
      --j;
    }
    members[j] = m;
    pre[j] = p;
  }
  return drop_repeated(members, n);
}

// Sorts the small objects that dominate real data. When their keys' eight-byte prefixes all
// differ, as they mostly do, each member's place is the count of smaller prefixes: counted
// without a branch, where an insertion sort mispredicts the end of nearly every insertion.
std::size_t sort_small(Member* members, std::size_t n) {
  std::uint64_t pre[kSmallObject];
  for (std::size_t i = 0; i < n; ++i) pre[i] = prefix8(members[i].key);
  std::size_t i = 1;
  while (i < n && key_less(pre[i - 1], members[i - 1].key, pre[i], members[i].key)) ++i;
  if (i == n) return n;  // already sorted, no key twice
  unsigned place[kSmallObject];
  unsigned ties = 0;
  for (std::size_t a = 0; a < n; ++a) {
    unsigned below = 0;
    unsigned same = 0;
    for (std::size_t b = 0; b < n; ++b) {
      below += pre[b] < pre[a];
      same += pre[b] == pre[a];
    }
    place[a] = below;
    ties |= same - 1;
  }
  if (ties != 0) return insertion_sort(members, pre, n);
  Member sorted[kSmallObject];
  for (std::size_t a = 0; a < n; ++a) sorted[place[a]] = members[a];
  std::copy(sorted, sorted + n, members);
  return n;
}

// Sorts the larger objects by each key's prefix, computed once, and the whole key where two
// prefixes tie; equal keys keep their insertion order (drop_repeated keeps the last of them).
// `order` and `sorted` have room for n entries.
struct Ranked {
  std::uint64_t prefix;
  std::size_t index;
};
std::size_t sort_large(Member* members, std::size_t n, Ranked* order, Member* sorted) {
  for (std::size_t i = 0; i < n; ++i) order[i] = {prefix8(members[i].key), i};
  std::sort(order, order + n, [members](const Ranked& a, const Ranked& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    std::string_view ka = members[a.index].key;
    std::string_view kb = members[b.index].key;
    if (ka != kb) return key_less(a.prefix, ka, b.prefix, kb);
    return a.index < b.index;
  });
  for (std::size_t i = 0; i < n; ++i) sorted[i] = members[order[i].index];
  std::copy(sorted, sorted + n, members);
  return drop_repeated(members, n);
}

// Objects up to this size are sorted with scratch space on the stack.
constexpr std::size_t kStackSorted = 256;

}  // namespace

std::size_t sort_members(Member* members, std::size_t n) {
  if (n < 2) return n;
  if (n <= kSmallObject) return sort_small(members, n);
  std::size_t i = 1;
  while (i < n && key_less(members[i - 1].key, members[i].key)) ++i;
  if (i == n) return n;
  if (n <= kStackSorted) {
    Ranked order[kStackSorted];
    union Scratch {
      Scratch() {}  // storage only: sort_large assigns each member it uses
      Member members[kStackSorted];
    } sorted;
    return sort_large(members, n, order, sorted.members);
  }
  Vec<Ranked> order(n);
  Vec<Member> sorted(n);
  return sort_large(members, n, order.data(), sorted.data());
}

std::size_t keep_first_places(Member* members, std::size_t n) {
  if (n < 2) return n;
  // Positions in key order, equal keys in insertion order: each run's first
  // position keeps the run's last value, the others are dropped.
  Vec<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return key_less(members[a].key, members[b].key);
  });
  Vec<bool> dropped(n, false);
  for (std::size_t i = 0; i < n;) {
    std::size_t j = i + 1;
    while (j < n && members[order[j]].key == members[order[i]].key) dropped[order[j++]] = true;
    members[order[i]].value = members[order[j - 1]].value;
    i = j;
  }
  std::size_t out = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!dropped[i]) members[out++] = members[i];
  }
  return out;
}

}  // namespace vardel
