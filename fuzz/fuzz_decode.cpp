// decode_document on valid UTF-8 (other bytes are rejected): a flat document or an escape error;
// the document encodes with the default settings and decodes back to itself, up to the round-trip
// changes (only "no crash" when some array of objects has differing keys: the list form reads back
// differently).
#include <algorithm>

#include "decode/value_sink.h"
#include "encode/encode.h"
#include "fuzz_common.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!valid_utf8(text)) return -1;
  auto doc = vardel::decode_tree(text);
  if (!doc) return check_decode_error(doc.error()), 0;
  check_decoded(doc->root);
  auto out = vardel::encode_value(doc->root, 0, vardel::EncodeSettings{});
  FUZZ_CHECK_MSG(out.ok(), out.ok() ? "" : out.error().display());
  FUZZ_CHECK(valid_utf8(*out) && (out->empty() || out->back() != '\n'));
  auto back = vardel::decode_tree(*out);
  bool tabular = true;
  auto same_key = [](const Member& x, const Member& y) { return x.key == y.key; };
  for (const Member& m : doc->root.as_map())
    for (std::size_t i = 0; !m.value.is_scalar() && i < m.value.size(); ++i) {
      const Value &a = m.value[0], &b = m.value[i];
      tabular &= a.kind() != K::Object ||
                 (b.kind() == K::Object && a.size() == b.size() &&
                  std::equal(a.as_map().begin(), a.as_map().end(), b.as_map().begin(), same_key));
    }
  if (!tabular) return back ? 0 : (check_decode_error(back.error()), 0);
  FUZZ_CHECK_MSG(back.ok(), back.ok() ? "" : back.error().display() + " for " + show(*out));
  std::string diff = difference(doc->root, back->root);
  FUZZ_CHECK_MSG(diff.empty(), diff + " in " + show(*out));
  return 0;
}
