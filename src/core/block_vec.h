// A growable array of trivially copyable values in one block of the block pool.
//
// For arrays that grow with the document while a call runs, such as the output's splices: a
// large block grows by remapping its pages, so growth neither copies the array nor leaves the
// old copy behind, resident, in malloc's heap until the call ends. Only growth and shrinking
// at the end are offered, which is all such an array needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

#include "core/pool.h"

namespace vardel {

template <class T>
class BlockVec {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  BlockVec() = default;
  BlockVec(const BlockVec&) = delete;
  BlockVec& operator=(const BlockVec&) = delete;
  BlockVec(BlockVec&& other) noexcept : block_(other.block_), size_(other.size_) {
    other.block_ = {nullptr, 0};
    other.size_ = 0;
  }
  BlockVec& operator=(BlockVec&& other) noexcept {
    if (this != &other) {
      pool_give(block_);
      block_ = other.block_;
      size_ = other.size_;
      other.block_ = {nullptr, 0};
      other.size_ = 0;
    }
    return *this;
  }
  ~BlockVec() { pool_give(block_); }

  // Throws std::bad_alloc when out of memory, leaving the array as it was.
  void push_back(const T& v) {
    if (size_ == capacity()) grow();
    data()[size_++] = v;
  }
  // Drops the values from `n` on; `n` is at most size().
  void resize(std::size_t n) { size_ = n < size_ ? n : size_; }
  void clear() { size_ = 0; }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& back() { return data()[size_ - 1]; }
  const T& back() const { return data()[size_ - 1]; }
  T& operator[](std::size_t i) { return data()[i]; }
  const T& operator[](std::size_t i) const { return data()[i]; }
  T* begin() { return data(); }
  T* end() { return data() + size_; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }

 private:
  // As large as the pool caches, so that the first block is one left by an earlier call.
  static constexpr std::size_t kFirstBytes = std::size_t(64) << 10;

  T* data() { return static_cast<T*>(block_.data); }
  const T* data() const { return static_cast<const T*>(block_.data); }
  std::size_t capacity() const { return block_.size / sizeof(T); }

  void grow() {
    if (block_.data == nullptr) {
      std::size_t bytes = kFirstBytes < sizeof(T) ? sizeof(T) : kFirstBytes;
      block_ = pool_take(bytes);
      return;
    }
    if (block_.size > SIZE_MAX / 2) throw std::bad_alloc();
    block_ = pool_grow(block_, 2 * block_.size);
  }

  Block block_{nullptr, 0};
  std::size_t size_ = 0;
};

}  // namespace vardel
