// The nested reader: one pass over the lines with an explicit stack of open blocks.
//
// Each open block is a frame: an object, a key still waiting for its value, a list array or a
// tabular array. A line is offered to the innermost frame; a frame that cannot hold it closes
// and the line goes to the frame below. Frames know the column of their owner line (lines at
// or left of it are outside) and of their elements, set by the first one. Strings without
// escapes and numbers are read in place; nothing is allocated per line.
#include "decode/nested.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>

#include "core/arena.h"
#include "core/text.h"
#include "core/vec.h"
#include "decode/reader.h"

namespace vardel {

namespace {

using decoder::closing_quote;
using decoder::find_first_mark;
using decoder::is_digit;
using decoder::npos;
using Column = std::ptrdiff_t;  // -1 lies left of every line

constexpr std::size_t kNoCount = npos;

// One non-blank line: its indentation removed and its end trimmed.
struct Line {
  const char* start;  // the line as written, for error columns
  std::string_view text;
  std::size_t number;
  Column indent;
  bool after_blank;  // a blank line came right before it
  const char* mark;  // the first colon or bracket in the text; null when there is none
};

// An array header taken apart: [count mark]{fields}: value.
struct Header {
  const char* bracket;
  std::size_t count = kNoCount;
  char delimiter = ',';
  bool has_fields = false;
  std::string_view fields;  // between the braces
  std::string_view value;   // after the colon, trimmed
};

// What a line is. A member is `key: value`, `key:` or `key[...]...:`; a list item starts with
// a hyphen and a space (or is a hyphen alone); a nameless header starts with '['.
enum class Form : std::uint8_t { Member, Header, Item, Scalar };

struct Parsed {
  Form form;
  std::string_view key;    // Member: as written (a quoted key keeps its marks)
  bool named_header;       // Member: the key names an array header
  Header header;           // Header, or a Member with named_header
  std::string_view value;  // Member without header: after the colon, trimmed
  std::string_view rest;   // Item: the text after the hyphen
  Column rest_column;      // Item: where that text starts
};

enum class FrameKind : std::uint8_t { Object, Pending, List, Table };

struct Frame {
  FrameKind kind;
  bool in_list = false;          // List or Table: the item of a list, which may share its column
  bool first = false;            // Pending: the first member of a list item, on the hyphen line
  Column owner;                  // lines at or left of this column are outside the frame
  Column column = -1;            // where its elements start; -1 until the first one
  Column key_column = 0;         // Pending: the key's column
  std::size_t count = kNoCount;  // List or Table: the count the header announces
  std::size_t seen = 0;          // elements read
  char delimiter = ',';
  // The header, for count errors.
  const char* line_start = nullptr;
  const char* at = nullptr;
  std::size_t line = 0;
};

enum class Step { Taken, Again, Failed };

// For a failure already recorded.
Step failed(bool) {
  return Step::Failed;
}

class NestedReader {
 public:
  NestedReader(std::string_view text, const DecodeSettings& settings, Sink& sink)
      : text_(text),
        settings_(settings),
        sink_(sink),
        keyless_left_(text.size() < kKeylessPerByteLimit
                          ? kKeylessBase + kKeylessPerByte * text.size()
                          : SIZE_MAX) {
    stack_.reserve(16);
  }

  // Reads the whole text; see read_nested.
  Result<Ok, ToonError> run();

 private:
  // Offers `line` to the open frames, innermost first, until one takes it.
  bool take(const Line& line);
  // Reads the first non-blank line, which decides what the top level is.
  bool start(const Line& line);
  // Each takes `line` into the top frame `f`, or closes `f` (Again) for the frame below.
  Step object_line(Frame& f, const Line& line);
  Step pending_line(Frame& f, const Line& line);
  Step list_line(Frame& f, const Line& line);
  Step table_line(Frame& f, const Line& line);
  // Ends the top frame's value (checking its count) and pops it.
  bool close_top();
  // True if a list below the top frame has its items at column `c`.
  bool outer_list_at(Column c) const;
  // True if a list frame is open.
  bool has_list() const;

  // Reports the member `p` of an object, or opens the frame its value needs.
  bool member(const Line& line, const Parsed& p, Column key_column, Column object_owner,
              bool first);
  // Reports the list item `p`, or opens the frame its value needs.
  bool item(const Line& line, const Parsed& p, Column list_owner);
  // Begins the array of header `h`: reads inline values whole, else opens a list or table.
  bool open_array(const Line& line, const Header& h, Column owner, bool in_list);
  // Reads a tabular header's field names into fields_.
  bool read_fields(const Line& line, const Header& h);
  // Reports one row of the table frame `f` as an object.
  bool row(Frame& f, const Line& line);
  // Fails on a row of `count` cells (limit + 1: more) under a header of `width` fields.
  bool row_width_error(const Line& line, std::size_t count, std::size_t width);
  // Takes the current line apart into parsed_, once.
  bool parse(const Line& line);
  // Takes `t` (a line's text, or a list item's) apart into `p`.
  bool parse_text(const Line& line, std::string_view t, Parsed& p);
  // Takes apart the array header whose '[' is at `bracket` in `t`.
  bool parse_header(const Line& line, std::string_view t, std::size_t bracket, Header& h);

