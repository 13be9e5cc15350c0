// Bit-planes against the byte matrix they come from, and every count table
// the cell counter forms from them against the byte-wise counting of the
// plain path, for each SIMD path this CPU runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/gorva.h"
#include "engine/bitplanes.h"
#include "engine/cell_counter.h"
#include "engine/kernel_dispatch.h"
#include "engine/unrank.h"
#include "support/oracle.h"

// Test names and failure messages show the path's name (found by argument
// lookup, so it lives beside SimdPath in the global namespace).
static void PrintTo(SimdPath path, std::ostream* out) { *out << simdPathName(path); }

namespace {

struct Bytes {
  int markers = 0;
  int samples = 0;
  std::vector<unsigned char> genotypes;
  std::vector<unsigned char> phenotypes;
};

// Random data with every second marker free of missing codes (so both the
// counted and the derived last level are exercised), one monomorphic marker
// and one copy of another marker.
Bytes mixedData(unsigned seed, int markers, int samples) {
  Dataset data = randomDataset(seed, markers, samples, 0.06);
  for (int m = 0; m < markers; m += 2) {
    for (int& code : data.genotype[m]) code = code == 3 ? 1 : code;
  }
  std::fill(data.genotype[1].begin(), data.genotype[1].end(), 2);
  data.genotype[markers - 1] = data.genotype[2];
  Bytes bytes;
  bytes.markers = markers;
  bytes.samples = samples;
  for (const std::vector<int>& marker : data.genotype) {
    for (int code : marker) bytes.genotypes.push_back(static_cast<unsigned char>(code));
  }
  for (int p : data.phenotype) bytes.phenotypes.push_back(static_cast<unsigned char>(p));
  return bytes;
}

// Every third sample left out, as "complete" leaves out incomplete ones.
std::vector<int> sampleList(int samples) {
  std::vector<int> list;
  for (int s = 0; s < samples; ++s) {
    if (s % 3 != 1) list.push_back(s);
  }
  return list;
}

bool bitAt(const std::uint64_t* row, int bit) { return (row[bit / 64] >> (bit % 64)) & 1U; }

TEST(FastBitPlanes, RowsHoldEachListedSampleUnderItsCodeAndClass) {
  Bytes data = mixedData(11, 9, 150);
  const std::vector<int> list = sampleList(data.samples);
  for (int levels : {3, 4}) {
    BitPlanes planes;
    ASSERT_TRUE(planes.build(data.genotypes.data(), data.markers, data.samples, list.data(),
                             static_cast<int>(list.size()), data.phenotypes.data(), levels));
    const PlaneShape& shape = planes.shape();
    EXPECT_EQ(shape.control_words % 8, 0);
    EXPECT_EQ(shape.case_words % 8, 0);
    int position[2] = {0, 0};
    for (int s : list) {
      const int c = data.phenotypes[s];
      const int bit = position[c]++ + (c == 1 ? shape.control_words * 64 : 0);
      EXPECT_TRUE(bitAt(planes.everyone(), bit));
      for (int m = 0; m < data.markers; ++m) {
        const int code = data.genotypes[static_cast<std::size_t>(m) * data.samples + s];
        for (int l = 0; l < levels; ++l) {
          EXPECT_EQ(bitAt(planes.marker(m) + static_cast<long>(l) * shape.rowWords(), bit),
                    code == l)
              << "marker " << m << " sample " << s << " level " << l;
        }
      }
    }
    EXPECT_EQ(planes.everyoneCounts()[0], position[0]);
    EXPECT_EQ(planes.everyoneCounts()[1], position[1]);
    // Nothing beyond the listed samples of each class, padding included.
    long set_bits = 0;
    for (int m = 0; m < data.markers; ++m) {
      int totals[2] = {0, 0};
      bool complete = true;
      for (int s : list) {
        const int code = data.genotypes[static_cast<std::size_t>(m) * data.samples + s];
        if (code >= levels) complete = false;
      }
      for (int l = 0; l < levels; ++l) {
        const std::uint64_t* row = planes.marker(m) + static_cast<long>(l) * shape.rowWords();
        for (int w = 0; w < shape.rowWords(); ++w) set_bits += __builtin_popcountll(row[w]);
        totals[0] += planes.marginals(m)[2 * l];
        totals[1] += planes.marginals(m)[2 * l + 1];
      }
      EXPECT_EQ(planes.complete(m), complete) << "marker " << m;
      if (complete) {
        EXPECT_EQ(totals[0], position[0]);
        EXPECT_EQ(totals[1], position[1]);
      }
    }
    long expected_bits = 0;
    for (int m = 0; m < data.markers; ++m) {
      for (int s : list)
        expected_bits += data.genotypes[static_cast<std::size_t>(m) * data.samples + s] < levels;
    }
    EXPECT_EQ(set_bits, expected_bits);
  }
}

class FastCellTables : public ::testing::TestWithParam<SimdPath> {};

// Walks every order 1..4 in lists of several lengths (so runs start and end
// inside lists) and compares each table with the byte-wise counting.
TEST_P(FastCellTables, EveryTableEqualsTheByteWiseCount) {
  const SimdPath path = GetParam();
  if (!simdPathSupported(path)) GTEST_SKIP() << simdPathName(path) << " not supported by this CPU";
  Bytes data = mixedData(23, 12, 130);
  std::vector<int> list = sampleList(data.samples);
  for (int levels : {3, 4}) {
    BitPlanes planes;
    ASSERT_TRUE(planes.build(data.genotypes.data(), data.markers, data.samples, list.data(),
                             static_cast<int>(list.size()), data.phenotypes.data(), levels));
    for (int order = 1; order <= 4; ++order) {
      CellCounter counter(planes, order, countCellsKernel(path));
      const int cells = counter.cells();
      std::vector<int> multipliers(order);
      std::vector<int> offsets(order);
      multipliers[0] = 2;
      for (int j = 1; j < order; ++j) multipliers[j] = multipliers[j - 1] * levels;
      std::vector<double> scores(data.samples, 0.0);
      std::vector<double> sums(2 * cells, 0.0);
      for (int capacity : {5, 64, 1000}) {
        std::vector<int> state(order, -1);
        std::vector<int> batch(static_cast<std::size_t>(capacity) * order);
        long checked = 0;
        for (;;) {
          int count = 0;
          int k = order;
          int n = data.markers;
          combSNP(&k, &n, &capacity, state.data(), &count, batch.data());
          if (count == 0) break;
          std::vector<int> seen(count, 0);
          auto expectByteWiseTables = [&](int first, int stretch, int* tables) {
            for (int i = first; i < first + stretch; ++i) {
              const int* table = tables + static_cast<std::size_t>(i - first) * 2 * cells;
              ++seen[i];
              std::vector<int> expected(2 * cells, 0);
              for (int j = 0; j < order; ++j)
                offsets[j] = batch[static_cast<std::size_t>(i) * order + j] * data.samples;
              int cases = 0;
              int controls = 0;
              countTable_none(multipliers.data(), offsets.data(), order, levels, list.data(),
                              static_cast<int>(list.size()), data.genotypes.data(), data.markers,
                              data.phenotypes.data(), data.samples, &cases, &controls,
                              scores.data(), sums.data(), expected.data());
              EXPECT_EQ(std::vector<int>(table, table + 2 * cells), expected)
                  << simdPathName(path) << " levels " << levels << " order " << order
                  << " combination " << i << " of a list of " << count;
              ++checked;
            }
            return true;
          };
          counter.forEach(batch.data(), count, expectByteWiseTables);
          EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), count) << "each combination once";
          // Told only the first combination, the counter walks the same ones.
          counter.forEachFrom(batch.data(), count, expectByteWiseTables);
          EXPECT_EQ(std::count(seen.begin(), seen.end(), 2), count) << "each combination once more";
          std::vector<int> combination(order);
          for (int i = 0; i < count; ++i) {
            counter.combinationAt(i, combination.data());
            EXPECT_TRUE(std::equal(combination.begin(), combination.end(),
                                   batch.begin() + static_cast<long>(i) * order))
                << "combination " << i;
          }
        }
        EXPECT_EQ(checked, 2 * combinationCount(data.markers, order));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EverySimdPath, FastCellTables,
                         ::testing::Values(SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512),
                         [](const auto& info) { return std::string(simdPathName(info.param)); });

}  // namespace
