// A minimal check harness for the C++ unit tests: CHECK records a failure and
// goes on, so one run reports every broken case; main returns non-zero when
// any check failed. Each test file is its own ctest program.
#pragma once

#include <cstdio>
#include <string>

namespace vardel::testing {

inline int& failures() {
  static int n = 0;
  return n;
}

inline void report(const char* file, int line, const std::string& what) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
  ++failures();
}

// Returns the exit status of a test program: 0 when every check held.
inline int finish(const char* name) {
  if (failures() == 0) {
    std::printf("%s: all checks passed\n", name);
    return 0;
  }
  std::fprintf(stderr, "%s: %d check(s) failed\n", name, failures());
  return 1;
}

}  // namespace vardel::testing

#define CHECK(cond)                                                    \
  do {                                                                 \
    if (!(cond)) ::vardel::testing::report(__FILE__, __LINE__, #cond); \
  } while (0)

// Like CHECK, with a note (the case's name or input) in the report.
#define CHECK_CASE(cond, note)                                                        \
  do {                                                                                \
    if (!(cond))                                                                      \
      ::vardel::testing::report(__FILE__, __LINE__,                                   \
                                std::string(#cond) + " [" + std::string(note) + "]"); \
  } while (0)
