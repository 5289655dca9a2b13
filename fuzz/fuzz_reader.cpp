// The nested reader. Odd first byte: the rest is text, read strict and lenient with any
// delimiter: a whole value or an error with a place (line and column from 1, line within the
// text, message valid UTF-8), never a crash. Even first byte: a random tree of any shape,
// encoded with length markers in either layout at widths 1..8 with each delimiter, reads back
// exactly (whole doubles as the integers of their digits, -0.0 kept, keys in the written order).
#include <algorithm>

#include "decode/nested.h"
#include "decode/value_sink.h"
#include "encode/encode.h"
#include "fuzz_common.h"

using namespace fuzz;

namespace {

// Random trees: arrays, objects and tables of up to `budget` levels.
Value tree(Bytes& in, vardel::Arena& arena, std::size_t budget) {
  if (in.empty() || budget == 0) return scalar(in, arena, 4);
  std::uint8_t choice = in.byte() % 8;
  if (choice < 3) return scalar(in, arena, 4);
  std::size_t n = in.below(5);
  if (choice < 5) {
    Value* items = arena.alloc<Value>(n);
    for (std::size_t i = 0; i < n; ++i) items[i] = tree(in, arena, budget - 1);
    return Value::array(items, n);
  }
  if (choice < 7) {
    Member* members = arena.alloc<Member>(n);
    for (std::size_t i = 0; i < n; ++i) {
      members[i].key = arena.copy(text(in, 3));
      members[i].value = tree(in, arena, budget - 1);
    }
    return object(members, n);
  }
  std::vector<std::string_view> keys(in.below(4));
  for (auto& k : keys) k = arena.copy(text(in, 3));
  return table(in, arena, keys, 1 + in.below(4), 3);
}

// The first difference between what was encoded and what came back, or "".
std::string mismatch(const Value& want, const Value& got) {
  if (want.kind() == K::Number && want.as_number().form() == Number::Form::Double &&
      want.as_number().as_double() == 0 && std::signbit(want.as_number().as_double())) {
    bool same = got.kind() == K::Number && got.as_number().form() == Number::Form::Double &&
                got.as_number().as_double() == 0 && std::signbit(got.as_number().as_double());
    return same ? "" : "-0.0 came back as " + key(got);
  }
  if (key(want, true) != key(got)) return show(key(want, true)) + " came back as " + show(key(got));
  for (std::size_t i = 0; !want.is_scalar() && i < want.size(); ++i) {
    bool obj = want.kind() == K::Object;
    if (obj && want.as_map()[i].key != got.as_map()[i].key)
      return "key " + show(want.as_map()[i].key) + " came back as " + show(got.as_map()[i].key);
    std::string d = obj ? mismatch(want.as_map()[i].value, got.as_map()[i].value)
                        : mismatch(want[i], got[i]);
    if (!d.empty()) return (obj ? show(want.as_map()[i].key) : std::to_string(i)) + ": " + d;
  }
  return {};
}

void read_text(std::string_view text, char delimiter) {
  std::size_t lines = 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  for (bool strict : {true, false}) {
    vardel::Arena arena;
    vardel::ValueSink sink(arena);
    vardel::DecodeSettings settings{delimiter, strict};
    auto r = vardel::read_nested(text, settings, sink);
    if (r.ok()) {
      FUZZ_CHECK(sink.complete());
      continue;
    }
    const vardel::ToonError& e = r.error();
    FUZZ_CHECK_MSG(e.kind() == vardel::ToonError::Kind::DecodingError ||
                       e.kind() == vardel::ToonError::Kind::NestingTooDeep,
                   e.message());
    FUZZ_CHECK_MSG(e.line() >= 1 && e.line() <= lines && e.column() >= 1,
                   e.message() + " at " + std::to_string(e.line()) + ":" +
                       std::to_string(e.column()));
    FUZZ_CHECK_MSG(!e.message().empty() && valid_utf8(e.message()), show(e.message()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static constexpr char kDelimiters[] = {',', '\t', '|'};
  Bytes in(data, size);
  std::uint8_t mode = in.byte();
  if (mode & 1) {
    if (size == 0) return 0;
    read_text(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1),
              kDelimiters[(mode >> 1) % 3]);
    return 0;
  }
  vardel::EncodeSettings settings;
  char delimiter = kDelimiters[(mode >> 1) % 3];
  settings.delimiter = std::string(1, delimiter);
  settings.indent = 1 + (mode >> 3) % 8;
  settings.uniform_indent = (mode >> 6) & 1;
  vardel::Arena arena;
  Value root = tree(in, arena, 6);
  auto text = vardel::encode_value(root, 0, settings);
  FUZZ_CHECK_MSG(text.ok(), text.ok() ? "" : text.error().display());
  vardel::Arena out_arena;
  vardel::ValueSink sink(out_arena);
  auto r = vardel::read_nested(*text, vardel::DecodeSettings{delimiter, true}, sink);
  FUZZ_CHECK_MSG(r.ok(), r.ok() ? "" : r.error().message() + " at line " +
                                           std::to_string(r.error().line()) + " of " +
                                           show(*text, 2000));
  FUZZ_CHECK(sink.complete());
  std::string diff = mismatch(root, sink.result());
  FUZZ_CHECK_MSG(diff.empty(), diff + "\n  text: " + show(*text, 2000));
  // Read once more from the text without length markers: it must read, whatever it reads as.
  settings.use_length_markers = false;
  auto bare = vardel::encode_value(root, 0, settings);
  FUZZ_CHECK(bare.ok());
  vardel::Arena bare_arena;
  vardel::ValueSink bare_sink(bare_arena);
  auto b = vardel::read_nested(*bare, vardel::DecodeSettings{delimiter, true}, bare_sink);
  FUZZ_CHECK_MSG(b.ok(), b.ok() ? "" : b.error().message() + " in " + show(*bare, 2000));
  return 0;
}
