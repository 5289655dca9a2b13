// Fuzz target: parse_value and unescape_string on valid UTF-8 tokens, and
// the scalar round trip through the encoder's quoting.
//
// The first input byte chooses the mode; the rest is the text.
//   mode 0..1: parse_value(text) is a scalar that follows the token rules: a
//              token quoted at both ends gives unescape_string of its body (or
//              its error), every other token gives a literal, a finite number,
//              or the trimmed token as a string; no error without a quotation mark.
//   mode 2:    unescape_string(text) either fails with one of the two escape
//              errors or gives valid UTF-8 that escapes back to the same body.
//   mode 3:    for the string s = text and each delimiter, the token
//              quote_if_needed(s, delimiter) reads back as exactly s.
//   mode 4:    a double (from the text's bytes, or a short decimal) is written
//              in positional notation with its shortest round-trip digits, and
//              reads back as the same double or, when whole, as its integer.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "decode/decode.h"
#include "encode/encode.h"
#include "fuzz_common.h"
#include "tree_check.h"
#include "value/text.h"

namespace {

using vardel::Value;

// Writes `s` with the encoder's five escapes (the inverse of unescape_string).
std::string escape(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  return out;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The decimal floating-point grammar: sign, digits with optional point and
// fraction (or a point and at least one digit), optional exponent.
bool decimal_form(std::string_view t) {
  std::size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  std::size_t int_digits = 0;
  while (i < t.size() && is_digit(t[i])) ++i, ++int_digits;
  std::size_t frac_digits = 0;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && is_digit(t[i])) ++i, ++frac_digits;
  }
  if (int_digits == 0 && frac_digits == 0) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < t.size() && is_digit(t[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  return i == t.size();
}

bool integer_form(std::string_view t) {
  std::size_t i = (!t.empty() && (t[0] == '+' || t[0] == '-')) ? 1 : 0;
  if (i == t.size()) return false;
  for (; i < t.size(); ++i) {
    if (!is_digit(t[i])) return false;
  }
  return true;
}

void check_parse_value(std::string_view token) {
  vardel::Arena arena;
  auto r = vardel::parse_value(token, arena);
  std::string_view t = vardel::trim(token);
  bool quoted = t.size() >= 2 && t.front() == '"' && t.back() == '"';
  if (!r) {
    // A lone quotation mark is left to the implementation: a value or a DecodingError.
    FUZZ_CHECK_MSG(quoted || t == "\"", "error for an unquoted token " + fuzz::show(token));
    if (!quoted) {
      FUZZ_CHECK(r.error().kind() == vardel::ToonError::Kind::DecodingError);
      return;
    }
    fuzz::check_decode_error(r.error());
    auto u = vardel::unescape_string(t.substr(1, t.size() - 2));
    FUZZ_CHECK(!u.ok() && u.error().message() == r.error().message());
    return;
  }
  const Value& v = *r;
  fuzz::check_scalar(v);
  if (quoted) {
    FUZZ_CHECK_MSG(v.kind() == Value::Kind::String, fuzz::show(token) + " gave " + fuzz::describe(v));
    auto u = vardel::unescape_string(t.substr(1, t.size() - 2));
    FUZZ_CHECK(u.ok() && *u == v.as_string());
    return;
  }
  switch (v.kind()) {
    case Value::Kind::Null: FUZZ_CHECK(t == "null"); break;
    case Value::Kind::Bool: FUZZ_CHECK(t == (v.as_bool() ? "true" : "false")); break;
    case Value::Kind::Number:
      if (v.as_number().form() == vardel::Number::Form::Double) {
        FUZZ_CHECK_MSG(decimal_form(t), fuzz::show(token));
      } else {
        FUZZ_CHECK_MSG(integer_form(t), fuzz::show(token));
      }
      break;
    case Value::Kind::String:
      FUZZ_CHECK_MSG(v.as_string() == t, fuzz::show(token) + " gave " + fuzz::describe(v));
      FUZZ_CHECK(t != "null" && t != "true" && t != "false");
      // Integers of the accepted range never stay strings.
      FUZZ_CHECK_MSG(!integer_form(t) || t.size() > 19, fuzz::show(token));
      break;
    default: FUZZ_CHECK(false);
  }
}

void check_unescape(std::string_view body) {
  auto r = vardel::unescape_string(body);
  if (!r) {
    fuzz::check_decode_error(r.error());
    FUZZ_CHECK(body.find('\\') != std::string_view::npos);
    return;
  }
  FUZZ_CHECK(fuzz::valid_utf8(*r));
  FUZZ_CHECK(r->size() <= body.size());
  // Round trip the other way: escaping and unescaping gives the text back.
  auto back = vardel::unescape_string(escape(*r));
  FUZZ_CHECK(back.ok() && *back == *r);
  // Without unescaped quotation marks and raw line breaks in the body, the
  // escaped result is the body itself.
  if (body.find_first_of("\"\n\r\t") == std::string_view::npos) FUZZ_CHECK(escape(*r) == body);
}

void check_quoting(std::string_view s) {
  static constexpr std::string_view kDelimiters[] = {",", "\t", "|"};
  for (std::string_view d : kDelimiters) {
    std::string token = vardel::quote_if_needed(s, d);
    FUZZ_CHECK(!token.empty());
    FUZZ_CHECK(token.find('\n') == std::string::npos && token.find('\r') == std::string::npos);
    vardel::Arena arena;
    auto r = vardel::parse_value(token, arena);
    FUZZ_CHECK_MSG(r.ok(), fuzz::show(token) + ": " + r.error().display());
    FUZZ_CHECK_MSG(r->kind() == Value::Kind::String && r->as_string() == s,
                   fuzz::show(s) + " written " + fuzz::show(token) + " read back as " + fuzz::describe(*r));
    bool bare = token == s;
    if (bare) {
      // A bare token never holds the delimiter, and never starts or ends with whitespace.
      FUZZ_CHECK(s.find(d) == std::string_view::npos);
      FUZZ_CHECK(!vardel::has_edge_white_space(s));
    }
    if (vardel::is_valid_identifier(s)) {
      FUZZ_CHECK(!s.empty());
    }
  }
}

// The positional form of `d` with its shortest round-trip digits, built from
// the scientific form that std::to_chars gives.
std::string positional(double d) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  std::string sign = std::signbit(d) ? "-" : "";
  if (sign.size()) sci.remove_prefix(1);
  std::size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e)) {
    if (c != '.') digits += c;
  }
  int exponent = std::stoi(std::string(sci.substr(e + 1)));
  if (d == 0) return sign + "0";
  std::string out;
  if (exponent >= 0) {
    auto whole = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= whole) {
      out = digits + std::string(whole - digits.size(), '0');
    } else {
      out = digits.substr(0, whole) + "." + digits.substr(whole);
    }
  } else {
    out = "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  }
  return sign + out;
}

