// The encoder's output: one growable byte buffer, written front to back.
//
// Unlike std::string it never zero-fills the room it grows into, and callers
// can ask for room first and say afterwards how much of it they used, so
// numbers and escapes are written straight into place.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "core/pool.h"

namespace vardel {

class OutputBuffer {
 public:
  OutputBuffer() = default;
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  OutputBuffer(OutputBuffer&& other) noexcept
      : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
  }
  OutputBuffer& operator=(OutputBuffer&& other) noexcept {
    if (this != &other) {
      pool_give({data_, capacity_});
      data_ = other.data_;
      size_ = other.size_;
      capacity_ = other.capacity_;
      other.data_ = nullptr;
      other.size_ = other.capacity_ = 0;
    }
    return *this;
  }
  ~OutputBuffer() { pool_give({data_, capacity_}); }

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return {data_, size_}; }
  std::string str() const { return std::string(view()); }
  char back() const { return data_[size_ - 1]; }
  // Drops everything after the first `n` bytes; requires n <= size().
  void truncate(std::size_t n) { size_ = n; }

  // Makes room for `n` more bytes and returns where they go; commit() then
  // records how many were written. Throws std::bad_alloc when out of memory.
  char* room(std::size_t n) {
    if (n > capacity_ - size_) grow(n);
    return data_ + size_;
  }
  void commit(std::size_t n) { size_ += n; }
  void reserve(std::size_t n) { room(n); }

  void put(char c) {
    room(1)[0] = c;
    ++size_;
  }
  void append(const char* p, std::size_t n) {
    if (n == 0) return;
    std::memcpy(room(n), p, n);
    size_ += n;
  }
  void append(std::string_view s) { append(s.data(), s.size()); }
  void spaces(std::size_t n) {
    if (n == 0) return;
    std::memset(room(n), ' ', n);
    size_ += n;
  }
  // Ends the current line and indents the next one by `n` spaces.
  void newline(std::size_t n) {
    char* p = room(n + 1);
    p[0] = '\n';
    std::memset(p + 1, ' ', n);
    size_ += n + 1;
  }
  // Removes trailing spaces and line feeds: the only whitespace the encoder
  // itself leaves at the end of a block (tokens never end in either).
  void trim_end() {
    while (size_ != 0 && (data_[size_ - 1] == ' ' || data_[size_ - 1] == '\n')) --size_;
  }

 private:
  void grow(std::size_t n) {
    if (n > kMaxSize - size_) throw std::bad_alloc();
    std::size_t want = size_ + n;
    std::size_t cap = capacity_ < kMaxSize / 2 ? capacity_ * 2 : kMaxSize;
    if (cap < want) cap = want;
    if (cap < 256) cap = 256;
    if (data_ == nullptr) {
      // The first block: a large one left by an earlier call when there is one.
      Block b = pool_take(cap < kFirstBlock ? kFirstBlock : cap);
      data_ = static_cast<char*>(b.data);
      capacity_ = b.size;
      return;
    }
    // Pool blocks come from malloc. realloc grows large ones by remapping
    // their pages instead of copying them, and the old block is not kept for
    // later calls: holding it would add to the peak memory of this one.
    void* p = std::realloc(data_, cap);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
    capacity_ = cap;
  }

  static constexpr std::size_t kMaxSize = std::size_t(1) << 62;
  static constexpr std::size_t kFirstBlock = 64 * 1024;

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace vardel
