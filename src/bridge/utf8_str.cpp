#include "bridge/utf8_str.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <tmmintrin.h>
#define VARDEL_SSSE3_AT_RUN_TIME 1
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "core/pool.h"

namespace vardel {

namespace {

// Widest character class in a text: what PyUnicode_New needs to pick the width.
struct Measure {
  std::size_t chars = 0;
  Py_UCS4 maxchar = 0;
};

// Returns true if no byte of the `n` at `p` has its high bit set: whole words at a time,
// which is quicker than measure() for the short texts most values and keys are.
bool is_ascii(const unsigned char* p, std::size_t n) {
  std::uint64_t bits = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    bits |= w;
  }
  if (n >= 8) {
    std::uint64_t w;  // the last eight bytes, overlapping the loop's
    std::memcpy(&w, p + n - 8, 8);
    bits |= w;
  } else {
    for (; i < n; ++i) bits |= p[i];
  }
  return (bits & 0x8080808080808080ULL) == 0;
}

Measure measure(const unsigned char* p, std::size_t n) {
  std::size_t continuation = 0;
  unsigned char top = 0;
  std::size_t i = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time: continuation bytes (80..BF) are the signed bytes
  // below -64, and the widest byte is an unsigned maximum.
  const __m128i below = _mm_set1_epi8(-64);
  __m128i widest = _mm_setzero_si128();
  while (i + 16 <= n) {
    // Per-lane counts in bytes, summed before any lane can pass 255.
    __m128i counts = _mm_setzero_si128();
    for (int k = 0; k < 255 && i + 16 <= n; ++k, i += 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      widest = _mm_max_epu8(widest, v);
      counts = _mm_sub_epi8(counts, _mm_cmplt_epi8(v, below));
    }
    __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    continuation += static_cast<std::size_t>(_mm_cvtsi128_si64(sums)) +
                    static_cast<std::size_t>(_mm_extract_epi16(sums, 4));
  }
  alignas(16) unsigned char lanes[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), widest);
  for (unsigned char b : lanes) top = b > top ? b : top;
#endif
  for (; i < n; ++i) {
    unsigned char b = p[i];
    continuation += (b & 0xC0) == 0x80;
    top = b > top ? b : top;
  }
  Measure m;
  m.chars = n - continuation;
  if (top < 0x80) {
    m.maxchar = 0x7F;
  } else if (top < 0xC4) {
    m.maxchar = 0xFF;  // lead bytes C2 and C3 only
  } else if (top < 0xF0) {
    m.maxchar = 0xFFFF;
  } else {
    m.maxchar = 0x10FFFF;
  }
  return m;
}

// Stores the 16 bytes at `p` at `out`, widened to Unit, and returns how many of them lead
// before the first byte that is not ASCII (16 if none is): those units are the text's, the
// rest is scratch that the caller overwrites. `out` must have room for 16 units.
template <class Unit>
inline unsigned widen16(const unsigned char* p, Unit* out) {
#if defined(__SSE2__)
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  if constexpr (sizeof(Unit) == 1) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
  } else {
    __m128i zero = _mm_setzero_si128();
    __m128i lo = _mm_unpacklo_epi8(v, zero);
    __m128i hi = _mm_unpackhi_epi8(v, zero);
    if constexpr (sizeof(Unit) == 2) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), lo);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), hi);
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(lo, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(lo, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpacklo_epi16(hi, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_unpackhi_epi16(hi, zero));
    }
  }
  auto mask = static_cast<unsigned>(_mm_movemask_epi8(v));
  return mask == 0 ? 16 : static_cast<unsigned>(__builtin_ctz(mask));
#else
  unsigned k = 0;
  while (k < 16 && p[k] < 0x80) {
    out[k] = p[k];
    ++k;
  }
  return k;
#endif
}

#if defined(VARDEL_SSSE3_AT_RUN_TIME)
// True if the processor has the byte shuffle (SSSE3) and POPCNT: every x86-64 processor made in
// the last decade or so, but not the first ones, which the build targets.
bool has_ssse3() {
  static const bool yes = __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("popcnt");
  return yes;
}

