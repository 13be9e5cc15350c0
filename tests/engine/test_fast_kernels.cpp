// The AND + popcount kernels of every SIMD path this CPU runs, against a
// bit-by-bit count, and the run-time choice among the paths.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "engine/kernel_dispatch.h"

// Test names and failure messages show the path's name (found by argument
// lookup, so it lives beside SimdPath in the global namespace).
static void PrintTo(SimdPath path, std::ostream* out) { *out << simdPathName(path); }

namespace {

constexpr std::uint32_t kUntouched = 0xDEADBEEF;

// Random rows with a given density of set bits, padding words included (the
// kernels must count exactly the words they are given).
std::vector<std::uint64_t> randomWords(std::mt19937_64& random, long count, double density) {
  std::bernoulli_distribution bit(density);
  std::vector<std::uint64_t> words(count);
  for (std::uint64_t& word : words) {
    for (int b = 0; b < 64; ++b) word |= static_cast<std::uint64_t>(bit(random)) << b;
  }
  return words;
}

std::uint32_t bitByBit(const std::uint64_t* a, const std::uint64_t* b, int words) {
  std::uint32_t total = 0;
  for (int w = 0; w < words; ++w) {
    for (int bit = 0; bit < 64; ++bit) total += ((a[w] & b[w]) >> bit) & 1U;
  }
  return total;
}

struct KernelCase {
  int control_words;
  int case_words;
  int rows;
  int levels;  // rows per marker in the plane array
  int counted_levels;
  int markers;
  int level_step;  // cells of level l start at row count * l when 0
};

// Shapes of every order's requests (one row, the prefix rows of orders 2-4,
// one level fewer counted, rows fewer than the level step as when a first
// marker's last level is derived), with every vector count from 0 to 9 per
// class, balanced or not.
const KernelCase kKernelCases[] = {
    {8, 8, 3, 3, 3, 4, 0},    {8, 8, 3, 3, 2, 5, 0},   {16, 8, 1, 3, 3, 2, 0},
    {0, 8, 2, 4, 4, 3, 0},    {8, 0, 5, 3, 2, 2, 0},   {24, 16, 9, 3, 3, 3, 0},
    {32, 40, 27, 4, 3, 2, 0}, {8, 8, 1, 1, 1, 1, 0},   {0, 0, 2, 3, 3, 2, 0},
    {64, 8, 4, 4, 4, 2, 0},   {16, 16, 2, 3, 3, 3, 3}, {16, 16, 2, 3, 2, 4, 3},
    {16, 24, 3, 4, 3, 2, 4},  {32, 32, 9, 3, 2, 2, 0}, {24, 32, 9, 3, 3, 2, 0},
    {16, 16, 3, 3, 3, 3, 0},  {8, 16, 2, 3, 2, 3, 3},  {72, 64, 3, 3, 3, 2, 0},
    {24, 8, 3, 3, 3, 2, 0},   {16, 16, 5, 4, 4, 2, 0}, {8, 16, 27, 3, 3, 2, 0},
    {24, 24, 4, 4, 3, 2, 6},
};

class KernelPaths : public ::testing::TestWithParam<SimdPath> {};

TEST_P(KernelPaths, EveryCellCountMatchesABitByBitCount) {
  const SimdPath path = GetParam();
  if (!simdPathSupported(path)) GTEST_SKIP() << simdPathName(path) << " not supported by this CPU";
  const CountCellsKernel kernel = countCellsKernel(path);
  std::mt19937_64 random(97);
  for (const KernelCase& c : kKernelCases) {
    for (double density : {0.03, 0.5, 0.97}) {
      PlaneShape shape;
      shape.control_words = c.control_words;
      shape.case_words = c.case_words;
      const int words = shape.rowWords();
      const std::vector<std::uint64_t> rows =
          randomWords(random, static_cast<long>(c.rows) * words, density);
      const std::vector<std::uint64_t> planes =
          randomWords(random, static_cast<long>(c.markers) * c.levels * words, density);
      // Table layout of a real search: row r, level l at cell r + l * step.
      const int step = c.level_step > 0 ? c.level_step : c.rows;
      const int table_ints = 2 * (c.rows + (c.levels - 1) * step);
      const int per_marker = table_ints + 3;
      std::vector<std::uint32_t> counts(static_cast<std::size_t>(per_marker) * c.markers,
                                        kUntouched);
      CountRequest request;
      request.rows = rows.data();
      request.row_count = c.rows;
      request.planes = planes.data();
      request.marker_count = c.markers;
      request.marker_stride_words = static_cast<long>(c.levels) * words;
      request.level_count = c.counted_levels;
      request.level_step = step;
      request.counts_per_marker = per_marker;
      request.counts = counts.data();
      kernel(request, shape);

      for (int m = 0; m < c.markers; ++m) {
        std::vector<bool> cell_used(table_ints / 2, false);
        for (int r = 0; r < c.rows; ++r) {
          for (int l = 0; l < c.levels; ++l) {
            const std::uint64_t* row = rows.data() + static_cast<std::size_t>(r) * words;
            const std::uint64_t* level =
                planes.data() + (static_cast<std::size_t>(m) * c.levels + l) * words;
            cell_used[r + l * step] = true;
            const std::uint32_t* cell =
                &counts[static_cast<std::size_t>(m) * per_marker + 2 * (r + l * step)];
            const std::string where =
                std::string(simdPathName(path)) + " case " + std::to_string(c.control_words) + "+" +
                std::to_string(c.case_words) + " marker " + std::to_string(m) + " row " +
                std::to_string(r) + " level " + std::to_string(l);
            if (l >= c.counted_levels) {
              EXPECT_EQ(cell[0], kUntouched) << where;
              EXPECT_EQ(cell[1], kUntouched) << where;
              continue;
            }
            EXPECT_EQ(cell[0], bitByBit(row, level, c.control_words)) << where;
            EXPECT_EQ(cell[1],
                      bitByBit(row + c.control_words, level + c.control_words, c.case_words))
                << where;
          }
        }
        // Cells of no (row, level) pair and entries past the table are never written.
        for (int e = 0; e < per_marker; ++e) {
          if (e < table_ints && cell_used[e / 2]) continue;
          EXPECT_EQ(counts[static_cast<std::size_t>(m) * per_marker + e], kUntouched)
              << "entry " << e;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EverySimdPath, KernelPaths,
                         ::testing::Values(SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512),
                         [](const auto& info) { return std::string(simdPathName(info.param)); });

TEST(KernelDispatch, ChoosesTheBestSupportedPathAndHonoursTestOverrides) {
  std::string supported;
  for (SimdPath path : {SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512}) {
    supported += std::string(" ") + simdPathName(path) + (simdPathSupported(path) ? "=yes" : "=no");
  }
  std::cout << "[ SIMD     ] paths on this CPU:" << supported << "\n";

  EXPECT_TRUE(simdPathSupported(SimdPath::kScalar));
  clearForcedSimdPath();
  const SimdPath chosen = activeSimdPath();
  EXPECT_TRUE(simdPathSupported(chosen));
  if (std::getenv("GORVA_SIMD") == nullptr) {
    const SimdPath best = simdPathSupported(SimdPath::kAvx512) ? SimdPath::kAvx512
                          : simdPathSupported(SimdPath::kAvx2) ? SimdPath::kAvx2
                                                               : SimdPath::kScalar;
    EXPECT_EQ(chosen, best);
  }
  for (SimdPath path : {SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512}) {
    EXPECT_EQ(forceSimdPath(path), simdPathSupported(path)) << simdPathName(path);
    if (simdPathSupported(path)) {
      EXPECT_EQ(activeSimdPath(), path);
    }
  }
  ASSERT_TRUE(forceSimdPath(SimdPath::kScalar));
  clearForcedSimdPath();
  EXPECT_EQ(activeSimdPath(), chosen);
}

}  // namespace
