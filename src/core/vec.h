// The allocator of the codec's containers: std::allocator, except that every
// allocation passes alloc_fault::check(), which only test builds make fail.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "core/alloc_fault.h"

namespace vardel {

template <class T>
struct CodecAllocator {
  using value_type = T;

  CodecAllocator() = default;
  template <class U>
  CodecAllocator(const CodecAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    alloc_fault::check();
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) noexcept { std::allocator<T>().deallocate(p, n); }

  template <class U>
  bool operator==(const CodecAllocator<U>&) const noexcept {
    return true;
  }
};

// A vector whose allocations tests can make fail.
template <class T>
using Vec = std::vector<T, CodecAllocator<T>>;

}  // namespace vardel
