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
  for (int bit = 0; bit < 64 * words; ++bit) total += ((a[bit / 64] & b[bit / 64]) >> (bit % 64)) & 1U;
  return total;
}

// Words per class; rows; levels per marker in the plane array, of them
// counted; markers; level step (0: cells of level l start at row count * l).
struct KernelCase { int control_words, case_words, rows, levels, counted_levels, markers, level_step; };

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
    {24, 24, 4, 4, 3, 2, 6},  {32, 24, 9, 3, 2, 3, 0},
};

class KernelPaths : public ::testing::TestWithParam<SimdPath> {};

void expectBitByBitCounts(CountCellsKernel kernel, const std::string& name) {
  std::mt19937_64 random(97);
  for (const KernelCase& c : kKernelCases) {
    for (double density : {0.03, 0.5, 0.97}) {
      SCOPED_TRACE(name + " words " + std::to_string(c.control_words) +
                   "+" + std::to_string(c.case_words) + " rows " + std::to_string(c.rows));
      PlaneShape shape;
      shape.control_words = c.control_words;
      shape.case_words = c.case_words;
      const int words = shape.rowWords();
      const auto rows = randomWords(random, static_cast<long>(c.rows) * words, density);
      const auto planes = randomWords(random, static_cast<long>(c.markers) * c.levels * words, density);
      // Table layout of a real search: row r, level l at cell r + l * step.
      const int step = c.level_step > 0 ? c.level_step : c.rows;
      const int table_ints = 2 * (c.rows + (c.levels - 1) * step);
      const int per_marker = table_ints + 3;
      std::vector<std::uint32_t> counts(static_cast<std::size_t>(per_marker) * c.markers, kUntouched);
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
      // Every counted (row, level) cell holds its AND count per class; every
      // other entry, past the table included, is never written.
      for (int m = 0; m < c.markers; ++m) {
        std::vector<std::uint32_t> expected(per_marker, kUntouched);
        for (int r = 0; r < c.rows; ++r) {
          for (int l = 0; l < c.counted_levels; ++l) {
            const std::uint64_t* row = rows.data() + static_cast<std::size_t>(r) * words;
            const std::uint64_t* level = planes.data() + (static_cast<std::size_t>(m) * c.levels + l) * words;
            expected[2 * (r + l * step)] = bitByBit(row, level, c.control_words);
            expected[2 * (r + l * step) + 1] =
                bitByBit(row + c.control_words, level + c.control_words, c.case_words);
          }
        }
        const auto first = counts.begin() + m * per_marker;
        EXPECT_EQ(std::vector<std::uint32_t>(first, first + per_marker), expected) << "marker " << m;
      }
    }
  }
}

TEST_P(KernelPaths, EveryCellCountMatchesABitByBitCount) {
  const SimdPath path = GetParam();
  if (!simdPathSupported(path)) GTEST_SKIP() << simdPathName(path) << " not supported by this CPU";
  expectBitByBitCounts(countCellsKernel(path), simdPathName(path));
  // The scalar path's other build, for CPUs without POPCNT.
  if (path == SimdPath::kScalar) expectBitByBitCounts(countCellsScalar, "scalar without POPCNT");
}

INSTANTIATE_TEST_SUITE_P(EverySimdPath, KernelPaths,
                         ::testing::Values(SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512),
                         [](const auto& info) { return std::string(simdPathName(info.param)); });

TEST(KernelDispatch, ChoosesTheBestSupportedPathAndHonoursTestOverrides) {
  const SimdPath paths[] = {SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512};
  std::string supported;
  for (SimdPath path : paths)
    supported += std::string(" ") + simdPathName(path) + (simdPathSupported(path) ? "=yes" : "=no");
  std::cout << "[ SIMD     ] paths on this CPU:" << supported << "\n";
  EXPECT_TRUE(simdPathSupported(SimdPath::kScalar));
  clearForcedSimdPath();
  const SimdPath chosen = activeSimdPath();
  EXPECT_TRUE(simdPathSupported(chosen));
  const SimdPath best = simdPathSupported(SimdPath::kAvx512) ? SimdPath::kAvx512
                        : simdPathSupported(SimdPath::kAvx2) ? SimdPath::kAvx2
                                                             : SimdPath::kScalar;
  EXPECT_TRUE(std::getenv("GORVA_SIMD") != nullptr || chosen == best);
  for (SimdPath path : paths) {
    EXPECT_EQ(forceSimdPath(path), simdPathSupported(path)) << simdPathName(path);
    EXPECT_TRUE(!simdPathSupported(path) || activeSimdPath() == path) << simdPathName(path);
  }
  clearForcedSimdPath();
  EXPECT_EQ(activeSimdPath(), chosen);
}

}  // namespace
