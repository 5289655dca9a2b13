// Internals shared by the decoder's sources: token reading, quotation-aware scanning, the line
// cursor and the decoding state.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/arena.h"
#include "core/error.h"
#include "core/result.h"
#include "core/text.h"
#include "core/value.h"
#include "core/vec.h"
#include "decode/sink.h"

namespace vardel::decoder {

inline constexpr std::size_t npos = std::string_view::npos;

// How a step of the decoding ends: done, or the first error (a DecodingError, or Stopped when
// the sink stopped the decoding).
using Status = Result<Ok, ToonError>;

inline Failure<ToonError> decoding_error(std::string message) {
  return fail(ToonError(ToonError::Kind::DecodingError, std::move(message)));
}

inline Failure<ToonError> stopped() {
  return fail(ToonError(ToonError::Kind::Stopped, ""));
}

// --- Tokens (tokens.cpp) ---------------------------------------------------------------------

// Sets `out` to the scalar that `token` stands for (trimmed first). Strings are slices of
// `token` unless an escape had to be resolved, in which case they are stored in `arena`. The
// scalar is written in place because a row's cells are read back right after: a Value returned
// through memory and copied at once would stall on the store.
Status read_scalar(std::string_view token, Arena& arena, Value& out);

// Reads `t` (trimmed, non-empty, starting with a digit, a sign or a point) as a number.
// Returns nothing when it is not an integer in -2**63 .. 2**64-1 and not a finite double of the
// decimal floating-point form. "-0" is the integer zero.
std::optional<Number> read_number(std::string_view t);

// Reads the number at `p` (before `end`, which it may reach) in a form an encoder writes: an
// integer of at most 19 digits, or a decimal of at most 19 digits in all without an exponent,
// after an optional sign. Stops at the first character that does not continue that form and
// returns where, with `out` set; returns null when the text there is not of that form. Where it
// stops at the end of a token, read_number gives the same number.
const char* read_written_number(const char* p, const char* end, Number& out);

// Returns the escapes of a quoted body resolved: a slice of `body` when it holds no backslash,
// otherwise a copy in `arena`.
Result<std::string_view, ToonError> read_escaped(std::string_view body, Arena& arena);

// Returns a trimmed key, field name or array name: the unescaped text between enclosing
// quotation marks when it has them (at least two characters), otherwise as written.
inline Result<std::string_view, ToonError> read_key(std::string_view key, Arena& arena) {
  if (key.size() >= 2 && key.front() == '"' && key.back() == '"')
    return read_escaped(key.substr(1, key.size() - 2), arena);
  return key;
}

// Reports the scalar `v` to `sink`; returns false when the sink stops.
inline bool report(Sink& sink, const Value& v) {
  switch (v.kind()) {
    case Value::Kind::String:
      return sink.string(v.as_string());
    case Value::Kind::Number:
      return sink.number(v.as_number());
    case Value::Kind::Bool:
      return sink.boolean(v.as_bool());
    default:
      return sink.null();
  }
}

// --- Scanning helpers ------------------------------------------------------------------------

inline bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Returns the index of the quotation mark that closes the one at `open`: the next one not
// escaped by a backslash (a backslash escapes the one character after it), or npos.
inline std::size_t closing_quote(std::string_view s, std::size_t open) {
  std::size_t from = open + 1;
  while (from < s.size()) {
    auto* q = static_cast<const char*>(std::memchr(s.data() + from, '"', s.size() - from));
    if (q == nullptr) return npos;
    std::size_t at = static_cast<std::size_t>(q - s.data());
    // Backslashes pair up from the left, so the mark is escaped exactly when the run of
    // backslashes right before it is odd. Each backslash belongs to one run only.
    std::size_t run = 0;
    while (at - run > open + 1 && s[at - run - 1] == '\\') ++run;
    if (run % 2 == 0) return at;
    from = at + 1;
  }
  return npos;
}

// Returns the index of the first `c` in `s` at or after `from` and before `to`, or npos.
inline std::size_t find_char(std::string_view s, char c, std::size_t from, std::size_t to) {
  if (from >= to) return npos;
  auto* p = static_cast<const char*>(std::memchr(s.data() + from, c, to - from));
  return p == nullptr ? npos : static_cast<std::size_t>(p - s.data());
}

// Returns the index of the first byte of `s` at or after `from` that is one of `marks`, or
// npos. One pass for all of them: a line is searched for its end and its colon at once.
template <char... marks>
std::size_t find_first_mark(std::string_view s, std::size_t from) {
  const char* p = s.data() + from;
  const char* const end = s.data() + s.size();
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit = _mm_setzero_si128();
    ((hit = _mm_or_si128(hit, _mm_cmpeq_epi8(x, _mm_set1_epi8(marks)))), ...);
    if (auto bits = static_cast<unsigned>(_mm_movemask_epi8(hit)); bits != 0)
      return static_cast<std::size_t>(p - s.data()) + std::countr_zero(bits);
  }
#endif
  for (; p < end; ++p)
    if (((*p == marks) || ...)) return static_cast<std::size_t>(p - s.data());
  return npos;
}

