// A process-wide cache of large memory blocks.
//
// Encoding and decoding a large document allocates a few big blocks (the
// arena's and the output buffer) and frees them when the call ends. Freed
// blocks this large go straight back to the operating system, and the next
// call pays a page fault for every page again. Keeping a few of them for the
// next call avoids that; the cache holds at most kPoolBytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vardel {

inline constexpr std::size_t kPoolBytes = std::size_t(128) << 20;
inline constexpr std::size_t kPoolBlocks = 16;

struct Block {
  void* data;
  std::size_t size;
};

// Returns the largest cached block of `min_bytes` to `max_bytes` bytes, else a
// new block of at least `min_bytes` (throws std::bad_alloc when out of
// memory); the block's size says how much. A caller that will not grow its
// block bounds it, so that it leaves a far larger block to the callers that do.
Block pool_take(std::size_t min_bytes, std::size_t max_bytes = SIZE_MAX);

// Returns the content of `block` moved into a block of at least `bytes` bytes
// (a large block grows by remapping its pages, not by copying them). Throws
// std::bad_alloc when out of memory, leaving `block` as it was.
Block pool_grow(Block block, std::size_t bytes);

// Gives a block back: cached when there is room, freed otherwise. Accepts a
// null block.
void pool_give(Block block);

// Frees every cached block.
void pool_clear();

// Asks for huge pages under the `n` bytes at `p` when they are kHugeBlock or more (a hint;
// nothing changes where it is refused). Memory this large is mapped afresh by the allocator, or
// given back and used again, and each of its pages would cost the kernel a fault: huge pages
// turn some ten thousand faults into a few dozen. The pool's own blocks ask for them.
void prefer_huge_pages(void* p, std::size_t n);
inline constexpr std::size_t kHugeBlock = std::size_t(8) << 20;

}  // namespace vardel