  // Counts one more open container, failing at `at` beyond kMaxDepth.
  bool enter(const char* line_start, std::size_t number, const char* at);
  bool enter(const Line& line, const char* at) { return enter(line.start, line.number, at); }
  void leave() { --depth_; }
  bool begin_object(const Line& line, const char* at) {
    return enter(line, at) && (sink_.begin_object(KeyOrder::AsRead) || stop());
  }
  bool end_object() {
    leave();
    return sink_.end_object() || stop();
  }

  // Scalars and keys: a quoted or bare token, a bare token, a quoted token's body, a key.
  bool value(const Line& line, std::string_view token);
  bool bare(std::string_view token);
  bool quoted(const Line& line, std::string_view body);
  // Sets `out` to the string of a quoted cell's body; one with escapes is kept in cell_arena_.
  bool quoted_cell(const Line& line, std::string_view body, Value& out);
  bool emit_key(const Line& line, std::string_view key);
  bool unquote(const Line& line, std::string_view key, std::string_view& out, std::string& storage);
  // cells() gives every cell to `each` as text unless it is given a `number` callback.
  struct AsText {};
  template <class Fn, class NumberFn = AsText>
  bool cells(const Line& line, std::string_view s, char delimiter, std::size_t limit,
             std::size_t& count, Fn&& each, NumberFn&& number = {});

  bool fail(const Line& line, const char* at, std::string message,
            ToonError::Kind kind = ToonError::Kind::DecodingError);
  bool fail_at(const char* line_start, std::size_t number, const char* at, std::string message,
               ToonError::Kind kind = ToonError::Kind::DecodingError);
  bool stop() {
    error_ = ToonError(ToonError::Kind::Stopped, std::string());
    return false;
  }
  bool count_error(const Frame& f, std::size_t found, bool more);
  bool line_error(const Line& line);