// Returns the first index at or after `i` that is not whitespace, stopping at `delim` (which
// may itself be whitespace, the TAB) so that an empty piece is never swallowed.
inline std::size_t skip_white_space(std::string_view s, std::size_t i, char delim) {
  while (i < s.size() && s[i] != delim) {
    std::size_t w = white_space_prefix(s.substr(i));
    if (w == 0) break;
    i += w;
  }
  return i;
}

// Where a piece of `s` lies: from its first character that is not whitespace (or its end)
// to its end, exclusive.
struct Span {
  std::size_t start;
  std::size_t end;
};

// Returns the piece of `s` that starts at `begin`: it ends at the next `delim`, except that a
// piece beginning with a quotation mark that is closed later runs past its closing mark first,
// so delimiters between the marks are text.
inline Span piece_at(std::string_view s, std::size_t begin, char delim) {
  const std::size_t start = skip_white_space(s, begin, delim);
  std::size_t i = start;
  if (i < s.size() && s[i] == '"') {
    std::size_t q = closing_quote(s, i);
    if (q != npos) i = q + 1;
  }
  std::size_t d = find_char(s, delim, i, s.size());
  return {start, d == npos ? s.size() : d};
}

// Calls `fn(piece)`, which returns a Status, for the pieces of `s` in order (without their
// leading whitespace), at most `limit` of them, and returns the first failure. Empty pieces
// count: "a,,b," has four.
//
// Linear in `s`: a closing-mark search that fails runs to the end of `s`, but then no later
// piece can begin with a quotation mark (the search would have stopped there), so each
// character is looked at a bounded number of times.
template <class Fn>
Status for_each_piece(std::string_view s, char delim, std::size_t limit, Fn&& fn) {
  std::size_t begin = 0;
  for (std::size_t count = 0; count < limit; ++count) {
    Span p = piece_at(s, begin, delim);
    if (Status st = fn(s.substr(p.start, p.end - p.start)); !st) return st;
    if (p.end >= s.size()) break;
    begin = p.end + 1;
  }
  return Ok{};
}

// Reads the cell at `p` when it is a number as an encoder writes it, right up to `delim` or
// `end`: stores it in `n` and returns where it stopped. Returns null for any other cell.
inline const char* read_number_cell(const char* p, const char* end, char delim, Number& n) {
  if (p == end || !(is_digit(*p) || *p == '-')) return nullptr;
  const char* stop = read_written_number(p, end, n);
  return stop != nullptr && (stop == end || *stop == delim) ? stop : nullptr;
}

