// The AND + popcount kernels of every SIMD path this CPU runs, against a
// bit-by-bit count, and the run-time choice among the paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "engine/count/bitplanes.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/count/missing_pair_counts.h"
#include "engine/count/nibble_pair_counts.h"
#include "engine/count/pair_free_counts.h"
#include "engine/count/information_gain_bound.h"
#include "engine/count/path_kernels.h"
#include "support/simd_paths.h"

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
// class, balanced or not, and a small class beside one of thousands of
// samples (whose vector counts once reached another shape's compiled
// kernel).
const KernelCase kKernelCases[] = {
    {8, 8, 3, 3, 3, 4, 0},    {8, 8, 3, 3, 2, 5, 0},   {16, 8, 1, 3, 3, 2, 0},
    {0, 8, 2, 4, 4, 3, 0},    {8, 0, 5, 3, 2, 2, 0},   {24, 16, 9, 3, 3, 3, 0},
    {32, 40, 27, 4, 3, 2, 0}, {8, 8, 1, 1, 1, 1, 0},   {0, 0, 2, 3, 3, 2, 0},
    {64, 8, 4, 4, 4, 2, 0},   {16, 16, 2, 3, 3, 3, 3}, {16, 16, 2, 3, 2, 4, 3},
    {16, 24, 3, 4, 3, 2, 4},  {32, 32, 9, 3, 2, 2, 0}, {24, 32, 9, 3, 3, 2, 0},
    {16, 16, 3, 3, 3, 3, 0},  {8, 16, 2, 3, 2, 3, 3},  {72, 64, 3, 3, 3, 2, 0},
    {24, 8, 3, 3, 3, 2, 0},   {16, 16, 5, 4, 4, 2, 0}, {8, 16, 27, 3, 3, 2, 0},
    {24, 24, 4, 4, 3, 2, 6},  {32, 24, 9, 3, 2, 3, 0},  {8, 144, 3, 3, 3, 2, 0},
    {8, 80, 2, 2, 2, 2, 0},   {8, 264, 3, 3, 3, 2, 0},  {8, 264, 1, 3, 3, 2, 0},
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
  GORVA_SKIP_UNLESS_SIMD_PATH_RUNS(path, simdPathSupported(path));
  expectBitByBitCounts(pathKernels(path).count_cells, simdPathName(path));
  // The scalar path's other build, for CPUs without POPCNT.
  if (path == SimdPath::kScalar) expectBitByBitCounts(countCellsScalar, "scalar without POPCNT");
}

