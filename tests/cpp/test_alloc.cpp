// The codec's allocation pieces: the allocation-failure hook, the block pool,
// the arena and the output buffer. Each group ends in checks that the memory
// handed out keeps what was written to it, so a wrong size or a lost block
// shows as corrupted content, not only as a wrong count.
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "check.h"
#include "core/alloc_fault.h"
#include "core/arena.h"
#include "core/block_vec.h"
#include "core/pool.h"
#include "core/pooled_vec.h"
#include "core/vec.h"
#include "encode/writer.h"

namespace af = vardel::alloc_fault;
using vardel::Arena;
using vardel::Block;
using vardel::OutputBuffer;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPoolCaches = false;  // the pool frees every block at once under ASan
#else
constexpr bool kPoolCaches = true;
#endif

// Runs `f`; returns true if it threw std::bad_alloc.
template <class F>
bool throws_bad_alloc(F&& f) {
  try {
    f();
  } catch (const std::bad_alloc&) {
    return true;
  }
  return false;
}

void fill(void* p, std::size_t n, unsigned seed) {
  auto* b = static_cast<unsigned char*>(p);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i * 31 + seed);
}

bool holds(const void* p, std::size_t n, unsigned seed) {
  auto* b = static_cast<const unsigned char*>(p);
  for (std::size_t i = 0; i < n; ++i)
    if (b[i] != static_cast<unsigned char>(i * 31 + seed)) return false;
  return true;
}

// --- the allocation-failure hook -------------------------------------------

// Which allocation the hook fails, and how arming again counts: test_memory.py, through the test
// hooks. Here: a container allocates once per growth; a failed growth leaves its elements.
void alloc_fault_cases() {
  vardel::Vec<int> v;
  af::arm(0);
  for (int i = 0; i < 100; ++i) v.push_back(i);
  CHECK(af::count() >= 2 && af::count() <= 10);
  af::arm(1);
  CHECK(throws_bad_alloc([&] { v.reserve(v.capacity() * 2); }));
  CHECK(v.size() == 100 && v[0] == 0 && v[99] == 99);
  af::arm(0);
}

// --- the block pool ----------------------------------------------------------

// Sizes in KiB and MiB.
constexpr std::size_t operator""_K(unsigned long long n) {
  return n << 10;
}
constexpr std::size_t operator""_M(unsigned long long n) {
  return n << 20;
}
constexpr std::size_t kLarge = 64_K;  // the smallest block the pool keeps

// Empties the cache.
void drain() {
  vardel::pool_clear();
}

