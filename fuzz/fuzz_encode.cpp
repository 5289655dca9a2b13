// Fuzz target: encode_value on value trees of any shape built from the input,
// with any settings: good and bad delimiters, indentation widths from 0 to 8
// and huge ones, length markers on and off, and nesting past the depth limit.
//
// Properties: the encoder ends with text or a ToonError of the kind the tree
// and settings call for; text never ends with a line feed, holds no carriage
// return, is valid UTF-8, indents with spaces only and no line by more than
// kMaxIndentation; the same call gives the same text; the decoder reads any
// such text without crashing.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "decode/decode.h"
#include "encode/encode.h"
#include "fuzz_common.h"
#include "tree_check.h"
#include "value/text.h"

namespace {

using vardel::Member;
using vardel::Value;

struct Shape {
  std::size_t max_depth = 0;      // container levels
  bool nonempty_array = false;    // some array has elements
  bool nested_container = false;  // some container holds a container
};

class Builder {
 public:
  // `depth_budget` bounds the container levels: deep trees with a small
  // non-zero width write text that grows with the cube of the depth, which
  // costs time without reaching new code.
  Builder(fuzz::Bytes& in, vardel::Arena& arena, std::size_t depth_budget, std::size_t max_nodes)
      : in_(in), arena_(arena), budget_(depth_budget), max_nodes_(max_nodes) {}

  Value build(std::size_t depth) {
    if (in_.empty() || nodes_ >= max_nodes_ || depth >= budget_) return fuzz::scalar(in_, arena_);
    ++nodes_;
    switch (in_.byte() % 9) {
      case 0:
      case 1:
      case 2: return fuzz::scalar(in_, arena_);
      case 3:
      case 4: return array(depth, in_.below(7));
      case 5:
      case 6: return object(depth, in_.below(7));
      case 7: return table(depth);
      default: return chain(depth);
    }
  }

  const Shape& shape() const { return shape_; }

 private:
  void entered(std::size_t depth) {
    shape_.max_depth = std::max(shape_.max_depth, depth + 1);
    if (depth > 0) shape_.nested_container = true;
  }

  Value array(std::size_t depth, std::size_t n) {
    entered(depth);
    if (n > 0) shape_.nonempty_array = true;
    Value* items = arena_.alloc<Value>(n);
    for (std::size_t i = 0; i < n; ++i) items[i] = build(depth + 1);
    return Value::array(items, n);
  }

  Value object(std::size_t depth, std::size_t n) {
    entered(depth);
    Member* members = arena_.alloc<Member>(n);
    for (std::size_t i = 0; i < n; ++i) {
      members[i].key = arena_.copy(fuzz::text(in_, 4));
      members[i].value = build(depth + 1);
    }
    return Value::object(vardel::Map(members, vardel::sort_members(members, n)));
  }

  // An array of objects that share keys and hold scalars (the tabular form),
  // sometimes spoiled by one differing element.
  Value table(std::size_t depth) {
    entered(depth);
    std::size_t rows = in_.below(5);
    std::size_t fields = in_.below(4);
    if (rows > 0) {
      shape_.nonempty_array = true;
      entered(depth + 1);  // the row objects
    }
    std::vector<std::string_view> keys;
    for (std::size_t f = 0; f < fields; ++f) keys.push_back(arena_.copy(fuzz::text(in_, 3)));
    Value* items = arena_.alloc<Value>(rows);
    for (std::size_t r = 0; r < rows; ++r) {
      Member* members = arena_.alloc<Member>(fields);
      for (std::size_t f = 0; f < fields; ++f) {
        members[f].key = keys[f];
        members[f].value = fuzz::scalar(in_, arena_, 3);
      }
      items[r] = Value::object(vardel::Map(members, vardel::sort_members(members, fields)));
    }
    if (rows > 0 && in_.byte() % 4 == 0) {
      items[in_.below(rows)] = build(depth + 1);
    }
    return Value::array(items, rows);
  }

  // A single-child chain of arrays and objects, to reach the depth limit cheaply.
  Value chain(std::size_t depth) {
    std::size_t levels = 1 + in_.below(budget_ - depth);
    std::uint64_t pattern = in_.u64();
    std::vector<bool> is_object(levels);
    for (std::size_t i = 0; i < levels; ++i) is_object[i] = (pattern >> (i % 64)) & 1;
    for (std::size_t i = 0; i < levels; ++i) entered(depth + i);
    Value v = fuzz::scalar(in_, arena_, 2);
    std::string_view key = arena_.copy(fuzz::text(in_, 2));
    for (std::size_t i = levels; i-- > 0;) {
      if (is_object[i]) {
        Member* m = arena_.alloc<Member>(1);
        m->key = key;
        m->value = v;
        v = Value::object(vardel::Map(m, 1));
      } else {
        Value* item = arena_.alloc<Value>(1);
        *item = v;
        v = Value::array(item, 1);
        shape_.nonempty_array = true;
      }
    }
    return v;
  }

