// Round trip of the documents the decoder reads back faithfully: an object of scalars, scalar
// arrays and tabular arrays of flat objects sharing one non-empty key set, any strings, the three
// delimiters, length markers, widths 1..8, either layout, members sorted or in a shuffled order,
// sometimes wrapped as the one member of an outer object (whose members then come back at the top
// level). Decoding gives the document back, up to the
// round-trip changes.
#include "decode/value_sink.h"
#include "encode/encode.h"
#include "fuzz_common.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static constexpr std::string_view kDelimiters[] = {",", "\t", "|"};
  Bytes in(data, size);
  vardel::EncodeSettings settings;
  settings.delimiter = std::string(kDelimiters[in.byte() % 3]);
  settings.indent = 1 + in.below(8);
  std::uint8_t shape = in.byte();
  bool wrapped = shape % 4 == 0;
  settings.uniform_indent = shape & 4;
  settings.sort_keys = !(shape & 8);
  vardel::Arena arena;
  std::size_t n = in.below(12);
  Member* members = arena.alloc<Member>(n);
  for (std::size_t i = 0; i < n; ++i) {
    members[i].key = arena.copy(text(in, 6));
    std::uint8_t kind = in.byte() % 4;
    if (kind < 2)
      members[i].value = scalar(in, arena, 8);
    else if (kind == 2) {
      std::size_t len = in.below(9);
      Value* items = arena.alloc<Value>(len);
      for (std::size_t k = 0; k < len; ++k) items[k] = scalar(in, arena, 6);
      members[i].value = Value::array(items, len);
    } else {
      std::vector<std::string_view> k(1 + in.below(4));
      for (auto& name : k) name = arena.copy(text(in, 5));
      members[i].value = table(in, arena, k, 1 + in.below(6), 6);
    }
  }
  Value doc = object(members, n), root = doc;
  if (wrapped) root = object(new (arena.alloc<Member>(1)) Member{arena.copy(text(in, 4)), doc}, 1);
  if (!settings.sort_keys) root = shuffled(root, in, arena);
  auto out = vardel::encode_value(root, 0, settings);
  FUZZ_CHECK_MSG(out.ok(), out.ok() ? "" : out.error().display());
  auto back = vardel::decode_tree(*out);
  FUZZ_CHECK_MSG(back.ok(), back.ok() ? "" : back.error().display() + " for " + show(*out));
  check_decoded(back->root);
  std::string diff = difference(doc, back->root);
  FUZZ_CHECK_MSG(diff.empty(), diff + "\n  text: " + show(*out, 2000));
  return 0;
}
