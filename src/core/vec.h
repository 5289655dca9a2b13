// The allocator of the codec's containers: std::allocator for small arrays, the block cache
// for large ones, so that a large document's stacks and scratch arrays do not fault their pages
// in again on every call. Every allocation passes alloc_fault::check(), which only test builds
// make fail.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#include "core/alloc_fault.h"
#include "core/pool.h"

namespace vardel {

namespace vec_detail {

// A large array lies after a header that keeps its block, whose size may exceed the array's.
struct alignas(alignof(std::max_align_t)) Header {
  Block block;
};
inline constexpr std::size_t kPooledBytes = std::size_t(64) << 10;

// Returns room for `bytes` bytes from the block cache, aligned for any type.
inline void* take_pooled(std::size_t bytes) {
  const std::size_t total = sizeof(Header) + bytes;
  Block b = pool_take(total, 2 * total);  // a vector does not use more than it asked for
  auto* h = new (b.data) Header{b};
  return h + 1;
}

// Gives back the room that take_pooled returned.
inline void give_pooled(void* p) noexcept {
  pool_give(std::launder(static_cast<Header*>(p) - 1)->block);
}

}  // namespace vec_detail

template <class T>
struct CodecAllocator {
  using value_type = T;
  static_assert(alignof(T) <= alignof(vec_detail::Header));

  CodecAllocator() = default;
  template <class U>
  CodecAllocator(const CodecAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > SIZE_MAX / sizeof(T) / 2) throw std::bad_array_new_length();
    if (n * sizeof(T) >= vec_detail::kPooledBytes)
      return static_cast<T*>(vec_detail::take_pooled(n * sizeof(T)));
    alloc_fault::check();
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) >= vec_detail::kPooledBytes)
      vec_detail::give_pooled(p);
    else
      std::allocator<T>().deallocate(p, n);
  }

  template <class U>
  bool operator==(const CodecAllocator<U>&) const noexcept {
    return true;
  }
};

// A vector whose allocations tests can make fail.
template <class T>
using Vec = std::vector<T, CodecAllocator<T>>;

}  // namespace vardel