void pool_cases() {
  // Blocks are told apart by size: a cached block comes back with its own size,
  // a new one with exactly the size asked for.
  struct Case {
    const char* name;
    std::vector<std::size_t> given;   // sizes given back, in order, to an empty cache
    std::vector<std::size_t> takes;   // then takes of these many bytes, in order
    std::vector<std::size_t> expect;  // sizes of the blocks they return
    std::vector<std::size_t> bounds;  // the takes' max_bytes, when given
  };
  // clang-format off
  const Case cases[] = {
      {"small blocks are not kept", {4_K}, {2_K}, {2_K}},
      {"a kept block is reused once", {100_K}, {70_K, 70_K}, {100_K, 70_K}},
      {"an exact fit", {100_K}, {100_K}, {100_K}},
      {"too small a kept block is left", {100_K}, {101_K, 99_K}, {101_K, 100_K}},
      {"the largest that fits first", {80_K, 300_K, 90_K}, {70_K, 70_K, 70_K, 70_K},
                                      {300_K, 90_K, 80_K, 70_K}},
      {"a small request takes no kept block", {200_K}, {1, 64_K}, {1, 200_K}},
      // The cap on bytes: 60 + 60 fit, 10 more would not and is smaller than both.
      {"bytes cap drops a smaller block", {60_M, 60_M, 10_M}, {9_M, 9_M, 9_M}, {60_M, 60_M, 9_M}},
      // A larger block replaces the smallest when the total still fits.
      {"bytes cap keeps the larger block", {60_M, 50_M, 64_M}, {49_M, 49_M, 49_M}, {64_M, 60_M, 49_M}},
      // As many smaller blocks as it takes make room for a larger one.
      {"a block the size of the cap drops every smaller one", {60_M, 50_M, 128_M}, {100_M, 49_M},
                                                              {128_M, 49_M}},
      // 100 + 30 is past the cap even without the 20: nothing is dropped for the 30.
      {"smaller blocks are dropped only when that makes room", {100_M, 20_M, 30_M},
                                                               {19_M, 19_M, 19_M}, {100_M, 20_M, 19_M}},
      {"a bounded take leaves a far larger block", {10_M}, {64_K, 5_M}, {64_K, 10_M}, {512_K, SIZE_MAX}},
      {"a bounded take takes a block within its bound", {300_K}, {100_K}, {300_K}, {800_K}},
  };
  // clang-format on
  for (const Case& c : cases) {
    if (!kPoolCaches) break;
    drain();
    std::vector<Block> given;
    for (std::size_t size : c.given) given.push_back(vardel::pool_take(size));
    for (Block b : given) vardel::pool_give(b);
    std::vector<Block> got;
    for (std::size_t i = 0; i < c.takes.size(); ++i) {
      Block b = vardel::pool_take(c.takes[i], i < c.bounds.size() ? c.bounds[i] : SIZE_MAX);
      CHECK_CASE(b.size == c.expect[i], c.name + std::string(", take ") + std::to_string(i));
      std::size_t n = b.size < 4096 ? b.size : 4096;
      fill(b.data, n, 7);
      CHECK_CASE(holds(b.data, n, 7), c.name);
      got.push_back(b);
    }
    for (Block b : got) vardel::pool_give(b);
  }
  if (kPoolCaches) {
    // The cap on blocks: of kPoolBlocks + 1 distinct sizes given back, the smallest is dropped.
    drain();
    std::vector<Block> blocks;
    for (std::size_t i = 0; i <= vardel::kPoolBlocks; ++i)
      blocks.push_back(vardel::pool_take(kLarge + i * 4096));
    for (Block b : blocks) vardel::pool_give(b);
    std::vector<std::size_t> sizes;
    for (std::size_t i = 0; i <= vardel::kPoolBlocks; ++i) {
      Block b = vardel::pool_take(kLarge);
      sizes.push_back(b.size);
      blocks[i] = b;
    }
    CHECK(sizes.back() == kLarge);  // the cache was empty by then: a new block
    CHECK(sizes[0] == kLarge + vardel::kPoolBlocks * 4096);  // largest first
    bool smallest_kept = false;
    for (std::size_t i = 0; i < vardel::kPoolBlocks; ++i) smallest_kept |= sizes[i] == kLarge;
    CHECK(!smallest_kept);
    for (Block b : blocks) vardel::pool_give(b);
  }
  vardel::pool_give({nullptr, 0});  // accepted

  // Growing a block keeps its content, whether it stays small, becomes large (a mapping of its
  // own outside ASan) or grows as one; a failed growth leaves the block as it was.
  struct Growth {
    const char* name;
    std::size_t from, to;
  };
  const Growth growths[] = {
      {"small to small", 3000, 60_K}, {"small to large", 3000, 5_M},
      {"large to larger", 1_M, 9_M},  {"just below large to large", 1_M - 16, 1_M},
      {"large to small", 2_M, 512_K}, {"huge to larger", 9_M, 20_M},
  };
  for (const Growth& g : growths) {
    Block b = vardel::pool_take(g.from, g.from);
    std::size_t kept = g.from < g.to ? g.from : g.to;
    fill(b.data, g.from, 3);
    b = vardel::pool_grow(b, g.to);
    CHECK_CASE(b.size >= g.to && b.size < g.to + 4096 && holds(b.data, kept, 3), g.name);
    fill(b.data, b.size, 4);  // all of it is the caller's
    CHECK_CASE(holds(b.data, b.size, 4), g.name);
    vardel::pool_give(b);
  }
  drain();
  Block b = vardel::pool_take(3000);
  fill(b.data, 3000, 3);
  b = vardel::pool_grow(b, 5_M);
  af::arm(1);
  CHECK(throws_bad_alloc([&] { b = vardel::pool_grow(b, 9_M); }));
  af::arm(0);
  CHECK(b.size == 5_M && holds(b.data, 3000, 3));
  vardel::pool_give(b);
  drain();
}