  fuzz::Bytes& in_;
  vardel::Arena& arena_;
  std::size_t budget_;
  std::size_t max_nodes_;
  std::size_t nodes_ = 0;
  Shape shape_;
};

vardel::EncodeSettings settings_from(fuzz::Bytes& in) {
  static constexpr std::string_view kDelimiters[] = {
      ",", "\t", "|", "", ";", ", ", "||", "\xc3\xa9", " ", "\n", ":", "\"", std::string_view("\0", 1),
  };
  // Widths at the limit itself write lines of a megabyte, slow enough to
  // starve the rest; tests/test_hostile.py covers 2**20 and 2**20 + 1.
  static constexpr std::uint64_t kHugeIndents[] = {
      std::uint64_t(1) << 31,       std::uint64_t(1) << 32, std::uint64_t(1) << 62,
      (std::uint64_t(1) << 63) - 1, std::uint64_t(1) << 63, ~std::uint64_t(0),
      ~std::uint64_t(0) / 3,        4096,
  };
  vardel::EncodeSettings s;
  std::uint8_t d = in.byte();
  constexpr std::size_t nd = sizeof(kDelimiters) / sizeof(kDelimiters[0]);
  if (d < 0xF0) {
    s.delimiter = std::string(kDelimiters[d % nd]);
  } else {
    s.delimiter = fuzz::text(in, 2);
  }
  std::uint8_t i = in.byte();
  if (i < 0xE0) {
    s.indent = i % 9;
  } else if (i < 0xF8) {
    s.indent = kHugeIndents[i % (sizeof(kHugeIndents) / sizeof(kHugeIndents[0]))];
  } else {
    s.indent = in.u64();
  }
  std::uint8_t flags = in.byte();
  s.use_length_markers = (flags & 1) == 0;
  s.strict = (flags & 2) == 0;
  return s;
}

bool valid_delimiter(std::string_view d) { return d == "," || d == "\t" || d == "|"; }

void check_text(const std::string& out) {
  FUZZ_CHECK(fuzz::valid_utf8(out));
  FUZZ_CHECK(out.empty() || out.back() != '\n');
  FUZZ_CHECK(out.find('\r') == std::string::npos);
  std::size_t start = 0;
  while (start <= out.size()) {
    std::size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    std::string_view line(out.data() + start, end - start);
    std::size_t spaces = line.find_first_not_of(' ');
    if (spaces == std::string_view::npos) spaces = line.size();
    FUZZ_CHECK_MSG(spaces <= vardel::kMaxIndentation, std::to_string(spaces));
    if (spaces < line.size()) {
      // Indentation is spaces only: no line continues it with other whitespace.
      FUZZ_CHECK_MSG(vardel::white_space_prefix(line.substr(spaces)) == 0, fuzz::show(line));
    }
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Bytes in(data, size);
  vardel::EncodeSettings settings = settings_from(in);
  vardel::Arena arena;
  // Depth past the limit only where the text stays small: no indentation, or
  // one so wide that the first indented line fails.
  std::size_t budget = vardel::kMaxDepth + 40;
  std::size_t nodes = 600;
  if (settings.indent > 0 && settings.indent <= 8) budget = 24;
  if (settings.indent > 8 && settings.indent <= vardel::kMaxIndentation + 1) {
    budget = 2;  // lines of up to a megabyte each: few of them
    nodes = 2;
  }
  Builder builder(in, arena, budget, nodes);
  Value root = builder.build(0);
  const Shape& shape = builder.shape();

  auto r = vardel::encode_value(root, 0, settings);
  if (!r) {
    const vardel::ToonError& e = r.error();
    switch (e.kind()) {
      case vardel::ToonError::Kind::InvalidDelimiter:
        FUZZ_CHECK(!valid_delimiter(settings.delimiter));
        FUZZ_CHECK(shape.nonempty_array);
        FUZZ_CHECK(e.message() == settings.delimiter);
        break;
      case vardel::ToonError::Kind::IndentationTooLarge:
        FUZZ_CHECK(settings.indent > 0 && shape.nested_container);
        break;
      case vardel::ToonError::Kind::NestingTooDeep:
        FUZZ_CHECK_MSG(shape.max_depth > vardel::kMaxDepth, std::to_string(shape.max_depth));
        break;
      default: FUZZ_CHECK_MSG(false, e.display());
    }
    // Data that the conversion accepts, with a good delimiter and no
    // indentation, always encodes.
    FUZZ_CHECK_MSG(!(valid_delimiter(settings.delimiter) && settings.indent == 0 &&
                     shape.max_depth <= vardel::kMaxDepth),
                   e.display() + " at depth " + std::to_string(shape.max_depth));
    // Shallow data with a good delimiter and a small width always encodes.
    FUZZ_CHECK_MSG(!(valid_delimiter(settings.delimiter) && settings.indent <= 8 && shape.max_depth <= 64),
                   e.display() + " at depth " + std::to_string(shape.max_depth));
    return 0;
  }
  const std::string& out = *r;
  check_text(out);
  if (root.is_scalar()) {
    FUZZ_CHECK(!out.empty() && out.find('\n') == std::string::npos);
  }
  if (root.kind() == Value::Kind::Object && root.as_map().empty()) FUZZ_CHECK(out.empty());
  if (root.kind() == Value::Kind::Array && root.size() == 0) FUZZ_CHECK(out == "[0]:");

  if (out.size() <= (1u << 16)) {
    auto again = vardel::encode_value(root, 0, settings);
    FUZZ_CHECK(again.ok() && *again == out);
    auto doc = vardel::decode_document(out);
    if (doc) {
      fuzz::check_decoded(doc->root);
    } else {
      fuzz::check_decode_error(doc.error());
    }
  }
  return 0;
}
