// Decoder settings, made per call from a DecodeOptions.
#pragma once

namespace vardel {

struct DecodeSettings {
  char delimiter = ',';  // of arrays whose header carries no delimiter mark: ',', '\t' or '|'
  bool strict = true;    // element counts and row widths must match their headers
};

}  // namespace vardel