// The longest character that the 16 bytes at `p` hold part of, in bytes: 2 (or 1), 3 or 4. A
// block that starts a character holds the lead of any it holds part of, and the leads of
// longer characters are the larger bytes: past 0xDF for three bytes, past 0xEF for four.
inline unsigned longest_character(const unsigned char* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i zero = _mm_setzero_si128();
  auto none_past = [&](unsigned char top) {
    __m128i past = _mm_subs_epu8(v, _mm_set1_epi8(static_cast<char>(top)));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(past, zero)) == 0xFFFF;
  };
  return none_past(0xDF) ? 2 : none_past(0xEF) ? 3 : 4;
}

// For each set of eight 16-bit lanes to keep (a bit each), the byte shuffle that moves them to
// the front in order, the other lanes zero.
constexpr auto kKeepLanes = [] {
  std::array<std::array<std::uint8_t, 16>, 256> t{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned k = 0;
    for (unsigned lane = 0; lane < 8; ++lane) {
      if ((mask >> lane) & 1) {
        t[mask][2 * k] = static_cast<std::uint8_t>(2 * lane);
        t[mask][2 * k + 1] = static_cast<std::uint8_t>(2 * lane + 1);
        ++k;
      }
    }
    for (unsigned i = 2 * k; i < 16; ++i) t[mask][i] = 0x80;
  }
  return t;
}();

// Stores the 16-bit lanes of `units` that `keep` selects at `out`, side by side, as Units, and
// returns how many there are. Stores eight units whatever the count: `out` has room for them.
template <class Unit>
[[gnu::target("ssse3,popcnt")]] inline unsigned store_kept(__m128i units, unsigned keep,
                                                           Unit* out) {
  const __m128i kept = _mm_shuffle_epi8(
      units, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kKeepLanes[keep].data())));
  if constexpr (sizeof(Unit) == 1) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(kept, kept));
  } else if constexpr (sizeof(Unit) == 2) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), kept);
  } else {
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(kept, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(kept, zero));
  }
  return static_cast<unsigned>(std::popcount(keep));
}

// Decodes the characters that start in the 16 bytes at `p` (the first byte starting one, none
// longer than `Longest` bytes: 2 or 3) into units at `out`, which has room for 16, and moves
// `out` past them. Returns the bytes taken: up to the lead of a character that the block cuts.
// Each byte's unit is made at once (a lead byte's with the bytes after it), then the units of
// the bytes that start characters are moved side by side, eight lanes at a time, by a shuffle.
// The stores past the last such unit stay within the room of 16 and are written over later.
template <unsigned Longest, class Unit>
[[gnu::target("ssse3,popcnt")]] unsigned decode16(const unsigned char* p, Unit*& out) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i zero = _mm_setzero_si128();
  // Continuation bytes (80..BF) are the signed bytes below -64.
  const auto continuation =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, _mm_set1_epi8(-64))));
  // The text is valid UTF-8: a lead of three bytes at 14 is followed by a continuation byte.
  const unsigned taken = Longest == 3 && p[14] >= 0xE0 ? 14 : p[15] >= 0xC0 ? 15 : 16;
  const unsigned starts = ~continuation & ((1u << taken) - 1);
  // In 16-bit lanes, from each byte and the ones after it.
  auto units = [](__m128i bytes, __m128i next, __m128i third) {
    const __m128i low6 = _mm_set1_epi16(0x3F);
    __m128i lead = _mm_cmpgt_epi16(bytes, _mm_set1_epi16(0xBF));
    __m128i two = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(bytes, _mm_set1_epi16(0x1F)), 6),
                               _mm_and_si128(next, low6));
    __m128i unit = _mm_or_si128(_mm_and_si128(lead, two), _mm_andnot_si128(lead, bytes));
    if constexpr (Longest == 3) {
      __m128i lead3 = _mm_cmpgt_epi16(bytes, _mm_set1_epi16(0xDF));
      __m128i three =
          _mm_or_si128(_mm_or_si128(_mm_slli_epi16(_mm_and_si128(bytes, _mm_set1_epi16(0x0F)), 12),
                                    _mm_slli_epi16(_mm_and_si128(next, low6), 6)),
                       _mm_and_si128(third, low6));
      unit = _mm_or_si128(_mm_and_si128(lead3, three), _mm_andnot_si128(lead3, unit));
    } else {
      (void)third;
    }
    return unit;
  };
  const __m128i next = _mm_srli_si128(v, 1);
  const __m128i third = _mm_srli_si128(v, 2);
  Unit* o = out;
  o += store_kept(units(_mm_unpacklo_epi8(v, zero), _mm_unpacklo_epi8(next, zero),
                        _mm_unpacklo_epi8(third, zero)),
                  starts & 0xFF, o);
  o += store_kept(units(_mm_unpackhi_epi8(v, zero), _mm_unpackhi_epi8(next, zero),
                        _mm_unpackhi_epi8(third, zero)),
                  starts >> 8, o);
  out = o;
  return taken;
}