  std::string_view text_;
  const DecodeSettings& settings_;
  Sink& sink_;
  Vec<Frame> stack_;
  std::size_t depth_ = 0;  // containers begun and not ended
  bool started_ = false;
  bool done_ = false;
  Column root_column_ = -1;      // the root object's member column
  std::size_t scalar_line_ = 0;  // a top-level scalar's line, when the text is one
  const char* scalar_start_ = nullptr;
  const char* scalar_at_ = nullptr;
  Parsed parsed_{};
  bool parsed_ok_ = false;  // parsed_ holds the current line
  std::string scratch_;     // an unescaped string, valid until the next one
  std::string key_scratch_;
  // Objects that tables without fields may still make: their rows are not written, so the
  // header's count alone says how many, and a short text could otherwise ask for any number.
  static constexpr std::size_t kKeylessBase = std::size_t(1) << 16;
  static constexpr std::size_t kKeylessPerByte = 16;
  static constexpr std::size_t kKeylessPerByteLimit = (SIZE_MAX - kKeylessBase) / kKeylessPerByte;
  std::size_t keyless_left_;
  Vec<std::string_view> fields_;  // the open table's field names
  Arena field_arena_;             // field names with escapes
  const Arena::Mark field_mark_ = field_arena_.mark();
  bool distinct_fields_ = true;  // no two of fields_ are equal
  Vec<std::size_t> columns_;     // 0, 1, ... for each field: a full row's member order
  Vec<Value> cells_;             // the row being read, a cell per field
  Arena cell_arena_;             // its strings with escapes, until it is reported
  ToonError error_{ToonError::Kind::DecodingError, std::string()};
};

// Returns the number of spaces and tabs that start the `len` bytes at `p`. The encoder's deep
// lines are mostly indentation, so spaces are skipped eight at a time.
std::size_t indentation(const char* p, std::size_t len) {
  constexpr std::uint64_t kSpaces = 0x2020202020202020ULL;
  std::size_t i = 0;
  for (std::uint64_t w; i + 8 <= len; i += 8) {
    std::memcpy(&w, p + i, 8);
    if (w != kSpaces) break;
  }
  while (i < len && (p[i] == ' ' || p[i] == '\t')) ++i;
  return i;
}

// --- Errors ----------------------------------------------------------------------------------

// Returns the character column of `at` within the line starting at `start` (1-based).
std::size_t column_of(const char* start, const char* at) {
  std::size_t column = 1;
  for (const char* p = start; p < at; ++p)
    column += (static_cast<unsigned char>(*p) & 0xC0) != 0x80;
  return column;
}

bool NestedReader::fail_at(const char* line_start, std::size_t number, const char* at,
                           std::string message, ToonError::Kind kind) {
  error_ = ToonError(kind, std::move(message), number, column_of(line_start, at));

  return false;
}

bool NestedReader::fail(const Line& line, const char* at, std::string message,
                        ToonError::Kind kind) {
  return fail_at(line.start, line.number, at, std::move(message), kind);
}

bool NestedReader::count_error(const Frame& f, std::size_t found, bool more) {
  std::string message = "the array header announces " + std::to_string(f.count) +
                        (f.count == 1 ? " element" : " elements") + " but ";
  if (more)
    message += "more follow";
  else
    message += std::to_string(found) + (found == 1 ? " follows" : " follow");
  return fail_at(f.line_start, f.line, f.at, std::move(message));
}

// A line no open block can hold: left of the block it should line up with, or right of a line
// that holds no block.
bool NestedReader::line_error(const Line& line) {
  return fail(line, line.text.data(),
              "indentation places this line under no line that can hold it");
}

// --- Containers ------------------------------------------------------------------------------

bool NestedReader::enter(const char* line_start, std::size_t number, const char* at) {
  if (depth_ >= kMaxDepth) {
    return fail_at(line_start, number, at,
                   "nested more than " + std::to_string(kMaxDepth) + " levels deep",
                   ToonError::Kind::NestingTooDeep);
  }
  ++depth_;
  return true;
}

// --- Tokens ----------------------------------------------------------------------------------

// Resolves the escapes of a quoted body into `out`; a bad escape fails at its backslash.
bool unescape(std::string_view body, std::string& out, const char*& bad) {
  out.clear();
  const char* p = body.data();
  const char* end = p + body.size();
  while (p < end) {
    auto* bs = static_cast<const char*>(std::memchr(p, '\\', static_cast<std::size_t>(end - p)));
    const char* stop = bs == nullptr ? end : bs;
    out.append(p, static_cast<std::size_t>(stop - p));
    if (bs == nullptr) break;
    char e = bs + 1 < end ? bs[1] : '\0';
    switch (e) {
      case '"':
        out.push_back('"');
        break;
      case '\\':
        out.push_back('\\');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      default:
        bad = bs;
        return false;
    }
    p = bs + 2;
  }
  return true;
}

// The message for the bad escape at `bad` in `body`: the backslash and the whole character
// after it (U+FFFD for bytes that are no UTF-8 character).
std::string escape_message(std::string_view body, const char* bad) {
  std::string message = "invalid escape sequence";
  std::string_view rest(bad + 1, static_cast<std::size_t>(body.data() + body.size() - bad - 1));
  if (rest.empty()) return message;
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(rest[i]); };
  unsigned char b0 = byte(0);
  std::size_t len = b0 < 0x80 ? 1 : b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC2 ? 2 : 0;
  bool whole = len != 0 && len <= rest.size() && b0 < 0xF5;
  // The second byte's range excludes overlong forms (E0, F0), surrogates (ED) and code points
  // past U+10FFFF (F4); the other continuation bytes may be any of 80..BF.
  if (whole && len > 1) {
    unsigned char low = b0 == 0xE0 ? 0xA0 : b0 == 0xF0 ? 0x90 : 0x80;
    unsigned char high = b0 == 0xED ? 0x9F : b0 == 0xF4 ? 0x8F : 0xBF;
    whole = byte(1) >= low && byte(1) <= high;
  }
  for (std::size_t i = 2; whole && i < len; ++i) whole = (byte(i) & 0xC0) == 0x80;
  message += " \\";
  message += whole ? rest.substr(0, len) : std::string_view("\xEF\xBF\xBD");
  return message;
}

bool NestedReader::quoted(const Line& line, std::string_view body) {
  if (std::memchr(body.data(), '\\', body.size()) == nullptr) return sink_.string(body) || stop();
  const char* bad = nullptr;
  if (!unescape(body, scratch_, bad)) return fail(line, bad, escape_message(body, bad));
  return sink_.string(scratch_) || stop();
}

// Returns true if no two of `names` are equal: a few names pair by pair, more in a sorted copy,
// where equal names end up next to each other.
bool all_distinct(const Vec<std::string_view>& names) {
  const std::size_t n = names.size();
  if (n <= 16) {
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = i + 1; j < n; ++j)
        if (names[i] == names[j]) return false;
    return true;
  }
  Vec<std::string_view> sorted(names.begin(), names.end());
  std::sort(sorted.begin(), sorted.end());
  return std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
}

