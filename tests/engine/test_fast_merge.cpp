// Batches finishing out of order on several threads still merge in batch
// order: the kept rows equal those of merging one batch after another.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "engine/batch_pool.h"
#include "engine/bestrows.h"

namespace {

// Batch b's best rows: keys drawn from a handful of values (ties across
// batches everywhere), best first; the pair records the batch and row.
RankedRows batchRows(int batch, int rows, std::mt19937& random) {
  std::uniform_int_distribution<int> value(0, 4);
  std::vector<double> keys(rows);
  for (double& key : keys) key = value(random);
  std::sort(keys.rbegin(), keys.rend());
  RankedRows best;
  best.order = 2;
  for (int r = 0; r < rows; ++r) {
    const int combination[2] = {batch, r};
    const double pair[2] = {keys[r], 1000.0 * batch + r};
    best.append(combination, pair, keys[r]);
  }
  return best;
}

TEST(FastOrderedMerge, OutOfOrderArrivalsKeepTheEarliestOfEqualRows) {
  constexpr int kBatches = 40;
  constexpr int kWindow = 6;
  constexpr int K = 9;
  std::mt19937 random(5);
  std::vector<RankedRows> batches;
  for (int b = 0; b < kBatches; ++b) batches.push_back(batchRows(b, 1 + b % 7, random));

  RankedRows expected;
  for (const RankedRows& rows : batches) mergeBest(expected, rows, K);

  for (unsigned seed = 0; seed < 20; ++seed) {
    std::mt19937 shuffle(seed);
    OrderedMerge merge(K, kWindow, nullptr);
    // Batches start in order as slots free up and finish in a random order.
    std::vector<int> running;
    int started = 0;
    while (merge.nextToMerge() < kBatches) {
      while (started < kBatches && merge.ready(started)) running.push_back(started++);
      EXPECT_TRUE(merge.ready(merge.nextToMerge() + kWindow - 1));
      EXPECT_FALSE(merge.ready(merge.nextToMerge() + kWindow));
      ASSERT_FALSE(running.empty());
      const std::size_t pick =
          std::uniform_int_distribution<std::size_t>(0, running.size() - 1)(shuffle);
      const int batch = running[pick];
      running.erase(running.begin() + static_cast<long>(pick));
      RankedRows rows = batches[batch];
      merge.file(batch, 1 + batch % 7, rows);
    }
    EXPECT_EQ(merge.kept().markers, expected.markers) << "seed " << seed;
    EXPECT_EQ(merge.kept().pairs, expected.pairs) << "seed " << seed;
    long long combinations = 0;
    for (int b = 0; b < kBatches; ++b) combinations += 1 + b % 7;
    EXPECT_EQ(merge.combinations(), combinations);
  }
}

TEST(FastOrderedMerge, MergingInTurnEqualsFilingInOrder) {
  std::mt19937 random(9);
  OrderedMerge filed(4, 3, nullptr);
  OrderedMerge in_turn(4, 3, nullptr);
  for (int b = 0; b < 12; ++b) {
    RankedRows rows = batchRows(b, 5, random);
    RankedRows copy = rows;
    filed.file(b, 5, rows);
    ASSERT_EQ(in_turn.nextToMerge(), b);
    in_turn.mergeNow(5, copy);
  }
  EXPECT_EQ(filed.kept().markers, in_turn.kept().markers);
  EXPECT_EQ(filed.kept().keys, in_turn.kept().keys);
  EXPECT_EQ(filed.kept().size(), 4);
}

}  // namespace