// --- pooled vectors -----------------------------------------------------------

// A pooled vector's arrays of kLarge bytes and more come from the pool, so that
// a large document's stacks reuse their pages from call to call.
void pooled_vec_cases() {
  if (kPoolCaches) drain();
  {
    // Growing through the pooled sizes keeps every element, and every growth
    // passes the fault hook; a failed one leaves the elements as they were.
    vardel::PooledVec<std::uint64_t> v;
    for (std::uint64_t i = 0; i < 100'000; ++i) v.push_back(i * 7);
    bool intact = true;
    for (std::uint64_t i = 0; i < v.size(); ++i) intact &= v[i] == i * 7;
    CHECK(intact);
    CHECK(reinterpret_cast<std::uintptr_t>(v.data()) % alignof(std::max_align_t) == 0);
    af::arm(1);
    CHECK(throws_bad_alloc([&] { v.reserve(v.capacity() * 2); }));
    af::arm(0);
    CHECK(v.size() == 100'000 && v[99'999] == 99'999 * 7);
  }
  if (!kPoolCaches) return;
  struct Case {
    const char* name;
    std::size_t bytes;  // reserved by a container, then freed with it
    bool kept;          // its block is in the cache afterwards
  };
  const Case cases[] = {
      {"a small array is not kept", 60_K, false},
      {"the smallest pooled array is kept", kLarge, true},
      {"a large array is kept", 300_K, true},
  };
  for (const Case& c : cases) {
    drain();
    {
      vardel::PooledVec<char> v;
      v.reserve(c.bytes);
      fill(v.data(), c.bytes, 5);
      CHECK_CASE(holds(v.data(), c.bytes, 5), c.name);
    }
    Block b = vardel::pool_take(kLarge);
    bool cached = b.size != kLarge;
    CHECK_CASE(cached == c.kept, c.name);
    if (c.kept) CHECK_CASE(b.size > c.bytes && b.size < c.bytes + 64, c.name);
    vardel::pool_give(b);
  }
  // A container taking a cached block sees it whole, however much of it is asked.
  drain();
  vardel::pool_give(vardel::pool_take(150_K));
  vardel::PooledVec<char> v(100_K, 'x');
  CHECK(v.size() == 100_K && v.front() == 'x' && v.back() == 'x');
  Block fresh = vardel::pool_take(kLarge);
  CHECK(fresh.size == kLarge);  // the cached block is the container's now
  vardel::pool_give(fresh);
}

// --- block vectors ------------------------------------------------------------

void block_vec_cases() {
  using vardel::BlockVec;
  {
    // Growing past the sizes malloc serves into those that are mappings keeps every value, and
    // every growth passes the fault hook; a failed one leaves the values as they were.
    BlockVec<std::uint64_t> v;
    CHECK(v.empty() && v.begin() == v.end());
    for (std::uint64_t i = 0; i < 300'000; ++i) v.push_back(i * 7);  // 2.4 MB
    bool intact = v.size() == 300'000;
    for (std::uint64_t i = 0; i < v.size(); ++i) intact &= v[i] == i * 7;
    CHECK(intact && v.back() == 299'999 * 7);
    CHECK(reinterpret_cast<std::uintptr_t>(v.begin()) % alignof(std::max_align_t) == 0);
    af::arm(1);  // the next growth fails: pushes fill the capacity first
    bool threw = false;
    std::size_t before = 0;
    for (int i = 0; i < 5'000'000 && !threw; ++i) {
      before = v.size();
      threw = throws_bad_alloc([&] { v.push_back(2); });
    }
    af::arm(0);
    CHECK(threw && v.size() == before && v.back() == 2 && v[299'999] == 299'999 * 7 && v[0] == 0);
    // Shrinking drops the values at the end only; a push after it takes their place.
    v.resize(10);
    v.resize(20);  // not a growth
    CHECK(v.size() == 10 && v.back() == 63);
    v.push_back(5);
    CHECK(v.size() == 11 && v[10] == 5 && v[9] == 63);
    // Moving hands over the block; the source is empty and usable.
    BlockVec<std::uint64_t> moved(std::move(v));
    CHECK(v.empty() && moved.size() == 11 && moved[10] == 5);
    v.push_back(8);
    CHECK(v.size() == 1 && v[0] == 8);
    v = std::move(moved);
    CHECK(v.size() == 11 && moved.empty());
    v.clear();
    CHECK(v.empty());
  }
  if (!kPoolCaches) return;
  // The first block is one left in the pool by an earlier call, taken whole.
  drain();
  vardel::pool_give(vardel::pool_take(150_K));
  {
    BlockVec<std::uint32_t> v;
    for (std::uint32_t i = 0; i < 150_K / 4; ++i) v.push_back(i);
    CHECK(v.size() == 150_K / 4 && v.back() == 150_K / 4 - 1);
    Block fresh = vardel::pool_take(kLarge);
    CHECK(fresh.size == kLarge);  // no growth: the cached block is the vector's
    vardel::pool_give(fresh);
  }
  Block kept = vardel::pool_take(kLarge);
  CHECK(kept.size == 150_K);  // given back when the vector ends
  vardel::pool_give(kept);
  drain();
}

// --- the arena ---------------------------------------------------------------

// The arena and the output buffer take their first block from the pool, which
// may hold a block from an earlier case large enough to never grow: each case
// that grows starts with an empty cache.
void arena_cases() {
  {
    // (The content of many allocations, small and large, is what every decode in the Python
    // suite reads back.)
    Arena arena;
    CHECK(arena.alloc<int>(0) == nullptr);
    CHECK(throws_bad_alloc([&] { arena.alloc<double>(std::size_t(1) << 62); }));
    CHECK(arena.copy("copied text") == "copied text" && arena.copy("").empty());
  }
  {
    // Marks rewound in the reverse order of taking them: the storage after each
    // mark is handed out again, the storage before it is kept.
    Arena arena;
    char* base = arena.alloc<char>(100);
    fill(base, 100, 9);
    Arena::Mark outer = arena.mark();
    char* a = arena.alloc<char>(200);
    Arena::Mark inner = arena.mark();
    char* b = arena.alloc<char>(300);
    arena.rewind(inner);
    CHECK(arena.alloc<char>(300) == b);
    arena.rewind(inner);
    arena.rewind(outer);
    CHECK(arena.alloc<char>(200) == a);
    CHECK(holds(base, 100, 9));
  }
  {
    // Rewinding across blocks: the block freed is kept and serves the next
    // growth, so taking and rewinding again and again takes nothing from the pool.
    drain();
    Arena arena;
    char* base = arena.alloc<char>(100);
    fill(base, 100, 5);
    Arena::Mark m = arena.mark();
    char* first = nullptr;
    af::arm(0);
    for (int round = 0; round < 10; ++round) {
      for (int i = 0; i < 40; ++i) {
        char* p = arena.alloc<char>(4000);  // 160 KB: past the first block
        if (i == 0 && round == 0) first = p;
        if (i == 0) CHECK_CASE(p == first, std::to_string(round));
        fill(p, 4000, static_cast<unsigned>(i));
      }
      arena.rewind(m);
      if (round == 0) af::arm(0);  // count from the second round
    }
    CHECK(af::count() == 0);
    CHECK(holds(base, 100, 5));
  }
  {
    // A failed growth throws and leaves the arena usable, its earlier storage intact.
    drain();
    Arena arena;
    char* p = arena.alloc<char>(60_K);
    fill(p, 60_K, 2);
    af::arm(1);
    CHECK(throws_bad_alloc([&] { arena.alloc<char>(10_K); }));
    af::arm(0);
    char* q = arena.alloc<char>(10_K);
    fill(q, 10_K, 4);
    CHECK(holds(p, 60_K, 2) && holds(q, 10_K, 4));
    // Moving keeps the storage valid.
    Arena moved(std::move(arena));
    CHECK(holds(p, 60_K, 2));
    moved.alloc<char>(200_K);
  }
}

// --- the output buffer -------------------------------------------------------

void output_buffer_cases() {
  {
    // room/commit: only the committed part counts, and growth keeps it.
    drain();
    OutputBuffer out;
    std::string expect;
    OutputBuffer::Mark after_first{};
    for (int i = 0; i < 20000; ++i) {
      std::string piece = std::to_string(i * 7919) + ",";
      char* p = out.room(piece.size() + 64);  // more room than is used
      std::memcpy(p, piece.data(), piece.size());
      out.commit(piece.size());
      expect += piece;
      if (i == 0) after_first = out.mark();
    }
    CHECK(out.view() == expect);  // past several growths
    char* p = out.room(3_M);      // far more than doubling gives
    std::memset(p, 'x', 3_M);
    out.commit(3_M);
    CHECK(out.size() == expect.size() + 3_M);
    CHECK(out.view().substr(0, expect.size()) == expect && out.back() == 'x');
    out.rewind(after_first);
    CHECK(out.view() == "0,");
    out.append(std::string_view("ab"));
    out.spaces(3);
    out.newline(2);
    out.put('z');
    CHECK(out.view() == "0,ab   \n  z");
    OutputBuffer moved(std::move(out));
    CHECK(out.size() == 0 && moved.view() == "0,ab   \n  z");
  }
  struct Trim {
    const char* in;
    const char* out;
  };
  // Only spaces and line feeds are trimmed: the encoder's own whitespace.
  const Trim trims[] = {
      {"", ""},       {"a", "a"},        {"a \n \n", "a"}, {"  \n", ""},
      {"a\t", "a\t"}, {"a\t \n", "a\t"}, {"a\r\n", "a\r"}, {" a b ", " a b"},
  };
  for (const Trim& t : trims) {
    OutputBuffer out;
    out.append(std::string_view(t.in));
    out.trim_end();
    CHECK_CASE(out.view() == t.out, std::string("'") + t.in + "'");
  }
  {
    // Splices stand between the bytes in the order written, at every width; trim_end does not
    // reach past the last one, and rewinding drops those made after the mark.
    const std::uint8_t latin1[] = {0xE9, 'x'};
    const char16_t ucs2[] = {0x4E2D, ' '};
    const char32_t ucs4[] = {0x1F600};
    OutputBuffer out;
    out.append(std::string_view("a: "));
    out.splice(latin1, 2, 1);
    out.newline(2);
    out.splice(ucs2, 2, 2);
    out.trim_end();  // the space is the splice's own
    OutputBuffer::Mark m = out.mark();
    out.newline(0);
    out.splice(ucs4, 1, 4);
    out.splice(ucs2, 0, 2);  // nothing to splice: no splice
    CHECK(out.splices().size() == 3);
    CHECK(out.str() == "a: \xC3\xA9x\n  \xE4\xB8\xAD \n\xF0\x9F\x98\x80");
    out.rewind(m);
    CHECK(out.splices().size() == 2 && out.str() == "a: \xC3\xA9x\n  \xE4\xB8\xAD ");
    out.spaces(2);
    out.newline(1);
    out.trim_end();
    CHECK(out.str() == "a: \xC3\xA9x\n  \xE4\xB8\xAD ");
    out.rewind({3, 1});  // back to just after the first splice
    out.trim_end();
    CHECK(out.str() == "a: \xC3\xA9x");
  }
  {
    // A failed growth throws and keeps the content; the buffer grows afterwards.
    drain();
    OutputBuffer out;
    out.spaces(100);
    std::string big(100_K, 'q');
    af::arm(1);
    CHECK(throws_bad_alloc([&] { out.append(big); }));
    af::arm(0);
    CHECK(out.view() == std::string(100, ' '));
    out.append(big);
    CHECK(out.view() == std::string(100, ' ') + big);
  }
}

}  // namespace

int main() {
  alloc_fault_cases();
  pool_cases();
  pooled_vec_cases();
  block_vec_cases();
  arena_cases();
  output_buffer_cases();
  return vardel::testing::finish("test_alloc");
}
