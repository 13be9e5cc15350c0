#include "engine/count/kernel_dispatch.h"

#include <cstdlib>
#include <cstring>

namespace {

bool cpuSupports(SimdPath path) {
  switch (path) {
    case SimdPath::kScalar:
      return true;
    case SimdPath::kAvx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
             __builtin_cpu_supports("popcnt");
    case SimdPath::kAvx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vl") &&
             __builtin_cpu_supports("avx512vpopcntdq") && __builtin_cpu_supports("popcnt");
  }
  return false;
}

// The CPU's flags, asked once.
const bool* supportTable() {
  static const bool table[kSimdPathCount] = {
      cpuSupports(SimdPath::kScalar), cpuSupports(SimdPath::kAvx2), cpuSupports(SimdPath::kAvx512)};
  return table;
}

SimdPath bestSupportedPath() {
  if (simdPathSupported(SimdPath::kAvx512)) return SimdPath::kAvx512;
  if (simdPathSupported(SimdPath::kAvx2)) return SimdPath::kAvx2;
  return SimdPath::kScalar;
}

// The path named by GORVA_SIMD (tests only), or -1.
int pathFromEnvironment() {
  const char* name = std::getenv("GORVA_SIMD");
  if (name == nullptr) return -1;
  for (int p = 0; p < kSimdPathCount; ++p) {
    const auto path = static_cast<SimdPath>(p);
    if (std::strcmp(name, simdPathName(path)) == 0 && simdPathSupported(path)) return p;
  }
  return -1;
}

}  // namespace

const char* simdPathName(SimdPath path) {
  switch (path) {
    case SimdPath::kScalar:
      return "scalar";
    case SimdPath::kAvx2:
      return "avx2";
    case SimdPath::kAvx512:
      return "avx512";
  }
  return "?";
}

bool simdPathSupported(SimdPath path) {
  const int p = static_cast<int>(path);
  return p >= 0 && p < kSimdPathCount && supportTable()[p];
}

SimdPath activeSimdPath() {
  static const int from_environment = pathFromEnvironment();
  if (from_environment >= 0) return static_cast<SimdPath>(from_environment);
  static const SimdPath best = bestSupportedPath();
  return best;
}

int rowWordMultiple(SimdPath path) {
  switch (path) {
    case SimdPath::kAvx512:
      return 8;
    case SimdPath::kAvx2:
      return 4;
    case SimdPath::kScalar:
      break;
  }
  return 1;
}

bool countsShape(SimdPath path, const PlaneShape& shape) {
  const int multiple = rowWordMultiple(path);
  return shape.control_words % multiple == 0 && shape.case_words % multiple == 0;
}