void check_double(std::string_view bytes) {
  double d;
  if (bytes.size() >= 8 && (bytes[0] & 1)) {
    std::uint64_t bits;
    std::memcpy(&bits, bytes.data(), 8);
    std::memcpy(&d, &bits, 8);
    if (!std::isfinite(d)) return;
  } else {
    // A short decimal: up to 17 digits with a point anywhere, as the input spells it.
    std::string dec;
    for (char c : bytes.substr(0, 24)) dec += static_cast<char>('0' + static_cast<unsigned char>(c) % 10);
    if (dec.empty()) dec = "0";
    std::size_t point = bytes.empty() ? 0 : static_cast<unsigned char>(bytes[0]) % (dec.size() + 1);
    dec.insert(point, ".");
    if (dec == ".") dec = "0";
    if (dec.back() == '.') dec.pop_back();
    if (dec.front() == '.') dec.insert(0, "0");
    auto r = std::from_chars(dec.data(), dec.data() + dec.size(), d);
    FUZZ_CHECK(r.ec == std::errc());
    if (bytes.size() > 1 && (bytes[1] & 1)) d = -d;
  }
  vardel::EncodeSettings settings;
  auto token = vardel::encode_value(Value::number(vardel::Number::from_double(d)), 0, settings);
  FUZZ_CHECK(token.ok());
  std::string want = positional(d);
  char sci[40];
  *std::to_chars(sci, sci + sizeof sci - 1, d).ptr = 0;
  FUZZ_CHECK_MSG(*token == want, std::string(sci) + " written " + *token + ", shortest " + want);
  vardel::Arena arena;
  auto back = vardel::parse_value(*token, arena);
  FUZZ_CHECK(back.ok() && back->kind() == Value::Kind::Number);
  FUZZ_CHECK_MSG(fuzz::same_numeric(fuzz::after_round_trip(vardel::Number::from_double(d)),
                                    fuzz::numeric(back->as_number())),
                 *token + " read back as " + fuzz::describe(*back));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] % 5 == 4) {
    check_double(text);  // the bytes are a number, not text
    return 0;
  }
  if (!fuzz::valid_utf8(text)) return -1;
  switch (data[0] % 5) {
    case 0:
    case 1: check_parse_value(text); break;
    case 2: check_unescape(text); break;
    case 3: check_quoting(text); break;
    default: check_double(text); break;
  }
  return 0;
}