// Decodes the run of characters of three bytes at `p` (Chinese, Japanese, Korean), five at a
// time while the 15 bytes of the next five hold nothing else, there are 16 bytes to read and
// room for 8 units at `out`; moves `out` past them and returns the bytes taken (a multiple of
// 15, 0 if the first five are not such a run). No table: the bytes of each character have the
// same places in every block.
template <class Unit>
[[gnu::target("ssse3")]] std::size_t decode_three_byte_run(const unsigned char* p,
                                                           const unsigned char* end, Unit*& out,
                                                           const Unit* out_end) {
  constexpr char z = -128;  // a shuffle index that makes a zero byte
  const __m128i first = _mm_setr_epi8(0, z, 3, z, 6, z, 9, z, 12, z, z, z, z, z, z, z);
  const __m128i second = _mm_setr_epi8(1, z, 4, z, 7, z, 10, z, 13, z, z, z, z, z, z, z);
  const __m128i third = _mm_setr_epi8(2, z, 5, z, 8, z, 11, z, 14, z, z, z, z, z, z, z);
  const __m128i low6 = _mm_set1_epi16(0x3F);
  const __m128i high4 = _mm_set1_epi8(static_cast<char>(0xF0));
  const __m128i leads = _mm_set1_epi8(static_cast<char>(0xE0));
  const unsigned char* const start = p;
  Unit* o = out;
  while (end - p >= 16 && out_end - o >= 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Leads of three bytes (1110xxxx, not the 11110xxx of four) at 0, 3, 6, 9 and 12; the text
    // being valid UTF-8, the bytes between them continue those characters.
    const auto lead =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(v, high4), leads)));
    if ((lead & 0x1249) != 0x1249) break;
    __m128i unit =
        _mm_slli_epi16(_mm_and_si128(_mm_shuffle_epi8(v, first), _mm_set1_epi16(0x0F)), 12);
    unit = _mm_or_si128(unit, _mm_slli_epi16(_mm_and_si128(_mm_shuffle_epi8(v, second), low6), 6));
    unit = _mm_or_si128(unit, _mm_and_si128(_mm_shuffle_epi8(v, third), low6));
    if constexpr (sizeof(Unit) == 2) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), unit);
    } else {
      const __m128i zero = _mm_setzero_si128();
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi16(unit, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 4), _mm_unpackhi_epi16(unit, zero));
    }
    o += 5;
    p += 15;
  }
  out = o;
  return static_cast<std::size_t>(p - start);
}

// Decodes the block at `p` (decode16) if it holds no character of four bytes, or the run of
// three-byte characters that starts there; returns the bytes taken, or 0 when it is left to the
// caller. `out` has room for 16 units.
template <class Unit>
[[gnu::target("ssse3,popcnt")]] inline std::size_t decode_block(const unsigned char* p,
                                                                const unsigned char* end,
                                                                Unit*& out, const Unit* out_end) {
  const unsigned longest = longest_character(p);
  if (longest == 2) return decode16<2>(p, out);
  // Characters of three bytes need a str of two bytes a character, at least.
  if constexpr (sizeof(Unit) > 1) {
    if (longest == 3) {
      if (std::size_t taken = decode_three_byte_run(p, end, out, out_end)) return taken;
      return decode16<3>(p, out);
    }
  }
  return 0;
}
#endif

