// Allocation-failure injection for tests.
//
// Builds made with VARDEL_TEST_HOOKS count the codec's own allocations (the
// block pool, the output buffer's growth, the containers of core/vec.h) and
// can make any one of them fail with std::bad_alloc, so that tests reach every
// path that handles running out of memory. In other builds check() is empty.
#pragma once

#include <cstdint>

namespace vardel::alloc_fault {

#ifdef VARDEL_TEST_HOOKS

// Counts allocations from zero again; the `n`th from now (1-based) fails,
// none when `n` is 0. The state is the process's: calls run one at a time.
void arm(std::uint64_t n);

// Returns the allocations counted since the last arm().
std::uint64_t count();

// Counts one allocation; throws std::bad_alloc when it is the armed one.
void check();

#else

inline void check() {}

#endif

}  // namespace vardel::alloc_fault
