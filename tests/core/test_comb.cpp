// Combination walk: batches resume where the previous call stopped and
// together yield every combination once, in lexicographic order.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "core/gorva.h"

namespace {

using Combination = std::vector<int>;
using Batch = std::vector<Combination>;

// Calls combSNP on a fresh state until it reports 0; one entry per call,
// the final empty batch included.
std::vector<Batch> walk_in_batches(int k, int n, int capacity) {
  std::vector<int> state(static_cast<size_t>(k), -1);
  std::vector<int> out(static_cast<size_t>(capacity * k));
  std::vector<Batch> batches;
  for (;;) {
    int count = -1;
    combSNP(&k, &n, &capacity, state.data(), &count, out.data());
    Batch batch;
    for (int i = 0; i < count; ++i)
      batch.emplace_back(out.begin() + i * k, out.begin() + (i + 1) * k);
    batches.push_back(batch);
    if (count == 0 || batches.size() > 10000) return batches;
  }
}

// Independent reference: all k-subsets from selection masks, sorted.
std::vector<Combination> all_subsets(int k, int n) {
  std::vector<Combination> subsets;
  std::vector<bool> chosen(static_cast<size_t>(n), false);
  std::fill(chosen.begin(), chosen.begin() + k, true);
  do {
    Combination c;
    for (int i = 0; i < n; ++i) {
      if (chosen[static_cast<size_t>(i)]) c.push_back(i);
    }
    subsets.push_back(c);
  } while (std::prev_permutation(chosen.begin(), chosen.end()));
  std::sort(subsets.begin(), subsets.end());
  return subsets;
}

TEST(CombSnp, FiveChooseTwoInBatchesOfThree) {
  const std::vector<Batch> expected = {
      {{0, 1}, {0, 2}, {0, 3}}, {{0, 4}, {1, 2}, {1, 3}}, {{1, 4}, {2, 3}, {2, 4}}, {{3, 4}}, {}};
  EXPECT_EQ(walk_in_batches(2, 5, 3), expected);
}

TEST(CombSnp, CapacityDividingTheTotalEndsWithOneEmptyCall) {
  const auto batches = walk_in_batches(2, 5, 5);
  ASSERT_EQ(batches.size(), 3u);
  EXPECT_EQ(batches[0].size(), 5u);
  EXPECT_EQ(batches[1].size(), 5u);
  EXPECT_EQ(batches[1].back(), (Combination{3, 4}));
  EXPECT_TRUE(batches[2].empty());
}

TEST(CombSnp, OrderEqualToMarkerCountGivesOneCombination) {
  const std::vector<Batch> expected = {{{0, 1, 2, 3}}, {}};
  EXPECT_EQ(walk_in_batches(4, 4, 10), expected);
}

TEST(CombSnp, OrderOneListsEveryMarker) {
  const std::vector<Batch> expected = {{{0}, {1}, {2}, {3}}, {}};
  EXPECT_EQ(walk_in_batches(1, 4, 4), expected);
}

TEST(CombSnp, EveryCombinationOnceInLexicographicOrder) {
  for (int n = 1; n <= 9; ++n) {
    for (int k = 1; k <= n; ++k) {
      for (int capacity : {1, 2, 7, 200}) {
        std::vector<Combination> joined;
        for (const auto& batch : walk_in_batches(k, n, capacity)) {
          EXPECT_LE(batch.size(), static_cast<size_t>(capacity));
          joined.insert(joined.end(), batch.begin(), batch.end());
        }
        EXPECT_EQ(joined, all_subsets(k, n)) << "n=" << n << " k=" << k << " cap=" << capacity;
      }
    }
  }
}

TEST(CombSnp, RefusalsLeaveStateAndOutputUntouched) {
  struct Case {
    int k, n, capacity;
  };
  for (const Case c : {Case{4, 3, 5}, Case{0, 3, 5}, Case{-1, 3, 5}, Case{2, 3, 0}}) {
    int k = c.k, n = c.n, capacity = c.capacity;
    std::vector<int> state = {-1, 7, 7, 7};
    std::vector<int> out(8, 42);
    int count = 99;
    combSNP(&k, &n, &capacity, state.data(), &count, out.data());
    EXPECT_EQ(count, 0);
    EXPECT_EQ(state, (std::vector<int>{-1, 7, 7, 7}));
    EXPECT_EQ(out, std::vector<int>(8, 42));
  }
}

TEST(CombSnp, RunOutStateKeepsReportingZero) {
  int k = 2, n = 3, capacity = 10, count = -1;
  std::vector<int> state = {1, 2};  // the last combination, handed out before
  std::vector<int> out(20, 0);
  combSNP(&k, &n, &capacity, state.data(), &count, out.data());
  EXPECT_EQ(count, 0);
  EXPECT_EQ(state, (std::vector<int>{2, 3}));
  combSNP(&k, &n, &capacity, state.data(), &count, out.data());
  EXPECT_EQ(count, 0);
  EXPECT_EQ(state, (std::vector<int>{2, 3}));
}

TEST(CombNextstep, StepsThroughSuccessorsThenRunsOut) {
  std::vector<int> c = {0, 3, 4};
  EXPECT_EQ(comb_nextstep(3, 5, c.data()), 0);
  EXPECT_EQ(c, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(comb_nextstep(3, 5, c.data()), 0);
  EXPECT_EQ(c, (std::vector<int>{1, 2, 4}));

  c = {2, 3, 4};
  EXPECT_EQ(comb_nextstep(3, 5, c.data()), 1);
  EXPECT_EQ(c, (std::vector<int>{3, 4, 5}));  // entry i at n - k + i + 1
  EXPECT_EQ(comb_nextstep(3, 5, c.data()), 1);
  EXPECT_EQ(c, (std::vector<int>{3, 4, 5}));
}

TEST(CombNextstep, WalksTheSameSequenceAsTheBatches) {
  const int k = 3, n = 7;
  std::vector<Combination> stepped;
  Combination c = {0, 1, 2};
  do {
    stepped.push_back(c);
  } while (comb_nextstep(k, n, c.data()) == 0);
  EXPECT_EQ(stepped, all_subsets(k, n));
}

}  // namespace
