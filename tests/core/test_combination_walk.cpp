// The lexicographic walk over combinations three ways: combSNP batches that
// resume where the previous call stopped, comb_nextstep one step at a time,
// and unrankCombination jumping to a position; all against an independent
// list of every k-subset. Then exact counts, huge ones flagged, and far
// positions of large sequences.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "core/gorva.h"
#include "engine/count/unrank.h"

namespace {

using Combination = std::vector<int>;
using Batch = std::vector<Combination>;

// Calls combSNP from `state` until it reports 0; one entry per call, the
// final empty batch included.
std::vector<Batch> walk_in_batches(int k, int n, int capacity, std::vector<int> state = {}) {
  if (state.empty()) state.assign(static_cast<size_t>(k), -1);
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

TEST(CombinationWalk, BatchesStepsAndRanksAllGiveEveryCombinationOnceInOrder) {
  for (int n = 1; n <= 9; ++n) {
    for (int k = 1; k <= n; ++k) {
      const std::vector<Combination> expected = all_subsets(k, n);
      const size_t total = expected.size();
      ASSERT_EQ(combinationCount(n, k), static_cast<long long>(total));
      // Full batches, the rest in the last, then exactly one empty call.
      for (int capacity : {1, 2, 7, 200}) {
        const std::vector<Batch> batches = walk_in_batches(k, n, capacity);
        ASSERT_EQ(batches.size(), (total + capacity - 1) / capacity + 1) << n << " " << k;
        std::vector<Combination> joined;
        for (const Batch& batch : batches) {
          EXPECT_EQ(batch.size(), std::min<size_t>(capacity, total - joined.size()));
          joined.insert(joined.end(), batch.begin(), batch.end());
        }
        EXPECT_EQ(joined, expected) << "n=" << n << " k=" << k << " cap=" << capacity;
      }
      Combination stepped(k);
      std::iota(stepped.begin(), stepped.end(), 0);
      Combination jumped(k);
      for (size_t rank = 0; rank < total; ++rank) {
        unrankCombination(static_cast<long long>(rank), n, k, jumped.data());
        ASSERT_EQ(jumped, expected[rank]) << "n " << n << " k " << k << " rank " << rank;
        ASSERT_EQ(stepped, expected[rank]) << "n " << n << " k " << k << " rank " << rank;
        EXPECT_EQ(comb_nextstep(k, n, stepped.data()), rank + 1 == total ? 1 : 0);
      }
    }
  }
}

TEST(CombinationWalk, BatchesResumedFromAnUnrankedStateAreTheWalksBatches) {
  const int k = 3, n = 23, capacity = 97;
  const std::vector<Batch> walked = walk_in_batches(k, n, capacity);
  for (size_t b = walked.size() - 1; b-- > 1;) {
    std::vector<int> state(k);
    unrankCombination(static_cast<long long>(b) * capacity - 1, n, k, state.data());
    EXPECT_EQ(walk_in_batches(k, n, capacity, state).front(), walked[b]) << "batch " << b;
  }
}

TEST(CombinationWalk, RefusalsAndARunOutStateReportZeroAndWriteNothing) {
  struct Case { int k, n, capacity; std::vector<int> state, state_after; };
  const std::vector<int> fresh = {-1, 7, 7, 7};
  for (const Case& c : {Case{4, 3, 5, fresh, fresh}, Case{0, 3, 5, fresh, fresh},
                        Case{-1, 3, 5, fresh, fresh}, Case{2, 3, 0, fresh, fresh},
                        // The last combination, handed out before, then the run-out state.
                        Case{2, 3, 10, {1, 2}, {2, 3}}, Case{2, 3, 10, {2, 3}, {2, 3}}}) {
    int k = c.k, n = c.n, capacity = c.capacity, count = 99;
    std::vector<int> state = c.state;
    std::vector<int> out(20, 42);
    combSNP(&k, &n, &capacity, state.data(), &count, out.data());
    EXPECT_EQ(count, 0);
    EXPECT_EQ(state, c.state_after);
    EXPECT_EQ(out, std::vector<int>(20, 42));
  }
}

TEST(CombinationWalk, NextstepRunsOutIntoThePastTheEndState) {
  std::vector<int> c = {0, 3, 4};
  EXPECT_EQ(comb_nextstep(3, 5, c.data()), 0);
  EXPECT_EQ(c, (std::vector<int>{1, 2, 3}));
  c = {2, 3, 4};
  EXPECT_EQ(comb_nextstep(3, 5, c.data()), 1);
  EXPECT_EQ(c, (std::vector<int>{3, 4, 5}));  // entry i at n - k + i + 1
  EXPECT_EQ(comb_nextstep(3, 5, c.data()), 1);
  EXPECT_EQ(c, (std::vector<int>{3, 4, 5}));
  // No marker to advance: order 0 wrote c[-1] and claimed a successor.
  std::vector<int> guarded = {7, 0, 7};
  for (const int k : {0, -1, -5}) {
    EXPECT_EQ(comb_nextstep(k, 5, guarded.data() + 1), 1) << k;
    EXPECT_EQ(guarded, (std::vector<int>{7, 0, 7})) << k;
  }
}

TEST(CombinationCount, ExactCountsHugeOnesFlaggedAndFarPositions) {
  const struct {
    int n, k;
    long long count;
  } cases[] = {{5, 0, 1}, {5, 6, 0}, {10000, 2, 49995000LL}, {500, 3, 20708500LL},
                 {1000000, 3, 166666166667000000LL}, {2000000, 4, -1} /* about 6.7e23 */,
                 {100, 50, -1}, {62, 31, 465428353255261088LL}, {65, 32, 3609714217008132870LL} /* just below 2^62 */,
                 {66, 33, -1} /* above 2^62 */,
                 {60, 30, 118264581564861424LL}};
  for (const auto& c : cases) EXPECT_EQ(combinationCount(c.n, c.k), c.count) << c.n << " " << c.k;
  std::vector<int> triple(3);
  unrankCombination(166666166667000000LL - 1, 1000000, 3, triple.data());
  EXPECT_EQ(triple, (std::vector<int>{999997, 999998, 999999}));
  // (0, j) for j = 1 .. 9999 are the first 9999 pairs of 10000 markers.
  std::vector<int> pair(2);
  unrankCombination(9998, 10000, 2, pair.data());
  EXPECT_EQ(pair, (std::vector<int>{0, 9999}));
  unrankCombination(9999, 10000, 2, pair.data());
  EXPECT_EQ(pair, (std::vector<int>{1, 2}));
}

}  // namespace