// A bare token (trimmed): a keyword, a number or a string as written (a view of `t`).
[[gnu::always_inline]] inline Value scalar_of(std::string_view t) {
  if (t.empty()) return Value::string(t);
  switch (t[0]) {
    case 't':
      if (t == "true") return Value::boolean(true);
      break;
    case 'f':
      if (t == "false") return Value::boolean(false);
      break;
    case 'n':
      if (t == "null") return Value::null();
      break;
    case '+':
    case '-':
    case '.':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': {
      std::optional<Number> n = decoder::read_number(t);
      if (!n) break;
      // The encoder writes the float -0.0 as "-0"; no integer is written with a sign and zero.
      if (t[0] == '-' && n->form() == Number::Form::Unsigned)
        return Value::number(Number::from_double(-0.0));
      return Value::number(*n);
    }
    default:
      break;
  }
  return Value::string(t);
}

bool NestedReader::bare(std::string_view t) {
  return decoder::report(sink_, scalar_of(t)) || stop();
}

bool NestedReader::quoted_cell(const Line& line, std::string_view body, Value& out) {
  if (std::memchr(body.data(), '\\', body.size()) == nullptr) {
    out = Value::string(body);
    return true;
  }
  const char* bad = nullptr;
  if (!unescape(body, scratch_, bad)) return fail(line, bad, escape_message(body, bad));
  out = Value::string(cell_arena_.copy(scratch_));
  return true;
}

// A member's value token (trimmed, non-empty): quoted or bare.
bool NestedReader::value(const Line& line, std::string_view t) {
  if (t[0] != '"') return bare(t);
  std::size_t q = closing_quote(t, 0);
  if (q == npos) return fail(line, t.data(), "unterminated quotation mark");
  if (q + 1 != t.size()) return fail(line, t.data() + q + 1, "text after a closing quotation mark");
  return quoted(line, t.substr(1, q - 1));
}

// Sets `out` to a key or field name without its quotation marks and escapes; an unescaped
// copy goes to `storage`.
bool NestedReader::unquote(const Line& line, std::string_view key, std::string_view& out,
                           std::string& storage) {
  if (key.empty() || key[0] != '"') {
    out = key;
    return true;
  }
  std::size_t q = closing_quote(key, 0);
  if (q == npos) return fail(line, key.data(), "unterminated quotation mark");
  if (q + 1 != key.size())
    return fail(line, key.data() + q + 1, "text after a closing quotation mark");
  std::string_view body = key.substr(1, q - 1);
  if (std::memchr(body.data(), '\\', body.size()) == nullptr) {
    out = body;
    return true;
  }
  const char* bad = nullptr;
  if (!unescape(body, storage, bad)) return fail(line, bad, escape_message(body, bad));
  out = storage;
  return true;
}

bool NestedReader::emit_key(const Line& line, std::string_view key) {
  std::string_view k;
  if (!unquote(line, key, k, key_scratch_)) return false;
  return sink_.key(k) || stop();
}

// Calls `each(token, quoted)` for the cells of `s` split at `delimiter`, at most `limit` of
// them, with `count` the number of cells seen (limit + 1 when there are more). A quoted token
// is its body; a bare one is trimmed. Given `number`, a bare cell that is a number as an
// encoder writes it, right up to the delimiter or the end, goes to `number(value)` instead,
// without being cut out first: the value scalar_of would give its text.
template <class Fn, class NumberFn>
bool NestedReader::cells(const Line& line, std::string_view s, char delimiter, std::size_t limit,
                         std::size_t& count, Fn&& each, NumberFn&& number) {
  const std::size_t n = s.size();
  const bool skip_tab = delimiter != '\t';
  std::size_t i = 0;
  count = 0;
  for (;;) {
    if (count == limit) {
      count = limit + 1;
      return true;
    }
    while (i < n && (s[i] == ' ' || (skip_tab && s[i] == '\t'))) ++i;
    ++count;
    if (i < n && s[i] == '"') {
      std::size_t q = closing_quote(s, i);
      if (q == npos) return fail(line, s.data() + i, "unterminated quotation mark");
      std::size_t j = q + 1;
      while (j < n && (s[j] == ' ' || (skip_tab && s[j] == '\t'))) ++j;
      if (j < n && s[j] != delimiter)
        return fail(line, s.data() + j, "text after a closing quotation mark");
      if (!each(s.substr(i + 1, q - i - 1), true)) return false;
      if (j >= n) return true;
      i = j + 1;
    } else {
      if constexpr (!std::is_same_v<std::decay_t<NumberFn>, AsText>) {
        const char* p = s.data() + i;
        const char* const end = s.data() + n;
        Number v = Number::from_unsigned(0);
        if (const char* stop = decoder::read_number_cell(p, end, delimiter, v)) {
          // The encoder writes the float -0.0 as "-0" (see scalar_of).
          if (*p == '-' && v.form() == Number::Form::Unsigned) v = Number::from_double(-0.0);
          if (!number(v)) return false;
          if (stop == end) return true;
          i = static_cast<std::size_t>(stop - s.data()) + 1;
          continue;
        }
      }
      auto* d = static_cast<const char*>(std::memchr(s.data() + i, delimiter, n - i));
      std::size_t e = d == nullptr ? n : static_cast<std::size_t>(d - s.data());
      if (!each(trim(s.substr(i, e - i)), false)) return false;
      if (d == nullptr) return true;
      i = e + 1;
    }
  }
}

