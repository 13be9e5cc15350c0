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
  const int row_words = shape.rowWords();
  const int control_words = shape.control_words;
  for (int m = 0; m < q.marker_count; ++m) {
    const std::uint64_t* levels = q.planes + m * q.marker_stride_words;
    std::uint32_t* out = q.counts + static_cast<long>(m) * q.counts_per_marker;
    for (int r = 0; r < q.row_count; ++r) {
      const std::uint64_t* row = q.rows + static_cast<long>(r) * row_words;
      for (int l = 0; l < q.level_count; ++l) {
        const std::uint64_t* level = levels + static_cast<long>(l) * row_words;
        std::uint32_t* cell = out + 2 * (r + l * q.level_step);
        cell[0] = andPopcount(row, level, control_words);
        cell[1] = andPopcount(row + control_words, level + control_words, shape.case_words);
      }
    }
  }
}
