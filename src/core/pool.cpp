#include "core/pool.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
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

// Blocks of kMapped bytes or more are mappings of their own rather than malloc's. Once a program
// has freed one large block, glibc serves blocks up to that size from its heap (its mmap
// threshold adapts to the frees it sees): growing such a block copies it instead of remapping
// its pages, and the old copy stays resident, free in the heap, until the heap's top is trimmed.
// Smaller blocks stay with malloc, which reuses pages already faulted in. Under AddressSanitizer
// every block comes from malloc, whose bounds it checks.
#if defined(__linux__) && defined(MREMAP_MAYMOVE)
constexpr bool kMapping = kCaching;
#else
constexpr bool kMapping = false;
#endif
constexpr std::size_t kMapped = std::size_t(1) << 20;

bool is_mapped(std::size_t bytes) {
  return kMapping && bytes >= kMapped;
}

// Rounds `bytes` up to whole pages: the mapping has them all, and the caller may use them.
std::size_t whole_pages(std::size_t bytes) {
#if defined(__linux__)
  static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return bytes > SIZE_MAX - page ? SIZE_MAX : (bytes + page - 1) & ~(page - 1);
#else
  return bytes;
#endif
}

// A new block of at least `bytes`, or a null block when out of memory.
Block allocate(std::size_t bytes) {
#if defined(__linux__) && defined(MREMAP_MAYMOVE)
  if (is_mapped(bytes)) {
    std::size_t size = whole_pages(bytes);
    if (size == SIZE_MAX) return {nullptr, 0};
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? Block{nullptr, 0} : Block{p, size};
  }
#endif
  return {std::malloc(bytes), bytes};
}

void deallocate(Block block) {
#if defined(__linux__) && defined(MREMAP_MAYMOVE)
  if (is_mapped(block.size)) {
    munmap(block.data, block.size);
    return;
  }
#endif
  std::free(block.data);
}

// `block` resized to at least `bytes`, its content kept, or a null block (and `block` as it
// was) when out of memory.
Block reallocate(Block block, std::size_t bytes) {
#if defined(__linux__) && defined(MREMAP_MAYMOVE)
  if (is_mapped(block.size) && is_mapped(bytes)) {
    std::size_t size = whole_pages(bytes);
    if (size == SIZE_MAX) return {nullptr, 0};
    void* p = mremap(block.data, block.size, size, MREMAP_MAYMOVE);
    return p == MAP_FAILED ? Block{nullptr, 0} : Block{p, size};
  }
  if (is_mapped(block.size) || is_mapped(bytes)) {
    Block to = allocate(bytes);
    if (to.data == nullptr) return to;
    std::memcpy(to.data, block.data, block.size < bytes ? block.size : bytes);
    deallocate(block);
    return to;
  }
#endif
  return {std::realloc(block.data, bytes), bytes};
}

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
    deallocate(c.blocks[smallest]);
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

// Asks for huge pages for `b`: for a mapping of its own, the whole of it, which keeps it one
// mapping that mremap can grow (advice on part of it would split it in two, and mremap refuses
// a range across mappings); else the huge pages inside a block that malloc placed.
void hint_huge_pages(Block b) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (is_mapped(b.size)) {
    if (b.size >= kHugeBlock) madvise(b.data, b.size, MADV_HUGEPAGE);
    return;
  }
#endif
  prefer_huge_pages(b.data, b.size);
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
  Block b = allocate(min_bytes);
  if (b.data == nullptr) throw std::bad_alloc();
  hint_huge_pages(b);
  return b;
}

Block pool_grow(Block block, std::size_t bytes) {
  alloc_fault::check();
  Block b = reallocate(block, bytes);
  if (b.data == nullptr) throw std::bad_alloc();
  hint_huge_pages(b);
  return b;
}

void pool_clear() {
  Cache& c = cache();
  std::lock_guard<std::mutex> guard(c.lock);
  while (c.count != 0) deallocate(c.blocks[--c.count]);
  c.bytes = 0;
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
  deallocate(block);
}

}  // namespace vardel
