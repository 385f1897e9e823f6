// The fuzz targets' assertion: a broken invariant prints what broke and
// traps, so libFuzzer stores the input as a crash. Active in every build
// type (unlike assert, which a Release build compiles out).
#pragma once

#include <cstdio>

#define FUZZ_CHECK(condition)                                                              \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      __builtin_trap();                                                                    \
    }                                                                                      \
  } while (0)
