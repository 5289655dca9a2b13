#include "core/pool.h"

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "core/alloc_fault.h"

namespace vardel {

namespace {

// Blocks smaller than this are cheap to get from malloc and are not cached.
constexpr std::size_t kMinCached = 64 * 1024;

// Under AddressSanitizer every block goes back to free at once: a cached block
// handed to the next call would hide a use after free of the previous one.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCaching = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kCaching = false;
#else
constexpr bool kCaching = true;
#endif
#else
constexpr bool kCaching = true;
#endif

struct Cache {
  std::mutex lock;
  Block blocks[kPoolBlocks] = {};
  std::size_t count = 0;
  std::size_t bytes = 0;
};

Cache& cache() {
  static Cache* c = new Cache();  // never destroyed: blocks may be given back at exit
  return *c;
}

// Makes room in `c` for a block of `size` bytes, dropping blocks smaller than it, smallest
// first, if that is enough: the larger blocks save the most faults. Returns false, having
// dropped none, if it is not.
bool make_room(Cache& c, std::size_t size) {
  std::size_t smaller = 0;
  std::size_t smaller_bytes = 0;
  for (std::size_t i = 0; i < c.count; ++i) {
    if (c.blocks[i].size < size) {
      ++smaller;
      smaller_bytes += c.blocks[i].size;
    }
  }
  if (c.count - smaller >= kPoolBlocks || c.bytes - smaller_bytes + size > kPoolBytes) return false;
  while (c.count == kPoolBlocks || c.bytes + size > kPoolBytes) {
    std::size_t smallest = 0;
    for (std::size_t i = 1; i < c.count; ++i)
      if (c.blocks[i].size < c.blocks[smallest].size) smallest = i;
    std::free(c.blocks[smallest].data);
    c.bytes -= c.blocks[smallest].size;
    c.blocks[smallest] = c.blocks[--c.count];
  }
  return true;
}

}  // namespace

void prefer_huge_pages(void* p, std::size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHuge = std::uintptr_t(2) << 20;
  if (n < kHugeBlock) return;
  auto begin = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
  auto end = (reinterpret_cast<std::uintptr_t>(p) + n) & ~(kHuge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)n;
#endif
}

Block pool_take(std::size_t min_bytes, std::size_t max_bytes) {
  alloc_fault::check();
  if (kCaching && min_bytes >= kMinCached) {
    Cache& c = cache();
    std::lock_guard<std::mutex> guard(c.lock);
    std::size_t best = c.count;
    for (std::size_t i = 0; i < c.count; ++i) {
      std::size_t size = c.blocks[i].size;
      if (size >= min_bytes && size <= max_bytes && (best == c.count || size > c.blocks[best].size))
        best = i;
    }
    if (best != c.count) {
      Block b = c.blocks[best];
      c.blocks[best] = c.blocks[--c.count];
      c.bytes -= b.size;
      return b;
    }
  }
  void* p = std::malloc(min_bytes);
  if (p == nullptr) throw std::bad_alloc();
  prefer_huge_pages(p, min_bytes);
  return {p, min_bytes};
}

Block pool_grow(Block block, std::size_t bytes) {
  alloc_fault::check();
  void* p = std::realloc(block.data, bytes);
  if (p == nullptr) throw std::bad_alloc();
  prefer_huge_pages(p, bytes);
  return {p, bytes};
}

void pool_give(Block block) {
  if (block.data == nullptr) return;
  if (kCaching && block.size >= kMinCached && block.size <= kPoolBytes) {
    Cache& c = cache();
    std::lock_guard<std::mutex> guard(c.lock);
    if (make_room(c, block.size)) {
      c.blocks[c.count++] = block;
      c.bytes += block.size;
      return;
    }
  }
  std::free(block.data);
}

}  // namespace vardel
