// Fuzz target: decode_document on any text that is valid UTF-8 (the only
// text the Python layer hands it; other inputs are rejected, not decoded).
//
// Properties: the decoder ends with a flat document or one of its two escape
// errors; every decoded document can be encoded with the default settings;
// and decoding that text again gives the same document, except that
// whole-valued doubles come back as integers (when the document holds an
// array of objects whose key sets differ, which the encoder writes in the list
// form, only the absence of a crash is checked).
#include <cstdint>
#include <string_view>

#include "decode/decode.h"
#include "encode/encode.h"
#include "fuzz_common.h"
#include "tree_check.h"

namespace {

// Returns true if `v` is an array of objects that the encoder writes in the
// tabular form: every element an object with the first element's keys.
bool all_rows_share_keys(const vardel::Value& v) {
  if (v.kind() != vardel::Value::Kind::Array || v.size() == 0) return true;
  if (v[0].kind() != vardel::Value::Kind::Object) return true;
  vardel::Map first = v[0].as_map();
  for (const vardel::Value& e : v) {
    if (e.kind() != vardel::Value::Kind::Object) return false;
    vardel::Map m = e.as_map();
    if (m.size() != first.size()) return false;
    for (std::size_t i = 0; i < m.size(); ++i) {
      if (m[i].key != first[i].key) return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!fuzz::valid_utf8(text)) return -1;

  auto doc = vardel::decode_document(text);
  if (!doc) {
    fuzz::check_decode_error(doc.error());
    return 0;
  }
  const vardel::Value& root = doc->root;
  fuzz::check_decoded(root);

  vardel::EncodeSettings settings;  // ",", 2, length markers on
  auto encoded = vardel::encode_value(root, 0, settings);
  FUZZ_CHECK_MSG(encoded.ok(), encoded.ok() ? std::string() : encoded.error().display());
  const std::string& again = *encoded;
  FUZZ_CHECK(fuzz::valid_utf8(again));
  FUZZ_CHECK(again.empty() || again.back() != '\n');

  auto redecoded = vardel::decode_document(again);
  vardel::Map want = root.as_map();
  bool list_form = false;
  for (const vardel::Member& m : want) list_form = list_form || !all_rows_share_keys(m.value);
  if (list_form) {
    // The items of a list-form array are read as ordinary lines: their members
    // land at the top level, where they may replace other entries. Only the
    // absence of a crash is checked.
    if (!redecoded) fuzz::check_decode_error(redecoded.error());
    return 0;
  }
  FUZZ_CHECK_MSG(redecoded.ok(), redecoded.ok() ? std::string()
                                                : redecoded.error().display() + " for " + fuzz::show(again));
  std::string diff = fuzz::difference_after_round_trip(root, redecoded->root);
  FUZZ_CHECK_MSG(diff.empty(), diff + " in " + fuzz::show(again));
  return 0;
}
