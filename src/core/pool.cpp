#include "core/pool.h"

#include <cstdlib>
#include <mutex>
#include <new>

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

}  // namespace

Block pool_take(std::size_t min_bytes) {
  alloc_fault::check();
  if (kCaching && min_bytes >= kMinCached) {
    Cache& c = cache();
    std::lock_guard<std::mutex> guard(c.lock);
    std::size_t best = c.count;
    for (std::size_t i = 0; i < c.count; ++i) {
      if (c.blocks[i].size >= min_bytes &&
          (best == c.count || c.blocks[i].size > c.blocks[best].size))
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
  return {p, min_bytes};
}

Block pool_grow(Block block, std::size_t bytes) {
  alloc_fault::check();
  void* p = std::realloc(block.data, bytes);
  if (p == nullptr) throw std::bad_alloc();
  return {p, bytes};
}

void pool_give(Block block) {
  if (block.data == nullptr) return;
  if (kCaching && block.size >= kMinCached) {
    Cache& c = cache();
    std::lock_guard<std::mutex> guard(c.lock);
    if (c.count < kPoolBlocks && c.bytes + block.size <= kPoolBytes) {
      c.blocks[c.count++] = block;
      c.bytes += block.size;
      return;
    }
    // Full: keep the larger blocks, which save the most faults.
    std::size_t smallest = 0;
    for (std::size_t i = 1; i < c.count; ++i)
      if (c.blocks[i].size < c.blocks[smallest].size) smallest = i;
    if (c.count != 0 && c.blocks[smallest].size < block.size &&
        c.bytes - c.blocks[smallest].size + block.size <= kPoolBytes) {
      std::free(c.blocks[smallest].data);
      c.bytes -= c.blocks[smallest].size;
      c.blocks[smallest] = block;
      c.bytes += block.size;
      return;
    }
  }
  std::free(block.data);
}

}  // namespace vardel