// The transposition that turns rows sample-major, on random blocks of
// several densities and on single bits (a bit sent to the wrong word or
// position shows up in one of them).
TEST_P(KernelPaths, TransposesEveryBitOfABlock) {
  const SimdPath path = GetParam();
  GORVA_SKIP_UNLESS_SIMD_PATH_RUNS(path, simdPathSupported(path));
  const TransposeBitsKernel transpose = pathKernels(path).missing_pairs.transpose_bits;
  std::mt19937_64 random(61);
  std::vector<std::vector<std::uint64_t>> blocks;
  for (const double density : {0.02, 0.5, 0.97}) blocks.push_back(randomWords(random, 64, density));
  for (const int bit : {0, 7, 63, 64 * 5 + 40, 64 * 63 + 1, 64 * 64 - 1}) {
    std::vector<std::uint64_t> one(64, 0);
    one[bit / 64] = std::uint64_t{1} << (bit % 64);
    blocks.push_back(one);
  }
  for (const std::vector<std::uint64_t>& block : blocks) {
    alignas(64) std::uint64_t turned[64];
    std::copy(block.begin(), block.end(), turned);
    transpose(turned);
    for (int i = 0; i < 64; ++i) {
      for (int t = 0; t < 64; ++t)
        ASSERT_EQ((turned[t] >> i) & 1, (block[i] >> t) & 1) << "bit " << t << " of word " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EverySimdPath, KernelPaths,
                         ::testing::Values(SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512),
                         [](const auto& info) { return std::string(simdPathName(info.param)); });

// Complete 3-level markers (one-hot level rows) over classes of `controls`
// and `cases` samples, each class's words padded to whole 8-word blocks.
struct CompleteMarkers {
  PlaneShape shape;
  int markers = 0;
  std::vector<int> genotype;  // marker-major, controls first
  std::vector<std::uint64_t> planes;
  std::vector<int> levels[4];  // levels 0 and 1 per class: PairTotals' arrays, padded
};

CompleteMarkers completeMarkers(std::mt19937_64& random, int markers, int controls, int cases) {
  CompleteMarkers data;
  data.markers = markers;
  data.shape.control_words = (controls + 511) / 512 * 8;
  data.shape.case_words = (cases + 511) / 512 * 8;
  const int words = data.shape.rowWords();
  const int samples = controls + cases;
  data.planes.assign(static_cast<std::size_t>(markers) * 3 * words, 0);
  for (auto& level : data.levels) level.assign(markers + 16, 0);
  std::uniform_int_distribution<int> genotype(0, 2);
  for (int m = 0; m < markers; ++m) {
    for (int s = 0; s < samples; ++s) {
      const int g = genotype(random);
      const int c = s < controls ? 0 : 1;
      const int bit = c == 0 ? s : data.shape.control_words * 64 + (s - controls);
      data.genotype.push_back(g);
      data.planes[(static_cast<std::size_t>(m) * 3 + g) * words + bit / 64] |= std::uint64_t{1} << (bit % 64);
      if (g < 2) ++data.levels[2 * g + c][m];
    }
  }
  return data;
}

// The free-cell kernels, as the fused walks call them: four prefix rows
// against two levels (order 3) and three against three (pairs counted
// whole) against a bit-by-bit count; pairs (first, m), m in [first + 1,
// markers), through each pair's completed table against the table counted
// sample by sample, and its IG bound (from free counts and from the pair
// counted whole) against the portable bound of that table; on classes of
// unequal size, with partial words, a partial last group of four, and
// stretches long enough for the passes over several pairs of groups.
TEST(PairFreeCells, CountsTablesAndBoundsMatchACountOfEverySample) {
  std::mt19937_64 random(31);
  struct Kernel { const char* name; PairCountKernel count; };
  std::vector<Kernel> kernels = {{"scalar", countPairFreeCellsScalar}};
  if (__builtin_cpu_supports("popcnt")) kernels.push_back({"scalar popcnt", countPairFreeCellsScalarPopcnt});
  if (simdPathSupported(SimdPath::kAvx2)) kernels.push_back({"avx2", countPairFreeCellsAvx2});
  if (simdPathSupported(SimdPath::kAvx512)) kernels.push_back({"avx512", countPairFreeCellsAvx512});
  struct Shape { int markers, controls, cases; };
  for (const Shape shape : {Shape{13, 1000, 1000}, Shape{11, 300, 700}, Shape{6, 1500, 90}, Shape{61, 1000, 1000}, Shape{47, 450, 700}}) {
    const CompleteMarkers data = completeMarkers(random, shape.markers, shape.controls, shape.cases);
    const int words = data.shape.rowWords();
    const int samples = shape.controls + shape.cases;
    for (const int first : {0, 2, 5}) {
      const int base = (first + 1) / kPairLanes * kPairLanes;  // aligned, as the walk packs
      const int groups = (data.markers - 1 - base) / kPairLanes + 1;
      AlignedWords aligned;
      ASSERT_TRUE(aligned.reset(static_cast<long>(kPackedLevels) * groups * words * kPairLanes));
      packPairGroups(MarkerRows{data.planes.data(), 3L * words, words}, base, data.markers, groups,
                     aligned.data());
      PairTotals totals;
      std::vector<int> first_levels(6);
      for (int s = 0; s < samples; ++s) {
        const int g = data.genotype[static_cast<std::size_t>(first) * samples + s];
        ++first_levels[2 * g + (s < shape.controls ? 0 : 1)];
      }
      totals.first_levels = first_levels.data();
      for (int e = 0; e < 4; ++e) totals.second_levels[e] = data.levels[e].data();
      totals.controls = shape.controls;
      totals.cases = shape.cases;
      for (const Kernel& kernel : kernels) {
        SCOPED_TRACE(std::string(kernel.name) + " markers " + std::to_string(data.markers) +
                     " first " + std::to_string(first));
        const int pairs = (groups * kPairLanes + kPairBlock - 1) / kPairBlock * kPairBlock;
        std::vector<int> counts(static_cast<std::size_t>(pairs) * 8, -1);
        PairCountRequest request;
        for (int l = 0; l < 2; ++l)
          request.rows[l] = data.planes.data() + (static_cast<std::size_t>(first) * 3 + l) * words;
        request.packed = aligned.data();
        request.groups = groups;
        request.counts = counts.data();
        kernel.count(request, data.shape);
        // Four prefix rows against two levels (order 3) and three against
        // three (pairs counted whole): any rows, counted bit by bit.
        for (const int levels : {2, 3}) {
          PairCountRequest wide = request;
          wide.row_count = levels == 2 ? 4 : 3;
          wide.level_count = levels;
          for (int r = 0; r < wide.row_count; ++r)
            wide.rows[r] = data.planes.data() + static_cast<std::size_t>(r + 1) * words;
          const int per = 2 * wide.row_count * levels;
          std::vector<int> wide_counts(static_cast<std::size_t>(pairs) * per, -1);
          wide.counts = wide_counts.data();
          kernel.count(wide, data.shape);
          for (int m = base; m < data.markers; ++m) {
            for (int r = 0; r < wide.row_count; ++r) {
              for (int l = 0; l < levels; ++l) {
                const std::uint64_t* level = data.planes.data() + (static_cast<std::size_t>(m) * 3 + l) * words;
                const int at = freeCount(wide.row_count, r, l, 0);
                EXPECT_EQ(wide_counts[freeCountAt(per, m - base, at)],
                          static_cast<int>(bitByBit(wide.rows[r], level, data.shape.control_words)));
                EXPECT_EQ(wide_counts[freeCountAt(per, m - base, at + 1)],
                          static_cast<int>(bitByBit(wide.rows[r] + data.shape.control_words,
                                                    level + data.shape.control_words, data.shape.case_words)));
              }
            }
          }
        }
        std::vector<int> tables;
        for (int m = std::max(base, first + 1); m < data.markers; ++m) {
          std::vector<int> expected(18, 0);
          for (int s = 0; s < samples; ++s) {
            const int cell = data.genotype[static_cast<std::size_t>(first) * samples + s] +
                             3 * data.genotype[static_cast<std::size_t>(m) * samples + s];
            ++expected[2 * cell + (s < shape.controls ? 0 : 1)];
          }
          std::vector<int> table(18, -1);
          completePairTable(counts.data(), m - base, totals, m, table.data());
          EXPECT_EQ(table, expected) << "pair " << first << ", " << m;
          tables.insert(tables.end(), table.begin(), table.end());
        }
        PairBoundRequest bound;
        bound.counts = counts.data();
        bound.pairs = data.markers - base;
        bound.totals = totals;
        bound.first_second = base;
        bound.bound.cells = 9;
        bound.bound.q = roundedFraction(static_cast<double>(shape.cases) / samples);
        bound.bound.divergence_factor = divergenceFactor(bound.bound.q);
        BoundRequest portable = bound.bound;
        portable.tables = tables.data();
        portable.count = static_cast<int>(tables.size() / 18);
        portable.stride = 18;
        std::vector<double> expected(portable.count);
        informationGainBoundsScalar(portable, expected.data());
        const int skipped = std::max(base, first + 1) - base;
        std::vector<PairInformationGainBounds> versions = {pairInformationGainBoundsScalar};
        if (simdPathSupported(SimdPath::kAvx2)) versions.push_back(pairInformationGainBoundsAvx2);
        if (simdPathSupported(SimdPath::kAvx512)) versions.push_back(pairInformationGainBoundsAvx512);
        // The same pairs counted whole, bounded from their own totals.
        PairCountRequest whole = request;
        whole.row_count = 3;
        whole.level_count = 3;
        whole.rows[2] = data.planes.data() + (static_cast<std::size_t>(first) * 3 + 2) * words;
        std::vector<int> whole_counts(static_cast<std::size_t>(pairs) * kWholePairCounts, -1);
        whole.counts = whole_counts.data();
        kernel.count(whole, data.shape);
        PairBoundRequest whole_bound = bound;
        whole_bound.counts = whole_counts.data();
        whole_bound.whole = true;
        for (const PairInformationGainBounds version : versions) {
          for (const PairBoundRequest& pair_bound : {bound, whole_bound}) {
            std::vector<double> bounds(pairs, -1.0);
            version(pair_bound, bounds.data());
            for (int j = 0; j < portable.count; ++j)
              EXPECT_NEAR(bounds[skipped + j], expected[j], 0x1p-10 * expected[j] + 1e-12)
                  << "pair " << j << (pair_bound.whole ? " whole" : "");
          }
        }
      }
    }
  }
}

// The nibble kernel of the order-2 walk, its free cells (blocks packed with
// 2 levels or 3) and whole pairs: every count of every pair against a
// bit-by-bit count of the unsplit rows, for stretches starting at any group
// of a packed block (a step may read the group after the block), on partial
// and unequal class words, sparse rows and rows dense enough to fill the
// byte counters up to their fold. A CPU with AVX2 must be offered the
// kernel.
TEST(NibblePairCells, EveryCountMatchesABitByBitCount) {
  GORVA_SKIP_UNLESS_SIMD_PATH_RUNS(SimdPath::kAvx2, simdPathSupported(SimdPath::kAvx2));
  const NibblePairKernel kernel = pathKernels(SimdPath::kAvx2).nibble_pairs;
  ASSERT_NE(kernel, nullptr);
  std::mt19937_64 random(53);
  struct Shape { int control_words, case_words, markers; };
  for (const Shape shape : {Shape{16, 16, 23}, Shape{8, 24, 13}, Shape{40, 8, 9}, Shape{0, 8, 6}}) {
    PlaneShape planes_shape;
    planes_shape.control_words = shape.control_words;
    planes_shape.case_words = shape.case_words;
    const int words = planes_shape.rowWords();
    for (const double density : {0.03, 0.5, 0.99}) {
      const auto planes = randomWords(random, 3L * shape.markers * words, density);
      const int groups = (shape.markers + kPairLanes - 1) / kPairLanes;
      for (const int packed_levels : {2, 3}) {
        AlignedWords packed;
        ASSERT_TRUE(packed.reset(nibbleGroupsWords(packed_levels, groups, words)));
        packNibbleGroups(MarkerRows{planes.data(), 3L * words, words}, packed_levels, 0, shape.markers,
                         groups, packed.data());
        std::vector<std::uint64_t> rows(static_cast<std::size_t>(kMaxNibbleRows) * words);
        for (int first = 0; first < shape.markers; first += 5) {
          nibbleRows(planes.data() + 3L * first * words, packed_levels, words, rows.data());
          for (const bool whole : {false, true}) {
            if (whole && packed_levels < 3) continue;
            const int levels = whole ? 3 : 2;
            const int per = 2 * levels * levels;
            for (int from_group = 0; from_group < groups; from_group += 3) {
              SCOPED_TRACE("words " + std::to_string(shape.control_words) + "+" +
                           std::to_string(shape.case_words) + " density " + std::to_string(density) +
                           " packed " + std::to_string(packed_levels) + " whole " + std::to_string(whole) +
                           " first " + std::to_string(first) + " group " + std::to_string(from_group));
              const int n = groups - from_group;
              std::vector<int> counts(static_cast<std::size_t>(n + 2) * kPairLanes * per, -1);
              NibblePairRequest request;
              request.rows = rows.data();
              request.packed = packed.data() + from_group * nibbleGroupWords(packed_levels, words);
              request.packed_levels = packed_levels;
              request.whole = whole;
              request.groups = n;
              request.counts = counts.data();
              kernel(request, planes_shape);
              for (int m = kPairLanes * from_group; m < shape.markers; ++m) {
                const long p = m - kPairLanes * from_group;
                for (int a = 0; a < levels; ++a) {
                  for (int b = 0; b < levels; ++b) {
                    const std::uint64_t* x = planes.data() + (3L * first + a) * words;
                    const std::uint64_t* y = planes.data() + (3L * m + b) * words;
                    const int k = 2 * (a + levels * b);
                    ASSERT_EQ(counts[freeCountAt(per, p, k)], static_cast<int>(bitByBit(x, y, shape.control_words)))
                        << m;
                    ASSERT_EQ(counts[freeCountAt(per, p, k + 1)],
                              static_cast<int>(bitByBit(x + shape.control_words, y + shape.control_words,
                                                        shape.case_words)))
                        << m;
                  }
                }
              }
            }
          }
        }
      }
    }
  }
}

TEST(KernelDispatch, ChoosesTheBestSupportedPath) {
  const SimdPath paths[] = {SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512};
  std::string supported;
  for (SimdPath path : paths)
    supported += std::string(" ") + simdPathName(path) + (simdPathSupported(path) ? "=yes" : "=no");
  std::cout << "[ SIMD     ] paths on this CPU:" << supported << "\n";
  EXPECT_TRUE(simdPathSupported(SimdPath::kScalar));
  const SimdPath chosen = activeSimdPath();
  EXPECT_TRUE(simdPathSupported(chosen));
  const SimdPath best = simdPathSupported(SimdPath::kAvx512) ? SimdPath::kAvx512
                        : simdPathSupported(SimdPath::kAvx2) ? SimdPath::kAvx2
                                                             : SimdPath::kScalar;
  EXPECT_TRUE(std::getenv("GORVA_SIMD") != nullptr || chosen == best);
}

}  // namespace
