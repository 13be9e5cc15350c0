// The portable kernel: one 64-bit word at a time. It is the reference the
// vector kernels are tested against and the path of CPUs without AVX2.
#include <bit>
#include <cstdint>

#include "engine/kernel_dispatch.h"

namespace {

std::uint32_t andPopcount(const std::uint64_t* a, const std::uint64_t* b, int words) {
  std::uint32_t total = 0;
  for (int w = 0; w < words; ++w) total += static_cast<std::uint32_t>(std::popcount(a[w] & b[w]));
  return total;
}

}  // namespace

void countCellsScalar(const CountRequest& q, const PlaneShape& shape) {
  countCellsWith(q, shape, andPopcount);
}
