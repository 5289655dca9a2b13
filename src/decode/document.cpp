// Document structure: lines, key parts and value parts, block lines and the pending key.
//
// The decoder reads one level. Every key-value line, however far it is indented, is reported
// as a member of the one root object (a later line replaces an earlier one with the same key);
// a line whose key part holds a left square bracket is an array header (arrays.cpp); a line
// with nothing after its colon remembers its key as the pending key, which names a following
// header that has no name of its own.
#include "decode/decode.h"

#include <algorithm>
#include <limits>

#include "core/text.h"
#include "decode/reader.h"

namespace vardel {

namespace decoder {

namespace {

enum class LineKind { Skip, Entry, Header };

// Returns the number that `digits` spells when it is all decimal digits (saturated), else 0.
std::size_t digits_value(std::string_view digits) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  std::size_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    std::size_t d = static_cast<std::size_t>(c - '0');
    n = n > (kMax - d) / 10 ? kMax : n * 10 + d;
  }
  return n;
}

// Finds the colon that ends a header's key part. The field list is the first left brace after
// the bracket; inside it a quoted field name runs to its closing mark, so colons, braces and
// delimiters in it are text; any other colon, even one inside the braces, separates.
void find_separator(std::string_view s, std::size_t first_colon, Header& h) {
  h.separator = first_colon;
  h.brace_open = find_char(s, '{', h.bracket, first_colon);
  h.brace_close = npos;
  if (h.brace_open == npos) return;
  const std::size_t n = s.size();
  std::size_t i = h.brace_open + 1;
  for (;;) {
    i = skip_white_space(s, i, h.delimiter);
    if (i < n && s[i] == '"') {
      std::size_t q = closing_quote(s, i);
      if (q != npos) i = q + 1;
    }
    while (i < n && s[i] != h.delimiter && s[i] != '}' && s[i] != ':') ++i;
    if (i >= n) {
      h.separator = npos;  // the only colons were inside quoted field names
      return;
    }
    if (s[i] == h.delimiter) {
      ++i;
      continue;
    }
    if (s[i] == '}') {
      h.brace_close = i;
      h.separator = find_char(s, ':', i + 1, n);
    } else {
      h.separator = i;  // a bare colon in a field list that was never closed
    }
    return;
  }
}

// Takes a non-empty, end-trimmed line apart. An entry line fills `key` and `value` (both
// trimmed); a header line fills `h`.
//
// The key part ends at the first colon, except that a key beginning with a quotation mark
// runs to its closing mark first (colons and brackets inside it are text). A key beginning
// with a mark that is never closed ends at the first colon, like any other.
LineKind split_line(std::string_view s, std::string_view& key, std::string_view& value, Header& h) {
  const std::size_t start = s.size() - trim_start(s).size();
  std::size_t from = start;
  if (start < s.size() && s[start] == '"') {
    std::size_t q = closing_quote(s, start);
    if (q != npos) from = q + 1;
  }
  const std::size_t first = find_first_mark<':', '['>(s, from);
  if (first == npos) return LineKind::Skip;
  if (s[first] == ':') {
    const std::size_t colon = first;
    key = trim(s.substr(0, colon));
    value = trim(s.substr(colon + 1));
    return LineKind::Entry;
  }
  const std::size_t bracket = first;
  const std::size_t colon = find_char(s, ':', bracket + 1, s.size());
  if (colon == npos) return LineKind::Skip;

  h.line = s;
  h.bracket = bracket;
  h.delimiter = ',';
  h.count = 0;
  h.zero_count = false;
  // The brackets close at the first right square bracket, unless the key part or the field
  // list starts first; their last character may be the delimiter mark (TAB or '|').
  std::size_t r = bracket + 1;
  while (r < s.size() && s[r] != ']' && s[r] != ':' && s[r] != '{') ++r;
  if (r < s.size() && s[r] == ']') {
    std::string_view count = s.substr(bracket + 1, r - bracket - 1);
    if (!count.empty() && (count.back() == '|' || count.back() == '\t')) {
      h.delimiter = count.back();
      count.remove_suffix(1);
    }
    h.zero_count = !count.empty() && count.find_first_not_of('0') == npos;
    h.count = digits_value(count);
  }
  find_separator(s, colon, h);
  if (h.separator == npos) return LineKind::Skip;
  h.value = trim(s.substr(h.separator + 1));
  return LineKind::Header;
}

// Takes the line at r.pos (not past the end) and splits it as split_line does. A line that
// starts with a plain character, the usual entry, is searched once for its colon, a bracket
// and its end together; any other goes through line_at and split_line.
LineKind take_line(Reader& r, std::string_view& key, std::string_view& value, Header& h) {
  const std::string_view text = r.text;
  const auto c = static_cast<unsigned char>(text[r.pos]);
  if (c > ' ' && c < 0x80 && c != '"') {
    const std::size_t first = find_first_mark<':', '[', '\n'>(text, r.pos);
    if (first == npos || text[first] == '\n') {
      r.pos = first == npos ? text.size() : first + 1;
      return LineKind::Skip;  // no colon
    }
    if (text[first] == ':') {
      const std::size_t nl = find_char(text, '\n', first + 1, text.size());
      const std::size_t end = nl == npos ? text.size() : nl;
      key = trim_end(text.substr(r.pos, first - r.pos));
      value = trim(text.substr(first + 1, end - first - 1));
      r.pos = nl == npos ? text.size() : nl + 1;
      return LineKind::Entry;
    }
  }
  Line line = line_at(text, r.pos);
  r.pos = line.next;
  if (line.text.empty()) return LineKind::Skip;
  return split_line(line.text, key, value, h);
}

Status read_lines(Reader& r) {
  std::string_view key_part, value_part;
  Header h{};
  while (r.pos < r.text.size()) {
    Rewind scratch(r.arena);
    switch (take_line(r, key_part, value_part, h)) {
      case LineKind::Skip:
        continue;  // no colon: the pending key stays
      case LineKind::Header:
        if (Status st = decode_array(r, h); !st) return st;
        continue;
      case LineKind::Entry:
        break;
    }
    auto key = read_key(key_part, r.arena);
    if (!key) return fail(std::move(key.error()));
    if (value_part.empty()) {
      r.set_pending(*key);  // a block line: it may name the header below it
      continue;
    }
    Value value;
    if (Status st = read_scalar(value_part, r.arena, value); !st) return st;
    if (!r.sink.key(*key) || !report(r.sink, value)) return stopped();
    r.has_pending = false;
  }
  return Ok{};
}

}  // namespace

}  // namespace decoder

Result<Ok, ToonError> decode_document(std::string_view text, Sink& sink) {
  decoder::Reader reader(text, sink);
  if (!sink.begin_object(KeyOrder::Sorted)) return decoder::stopped();
  if (decoder::Status st = decoder::read_lines(reader); !st) {
    // Every line is taken (reader.pos moved past it) before it is read, so the failing line
    // is the one that ends right before reader.pos.
    ToonError& e = st.error();
    if (e.kind() == ToonError::Kind::DecodingError && reader.pos > 0) {
      std::string_view before = text.substr(0, reader.pos - 1);
      e.set_line(1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n')));
    }
    return st;
  }
  if (!sink.end_object()) return decoder::stopped();
  return Ok{};
}

}  // namespace vardel
