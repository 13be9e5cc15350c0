// Tests of one instruction set skip themselves on a CPU without it, which
// would let a test machine pass without ever running a kernel. Setting
// GORVA_REQUIRE_SIMD=avx2 (or avx512, which also requires avx2) turns those
// skips into failures, and every run of the tests names the paths it ran.
#ifndef GORVA_TESTS_SUPPORT_SIMD_PATHS_H
#define GORVA_TESTS_SUPPORT_SIMD_PATHS_H

#include <gtest/gtest.h>

#include "engine/count/kernel_dispatch.h"

// Whether GORVA_REQUIRE_SIMD asks for `path`.
bool simdPathRequired(SimdPath path);

// Skips the test when `runs` is false (the CPU lacks `path`), or fails it
// when the environment requires that path.
#define GORVA_SKIP_UNLESS_SIMD_PATH_RUNS(path, runs)                                                   \
  do {                                                                                                 \
    if (!(runs)) {                                                                                     \
      if (simdPathRequired(path)) FAIL() << simdPathName(path) << " is required but this CPU lacks it"; \
      GTEST_SKIP() << simdPathName(path) << " not supported by this CPU";                              \
    }                                                                                                  \
  } while (false)

#endif
