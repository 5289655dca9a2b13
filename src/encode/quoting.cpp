// String tokens: when a string needs quotes, the quoted form, identifiers,
// keys and tabular field names.
#include <array>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/text.h"
#include "encode/encode.h"
#include "encode/tokens.h"

namespace vardel {

namespace {

using ByteTable = std::array<std::uint8_t, 256>;

// Bytes that force quotes wherever they stand in a string value: every
// control character, the quotation mark, hyphen, colon, backslash, square
// brackets and braces, DEL; 0xC2 starts U+0080..U+00BF and forces quotes only
// for the C1 controls U+0080..U+009F.
constexpr ByteTable kValueBytes = [] {
  ByteTable t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 1;
  for (unsigned char c : {'"', '-', ':', '[', '\\', ']', '{', '}'}) t[c] = 1;
  t[0x7F] = 1;
  t[0xC2] = 2;
  return t;
}();

// The same rule for Latin-1 code points (wide strings): the C1 controls are
// code points of their own there, and 0xC2 is a letter.
constexpr ByteTable kValueLatin1 = [] {
  ByteTable t = kValueBytes;
  t[0xC2] = 0;
  for (int c = 0x80; c < 0xA0; ++c) t[c] = 1;
  return t;
}();

// Bytes that would break a tabular header: as for values, but the hyphen is
// harmless there (the delimiter is added per array).
constexpr ByteTable kFieldBytes = [] {
  ByteTable t = kValueBytes;
  t['-'] = 0;
  return t;
}();

// Escapes of the quoted form, by byte; 0 means copied as it is.
constexpr std::array<char, 256> kEscapes = [] {
  std::array<char, 256> t{};
  t['\\'] = '\\';
  t['"'] = '"';
  t['\n'] = 'n';
  t['\r'] = 'r';
  t['\t'] = 't';
  return t;
}();

// 1 for an ASCII letter or underscore, 2 for a digit or full stop.
constexpr ByteTable kIdentifierBytes = [] {
  ByteTable t{};
  for (int c = 'a'; c <= 'z'; ++c) t[c] = 1;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = 1;
  t['_'] = 1;
  for (int c = '0'; c <= '9'; ++c) t[c] = 2;
  t['.'] = 2;
  return t;
}();

bool is_digit(unsigned char c) {
  return c >= '0' && c <= '9';
}

// Case-insensitive comparison with a lower-case ASCII word.
bool equals_folded(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if ((s[i] | 0x20) != lower[i]) return false;
  }
  return true;
}

// True if a byte class table flags `text`, looking past 0xC2 at the byte
// after it.
bool scan_flags(const std::uint8_t* table, std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    std::uint8_t c = table[s[i]];
    if (c == 0) continue;
    if (c == 1) return true;
    if (i + 1 < n && s[i + 1] >= 0x80 && s[i + 1] <= 0x9F) return true;
  }
  return false;
}

#if defined(__SSE2__)
// The n < 16 bytes at `s` in one register, read and stored at `copy` in at most two loads and
// two stores that may overlap, never touching a byte past them; the lanes they do not fill
// hold bytes of theirs or `fill`. Whatever holds for every lane holds for every byte.
[[gnu::always_inline]] inline __m128i load_short(const unsigned char* s, std::size_t n,
                                                 unsigned char fill, char* copy) {
  const std::uint64_t fills = 0x0101010101010101ULL * fill;
  std::uint64_t lo = fills;
  std::uint64_t hi = fills;
  if (n >= 8) {
    std::memcpy(&lo, s, 8);
    std::memcpy(&hi, s + n - 8, 8);
    std::memcpy(copy, &lo, 8);
    std::memcpy(copy + n - 8, &hi, 8);
  } else if (n >= 4) {
    std::uint32_t a;
    std::uint32_t b;
    std::memcpy(&a, s, 4);
    std::memcpy(&b, s + n - 4, 4);
    std::memcpy(copy, &a, 4);
    std::memcpy(copy + n - 4, &b, 4);
    lo = a | (std::uint64_t{b} << 32);
  } else if (n > 0) {
    // Bytes 0, n / 2 and n - 1 are every byte of a text of one to three.
    copy[0] = static_cast<char>(s[0]);
    copy[n / 2] = static_cast<char>(s[n / 2]);
    copy[n - 1] = static_cast<char>(s[n - 1]);
    lo = (fills << 24) | (std::uint64_t{s[n - 1]} << 16) | (std::uint64_t{s[n / 2]} << 8) | s[0];
  }
  return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
}