// --- Lines -----------------------------------------------------------------------------------

bool NestedReader::parse_header(const Line& line, std::string_view t, std::size_t b, Header& h) {
  const std::size_t n = t.size();
  h = Header{};
  h.bracket = t.data() + b;
  h.delimiter = settings_.delimiter;
  std::size_t i = b + 1;
  if (i < n && is_digit(t[i])) {
    std::size_t count = 0;
    for (; i < n && is_digit(t[i]); ++i) {
      if (count < (std::size_t(1) << 60)) count = count * 10 + static_cast<std::size_t>(t[i] - '0');
    }
    h.count = count;
  }
  if (i < n && (t[i] == '|' || t[i] == '\t')) h.delimiter = t[i++];
  if (i >= n || t[i] != ']') return fail(line, h.bracket, "invalid array header");
  ++i;
  if (i < n && t[i] == '{') {
    std::size_t j = i + 1;
    while (j < n && t[j] != '}') {
      if (t[j] == '"') {
        std::size_t q = closing_quote(t, j);
        if (q == npos) return fail(line, t.data() + j, "unterminated quotation mark");
        j = q;
      }
      ++j;
    }
    if (j >= n) return fail(line, t.data() + i, "unclosed field list");
    h.has_fields = true;
    h.fields = t.substr(i + 1, j - i - 1);
    i = j + 1;
  }
  while (i < n && t[i] == ' ') ++i;
  if (i >= n || t[i] != ':')
    return fail(line, t.data() + (i < n ? i : n), "expected ':' after the array header");
  h.value = trim(t.substr(i + 1));
  return true;
}

bool NestedReader::parse_text(const Line& line, std::string_view t, Parsed& p) {
  const std::size_t n = t.size();
  if (t[0] == '-' && (n == 1 || t[1] == ' ')) {
    std::size_t i = 1;
    while (i < n && t[i] == ' ') ++i;
    p.form = Form::Item;
    p.rest = t.substr(i);
    p.rest_column = line.indent + static_cast<Column>(i);
    return true;
  }
  if (t[0] == '[') {
    p.form = Form::Header;
    return parse_header(line, t, 0, p.header);
  }
  std::size_t stop = 0;
  if (t[0] == '"') {
    std::size_t q = closing_quote(t, 0);
    if (q == npos) return fail(line, t.data(), "unterminated quotation mark");
    stop = q + 1;
    while (stop < n && t[stop] == ' ') ++stop;
    if (stop >= n || (t[stop] != ':' && t[stop] != '[')) {
      p.form = Form::Scalar;
      return true;
    }
  } else {
    // `t` is the line's text or what follows its hyphen: no mark comes before it.
    if (line.mark == nullptr) {
      p.form = Form::Scalar;
      return true;
    }
    stop = static_cast<std::size_t>(line.mark - t.data());
  }
  p.form = Form::Member;
  p.key = trim_end(t.substr(0, stop));
  p.named_header = t[stop] == '[';
  if (p.named_header) return parse_header(line, t, stop, p.header);
  p.value = trim(t.substr(stop + 1));
  return true;
}

bool NestedReader::parse(const Line& line) {
  if (parsed_ok_) return true;
  if (!parse_text(line, line.text, parsed_)) return false;
  parsed_ok_ = true;
  return true;
}

// --- Building --------------------------------------------------------------------------------

// Reads the field list of a tabular header into fields_.
bool NestedReader::read_fields(const Line& line, const Header& h) {
  fields_.clear();
  field_arena_.rewind(field_mark_);
  if (!trim(h.fields).empty()) {
    std::size_t count = 0;
    bool ok = cells(line, h.fields, h.delimiter, npos - 1, count,
                    [&](std::string_view name, bool was_quoted) {
                      if (was_quoted && std::memchr(name.data(), '\\', name.size()) != nullptr) {
                        const char* bad = nullptr;
                        if (!unescape(name, key_scratch_, bad))
                          return fail(line, bad, escape_message(name, bad));
                        name = field_arena_.copy(key_scratch_);
                      }
                      fields_.push_back(name);
                      return true;
                    });
    if (!ok) return false;
  }
  const std::size_t width = fields_.size();
  cells_.resize(width);
  columns_.resize(width);
  for (std::size_t c = 0; c < width; ++c) columns_[c] = c;
  distinct_fields_ = all_distinct(fields_);
  return true;
}

