#include "core/text.h"

#include <cstring>

namespace vardel {

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    auto* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (nl == nullptr) {
      lines.emplace_back(p, static_cast<std::size_t>(end - p));
      break;
    }
    const char* stop = (nl > p && nl[-1] == '\r') ? nl - 1 : nl;
    lines.emplace_back(p, static_cast<std::size_t>(stop - p));
    p = nl + 1;
  }
  return lines;
}

}  // namespace vardel
