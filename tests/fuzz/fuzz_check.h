// What a fuzz target does when a property fails: say which, and crash, so that the fuzzer keeps
// the input that did it.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property violated: %s\n", property);
  std::abort();
}
