// Fuzz target: the round trip encode -> decode on the documents the decoder
// reads back faithfully: an object whose members are scalars, arrays of
// scalars (empty ones included) and tabular arrays of flat objects sharing
// one non-empty key set, with any strings and keys, written with the comma,
// TAB or vertical-line delimiter, length markers on, and an indentation width
// from 1 to 8; sometimes as the one member of an enclosing object (its
// members then come back at the top level).
//
// Property: decoding the text gives the same document, except that
// whole-valued doubles come back as integers.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "decode/decode.h"
#include "encode/encode.h"
#include "fuzz_common.h"
#include "tree_check.h"

namespace {

using vardel::Member;
using vardel::Value;

Value scalar_array(fuzz::Bytes& in, vardel::Arena& arena) {
  std::size_t n = in.below(9);
  Value* items = arena.alloc<Value>(n);
  for (std::size_t i = 0; i < n; ++i) items[i] = fuzz::scalar(in, arena, 6);
  return Value::array(items, n);
}

Value tabular_array(fuzz::Bytes& in, vardel::Arena& arena) {
  std::size_t fields = 1 + in.below(4);
  std::vector<std::string_view> keys;
  for (std::size_t f = 0; f < fields; ++f) keys.push_back(arena.copy(fuzz::text(in, 5)));
  std::size_t rows = 1 + in.below(6);
  Value* items = arena.alloc<Value>(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    Member* members = arena.alloc<Member>(fields);
    for (std::size_t f = 0; f < fields; ++f) {
      members[f].key = keys[f];
      members[f].value = fuzz::scalar(in, arena, 6);
    }
    // Repeated generated keys collapse the same way in every row.
    items[r] = Value::object(vardel::Map(members, vardel::sort_members(members, fields)));
  }
  return Value::array(items, rows);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static constexpr std::string_view kDelimiters[] = {",", "\t", "|"};
  fuzz::Bytes in(data, size);
  vardel::EncodeSettings settings;
  settings.delimiter = std::string(kDelimiters[in.byte() % 3]);
  settings.indent = 1 + in.below(8);
  settings.use_length_markers = true;
  bool wrapped = in.byte() % 4 == 0;

  vardel::Arena arena;
  std::size_t n = in.below(12);
  Member* members = arena.alloc<Member>(n);
  for (std::size_t i = 0; i < n; ++i) {
    members[i].key = arena.copy(fuzz::text(in, 6));
    switch (in.byte() % 4) {
      case 0:
      case 1: members[i].value = fuzz::scalar(in, arena, 8); break;
      case 2: members[i].value = scalar_array(in, arena); break;
      default: members[i].value = tabular_array(in, arena); break;
    }
  }
  Value doc = Value::object(vardel::Map(members, vardel::sort_members(members, n)));
  Value root = doc;
  if (wrapped) {
    Member* outer = arena.alloc<Member>(1);
    outer->key = arena.copy(fuzz::text(in, 4));
    outer->value = doc;
    root = Value::object(vardel::Map(outer, 1));
  }

  auto text = vardel::encode_value(root, 0, settings);
  FUZZ_CHECK_MSG(text.ok(), text.ok() ? std::string() : text.error().display());
  auto back = vardel::decode_document(*text);
  FUZZ_CHECK_MSG(back.ok(), back.ok() ? std::string() : back.error().display() + " for " + fuzz::show(*text));
  fuzz::check_decoded(back->root);
  std::string diff = fuzz::difference_after_round_trip(doc, back->root);
  FUZZ_CHECK_MSG(diff.empty(), diff + "\n  text: " + fuzz::show(*text, 2000));
  return 0;
}