// Decodes the `n` bytes of UTF-8 at `p` into units at `out`, which has room for `chars`
// units; returns the end of what it wrote. With `Shuffle`, only where the processor has
// SSSE3, and inlined into a function built for it.
template <class Unit, bool Shuffle>
[[gnu::always_inline]] inline Unit* fill_with(const unsigned char* p, std::size_t n, Unit* out,
                                              std::size_t chars) {
  const unsigned char* end = p + n;
  Unit* const out_end = out + chars;
  while (p < end) {
    unsigned char b = *p;
    if (b < 0x80) {
      // A run of ASCII, which most text is, sixteen bytes at a time while there is room for
      // a whole block; short runs between other characters take one block each.
      if (end - p >= 16 && out_end - out >= 16) {
        unsigned k;
        do {
          k = widen16(p, out);
          out += k;
          p += k;
        } while (k == 16 && end - p >= 16 && out_end - out >= 16);
        continue;
      }
      *out++ = b;
      ++p;
    } else if (b < 0xF0) {
#if defined(VARDEL_SSSE3_AT_RUN_TIME)
      // Text of characters of up to three bytes (Latin, Greek, Cyrillic, Hebrew, Arabic, and
      // Chinese, Japanese, Korean), whose runs of ASCII are short, a block at a time.
      if constexpr (Shuffle) {
        if (end - p >= 16 && out_end - out >= 16) {
          if (std::size_t taken = decode_block(p, end, out, out_end)) {
            p += taken;
            continue;
          }
        }
      }
#endif
      if (b < 0xE0) {
        *out++ = static_cast<Unit>(((b & 0x1F) << 6) | (p[1] & 0x3F));
        p += 2;
      } else {
        *out++ = static_cast<Unit>(((b & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
        p += 3;
      }
    } else {
      *out++ = static_cast<Unit>(((b & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) |
                                 (p[3] & 0x3F));
      p += 4;
    }
  }
  return out;
}

#if defined(VARDEL_SSSE3_AT_RUN_TIME)
template <class Unit>
[[gnu::target("ssse3,popcnt")]] Unit* fill_shuffled(const unsigned char* p, std::size_t n,
                                                    Unit* out, std::size_t chars) {
  return fill_with<Unit, true>(p, n, out, chars);
}
#endif

// fill_with, by blocks where the processor allows: the check is made once a text, and the
// blocks' code is inlined into the loop. Kept out of its callers, whose common case is ASCII.
template <class Unit>
[[gnu::noinline]] Unit* fill(const unsigned char* p, std::size_t n, Unit* out, std::size_t chars) {
#if defined(VARDEL_SSSE3_AT_RUN_TIME)
  if (has_ssse3()) return fill_shuffled(p, n, out, chars);
#endif
  return fill_with<Unit, false>(p, n, out, chars);
}

// Returns the UTF-8 length of `n` code units, or SIZE_MAX if one of them is
// a surrogate. Branch-free, so that the compiler vectorizes it.
template <class Unit>
std::size_t utf8_length(const Unit* u, std::size_t n) {
  std::size_t bytes = n;
  unsigned surrogates = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t c = u[i];
    bytes += (c >= 0x80) + (c >= 0x800) + (c >= 0x10000);
    surrogates |= (c & 0xFFFFF800u) == 0xD800u;
  }
  return surrogates != 0 ? SIZE_MAX : bytes;
}

// Stores the 16 code units at `u` at `o` as bytes and returns how many of them lead before the
// first unit that is not ASCII (16 if none is): those bytes are the text's UTF-8, the rest is
// scratch that the caller overwrites. `o` must have room for 16 bytes.
template <class Unit>
inline unsigned narrow16(const Unit* u, unsigned char* o) {
#if defined(__SSE2__)
  const auto* q = reinterpret_cast<const __m128i*>(u);
  __m128i bytes;
  __m128i wide;  // a byte per unit: all ones where the unit is not ASCII
  const __m128i zero = _mm_setzero_si128();
  if constexpr (sizeof(Unit) == 1) {
    bytes = _mm_loadu_si128(q);
    wide = bytes;
  } else if constexpr (sizeof(Unit) == 2) {
    const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
    __m128i a = _mm_loadu_si128(q);
    __m128i b = _mm_loadu_si128(q + 1);
    bytes = _mm_packus_epi16(a, b);
    __m128i ascii_a = _mm_cmpeq_epi16(_mm_and_si128(a, high), zero);
    __m128i ascii_b = _mm_cmpeq_epi16(_mm_and_si128(b, high), zero);
    wide = _mm_xor_si128(_mm_packs_epi16(ascii_a, ascii_b), _mm_set1_epi8(-1));
  } else {
    const __m128i high = _mm_set1_epi32(static_cast<int>(0xFFFFFF80u));
    __m128i a = _mm_loadu_si128(q);
    __m128i b = _mm_loadu_si128(q + 1);
    __m128i c = _mm_loadu_si128(q + 2);
    __m128i d = _mm_loadu_si128(q + 3);
    bytes = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
    auto ascii = [&](__m128i v) { return _mm_cmpeq_epi32(_mm_and_si128(v, high), zero); };
    wide = _mm_xor_si128(
        _mm_packs_epi16(_mm_packs_epi32(ascii(a), ascii(b)), _mm_packs_epi32(ascii(c), ascii(d))),
        _mm_set1_epi8(-1));
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(o), bytes);
  auto mask = static_cast<unsigned>(_mm_movemask_epi8(wide));
  return mask == 0 ? 16 : static_cast<unsigned>(__builtin_ctz(mask));
#else
  unsigned k = 0;
  while (k < 16 && u[k] < 0x80) {
    o[k] = static_cast<unsigned char>(u[k]);
    ++k;
  }
  return k;
#endif
}

// Writes the UTF-8 form of the `n` code units at `u`, `bytes` long, at `out`.
template <class Unit>
void write_utf8(const Unit* u, std::size_t n, char* out, std::size_t bytes) {
  auto* o = reinterpret_cast<unsigned char*>(out);
  unsigned char* const o_end = o + bytes;
  std::size_t i = 0;
  while (i < n) {
    Py_UCS4 c = u[i];
    if (c < 0x80) {
      // A run of ASCII, sixteen units at a time while there is room for a whole block; short
      // runs between other characters take one block each.
      if (n - i >= 16 && o_end - o >= 16) {
        unsigned k;
        do {
          k = narrow16(u + i, o);
          o += k;
          i += k;
        } while (k == 16 && n - i >= 16 && o_end - o >= 16);
        continue;
      }
      *o++ = static_cast<unsigned char>(c);
      ++i;
    } else if (c < 0x800) {
      *o++ = static_cast<unsigned char>(0xC0 | (c >> 6));
      *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
      ++i;
    } else if (c < 0x10000) {
      *o++ = static_cast<unsigned char>(0xE0 | (c >> 12));
      *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
      ++i;
    } else {
      *o++ = static_cast<unsigned char>(0xF0 | (c >> 18));
      *o++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
      *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
      ++i;
    }
  }
}

template <class Unit>
bool transcode(const void* data, std::size_t n, Arena& arena, std::string_view& text) {
  const auto* u = static_cast<const Unit*>(data);
  std::size_t bytes = utf8_length(u, n);
  if (bytes == SIZE_MAX) return false;
  char* out = arena.alloc<char>(bytes);
  write_utf8(u, n, out, bytes);
  text = {out, bytes};
  return true;
}

// Returns true if the `n` code points at `u` are free of surrogates and at least one of them
// needs the width of Unit: is past U+007F for one byte, past U+00FF for two, past U+FFFF for
// four. Branch-free, so that the compiler vectorizes it.
template <class Unit>
bool as_narrow_as_can_be(const Unit* u, std::size_t n) {
  constexpr std::uint32_t kPast = sizeof(Unit) == 1   ? 0x80
                                  : sizeof(Unit) == 2 ? 0xFF00
                                                      : 0xFFFF0000;
  std::uint32_t bits = 0;
  std::uint32_t surrogates = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t c = u[i];
    bits |= c;
    if constexpr (sizeof(Unit) > 1) surrogates |= (c & 0xFFFFF800u) == 0xD800u;
  }
  return surrogates == 0 && (bits & kPast) != 0;
}

// Writes the `n` units at `from` at `to`, each widened to Unit; returns the end.
template <class Unit, class From>
Unit* widen(const From* from, std::size_t n, Unit* to) {
  if constexpr (sizeof(Unit) == sizeof(From)) {
    if (n != 0) std::memcpy(to, from, n * sizeof(Unit));
  } else {
    for (std::size_t i = 0; i < n; ++i) to[i] = static_cast<Unit>(from[i]);
  }
  return to + n;
}

// The largest of the `n` code points at `u`, `width` bytes each.
Py_UCS4 widest(const void* u, std::size_t n, unsigned width) {
  Py_UCS4 top = 0;
  auto scan = [&](const auto* units) {
    for (std::size_t i = 0; i < n; ++i) top = units[i] > top ? units[i] : top;
  };
  if (width == 1) scan(static_cast<const Py_UCS1*>(u));
  if (width == 2) scan(static_cast<const Py_UCS2*>(u));
  if (width == 4) scan(static_cast<const Py_UCS4*>(u));
  return top;
}

// Calls bytes(p, n) with each run of the buffer's bytes and units(u, n, width) with each run of
// a splice's code points that make the text of `out` from `at` on, in order, up to `budget`
// (a byte or a code point counting one each; runs of bytes that are not ASCII are cut between
// characters, taking at least one), and moves `at` past them.
template <class Bytes, class Units>
void walk_output(const OutputBuffer& out, bool ascii_bytes, OutputPlace& at, std::size_t budget,
                 Bytes bytes, Units units) {
  const auto* p = reinterpret_cast<const unsigned char*>(out.data());
  const auto& splices = out.splices();
  while (budget != 0) {
    std::size_t end = at.splice < splices.size() ? splices[at.splice].at : out.size();
    if (at.byte < end) {
      std::size_t n = end - at.byte < budget ? end - at.byte : budget;
      if (!ascii_bytes && at.byte + n < end) {
        std::size_t cut = n;
        while (cut != 0 && (p[at.byte + cut] & 0xC0) == 0x80) --cut;
        if (cut == 0) {  // a budget shorter than the character at hand: take it whole
          cut = n;
          while (at.byte + cut < end && (p[at.byte + cut] & 0xC0) == 0x80) ++cut;
        }
        n = cut;
      }
      bytes(p + at.byte, n);
      at.byte += n;
      budget -= n < budget ? n : budget;
      continue;
    }
    if (at.splice == splices.size()) return;
    const OutputBuffer::Splice& s = splices[at.splice];
    std::size_t n = s.count - at.unit < budget ? s.count - at.unit : budget;
    units(static_cast<const char*>(s.units) + at.unit * s.width, n, s.width);
    at.unit += n;
    budget -= n;
    if (at.unit == s.count) {
      ++at.splice;
      at.unit = 0;
    }
  }
}

// A result this large is made while the buffer it is made from is held: the two together are
// the call's peak memory, unless the buffer's pages go back to the system as they are copied.
constexpr std::size_t kReleaseAt = kHugeBlock;

// Gives the pages of a buffer back to the system behind its copy, a run at a time.
class CopiedPages {
 public:
  explicit CopiedPages(const char* start)
      : from_((reinterpret_cast<std::uintptr_t>(start) + kRun - 1) & ~(kRun - 1)) {}
  // The bytes before `upto` have been copied.
  void copied(const void* upto) {
#if defined(__linux__) && defined(MADV_DONTNEED)
    std::uintptr_t end = reinterpret_cast<std::uintptr_t>(upto) & ~(kRun - 1);
    if (end <= from_) return;
    madvise(reinterpret_cast<void*>(from_), end - from_, MADV_DONTNEED);
    from_ = end;
#else
    (void)upto;
#endif
  }

  // A huge page: a block this large is made of them (see the block pool), and giving back part
  // of one would split it.
  static constexpr std::size_t kRun = std::size_t(2) << 20;

 private:
  std::uintptr_t from_;
};

// Writes the text that walk_output walks at `dest`, which has room for exactly its `chars` code
// points and is as wide as its widest one. With `pages`, gives the buffer's pages back as they
// are copied.
template <class Unit>
void fill_output(const OutputBuffer& out, bool ascii_bytes, OutputPlace& at, std::size_t budget,
                 Unit* dest, std::size_t chars, CopiedPages* pages) {
  Unit* w = dest;
  Unit* const end = dest + chars;
  walk_output(
      out, ascii_bytes, at, budget,
      [&](const unsigned char* p, std::size_t n) {
        while (n != 0) {
          // Given pages, a run at a time, cut between characters.
          std::size_t k = n;
          if (pages != nullptr && k > CopiedPages::kRun) {
            k = CopiedPages::kRun;
            while ((p[k] & 0xC0) == 0x80) --k;
          }
          w = ascii_bytes ? widen(p, k, w) : fill(p, k, w, static_cast<std::size_t>(end - w));
          if (pages != nullptr) pages->copied(p + k);
          p += k;
          n -= k;
        }
      },
      [&](const void* u, std::size_t n, unsigned width) {
        // A piece may hold a run of a splice narrower than the splice: its units then narrow.
        if (width == 1) {
          w = widen(static_cast<const Py_UCS1*>(u), n, w);
        } else if (width == 2) {
          w = widen(static_cast<const Py_UCS2*>(u), n, w);
        } else {
          w = widen(static_cast<const Py_UCS4*>(u), n, w);
        }
      });
}

}  // namespace

bool wide_text(PyObject* o, Value& out) {
  if (!PyUnicode_IS_COMPACT(o) || PyUnicode_IS_ASCII(o)) return false;
  const void* data = PyUnicode_DATA(o);
  auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(o));
  // The result's width is the widest splice's, so each must be as narrow as its text allows.
  switch (PyUnicode_KIND(o)) {
    case PyUnicode_1BYTE_KIND:
      if (!as_narrow_as_can_be(static_cast<const Py_UCS1*>(data), n)) return false;
      out = Value::wide_string(data, n, 1);
      return true;
    case PyUnicode_2BYTE_KIND:
      if (!as_narrow_as_can_be(static_cast<const Py_UCS2*>(data), n)) return false;
      out = Value::wide_string(data, n, 2);
      return true;
    default:
      if (!as_narrow_as_can_be(static_cast<const Py_UCS4*>(data), n)) return false;
      out = Value::wide_string(data, n, 4);
      return true;
  }
}