bool NestedReader::open_array(const Line& line, const Header& h, Column owner, bool in_list) {
  if (!enter(line, h.bracket)) return false;
  if (!sink_.begin_array(h.count == kNoCount ? 0 : h.count)) return stop();
  Frame f{};
  f.owner = owner;
  f.in_list = in_list;
  f.count = h.count;
  f.delimiter = h.delimiter;
  f.line_start = line.start;
  f.at = h.bracket;
  f.line = line.number;
  if (h.has_fields) {
    if (!h.value.empty())
      return fail(line, h.value.data(), "a tabular array header ends at its colon");
    if (!read_fields(line, h)) return false;
    f.kind = FrameKind::Table;
    stack_.push_back(f);
    return true;
  }
  if (h.value.empty()) {
    f.kind = FrameKind::List;
    stack_.push_back(f);
    return true;
  }
  // Inline values.
  std::size_t count = 0;
  bool ok = cells(
      line, h.value, h.delimiter, npos - 1, count,
      [&](std::string_view t, bool q) { return q ? quoted(line, t) : bare(t); },
      [&](Number v) { return sink_.number(v) || stop(); });
  if (!ok) return false;
  if (settings_.strict && h.count != kNoCount && count != h.count)
    return count_error(f, count, false);
  leave();
  return sink_.end_array() || stop();
}

// A member line of an object: `key: value`, `key:` (its value below) or `key[...]:`.
bool NestedReader::member(const Line& line, const Parsed& p, Column key_column, Column object_owner,
                          bool first) {
  if (!emit_key(line, p.key)) return false;
  if (p.named_header) return open_array(line, p.header, key_column, false);
  if (!p.value.empty()) return value(line, p.value);
  Frame f{};
  f.kind = FrameKind::Pending;
  f.line_start = line.start;
  f.at = p.key.data();
  f.line = line.number;
  f.owner = object_owner;
  f.key_column = key_column;
  f.first = first;
  stack_.push_back(f);
  return true;
}

// A list item: the text after the hyphen is a scalar, an array, the first member of an object,
// or nothing (the empty object).
bool NestedReader::item(const Line& line, const Parsed& p, Column list_owner) {
  std::string_view rest = p.rest;
  if (rest.empty()) return begin_object(line, line.text.data()) && end_object();
  Parsed inner{};
  if (!parse_text(line, rest, inner)) return false;
  switch (inner.form) {
    case Form::Header:
      return open_array(line, inner.header, list_owner, true);
    case Form::Item:
      return fail(line, rest.data(), "a list item cannot start with another hyphen");
    case Form::Scalar:
      return value(line, rest);
    case Form::Member:
      break;
  }
  if (!begin_object(line, rest.data())) return false;
  Frame f{};
  f.kind = FrameKind::Object;
  f.owner = line.indent;
  stack_.push_back(f);
  return member(line, inner, p.rest_column, line.indent, true);
}

// Reads one row of the table on top of the stack: its cells first, then the row whole when
// every field has a cell and no two fields share a name, else member by member (a repeated
// name keeps its first place and takes its last cell).
bool NestedReader::row(Frame& f, const Line& line) {
  const std::size_t width = fields_.size();
  if (!enter(line, line.text.data())) return false;
  decoder::Rewind scratch(cell_arena_);
  std::size_t count = 0;
  std::size_t field = 0;
  auto text = [&](std::string_view t, bool q) {
    Value& cell = cells_[field++];
    if (q) return quoted_cell(line, t, cell);
    cell = scalar_of(t);
    return true;
  };
  auto number = [&](Number v) {
    cells_[field++] = Value::number(v);
    return true;
  };
  bool ok = cells(line, line.text, f.delimiter, width, count, text, number);
  if (!ok) return false;
  if (count != width && settings_.strict) return row_width_error(line, count, width);
  ++f.seen;
  leave();
  if (count >= width && distinct_fields_)
    return sink_.row({fields_.data(), cells_.data(), {columns_.data(), width}}) || stop();
  if (!(sink_.begin_object(KeyOrder::AsRead) || stop())) return false;
  for (std::size_t c = 0; c < field; ++c) {
    if (!(sink_.key(fields_[c]) || stop())) return false;
    if (!(decoder::report(sink_, cells_[c]) || stop())) return false;
  }
  return sink_.end_object() || stop();
}

bool NestedReader::row_width_error(const Line& line, std::size_t count, std::size_t width) {
  std::string message = "the row has ";
  if (count > width) {
    message += "more than " + std::to_string(width);
    message += width == 1 ? " cell" : " cells";
  } else {
    message += std::to_string(count) + (count == 1 ? " cell" : " cells");
  }
  message += " but the header has " + std::to_string(width) + (width == 1 ? " field" : " fields");
  return fail(line, line.text.data(), std::move(message));
}

// --- Frames ----------------------------------------------------------------------------------