// True if a byte of `v` is one that kValueBytes flags (0xC2 included, though it may start a
// letter) or the delimiter.
bool value_block_flagged(__m128i v, unsigned char delimiter) {
  const __m128i below_space = _mm_set1_epi8(0x1F);
  __m128i hit = _mm_cmpeq_epi8(_mm_max_epu8(v, below_space), below_space);
  for (unsigned char c : {'"', '-', ':', '[', '\\', ']', '{', '}', '\x7F', '\xC2'})
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(c))));
  hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(delimiter))));
  return _mm_movemask_epi8(hit) != 0;
}

// True if every byte of `v` is an ASCII letter, digit, underscore or full stop.
bool identifier_block(__m128i v) {
  auto below = [](__m128i x, char n) {  // x < n, byte by byte, unsigned
    __m128i top = _mm_set1_epi8(static_cast<char>(n - 1));
    return _mm_cmpeq_epi8(_mm_min_epu8(x, top), x);
  };
  __m128i letter =
      below(_mm_sub_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8('a')), 26);
  __m128i digit = below(_mm_sub_epi8(v, _mm_set1_epi8('0')), 10);
  __m128i other =
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('_')), _mm_cmpeq_epi8(v, _mm_set1_epi8('.')));
  return _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(letter, digit), other)) == 0xFFFF;
}
#endif

// Returns how many leading bytes of `text`, in whole blocks of 16, hold none of the bytes
// kValueBytes flags nor `delimiter`: the scan can start there. With `copy` set, also stores
// every block it reads at the same offset from `copy`, which has room for the text.
std::size_t clean_prefix(std::string_view text, unsigned char delimiter, char* copy = nullptr) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  for (; i + 16 <= text.size(); i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    if (copy != nullptr) _mm_storeu_si128(reinterpret_cast<__m128i*>(copy + i), v);
    if (value_block_flagged(v, delimiter)) break;
  }
#else
  (void)text;
  (void)delimiter;
  (void)copy;
#endif
  return i;
}

// As scan_flags, copying the bytes of `text` to `w` as it reads them; the copy is whole only
// when it returns false.
bool copy_scan_flags(const std::uint8_t* table, std::string_view text, char* w) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    w[i] = static_cast<char>(s[i]);
    std::uint8_t c = table[s[i]];
    if (c == 0) continue;
    if (c == 1) return true;
    if (i + 1 < n && s[i + 1] >= 0x80 && s[i + 1] <= 0x9F) return true;
  }
  return false;
}

// Writes the `n` bytes at `p` to `w` with the escapes of the quoted form; returns the end of
// what it wrote. `w` must have room for 2 x n bytes, so that whole blocks are stored unchecked.
char* escape_into(char* w, const unsigned char* p, std::size_t n) {
  const unsigned char* const end = p + n;
#if defined(__SSE2__)
  // Sixteen bytes at a time: each block is stored whole and the output advanced up to its
  // first byte to escape, so a block without one costs one load, five compares and a store.
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i line_feed = _mm_set1_epi8('\n');
  const __m128i carriage_return = _mm_set1_epi8('\r');
  const __m128i tab = _mm_set1_epi8('\t');
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, line_feed), _mm_cmpeq_epi8(v, tab)),
                     _mm_cmpeq_epi8(v, carriage_return)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(w), v);
    auto mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask == 0) {
      w += 16;
      p += 16;
      continue;
    }
    unsigned k = static_cast<unsigned>(__builtin_ctz(mask));
    w += k;
    p += k;
    w[0] = '\\';
    w[1] = kEscapes[*p++];
    w += 2;
  }
