// The association test on hand-counted tables: G over Williams' divisor,
// sparse cells pooled by their totals, strata summed, a stratum with one
// class or one group adding nothing; and the ranking key of a p-value.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/count/kernel_dispatch.h"
#include "engine/count/path_kernels.h"
#include "engine/count/strata_test_bound.h"
#include "engine/rank/table_test.h"
#include "support/simd_paths.h"

namespace {

// (controls, cases) per cell, three cells per stratum.
// Stratum 1: G = 2 (30 ln 1.5 + 10 ln 0.5 + 20 ln(2/3) + 40 ln(4/3)) = 17.2609243,
//   q = 1 + 3 (100 (1/40 + 1/60) - 1) / 600 = 1.0158333: 16.9918861 on 1 df.
// Stratum 2: the third cell (10 samples) expects under 5 of the rarer class
//   (94 of 190): pooled, and still sparse, it joins the first of the two
//   equal others: (49, 51) against (45, 45), G / q = 0.0188006 on 1 df.
// Stratum 3: controls only.
const std::vector<int> kStrata = {30, 10, 20, 40, 0, 0,  //
                                  45, 45, 45, 45, 4, 6,  //
                                  5, 0, 7, 0, 0, 0};

TEST(AssociationTest, WilliamsCorrectedGOverPooledCellsSummedOverStrata) {
  TableTest test = associationTest(kStrata.data(), 1, 3);
  EXPECT_EQ(test.df, 1);
  EXPECT_NEAR(test.statistic, 16.9918861, 1e-6);
  EXPECT_NEAR(test.p_value, std::erfc(std::sqrt(test.statistic / 2)), 1e-12);

  test = associationTest(kStrata.data() + 6, 1, 3);
  EXPECT_EQ(test.df, 1);
  EXPECT_NEAR(test.statistic, 0.0188006, 1e-6);

  test = associationTest(kStrata.data(), 3, 3);
  EXPECT_EQ(test.df, 2);
  EXPECT_NEAR(test.statistic, 17.0106868, 1e-6);
  EXPECT_NEAR(test.p_value, std::exp(-test.statistic / 2), 1e-12);  // 2 df
  EXPECT_NEAR(pValueKey(test), test.statistic / 2, 1e-9);

  // Six samples: every cell sparse, one group, nothing to test.
  const int tiny[] = {2, 1, 1, 2, 0, 0};
  test = associationTest(tiny, 1, 3);
  EXPECT_EQ(test.df, 0);
  EXPECT_TRUE(std::isnan(test.p_value));
  EXPECT_TRUE(std::isnan(pValueKey(test)));
}

TEST(AssociationTest, TheStatisticReachingAKeyHasThatKey) {
  for (const int df : {1, 7})
    for (const double key : {0.5, 3.0, 40.0, 600.0}) {
      const double statistic = statisticReachingKey(key, df);
      EXPECT_NEAR(pValueKey(TableTest{statistic, df, 0}), key, 1e-9 * key) << key << " on " << df;
    }
}

// The search rules tables out by the degrees of freedom they have at least.
TEST(AssociationTest, TheDegreesOfFreedomAtLeastNeverExceedTheTests) {
  std::mt19937 random(3);
  std::vector<int> table(54);
  int below = 0;
  for (int trial = 0; trial < 2000; ++trial) {
    const int scale = 1 + trial % 40;
    for (int& count : table) count = std::uniform_int_distribution<int>(0, scale)(random) * (random() % 3 != 0);
    const int df = associationShape(table.data(), 27).df;
    if (df < 1) continue;
    EXPECT_LE(associationDfAtLeast(table.data(), 27), df);
    below += associationDfAtLeast(table.data(), 27) < df ? 1 : 0;
  }
  EXPECT_GT(below, 0) << "no table pooled into a group of its own: pick other tables";
}

// The searches test only tables whose bound may reach a cut: on every
// path the bound must hold over every table (sparse, pooled into a group
// of its own or merged, one class in a group, one class in a stratum,
// more strata than a register's lanes, more cells than order 3's), give
// the test's degrees of
// freedom, and be close on tables near independence, or nothing is ruled
// out.
class StrataTestBoundPaths : public ::testing::TestWithParam<SimdPath> {};

TEST_P(StrataTestBoundPaths, HoldsGivesTheTestsDfAndIsCloseNearIndependence) {
  const SimdPath path = GetParam();
  GORVA_SKIP_UNLESS_SIMD_PATH_RUNS(path, simdPathSupported(path));
  const StrataTestBoundKernel bound_of = pathKernels(path).strata_test_bound;
  std::mt19937 random(11);
  std::vector<int> tables(20 * 2 * 64);
  double null_statistics = 0;
  double null_bounds = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    const int strata = 1 + trial % 20;
    const int cells = trial % 3 == 0 ? 27 : trial % 7 == 0 ? 64 : 9;
    const bool null_like = trial % 4 < 2;
    for (int c = 0; c < strata * cells; ++c) {
      if (null_like) {
        const int total = std::uniform_int_distribution<int>(0, 120)(random);
        const int cases = std::binomial_distribution<int>(total, 0.4)(random);
        tables[2 * c] = total - cases;
        tables[2 * c + 1] = cases;
      } else {
        const int scale = 1 + trial % 50;
        for (int y = 0; y < 2; ++y)
          tables[2 * c + y] = std::uniform_int_distribution<int>(0, scale)(random) * (random() % 3 != 0);
      }
    }
    const TableTest test = associationStatistic(tables.data(), strata, cells);
    const StrataTestBound bound = bound_of(tables.data(), strata, cells);
    ASSERT_EQ(bound.df, test.df) << "trial " << trial;
    ASSERT_GE(bound.statistic, test.statistic * (1 - 1e-12)) << "trial " << trial;
    if (null_like) {
      null_statistics += test.statistic;
      null_bounds += bound.statistic;
    }
  }
  EXPECT_LT(null_bounds, 1.04 * null_statistics);
}

INSTANTIATE_TEST_SUITE_P(EverySimdPath, StrataTestBoundPaths,
                         ::testing::Values(SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512),
                         [](const auto& info) { return std::string(simdPathName(info.param)); });

// Tables of orders 1 to 3 are tested on the stack, larger ones on the
// heap: empty cells change neither, so a table and the same table with
// empty cells past the 27th test the same, bit for bit, sparse cells
// pooled alone or into the smallest group alike.
TEST(AssociationTest, EmptyCellsChangeNothingWhateverTheTablesSize) {
  std::mt19937 random(5);
  std::vector<int> table(2 * 27), padded(2 * 40, 0);
  int pooled = 0;
  for (int trial = 0; trial < 2000; ++trial) {
    const int scale = 1 + trial % 30;
    for (int& count : table) count = std::uniform_int_distribution<int>(0, scale)(random) * (random() % 3 != 0);
    std::copy(table.begin(), table.end(), padded.begin());
    const TableTest small = associationTest(table.data(), 1, 27);
    const TableTest large = associationTest(padded.data(), 1, 40);
    ASSERT_EQ(small.df, large.df);
    ASSERT_EQ(std::memcmp(&small.statistic, &large.statistic, sizeof(double)), 0) << "trial " << trial;
    pooled += associationDfAtLeast(table.data(), 27) < small.df ? 1 : 0;
  }
  EXPECT_GT(pooled, 0);
}

}  // namespace
