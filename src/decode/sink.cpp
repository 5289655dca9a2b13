#include "decode/sink.h"

#include "decode/reader.h"

namespace vardel {

bool Sink::row(const Row& row) {
  if (!begin_object(KeyOrder::AsRead)) return false;
  for (std::size_t c : row.columns)
    if (!key(row.keys[c]) || !decoder::report(*this, row.cells[c])) return false;
  return end_object();
}

}  // namespace vardel