#endif
  for (; p < end; ++p) {
    char e = kEscapes[*p];
    if (e == 0) {
      *w++ = static_cast<char>(*p);
    } else {
      w[0] = '\\';
      w[1] = e;
      w += 2;
    }
  }
  return w;
}

}  // namespace

bool looks_like_number(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  std::string_view rest = text.substr(i);
  if (equals_folded(rest, "inf") || equals_folded(rest, "infinity") || equals_folded(rest, "nan"))
    return true;
  std::size_t digits = 0;
  while (i < n && is_digit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
  if (i < n && text[i] == '.') {
    ++i;
    while (i < n && is_digit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    while (i < n && is_digit(static_cast<unsigned char>(text[i]))) ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return i == n;
}

QuoteRule::QuoteRule(std::string_view delimiter) {
  byte_class_ = kValueBytes;
  if (delimiter.empty())
    always_ = true;
  else if (delimiter.size() == 1)
    byte_class_[static_cast<unsigned char>(delimiter[0])] = 1;
  else
    long_delimiter_ = delimiter;
  short_delimiter_ = delimiter.size() == 1 ? static_cast<unsigned char>(delimiter[0]) : '"';
  if (delimiter.size() == 1 && static_cast<unsigned char>(delimiter[0]) < 0x80) {
    latin1_class_ = kValueLatin1;
    latin1_class_[static_cast<unsigned char>(delimiter[0])] = 1;
    wide_rule_ = true;
  }
}

bool QuoteRule::quoted_by_form(std::string_view text) const {
  const std::size_t n = text.size();
  if (n == 0 || always_) return true;
  const auto first = static_cast<unsigned char>(text[0]);
  const auto last = static_cast<unsigned char>(text[n - 1]);
  // Whitespace at either end (control characters among it are caught below).
  if (first == ' ' || last == ' ') return true;
  if (first >= 0x80 && white_space_prefix(text) != 0) return true;
  if (last >= 0x80 && white_space_suffix(text) != 0) return true;
  // Words and numbers that would read back as something else.
  switch (first) {
    case 't':
      if (text == "true") return true;
      break;
    case 'f':
      if (text == "false") return true;
      break;
    case 'n':
      if (text == "null" || equals_folded(text, "nan")) return true;
      break;
    case 'N':
    case 'i':
    case 'I':
    case '+':
    case '.':
      if (looks_like_number(text)) return true;
      break;
    case '0':
      if (n >= 2 && text[1] != '.') return true;
      [[fallthrough]];
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
      if (looks_like_number(text)) return true;
      break;
    default:
      break;  // '-' is caught by the byte scan
  }
  return false;
}

bool QuoteRule::has_long_delimiter(std::string_view text) const {
  return !long_delimiter_.empty() && text.find(long_delimiter_) != std::string_view::npos;
}

bool QuoteRule::needs_quotes(std::string_view text) const {
  if (quoted_by_form(text)) return true;
  if (scan_flags(byte_class_.data(), text.substr(clean_prefix(text, short_delimiter_))))
    return true;
  return has_long_delimiter(text);
}

void QuoteRule::write_string(OutputBuffer& out, std::string_view text) const {
  if (!quoted_by_form(text)) {
    // The byte scan copies as it reads, so a bare string is read once; the copy is committed
    // only when nothing forced quotes.
    char* w = out.room(text.size());
    std::size_t clean = clean_prefix(text, short_delimiter_, w);
    std::string_view rest = text.substr(clean);
#if defined(__SSE2__)
    // Most strings, and the ends of the rest, are shorter than a block: one register test
    // clears them, and only a flagged byte (or 0xC2, which may start a letter) needs the
    // bytes one by one.
    if (rest.size() < 16 &&
        !value_block_flagged(load_short(reinterpret_cast<const unsigned char*>(rest.data()),
                                        rest.size(), 'a', w + clean),
                             short_delimiter_))
      rest = {};
#endif
    if (!copy_scan_flags(byte_class_.data(), rest, w + (text.size() - rest.size())) &&
        !has_long_delimiter(text)) {
      out.commit(text.size());
      return;
    }
  }
  write_quoted(out, text);
}

namespace {

#if defined(__SSE2__)
// Loads the 16 code points at `u` as 16 bytes: each below U+0100 as itself, any other as 0xFF,
// which no rule flags.
template <class Unit>
__m128i latin1_block(const Unit* u) {
  const auto* q = reinterpret_cast<const __m128i*>(u);
  if constexpr (sizeof(Unit) == 1) {
    return _mm_loadu_si128(q);
  } else if constexpr (sizeof(Unit) == 2) {
    const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF00));
    const __m128i ff = _mm_set1_epi16(0xFF);
    auto clamp = [&](__m128i v) {
      __m128i narrow = _mm_cmpeq_epi16(_mm_and_si128(v, high), _mm_setzero_si128());
      return _mm_or_si128(_mm_and_si128(narrow, v), _mm_andnot_si128(narrow, ff));
    };
    return _mm_packus_epi16(clamp(_mm_loadu_si128(q)), clamp(_mm_loadu_si128(q + 1)));
  } else {
    // Signed saturation keeps every code point (at most U+10FFFF) positive; unsigned
    // saturation then takes all past 0xFF to 0xFF.
    __m128i a = _mm_packs_epi32(_mm_loadu_si128(q), _mm_loadu_si128(q + 1));
    __m128i b = _mm_packs_epi32(_mm_loadu_si128(q + 2), _mm_loadu_si128(q + 3));
    return _mm_packus_epi16(a, b);
  }
}

// Bit i set where byte i of `v` (a latin1_block) forces quotes in a value: a C0 or C1
// control, a structural character, DEL or the delimiter.
unsigned value_hits(__m128i v, unsigned char delimiter) {
  const __m128i top = _mm_set1_epi8(0x1F);
  __m128i hit = _mm_cmpeq_epi8(_mm_max_epu8(v, top), top);
  __m128i c1 = _mm_sub_epi8(v, _mm_set1_epi8(static_cast<char>(0x80)));
  hit = _mm_or_si128(hit, _mm_cmpeq_epi8(_mm_max_epu8(c1, top), top));
  for (unsigned char c : {'"', '-', ':', '[', '\\', ']', '{', '}', '\x7F'})
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(c))));
  hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(delimiter))));
  return static_cast<unsigned>(_mm_movemask_epi8(hit));
}