PyObject* str_from_output(const OutputBuffer& out, bool ascii_bytes, OutputPlace& at,
                          std::size_t budget) {
  if (out.splices().empty() && at.byte == 0 && budget >= out.size() && out.size() < kReleaseAt) {
    at.byte = out.size();
    return str_from_utf8(out.view(), ascii_bytes);
  }
  // Measured first, on a copy of the place, so that the str is made once at its final width.
  const bool whole = at.byte == 0 && at.splice == 0 && at.unit == 0 && budget == SIZE_MAX;
  std::size_t chars = 0;
  Py_UCS4 maxchar = 0x7F;
  OutputPlace ahead = at;
  walk_output(
      out, ascii_bytes, ahead, budget,
      [&](const unsigned char* p, std::size_t n) {
        Measure m = ascii_bytes ? Measure{n, 0x7F} : measure(p, n);
        chars += m.chars;
        maxchar = m.maxchar > maxchar ? m.maxchar : maxchar;
      },
      [&](const void* u, std::size_t n, unsigned width) {
        chars += n;
        // The whole text holds every spliced str whole, each with a character as wide as its
        // storage; a piece may hold only the narrow part of one, measured then.
        Py_UCS4 top = !whole       ? widest(u, n, width)
                      : width == 1 ? 0xFF
                      : width == 2 ? 0xFFFF
                                   : 0x10FFFF;
        maxchar = top > maxchar ? top : maxchar;
      });
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(chars), maxchar);
  if (s == nullptr) return nullptr;
  void* data = PyUnicode_DATA(s);
  const std::size_t result_bytes = chars * PyUnicode_KIND(s);
  prefer_huge_pages(data, result_bytes);
  // Only the whole text reads the buffer once, front to back, and last.
  std::optional<CopiedPages> pages;
  if (whole && result_bytes >= kReleaseAt) pages.emplace(out.data());
  CopiedPages* release = pages ? &*pages : nullptr;
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
      fill_output(out, ascii_bytes, at, budget, static_cast<Py_UCS1*>(data), chars, release);
      break;
    case PyUnicode_2BYTE_KIND:
      fill_output(out, ascii_bytes, at, budget, static_cast<Py_UCS2*>(data), chars, release);
      break;
    default:
      fill_output(out, ascii_bytes, at, budget, static_cast<Py_UCS4*>(data), chars, release);
      break;
  }
  return s;
}

