// FUZZ_CHECK: an invariant of a fuzz target. A broken one is a finding, so it
// ends the run the way a crash does, and libFuzzer saves the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, what)                                          \
  do {                                                                       \
    if (!(condition)) {                                                      \
      std::fprintf(stderr, "invariant broken: %s (%s)\n", what, #condition); \
      std::abort();                                                          \
    }                                                                        \
  } while (false)