// Bit i set where byte i of `v` (a latin1_block) is escaped in the quoted form.
unsigned escape_hits(__m128i v) {
  __m128i hit = _mm_setzero_si128();
  for (char c : {'"', '\\', '\n', '\r', '\t'})
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(c)));
  return static_cast<unsigned>(_mm_movemask_epi8(hit));
}
#endif

// Returns the index of the first of the `n` code points at `u`, from `i` on, that the quoted
// form escapes, or `n`.
template <class Unit>
std::size_t next_escape(const Unit* u, std::size_t i, std::size_t n) {
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    if (unsigned hits = escape_hits(latin1_block(u + i)); hits != 0)
      return i + static_cast<unsigned>(__builtin_ctz(hits));
  }
#endif
  while (i < n && (u[i] >= 0x80 || kEscapes[u[i]] == 0)) ++i;
  return i;
}

// Splices the `n` code points at `u` into `out` between quotation marks, writing the escapes of
// the quoted form in place of the code points they stand for; none comes before `from`.
template <class Unit>
void splice_quoted(OutputBuffer& out, const Unit* u, std::size_t n, std::size_t from) {
  out.put('"');
  std::size_t run = 0;
  for (std::size_t i = next_escape(u, from, n); i != n; i = next_escape(u, run, n)) {
    out.splice(u + run, i - run, sizeof(Unit));
    const char escape[2] = {'\\', kEscapes[u[i]]};
    out.append(escape, 2);
    run = i + 1;
  }
  out.splice(u + run, n - run, sizeof(Unit));
  out.put('"');
}

}  // namespace