bool utf8_text(PyObject* o, Arena& arena, std::string_view& text) {
  if (PyUnicode_IS_COMPACT_ASCII(o)) {
    text = {static_cast<const char*>(PyUnicode_DATA(o)),
            static_cast<std::size_t>(PyUnicode_GET_LENGTH(o))};
    return true;
  }
  if (PyUnicode_IS_COMPACT(o)) {
    const auto* c = reinterpret_cast<const PyCompactUnicodeObject*>(o);
    if (c->utf8 != nullptr) {
      text = {c->utf8, static_cast<std::size_t>(c->utf8_length)};
      return true;
    }
    const void* data = PyUnicode_DATA(o);
    auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(o));
    bool done = false;
    switch (PyUnicode_KIND(o)) {
      case PyUnicode_1BYTE_KIND:
        done = transcode<Py_UCS1>(data, n, arena, text);
        break;
      case PyUnicode_2BYTE_KIND:
        done = transcode<Py_UCS2>(data, n, arena, text);
        break;
      default:
        done = transcode<Py_UCS4>(data, n, arena, text);
        break;
    }
    if (done) return true;
  }
  // Strings of subclasses, and surrogates, whose error the interpreter raises.
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (s == nullptr) return false;
  text = {s, static_cast<std::size_t>(n)};
  return true;
}

