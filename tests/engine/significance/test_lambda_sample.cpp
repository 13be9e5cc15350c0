// The combinations behind a sampled lambda_gc: drawn uniformly and walked in
// rank order (neighbours share markers, a few ranks on are reached by
// stepping), so a sample must come out as valid combinations in
// lexicographic order, the same for a seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "engine/significance/population_structure.h"

namespace {

std::vector<std::vector<int>> split(const std::vector<int>& flat, int k) {
  std::vector<std::vector<int>> combinations;
  for (std::size_t r = 0; r + k <= flat.size(); r += k)
    combinations.emplace_back(flat.begin() + static_cast<long>(r), flat.begin() + static_cast<long>(r) + k);
  return combinations;
}

TEST(LambdaSample, ASampleIsValidCombinationsInRankOrderFixedBySeed) {
  // Ranks past 2^32 (order 3 of 3,000: 4.5 x 10^9) and within 2^16 to
  // 2^32 (pairs of 1,000), so that every pass over a rank's bits counts.
  for (const auto& [markers, k] : {std::pair{3000, 3}, std::pair{1000, 2}}) {
    for (const int threads : {1, 2}) {
      bool sampled = false;
      const std::vector<int> flat = combinationsBehindLambda(markers, k, 20000, 7, threads, sampled);
      EXPECT_TRUE(sampled);
      const std::vector<std::vector<int>> combinations = split(flat, k);
      ASSERT_EQ(combinations.size(), 20000u);
      for (const std::vector<int>& combination : combinations) {
        ASSERT_GE(combination.front(), 0);
        ASSERT_LT(combination.back(), markers);
        ASSERT_TRUE(std::is_sorted(combination.begin(), combination.end()) &&
                    std::adjacent_find(combination.begin(), combination.end()) == combination.end());
      }
      EXPECT_TRUE(std::is_sorted(combinations.begin(), combinations.end())) << markers << " markers, order " << k;
      // Not a run of neighbours: the draws span the ranks.
      EXPECT_LT(combinations.front()[0], markers / 10);
      EXPECT_GT(combinations.back()[0], markers / 2);
      EXPECT_EQ(flat, combinationsBehindLambda(markers, k, 20000, 7, 1, sampled));
      EXPECT_NE(flat, combinationsBehindLambda(markers, k, 20000, 8, 1, sampled));
    }
  }
}

}  // namespace