bool NestedReader::close_top() {
  Frame f = stack_.back();
  stack_.pop_back();
  switch (f.kind) {
    case FrameKind::Object:
      return end_object();
    case FrameKind::Pending:
      if (!enter(f.line_start, f.line, f.at)) return false;
      return (sink_.begin_object(KeyOrder::AsRead) || stop()) && end_object();
    case FrameKind::Table:
      if (fields_.empty() && f.seen == 0) {
        // Rows without cells are not written: the count says how many empty objects.
        std::size_t n = f.count == kNoCount ? 1 : f.count;
        if (n > keyless_left_)
          return fail_at(f.line_start, f.line, f.at,
                         "the array header announces " + std::to_string(n) +
                             " objects without keys, more than a text of this size may (" +
                             std::to_string(keyless_left_) + ")");
        keyless_left_ -= n;
        for (std::size_t i = 0; i < n; ++i) {
          if (!enter(f.line_start, f.line, f.at)) return false;
          if (!(sink_.begin_object(KeyOrder::AsRead) || stop()) || !end_object()) return false;
        }
        f.seen = n;
      }
      [[fallthrough]];
    case FrameKind::List:
      if (settings_.strict && f.count != kNoCount && f.seen != f.count)
        return count_error(f, f.seen, false);
      leave();
      return sink_.end_array() || stop();
  }
  return true;
}

Step NestedReader::object_line(Frame& f, const Line& line) {
  const Column c = line.indent;
  if (c <= f.owner) return close_top() ? Step::Again : Step::Failed;
  if (!parse(line)) return Step::Failed;
  if (parsed_.form == Form::Member) {
    if (f.column < 0) f.column = c;
    if (c == f.column) return member(line, parsed_, c, f.owner, false) ? Step::Taken : Step::Failed;
    if (c < f.column) return close_top() ? Step::Again : Step::Failed;
    return failed(line_error(line));
  }
  // A list item in line with the members or right of them can only be the next item of an
  // outer list (the encoder writes no blank line after a list's last item).
  if (f.column < 0 || c < f.column || (parsed_.form == Form::Item && has_list()))
    return close_top() ? Step::Again : Step::Failed;
  if (c > f.column && parsed_.form != Form::Item) return failed(line_error(line));
  if (parsed_.form == Form::Header) {
    fail(line, line.text.data(), "an array header without a name needs a key line right above it");
    return Step::Failed;
  }
  fail(line, line.text.data(),
       parsed_.form == Form::Item ? "a list item outside any list array"
                                  : "expected 'key: value' or an array header");
  return Step::Failed;
}

Step NestedReader::pending_line(Frame& f, const Line& line) {
  const Column c = line.indent;
  const Column key_column = f.key_column;
  if (f.first && line.after_blank) return close_top() ? Step::Again : Step::Failed;
  if (c <= f.owner) return close_top() ? Step::Again : Step::Failed;
  if (!parse(line)) return Step::Failed;
  if (parsed_.form == Form::Header) {
    stack_.pop_back();
    return open_array(line, parsed_.header, c, false) ? Step::Taken : Step::Failed;
  }
  if (parsed_.form == Form::Member && c > key_column) {
    stack_.pop_back();
    if (!begin_object(line, line.text.data())) return Step::Failed;
    Frame o{};
    o.kind = FrameKind::Object;
    o.owner = key_column;
    o.column = c;
    stack_.push_back(o);
    return Step::Again;
  }
  return close_top() ? Step::Again : Step::Failed;
}

bool NestedReader::outer_list_at(Column c) const {
  for (std::size_t i = stack_.size() - 1; i-- > 0;) {
    if (stack_[i].kind == FrameKind::List && stack_[i].column == c) return true;
  }
  return false;
}

bool NestedReader::has_list() const {
  for (const Frame& f : stack_) {
    if (f.kind == FrameKind::List) return true;
  }
  return false;
}

Step NestedReader::list_line(Frame& f, const Line& line) {
  const Column c = line.indent;
  if (c <= f.owner) return close_top() ? Step::Again : Step::Failed;
  if (!parse(line)) return Step::Failed;
  if (parsed_.form != Form::Item) {
    if (f.column < 0 || c < f.column || (c > f.column && f.in_list))
      return close_top() ? Step::Again : Step::Failed;
    if (c > f.column) return failed(line_error(line));
    fail(line, line.text.data(), "expected a list item ('- ')");
    return Step::Failed;
  }
  // An item at an outer list's column that this array cannot take is that list's: in the default
  // layout an array nested in a list item writes its items at the outer list's column, and
  // after a list that ends a list item's member comes no blank line, only the outer list's
  // next item, at any column.
  const bool full = f.count != kNoCount && f.seen == f.count;
  if ((full || (f.column >= 0 && c != f.column)) && outer_list_at(c))
    return close_top() ? Step::Again : Step::Failed;
  if (f.column < 0) f.column = c;
  // An array nested in a list item may write its items left of the outer list's.
  if (c < f.column || (c > f.column && f.in_list)) return close_top() ? Step::Again : Step::Failed;
  if (c > f.column) return failed(line_error(line));
  if (full && settings_.strict) return failed(count_error(f, f.seen, true));
  ++f.seen;
  const Column owner = f.owner;
  return item(line, parsed_, owner) ? Step::Taken : Step::Failed;
}

