// Bump allocator that owns every node and copied string of one value tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "core/pool.h"

namespace vardel {

class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  Arena(Arena&& other) noexcept
      : head_(other.head_), cur_(other.cur_), end_(other.end_), spare_(other.spare_) {
    other.head_ = other.spare_ = nullptr;
    other.cur_ = other.end_ = nullptr;
  }
  Arena& operator=(Arena&& other) noexcept {
    if (this != &other) {
      release();
      head_ = other.head_;
      cur_ = other.cur_;
      end_ = other.end_;
      spare_ = other.spare_;
      other.head_ = other.spare_ = nullptr;
      other.cur_ = other.end_ = nullptr;
    }
    return *this;
  }
  ~Arena() { release(); }

  // Returns uninitialised storage for `n` objects of trivially destructible type T.
  template <class T>
  T* alloc(std::size_t n) {
    static_assert(alignof(T) <= alignof(std::max_align_t));
    if (n == 0) return nullptr;
    if (n > kMaxBytes / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(raw(n * sizeof(T), alignof(T)));
  }

  // A point in the arena's history that rewind() returns to.
  struct Mark {
    void* head;
    char* cur;
    char* end;
  };
  Mark mark() const { return {head_, cur_, end_}; }
  // Frees everything allocated since `m` was taken (marks are rewound in the
  // reverse order of taking them). The newest block is kept for reuse, so
  // storage taken and freed again and again does not go back to the pool.
  void rewind(Mark m) {
    while (head_ != static_cast<Chunk*>(m.head)) {
      Chunk* next = head_->next;
      keep_spare(head_);
      head_ = next;
    }
    cur_ = m.cur;
    end_ = m.end;
  }

  // Returns a copy of `s` owned by the arena.
  std::string_view copy(std::string_view s) {
    if (s.empty()) return {};
    char* p = static_cast<char*>(raw(s.size(), 1));
    std::memcpy(p, s.data(), s.size());
    return {p, s.size()};
  }

 private:
  static constexpr std::size_t kMaxBytes = std::size_t(1) << 60;
  static constexpr std::size_t kChunk = 64 * 1024;
  static constexpr std::size_t kMaxSpread = 8;  // largest cached block taken, per byte asked
  struct alignas(std::max_align_t) Chunk {
    Chunk* next;
    std::size_t size;  // payload bytes after the header
  };

  void* raw(std::size_t bytes, std::size_t align) {
    auto cur = reinterpret_cast<std::uintptr_t>(cur_);
    std::uintptr_t aligned = (cur + align - 1) & ~(std::uintptr_t(align) - 1);
    if (cur_ != nullptr && aligned + bytes <= reinterpret_cast<std::uintptr_t>(end_)) {
      cur_ = reinterpret_cast<char*>(aligned + bytes);
      return reinterpret_cast<void*>(aligned);
    }
    return grow(bytes, align);
  }

  void* grow(std::size_t bytes, std::size_t align) {
    std::size_t payload = bytes + align > kChunk ? bytes + align : kChunk;
    // Blocks double while the tree is small, so large trees take few allocations.
    if (head_ != nullptr && head_->size * 2 > payload && head_->size < (std::size_t(1) << 26))
      payload = head_->size * 2;
    Chunk* chunk = spare_;
    if (chunk != nullptr && chunk->size >= payload) {
      spare_ = nullptr;
    } else {
      // A cached block much larger than asked for is left to the output buffer, which grows.
      vardel::Block got =
          pool_take(sizeof(Chunk) + payload, kMaxSpread * (sizeof(Chunk) + payload));
      chunk = static_cast<Chunk*>(got.data);
      chunk->size = got.size - sizeof(Chunk);
    }
    chunk->next = head_;
    head_ = chunk;
    char* start = reinterpret_cast<char*>(chunk + 1);
    auto s = reinterpret_cast<std::uintptr_t>(start);
    std::uintptr_t aligned = (s + align - 1) & ~(std::uintptr_t(align) - 1);
    cur_ = reinterpret_cast<char*>(aligned + bytes);
    end_ = start + chunk->size;
    return reinterpret_cast<void*>(aligned);
  }

  void keep_spare(Chunk* c) {
    if (spare_ != nullptr) pool_give({spare_, sizeof(Chunk) + spare_->size});
    spare_ = c;
  }

  void release() {
    keep_spare(nullptr);
    while (head_ != nullptr) {
      Chunk* next = head_->next;
      pool_give({head_, sizeof(Chunk) + head_->size});
      head_ = next;
    }
  }

  Chunk* head_ = nullptr;
  char* cur_ = nullptr;
  char* end_ = nullptr;
  Chunk* spare_ = nullptr;  // the last block rewound, kept for the next grow
};

}  // namespace vardel
