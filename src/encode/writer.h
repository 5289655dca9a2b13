// The encoder's output: one growable byte buffer, written front to back, and
// the texts spliced into it.
//
// Unlike std::string it never zero-fills the room it grows into, and callers
// can ask for room first and say afterwards how much of it they used, so
// numbers and escapes are written straight into place.
//
// A splice is text of one, two or four bytes per code point (see
// Value::wide_string) that stands between two bytes of the buffer without
// being copied into it: a caller that makes the final text at its widest
// character's width copies each piece once, where UTF-8 would cost an encode
// now and a decode then. The bytes alone are the whole text only while there
// are no splices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "core/block_vec.h"
#include "core/pool.h"
#include "core/text.h"

namespace vardel {

class OutputBuffer {
 public:
  OutputBuffer() = default;
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  OutputBuffer(OutputBuffer&& other) noexcept
      : data_(other.data_),
        size_(other.size_),
        capacity_(other.capacity_),
        splices_(std::move(other.splices_)) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
    other.splices_.clear();
  }
  OutputBuffer& operator=(OutputBuffer&& other) noexcept {
    if (this != &other) {
      pool_give({data_, capacity_});
      data_ = other.data_;
      size_ = other.size_;
      capacity_ = other.capacity_;
      splices_ = std::move(other.splices_);
      other.data_ = nullptr;
      other.size_ = other.capacity_ = 0;
      other.splices_.clear();
    }
    return *this;
  }
  ~OutputBuffer() { pool_give({data_, capacity_}); }

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return {data_, size_}; }
  // The whole text as UTF-8, splices included.
  std::string str() const;
  char back() const { return data_[size_ - 1]; }

  // A place in the text, to go back to with rewind().
  struct Mark {
    std::size_t bytes;
    std::size_t splices;
  };
  Mark mark() const { return {size_, splices_.size()}; }
  // Drops everything written after `m`, which must come from mark().
  void rewind(Mark m) {
    size_ = m.bytes;
    splices_.resize(m.splices);
  }

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
    fill_spaces(room(n + kSpaceRun), n);
    size_ += n;
  }
  // Ends the current line and indents the next one by `n` spaces.
  void newline(std::size_t n) {
    char* p = room(n + 1 + kSpaceRun);
    p[0] = '\n';
    fill_spaces(p + 1, n);
    size_ += n + 1;
  }
  // Removes trailing spaces and line feeds: the only whitespace the encoder
  // itself leaves at the end of a block (tokens never end in either). A
  // splice ends the trim: the bytes before it are not at the end.
  void trim_end() {
    const std::size_t floor = splices_.empty() ? 0 : splices_.back().at;
    while (size_ > floor && (data_[size_ - 1] == ' ' || data_[size_ - 1] == '\n')) --size_;
  }

  // Text of `width` bytes per code point (1, 2 or 4), read in place.
  struct Splice {
    std::size_t at;  // stands before the byte at this offset
    const void* units;
    std::size_t count;  // code points
    unsigned width;
  };
  // Adds the `count` code points at `units` after what is written so far.
  // They must stay where they are for as long as the buffer is read.
  void splice(const void* units, std::size_t count, unsigned width) {
    if (count == 0) return;
    splices_.push_back(Splice{size_, units, count, width});
  }
  const BlockVec<Splice>& splices() const { return splices_; }

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
    // The old block is not kept for later calls: holding it would add to the
    // peak memory of this one.
    Block b = pool_grow({data_, capacity_}, cap);
    data_ = static_cast<char*>(b.data);
    capacity_ = b.size;
  }

  // Stores `n` spaces at `p`, and up to kSpaceRun - 1 more after them, into room made but not
  // committed: most indentation is shorter than a run, and a call to memset costs more than it.
  static void fill_spaces(char* p, std::size_t n) {
    static constexpr char kRun[kSpaceRun + 1] = "                                ";
    for (std::size_t i = 0; i < n; i += kSpaceRun) std::memcpy(p + i, kRun, kSpaceRun);
  }

  static constexpr std::size_t kSpaceRun = 32;
  static constexpr std::size_t kMaxSize = std::size_t(1) << 62;
  static constexpr std::size_t kFirstBlock = 64 * 1024;

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  BlockVec<Splice> splices_;
};

inline std::string OutputBuffer::str() const {
  std::string text;
  std::size_t from = 0;
  for (const Splice& s : splices_) {
    text.append(data_ + from, s.at - from);
    from = s.at;
    for (std::size_t i = 0; i < s.count; ++i) append_utf8(text, code_point(s.units, s.width, i));
  }
  text.append(data_ + from, size_ - from);
  return text;
}

}  // namespace vardel
