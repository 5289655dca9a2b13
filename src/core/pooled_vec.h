// A vector for working arrays that grow large with the document, such as the stack of a sink
// that builds the decoded objects: arrays of 64 KB and more come from the block cache, so that
// repeated calls on large documents do not fault their pages in anew (freed to malloc, such an
// array leaves the top of the heap free, which is given back to the system and faulted in again
// by the next call). Smaller ones come from std::allocator. Every allocation passes
// alloc_fault::check(), which only test builds make fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "core/alloc_fault.h"
#include "core/pool.h"

namespace vardel {

namespace pooled_detail {

// A large array lies after a header that keeps its block, whose size may exceed the array's.
struct alignas(alignof(std::max_align_t)) Header {
  Block block;
};
inline constexpr std::size_t kPooledBytes = std::size_t(64) << 10;

// Returns room for `bytes` bytes from the block cache, aligned for any type.
inline void* take(std::size_t bytes) {
  const std::size_t total = sizeof(Header) + bytes;
  Block b = pool_take(total, 2 * total);  // a vector does not use more than it asked for
  auto* h = new (b.data) Header{b};
  return h + 1;
}

// Gives back the room that take() returned.
inline void give(void* p) noexcept {
  pool_give(std::launder(static_cast<Header*>(p) - 1)->block);
}

}  // namespace pooled_detail

template <class T>
struct PooledAllocator {
  using value_type = T;
  static_assert(alignof(T) <= alignof(pooled_detail::Header));

  PooledAllocator() = default;
  template <class U>
  PooledAllocator(const PooledAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > SIZE_MAX / sizeof(T) / 2) throw std::bad_array_new_length();
    if (n * sizeof(T) >= pooled_detail::kPooledBytes)
      return static_cast<T*>(pooled_detail::take(n * sizeof(T)));
    alloc_fault::check();
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) >= pooled_detail::kPooledBytes)
      pooled_detail::give(p);
    else
      std::allocator<T>().deallocate(p, n);
  }

  template <class U>
  bool operator==(const PooledAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using PooledVec = std::vector<T, PooledAllocator<T>>;

}  // namespace vardel