PyObject* str_from_any_utf8(std::string_view text, bool known_ascii) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  // A long text is measured at once: measure() also tells ASCII apart, and is_ascii() would
  // read it all a second time whenever it is not.
  constexpr std::size_t kLong = 4096;
  Measure m = known_ascii || (text.size() < kLong && is_ascii(p, text.size()))
                  ? Measure{text.size(), 0x7F}
                  : measure(p, text.size());
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(m.chars), m.maxchar);
  if (s == nullptr || text.empty()) return s;
  void* data = PyUnicode_DATA(s);
  prefer_huge_pages(data, m.chars * PyUnicode_KIND(s));
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
      if (m.maxchar < 0x80)
        std::memcpy(data, p, text.size());
      else
        fill(p, text.size(), static_cast<Py_UCS1*>(data), m.chars);
      break;
    case PyUnicode_2BYTE_KIND:
      fill(p, text.size(), static_cast<Py_UCS2*>(data), m.chars);
      break;
    default:
      fill(p, text.size(), static_cast<Py_UCS4*>(data), m.chars);
      break;
  }
  return s;
}

int str_order(PyObject* a, PyObject* b) {
  if (a == b) return 0;
  if (PyUnicode_KIND(a) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(b) == PyUnicode_1BYTE_KIND) {
    // One byte per code point: the bytes order like the code points.
    auto na = static_cast<std::size_t>(PyUnicode_GET_LENGTH(a));
    auto nb = static_cast<std::size_t>(PyUnicode_GET_LENGTH(b));
    int c = std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), na < nb ? na : nb);
    return c != 0 ? c : (na > nb) - (na < nb);
  }
  return PyUnicode_Compare(a, b);
}

std::string utf8_lossy(PyObject* s) {
  Py_ssize_t n = 0;
  if (const char* p = PyUnicode_AsUTF8AndSize(s, &n)) return std::string(p, n);
  PyErr_Clear();
  std::string out;
  Py_ssize_t len = PyUnicode_GET_LENGTH(s);
  int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  for (Py_ssize_t i = 0; i < len; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    append_utf8(out, c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c);
  }
  return out;
}

}  // namespace vardel
