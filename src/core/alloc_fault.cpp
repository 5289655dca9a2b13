#include "core/alloc_fault.h"

#ifdef VARDEL_TEST_HOOKS

#include <new>

namespace vardel::alloc_fault {

namespace {

// Plain statics: the codec runs under the interpreter lock, one call at a
// time, and a thread-local here would give the extension a dynamic TLS block,
// which LeakSanitizer (GCC 12) fails to scan at exit in processes that load
// several such modules.
std::uint64_t g_count = 0;
std::uint64_t g_fail_at = 0;

}  // namespace

void arm(std::uint64_t n) {
  g_count = 0;
  g_fail_at = n;
}

std::uint64_t count() {
  return g_count;
}

void check() {
  if (++g_count == g_fail_at) throw std::bad_alloc();
}

}  // namespace vardel::alloc_fault

#endif
