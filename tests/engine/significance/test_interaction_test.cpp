// The pair interaction test: zero on tables without a three-way
// interaction, the likelihood ratio of a logistic fit over the divisor of
// its cells otherwise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "engine/significance/interaction_test.h"
#include "support/oracle.h"
#include "support/table_model.h"

namespace {

// n[y][a][b] = u[y][a] v[y][b] w[a][b]: no three-way interaction at all.
TEST(InteractionTest, ZeroForTablesOfTheNullModelAndTheLogisticFitOtherwise) {
  const int u[2][3] = {{1, 2, 3}, {2, 1, 4}};
  const int v[2][3] = {{2, 1, 1}, {1, 3, 2}};
  const int w[3][3] = {{1, 2, 1}, {3, 1, 2}, {1, 1, 5}};
  std::vector<int> table(18);
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b)
      for (int y = 0; y < 2; ++y) table[2 * (a + 3 * b) + y] = 20 * u[y][a] * v[y][b] * w[a][b];
  InteractionTest test = pairInteractionTest(table.data(), 3);
  EXPECT_NEAR(test.statistic, 0.0, 1e-7);
  EXPECT_EQ(test.df, 4);
  EXPECT_NEAR(test.p_value, 1.0, 1e-6);

  // Random tables, some with an empty genotype pair (fewer degrees of freedom).
  for (unsigned seed = 1; seed <= 4; ++seed) {
    const Dataset data = randomDataset(seed, 2, 400, 0.0);
    OracleCells cells = oracleCells(data, {0, 1}, Method::kNone);
    if (seed % 2 == 0) cells.erase(cells.begin());
    std::fill(table.begin(), table.end(), 0);
    for (const auto& [key, counts] : cells) {
      table[2 * (key[0] + 3 * key[1])] = static_cast<int>(counts.first);
      table[2 * (key[0] + 3 * key[1]) + 1] = static_cast<int>(counts.second);
    }
    int df = 0;
    const OracleCells kept = withoutSparseCells(cells);
    const double deviance = logisticInteraction(kept, df) / interactionDivisor(kept, df);
    test = pairInteractionTest(table.data(), 3);
    EXPECT_EQ(test.df, df) << seed;
    EXPECT_NEAR(test.statistic, deviance, 1e-6 * deviance + 1e-8) << seed;
  }
  // One genotype pair only: nothing to test.
  std::fill(table.begin(), table.end(), 0);
  table[0] = 5;
  table[1] = 3;
  EXPECT_TRUE(std::isnan(pairInteractionTest(table.data(), 3).p_value));
}

}  // namespace
