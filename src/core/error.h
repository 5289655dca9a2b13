// The codec's error: a kind with a fixed prefix, and a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vardel {

class ToonError {
 public:
  enum class Kind {
    DecodingError,          // the decoder rejected the text
    InvalidDelimiter,       // the encoder met a delimiter it cannot write an array with
    PythonConversionError,  // the Python data could not be converted
    IndentationTooLarge,    // a line's indentation would make the text longer than kMaxTextSize
    NestingTooDeep,         // the value tree is nested deeper than kMaxDepth
    Stopped,                // a decoder's sink stopped it and holds the reason (never shown)
  };

  ToonError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  // An error at a place in a text: `line` and `column` (in characters) count from 1.
  ToonError(Kind kind, std::string message, std::size_t line, std::size_t column)
      : kind_(kind), message_(std::move(message)), line_(line), column_(column) {}

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  // The place of the error in the decoded text (1-based), or 0 when it has none.
  std::size_t line() const { return line_; }
  std::size_t column() const { return column_; }
  void set_line(std::size_t line) { line_ = line; }
  // Returns the kind's prefix followed by the message.
  std::string display() const { return std::string(prefix(kind_)) + message_; }
  // Returns the fixed prefix of a kind's display text.
  static std::string_view prefix(Kind kind);

 private:
  Kind kind_;
  std::string message_;
  std::size_t line_ = 0;
  std::size_t column_ = 0;
};

inline std::string_view ToonError::prefix(Kind kind) {
  switch (kind) {
    case Kind::DecodingError:
      return "Decoding error: ";
    case Kind::InvalidDelimiter:
      return "Invalid delimiter: ";
    case Kind::PythonConversionError:
      return "Python conversion error: ";
    case Kind::IndentationTooLarge:
      return "Indentation too large: ";
    case Kind::NestingTooDeep:
      return "Nesting too deep: ";
    case Kind::Stopped:
      return "Stopped: ";
  }
  return "";
}

// Container levels a value tree may have; deeper data is refused by the
// conversion and by the encoder, so no input can exhaust the native stack.
inline constexpr std::size_t kMaxDepth = 512;

// The most bytes an encoded text may hold: far beyond any memory, and within
// what a Python str can hold.
inline constexpr std::uint64_t kMaxTextSize = std::uint64_t(1) << 62;

}  // namespace vardel
