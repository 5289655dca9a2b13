// Scalar tokens written straight into the output buffer: numbers, strings in
// bare or quoted form, keys and tabular field names.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "core/value.h"
#include "encode/writer.h"

namespace vardel {

// Writes an unsigned integer in decimal, all digits exact.
void write_unsigned(OutputBuffer& out, std::uint64_t u);

// Writes a negative integer: "-" and the digits of its magnitude.
void write_negative(OutputBuffer& out, std::int64_t i);

// Writes a double in positional notation (never an exponent) with the fewest
// significant digits that read back as the same double: 1e-7 is
// "0.0000001", 1e21 is "1000000000000000000000", 3.0 is "3", -0.0 is "-0".
void write_double(OutputBuffer& out, double d);

void write_number(OutputBuffer& out, Number n);

// Writes `text` between quotation marks, escaping backslash, quotation mark,
// line feed, carriage return and tab; every other byte is copied unchanged.
void write_quoted(OutputBuffer& out, std::string_view text);

// True if `text` reads as a number: decimal with optional sign, fraction and
// exponent, or inf, infinity or nan in any letter case with optional sign.
bool looks_like_number(std::string_view text);

// Decides, for one delimiter, whether a string must be written quoted.
class QuoteRule {
 public:
  explicit QuoteRule(std::string_view delimiter);

  // True if the bare form of `text` could be misread: empty, whitespace at
  // either end, a keyword or number, a leading zero, a structural or control
  // character, or the delimiter anywhere in it.
  bool needs_quotes(std::string_view text) const;

  // Writes a string value: bare, or quoted when needed (the same choice as needs_quotes).
  void write_string(OutputBuffer& out, std::string_view text) const;

  // Writes a wide string value (Value::wide_string) as write_string writes its UTF-8 form:
  // the same choice of form and the same escapes, its code points spliced into `out`.
  void write_wide(OutputBuffer& out, const void* units, std::size_t count, unsigned width) const;

  // Writes an object key: identifiers as they are, other keys as strings.
  void write_key(OutputBuffer& out, std::string_view key) const;

 private:
  // True if the text alone forces quotes, whatever its bytes: empty, whitespace at either
  // end, a keyword or a number.
  bool quoted_by_form(std::string_view text) const;
  // True if a delimiter of two or more bytes occurs in `text`.
  bool has_long_delimiter(std::string_view text) const;
  // needs_quotes for the `n` code points at `u`, one of them past U+007F; only for a
  // delimiter of one ASCII byte. Returns `n` when they need no quotes, else where the escapes
  // of the quoted form may start: every code point before it is one that no rule flags.
  template <class Unit>
  std::size_t wide_quote_start(const Unit* u, std::size_t n) const;

  // Per byte: 0 never forces quotes, 1 always does, 2 does when it starts
  // U+0080..U+009F (the lead byte 0xC2).
  std::array<std::uint8_t, 256> byte_class_;
  std::string_view long_delimiter_;  // delimiters of two or more bytes
  unsigned char short_delimiter_;    // a one-byte delimiter (else a byte flagged anyway)
  bool always_ = false;              // the empty delimiter occurs in every text
  // Per Latin-1 code point, for wide strings: 1 if it forces quotes. Set only when the
  // delimiter is one ASCII byte (wide_rule_); with any other, wide strings take their UTF-8
  // form.
  std::array<std::uint8_t, 256> latin1_class_{};
  bool wide_rule_ = false;
};

// True if a tabular field name must be quoted so that the header still reads:
// it is empty, has whitespace at either end, or contains the delimiter, a
// colon, a quotation mark, a backslash, a bracket or brace, or a control
// character (below U+0020 or U+007F..U+009F).
bool field_name_needs_quotes(std::string_view name, char delimiter);

}  // namespace vardel