Step NestedReader::table_line(Frame& f, const Line& line) {
  const Column c = line.indent;
  if (c <= f.owner) return close_top() ? Step::Again : Step::Failed;
  std::string_view t = line.text;
  if (t[0] == '-' && (t.size() == 1 || t[1] == ' '))
    return close_top() ? Step::Again : Step::Failed;
  if (f.column < 0) f.column = c;
  if (c < f.column) return close_top() ? Step::Again : Step::Failed;
  if (c > f.column) return failed(line_error(line));
  if (settings_.strict && f.count != kNoCount && f.seen == f.count)
    return failed(count_error(f, f.seen, true));
  return row(f, line) ? Step::Taken : Step::Failed;
}

// The first non-blank line decides what the top level is.
bool NestedReader::start(const Line& line) {
  started_ = true;
  if (!parse(line)) return false;
  switch (parsed_.form) {
    case Form::Member: {
      if (!begin_object(line, line.text.data())) return false;
      Frame f{};
      f.kind = FrameKind::Object;
      f.owner = -1;
      f.column = line.indent;
      root_column_ = line.indent;
      stack_.push_back(f);
      return take(line);
    }
    case Form::Header:
      return open_array(line, parsed_.header, -1, false);
    case Form::Item:
      return fail(line, line.text.data(), "a list item outside any list array");
    case Form::Scalar:
      scalar_line_ = line.number;
      scalar_start_ = line.start;
      scalar_at_ = line.text.data();
      done_ = true;
      return value(line, line.text);
  }
  return true;
}

bool NestedReader::take(const Line& line) {
  for (;;) {
    if (stack_.empty()) {
      if (!started_) return start(line);
      if (scalar_line_ != 0)
        return fail_at(scalar_start_, scalar_line_, scalar_at_,
                       "expected 'key: value', an array header or a list item");
      if (root_column_ >= 0 && line.indent < root_column_) return line_error(line);
      return fail(line, line.text.data(), "a line after the end of the top-level value");
    }
    Frame& f = stack_.back();
    Step step = Step::Failed;
    switch (f.kind) {
      case FrameKind::Object:
        step = object_line(f, line);
        break;
      case FrameKind::Pending:
        step = pending_line(f, line);
        break;
      case FrameKind::List:
        step = list_line(f, line);
        break;
      case FrameKind::Table:
        step = table_line(f, line);
        break;
    }
    if (step == Step::Taken) return true;
    if (step == Step::Failed) return false;
  }
}

Result<Ok, ToonError> NestedReader::run() {
  const std::size_t n = text_.size();
  std::size_t pos = 0;
  std::size_t number = 0;
  bool blank = false;
  while (pos < n) {
    ++number;
    const char* p = text_.data() + pos;
    const std::string_view rest(p, n - pos);
    // Spaces and tabs never end a line, so the indentation is found before its end.
    std::size_t indent = indentation(p, rest.size());
    // One pass finds the first colon or bracket and, when there is none, the line's end.
    std::size_t at = find_first_mark<':', '[', '\n'>(rest, indent);
    const char* mark = nullptr;
    std::size_t len = at == npos ? rest.size() : at;
    if (at != npos && p[at] != '\n') {
      mark = p + at;
      // Inline: most lines end a few bytes after their mark, sooner than a call to memchr.
      std::size_t nl = find_first_mark<'\n'>(rest, at);
      len = nl == npos ? rest.size() : nl;
    }
    pos += len + 1;
    std::string_view t = trim_end(std::string_view(p + indent, len - indent));
    if (t.empty()) {
      blank = true;
      continue;
    }
    Line line{p, t, number, static_cast<Column>(indent), blank, mark};
    blank = false;
    parsed_ok_ = false;
    if (!take(line)) return vardel::fail(std::move(error_));
  }
  while (!stack_.empty()) {
    if (!close_top()) return vardel::fail(std::move(error_));
  }
  if (!started_) {
    if (!sink_.begin_object(KeyOrder::AsRead) || !sink_.end_object())
      return vardel::fail(ToonError(ToonError::Kind::Stopped, std::string()));
  }
  return Ok{};
}

}  // namespace

Result<Ok, ToonError> read_nested(std::string_view text, const DecodeSettings& settings,
                                  Sink& sink) {
  NestedReader reader(text, settings, sink);
  return reader.run();
}

}  // namespace vardel