template <class Unit>
std::size_t QuoteRule::wide_quote_start(const Unit* u, std::size_t n) const {
  // Keywords and numbers are ASCII, so of quoted_by_form's rules only whitespace at either end
  // and a leading zero apply to text with a code point past U+007F.
  if (is_white_space(u[0]) || is_white_space(u[n - 1])) return 0;
  if (u[0] == '0' && n >= 2 && u[1] != '.') return 0;
  // Every code point the quoted form escapes is one that forces quotes, so the escapes start
  // at the first of those at the earliest.
  std::size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    if (unsigned hits = value_hits(latin1_block(u + i), short_delimiter_); hits != 0)
      return i + static_cast<unsigned>(__builtin_ctz(hits));
  }
#endif
  while (i < n && (u[i] >= 0x100 || latin1_class_[u[i]] == 0)) ++i;
  return i;
}

void QuoteRule::write_wide(OutputBuffer& out, const void* units, std::size_t count,
                           unsigned width) const {
  if (!wide_rule_) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) append_utf8(text, code_point(units, width, i));
    write_string(out, text);
    return;
  }
  auto write = [&](const auto* u) {
    if (std::size_t start = wide_quote_start(u, count); start != count)
      splice_quoted(out, u, count, start);
    else
      out.splice(u, count, width);
  };
  if (width == 1)
    write(static_cast<const std::uint8_t*>(units));
  else if (width == 2)
    write(static_cast<const char16_t*>(units));
  else
    write(static_cast<const char32_t*>(units));
}

void QuoteRule::write_key(OutputBuffer& out, std::string_view key) const {
  // The identifier check copies as it reads; the copy is committed only for an identifier.
  const auto* k = reinterpret_cast<const unsigned char*>(key.data());
  const std::size_t n = key.size();
  if (n != 0 && kIdentifierBytes[k[0]] == 1) {
    char* w = out.room(n);
#if defined(__SSE2__)
    if (n < 16 && identifier_block(load_short(k, n, 'a', w))) {
      out.commit(n);
      return;
    }
#endif
    std::size_t i = 0;
    while (i < n && kIdentifierBytes[k[i]] != 0) {
      w[i] = static_cast<char>(k[i]);
      ++i;
    }
    if (i == n) {
      out.commit(n);
      return;
    }
  }
  write_string(out, key);
}

void write_quoted(OutputBuffer& out, std::string_view text) {
  // In pieces, so that the room asked for the worst case stays small for long texts.
  constexpr std::size_t kPiece = 64 * 1024;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t left = text.size();
  out.put('"');
  do {
    std::size_t n = left < kPiece ? left : kPiece;
    char* start = out.room(2 * n + 1);
    out.commit(static_cast<std::size_t>(escape_into(start, p, n) - start));
    p += n;
    left -= n;
  } while (left != 0);
  out.put('"');
}

bool field_name_needs_quotes(std::string_view name, char delimiter) {
  if (name.empty() || has_edge_white_space(name)) return true;
  if (std::memchr(name.data(), delimiter, name.size()) != nullptr) return true;
  return scan_flags(kFieldBytes.data(), name);
}

bool is_valid_identifier(std::string_view text) {
  if (text.empty() || kIdentifierBytes[static_cast<unsigned char>(text[0])] != 1) return false;
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (kIdentifierBytes[static_cast<unsigned char>(text[i])] == 0) return false;
  }
  return true;
}

std::string quote_if_needed(std::string_view text, std::string_view delimiter) {
  if (!QuoteRule(delimiter).needs_quotes(text)) return std::string(text);
  OutputBuffer out;
  write_quoted(out, text);
  return out.str();
}

}  // namespace vardel