// for_each_piece for the cells of a row or of an inline array: a cell that is a number as an
// encoder writes it, right up to the delimiter or the end, goes to `number(Number)` without
// being taken apart first (the scalar that read_scalar would make of it); any other cell goes to
// `fn(piece)`. Both return a Status.
template <class NumberFn, class Fn>
Status for_each_cell(std::string_view s, char delim, std::size_t limit, NumberFn&& number,
                     Fn&& fn) {
  const char* const end = s.data() + s.size();
  std::size_t begin = 0;
  for (std::size_t count = 0; count < limit; ++count) {
    Number n = Number::from_unsigned(0);
    if (const char* stop = read_number_cell(s.data() + begin, end, delim, n)) {
      if (Status st = number(n); !st) return st;
      if (stop == end) break;
      begin = static_cast<std::size_t>(stop - s.data()) + 1;
      continue;
    }
    Span piece = piece_at(s, begin, delim);
    if (Status st = fn(s.substr(piece.start, piece.end - piece.start)); !st) return st;
    if (piece.end >= s.size()) break;
    begin = piece.end + 1;
  }
  return Ok{};
}

// Returns the number of SPACE and TAB characters that start `line`.
inline std::size_t indentation(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  return i;
}

// --- Lines -----------------------------------------------------------------------------------

struct Line {
  std::string_view text;  // the line with its end trimmed
  std::size_t next;       // where the following line starts
};

// Returns the line that starts at `pos` (< text.size()). Lines end at a line feed, which
// belongs to no line; the carriage return of a CR LF pair is removed by the end trim, and a
// lone carriage return inside a line stays there.
inline Line line_at(std::string_view text, std::size_t pos) {
  const char* p = text.data() + pos;
  std::size_t rest = text.size() - pos;
  auto* nl = static_cast<const char*>(std::memchr(p, '\n', rest));
  std::size_t len = nl == nullptr ? rest : static_cast<std::size_t>(nl - p);
  return {trim_end(std::string_view(p, len)), nl == nullptr ? text.size() : pos + len + 1};
}

// An array header line taken apart. Indices are into `line`.
struct Header {
  std::string_view line;    // the whole header line, end trimmed
  std::string_view value;   // trimmed text after the separating colon
  std::size_t bracket;      // the left square bracket that starts the header
  std::size_t separator;    // the separating colon
  std::size_t brace_open;   // first left brace after the bracket, or npos
  std::size_t brace_close;  // the right brace that closes it, or npos
  std::size_t count;        // the count in the brackets when it is all digits, otherwise 0
  char delimiter;           // from the mark in the brackets: ',', '|' or TAB
  bool zero_count;          // the brackets hold a count of zero
};

// --- Decoding state (document.cpp, arrays.cpp) -----------------------------------------------

struct Reader {
  Reader(std::string_view t, Sink& s) : text(t), sink(s) {}

  // Replaces the pending key.
  void set_pending(std::string_view key) {
    pending.assign(key);
    has_pending = true;
  }
  // Returns the pending key, or the empty key if there is none, and clears it. The key stays
  // valid until the next set_pending.
  std::string_view take_pending() {
    std::string_view key = has_pending ? std::string_view(pending) : std::string_view();
    has_pending = false;
    return key;
  }

  std::string_view text;
  std::size_t pos = 0;  // start of the next unread line
  Sink& sink;
  Arena arena;  // unescaped strings, kept only until they are reported (see Rewind)
  std::string pending;
  bool has_pending = false;

  // Scratch reused by every table, so that rows cost no heap allocation.
  Vec<Value> cells;
  Vec<std::string_view> fields;
  Vec<std::size_t> by_name;  // the distinct field names' last columns, in key order
};

// Frees what the reader's arena took since it was made, when it goes out of scope.
class Rewind {
 public:
  explicit Rewind(Arena& arena) : arena_(arena), mark_(arena.mark()) {}
  Rewind(const Rewind&) = delete;
  Rewind& operator=(const Rewind&) = delete;
  ~Rewind() { arena_.rewind(mark_); }

 private:
  Arena& arena_;
  Arena::Mark mark_;
};

// Reads the array whose header line was just read (r.pos is the line after it), reports it as
// a member of the root object when it makes one and moves r.pos past its rows.
Status decode_array(Reader& r, const Header& h);

}  // namespace vardel::decoder
