// The portable kernel: one 64-bit word at a time. It is the reference the
// vector kernels are tested against and the path of CPUs without AVX2. Built
// twice: with the POPCNT instruction (nearly every x86-64 CPU has it, and
// it is about five times faster than the bit tricks) and without.
#include <cstdint>

#include "engine/count/kernel_dispatch.h"
#include "engine/count/simd_targets.h"

namespace {

// Inlined into each build, where the builtin becomes that build's popcount.
__attribute__((always_inline)) inline std::uint32_t andPopcount(const std::uint64_t* a,
                                                                const std::uint64_t* b, int words) {
  std::uint32_t total = 0;
  for (int w = 0; w < words; ++w) total += static_cast<std::uint32_t>(__builtin_popcountll(a[w] & b[w]));
  return total;
}

}  // namespace

void countCellsScalar(const CountRequest& q, const PlaneShape& shape) {
  countCellsWith(q, shape, andPopcount);
}

GORVA_TARGET_POPCNT void countCellsScalarPopcnt(const CountRequest& q, const PlaneShape& shape) {
  countCellsWith(q, shape, [](const std::uint64_t* a, const std::uint64_t* b, int words)
                               GORVA_TARGET_POPCNT { return andPopcount(a, b, words); });
}
