// Screening keys against the exact measures of calculateMeasuresAll: every
// key lies within its stated error of the exact key, the error is small
// enough to separate measures that differ in the ninth digit, and tables
// whose measures are not numbers are reported as such. (Keys of stretches
// of tables are checked through the batches' bit-identical best rows.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "core/gorva.h"
#include "engine/rank/screening.h"

namespace {

struct TableCase {
  int cells;
  int samples;
  bool recount;  // totals from the table ("available") or fixed
  int measure;   // 0 IG, 1 RIG
  int cases;     // among the samples
};

// Random tables of `samples` samples of which `cases` are cases: skewed
// towards one cell, with empty and one-class cells, and a few samples left
// out (missing at some marker).
std::vector<int> randomTable(std::mt19937& random, int cells, int samples, int cases) {
  std::vector<int> table(2 * cells, 0);
  std::uniform_int_distribution<int> cell(0, cells - 1);
  std::uniform_real_distribution<double> unit(0, 1);
  const int hot = cell(random);
  for (int s = 0; s < samples; ++s) {
    if (unit(random) < 0.03) continue;  // missing at some marker
    // The first `cases` samples are the cases; they crowd into the hot cell.
    const bool is_case = s < cases;
    const int c = unit(random) < (is_case ? 0.6 : 0.2) ? hot : cell(random);
    ++table[2 * c + (is_case ? 1 : 0)];
  }
  return table;
}

TEST(FastScreeningKeys, EveryKeyIsWithinItsErrorOfTheExactMeasure) {
  // Down to a phenotype entropy of a few 1e-5 bits (3 cases in 100,000),
  // where RIG divides by almost nothing.
  const TableCase cases[] = {
      {3, 50, true, 0, 16},       {9, 2000, true, 0, 1000},  {9, 2000, false, 0, 700},
      {9, 2000, true, 1, 1000},   {27, 501, true, 1, 250},   {16, 3000, false, 1, 1000},
      {81, 10000, true, 0, 5000}, {256, 700, false, 0, 300}, {4, 7, true, 1, 3},
      {9, 100000, false, 1, 3},   {9, 100000, true, 0, 3}};
  std::mt19937 random(17);
  for (const TableCase& c : cases) {
    const int N = c.samples, all_cases = c.cases;
    ScreeningKeys screening(c.cells, N, c.measure, c.recount, all_cases, N - all_cases);
    double largest_error = 0;
    std::vector<double> sums(2 * c.cells, 0.0);
    const int tables = N > 5000 ? 20 : 300;
    for (int t = 0; t < tables; ++t) {
      std::vector<int> table = randomTable(random, c.cells, N, all_cases);
      int in_table[2] = {0, 0};  // controls, cases
      for (int e = 0; e < 2 * c.cells; ++e) in_table[e % 2] += table[e];
      const int cases = c.recount ? in_table[1] : all_cases;
      const int controls = c.recount ? in_table[0] : N - all_cases;
      double pair[2], key = 0, error = 0;
      calculateMeasuresAll(cases + controls, cases, controls, table.data(), sums.data(), 2 * c.cells, 1.0, 1, pair);
      const bool defined = !c.recount || (in_table[0] > 0 && in_table[1] > 0);
      ASSERT_EQ(screening.keys(table.data(), 1, 2 * c.cells, &key, &error), defined);
      if (!defined) {
        EXPECT_TRUE(std::isnan(pair[c.measure]));
        continue;
      }
      EXPECT_LE(std::fabs(key - pair[c.measure]), error)
          << "cells " << c.cells << " N " << N << " table " << t << " key " << key << " exact " << pair[c.measure];
      largest_error = std::max(largest_error, error);
    }
    // Tight enough to tell apart keys that differ in the ninth digit (IG) or,
    // for RIG divided by an entropy of 1e-4 bits, in the seventh.
    EXPECT_LT(largest_error, c.measure == 0 ? 1e-9 : 1e-7) << "cells " << c.cells << " N " << N;
  }
}

TEST(FastScreeningKeys, AnAbsentClassHasNoKey) {
  // Under "available" a table without cases (or controls) has NaN measures;
  // with fixed totals only the totals decide. A stretch fails as a whole
  // when any of its tables has no key.
  const std::vector<int> both = {5, 1, 3, 0, 0, 2}, only_controls = {5, 0, 3, 0, 0, 0};
  std::vector<int> stretch = both;
  stretch.insert(stretch.end(), only_controls.begin(), only_controls.end());
  double keys[2], errors[2];
  for (int measure : {0, 1}) {
    ScreeningKeys recounted(3, 20, measure, true, 10, 10), fixed(3, 20, measure, false, 10, 10);
    ScreeningKeys one_class(3, 20, measure, false, 20, 0);
    EXPECT_FALSE(recounted.keys(only_controls.data(), 1, 6, keys, errors));
    EXPECT_TRUE(recounted.keys(both.data(), 1, 6, keys, errors));
    EXPECT_FALSE(recounted.keys(stretch.data(), 2, 6, keys, errors));
    EXPECT_TRUE(fixed.keys(only_controls.data(), 1, 6, keys, errors));
    EXPECT_FALSE(one_class.keys(both.data(), 1, 6, keys, errors));
  }
}

}  // namespace
