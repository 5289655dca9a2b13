// The decoder's read_scalar and read_escaped, quote_if_needed and number writing; the first byte
// chooses:
//   0, 1  read_scalar(text): a quoted token gives the unescaped body (value or error), any other
//         a literal, a number of the number grammar, or the trimmed token; errors need a quote
//   2     read_escaped(text): an escape error, or valid UTF-8 that escapes back to the body
//   3     quote_if_needed(text, d) reads back as text for each delimiter d
//   4     a double (bit pattern or short decimal) is written positionally with its shortest digits
//         and reads back as itself, or as its integer when whole
#include "core/text.h"
#include "decode/reader.h"
#include "encode/encode.h"
#include "fuzz_common.h"

using namespace fuzz;

namespace {

// The escapes of `body` resolved, as a string of its own.
vardel::Result<std::string, vardel::ToonError> unescape(std::string_view body) {
  vardel::Arena arena;
  auto r = vardel::decoder::read_escaped(body, arena);
  if (!r) return vardel::fail(std::move(r.error()));
  return std::string(*r);
}

// The scalar that `token` stands for, or the decoder's error.
vardel::Result<Value, vardel::ToonError> scalar_of(std::string_view token, vardel::Arena& arena) {
  Value v;
  auto r = vardel::decoder::read_scalar(token, arena, v);
  if (!r) return vardel::fail(std::move(r.error()));
  return v;
}

std::string escape(std::string_view s) {
  std::string out;
  for (char c : s) {
    std::size_t k = std::string_view("\\\"\n\r\t").find(c);
    k == s.npos ? out += c : out.append({'\\', "\\\"nrt"[k]});
  }
  return out;
}

bool number_form(std::string_view t, bool integer) {
  std::size_t i = 0, n = t.size();
  auto sign = [&] { i += i < n && (t[i] == '+' || t[i] == '-'); };
  auto digits = [&] {
    std::size_t start = i;
    while (i < n && t[i] >= '0' && t[i] <= '9') ++i;
    return i - start;
  };
  sign();
  std::size_t count = digits();
  if (!integer && i < n && t[i] == '.') ++i, count += digits();
  if (!integer && count && i < n && (t[i] == 'e' || t[i] == 'E') && (++i, sign(), digits() == 0))
    return false;
  return count > 0 && i == n;
}

void check_read_scalar(std::string_view token) {
  vardel::Arena arena;
  auto r = scalar_of(token, arena);
  std::string_view t = vardel::trim(token);
  bool quoted = t.size() >= 2 && t.front() == '"' && t.back() == '"';
  auto body = quoted ? unescape(t.substr(1, t.size() - 2)) : unescape("");
  if (!r) {
    FUZZ_CHECK_MSG(quoted || t == "\"", show(token));  // a lone quotation mark: value or error
    FUZZ_CHECK(r.error().kind() == vardel::ToonError::Kind::DecodingError);
    if (quoted)
      check_decode_error(r.error()),
          FUZZ_CHECK(!body && body.error().message() == r.error().message());
    return;
  }
  const Value& v = *r;
  check_scalar(v);
  bool literal = t == "null" || t == "true" || t == "false";
  if (quoted) {
    FUZZ_CHECK_MSG(v.kind() == K::String && body && *body == v.as_string(),
                   show(token) + " gave " + key(v));
  } else if (v.kind() == K::Number) {
    FUZZ_CHECK_MSG(number_form(t, v.as_number().form() != Number::Form::Double), show(token));
  } else if (v.kind() == K::String) {
    // integers of the accepted range never stay strings
    FUZZ_CHECK_MSG(v.as_string() == t && !literal && (!number_form(t, true) || t.size() > 19),
                   show(token));
  } else {
    FUZZ_CHECK_MSG(literal && key(v) == t, show(token) + " gave " + key(v));
  }
}

void check_unescape(std::string_view body) {
  auto r = unescape(body);
  if (!r) return check_decode_error(r.error()), FUZZ_CHECK(body.find('\\') != body.npos);
  FUZZ_CHECK(valid_utf8(*r) && r->size() <= body.size());
  auto back = unescape(escape(*r));
  FUZZ_CHECK(back && *back == *r);
  // without raw quotation marks and line breaks the body is the escaped result itself
  FUZZ_CHECK(body.find_first_of("\"\n\r\t") != body.npos || escape(*r) == body);
}

void check_quoting(std::string_view s) {
  FUZZ_CHECK(!vardel::is_valid_identifier(s) || !s.empty());
  for (std::string_view d : {",", "\t", "|"}) {
    std::string token = vardel::quote_if_needed(s, d);
    FUZZ_CHECK(!token.empty() && token.find_first_of("\n\r") == token.npos);
    vardel::Arena arena;
    auto r = scalar_of(token, arena);
    FUZZ_CHECK_MSG(r && r->kind() == K::String && r->as_string() == s,
                   show(s) + " written " + show(token) +
                       (r ? " read back as " + key(*r) : r.error().display()));
    // a bare token never holds the delimiter nor starts or ends with whitespace
    FUZZ_CHECK(token != s || (s.find(d) == s.npos && !vardel::has_edge_white_space(s)));
  }
}

void check_double(std::string_view bytes) {
  double d;
  if (bytes.size() >= 8 && (bytes[0] & 1)) {
    std::memcpy(&d, bytes.data(), 8);
    if (!std::isfinite(d)) return;
  } else {
    // up to 24 digits with a point where the first byte says, as the input spells them
    std::string dec;
    for (char c : bytes.substr(0, 24))
      dec += static_cast<char>('0' + static_cast<unsigned char>(c) % 10);
    dec.insert(bytes.empty() ? 0 : static_cast<unsigned char>(bytes[0]) % (dec.size() + 1), ".");
    dec = "0" + dec + "0";
    FUZZ_CHECK(std::from_chars(dec.data(), dec.data() + dec.size(), d).ec == std::errc());
    if (bytes.size() > 1 && (bytes[1] & 1)) d = -d;
  }
  auto token =
      vardel::encode_value(Value::number(Number::from_double(d)), 0, vardel::EncodeSettings{});
  FUZZ_CHECK_MSG(token && *token == positional(d), key(Value::number(Number::from_double(d))));
  vardel::Arena arena;
  auto back = scalar_of(*token, arena);
  FUZZ_CHECK_MSG(back && key(Value::number(Number::from_double(d)), true) == key(*back), *token);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] % 5 == 4) return check_double(text), 0;
  if (!valid_utf8(text)) return -1;
  data[0] % 5 < 2    ? check_read_scalar(text)
  : data[0] % 5 == 2 ? check_unescape(text)
                     : check_quoting(text);
  return 0;
}
