// Jumping into the lexicographic sequence: unranking agrees with walking it,
// and a batch started from an unranked state is the batch a walk hands out.
#include <gtest/gtest.h>

#include <vector>

#include "core/gorva.h"
#include "engine/unrank.h"

namespace {

TEST(FastUnrank, EveryPositionIsTheCombinationTheWalkReaches) {
  for (int n = 1; n <= 9; ++n) {
    for (int k = 1; k <= n; ++k) {
      std::vector<int> walked(k);
      for (int i = 0; i < k; ++i) walked[i] = i;
      const long long count = combinationCount(n, k);
      std::vector<int> jumped(k);
      for (long long rank = 0; rank < count; ++rank) {
        unrankCombination(rank, n, k, jumped.data());
        ASSERT_EQ(jumped, walked) << "n " << n << " k " << k << " rank " << rank;
        const int last = comb_nextstep(k, n, walked.data());
        EXPECT_EQ(last, rank + 1 == count ? 1 : 0);
      }
    }
  }
}

TEST(FastUnrank, CountsAreExactAndHugeOnesAreFlagged) {
  EXPECT_EQ(combinationCount(5, 0), 1);
  EXPECT_EQ(combinationCount(5, 6), 0);
  EXPECT_EQ(combinationCount(10000, 2), 49995000LL);
  EXPECT_EQ(combinationCount(500, 3), 20708500LL);
  EXPECT_EQ(combinationCount(1000000, 3), 166666166667000000LL);
  EXPECT_EQ(combinationCount(2000000, 4), -1);  // about 6.7e23
  EXPECT_EQ(combinationCount(100, 50), -1);
  EXPECT_EQ(combinationCount(62, 31), 465428353255261088LL);
  EXPECT_EQ(combinationCount(66, 33), -1);  // above 2^62
  EXPECT_EQ(combinationCount(60, 30), 118264581564861424LL);
}

TEST(FastUnrank, FarPositionsOfLargeSequencesRoundTrip) {
  // The last combination, and positions just around a batch boundary.
  std::vector<int> c(3);
  unrankCombination(combinationCount(1000000, 3) - 1, 1000000, 3, c.data());
  EXPECT_EQ(c, (std::vector<int>{999997, 999998, 999999}));
  unrankCombination(0, 1000000, 3, c.data());
  EXPECT_EQ(c, (std::vector<int>{0, 1, 2}));
  // (0, j) for j = 1 .. 9999 are the first 9999 pairs of 10000 markers.
  std::vector<int> pair(2);
  unrankCombination(9998, 10000, 2, pair.data());
  EXPECT_EQ(pair, (std::vector<int>{0, 9999}));
  unrankCombination(9999, 10000, 2, pair.data());
  EXPECT_EQ(pair, (std::vector<int>{1, 2}));
}

TEST(FastUnrank, BatchesStartedFromAnUnrankedStateMatchTheWalk) {
  int k = 3;
  int n = 23;
  int capacity = 97;
  std::vector<int> state(k, -1);
  std::vector<std::vector<int>> walked;
  for (;;) {
    std::vector<int> batch(static_cast<std::size_t>(capacity) * k);
    int count = 0;
    combSNP(&k, &n, &capacity, state.data(), &count, batch.data());
    if (count == 0) break;
    batch.resize(static_cast<std::size_t>(count) * k);
    walked.push_back(batch);
  }
  ASSERT_EQ(walked.size(),
            static_cast<std::size_t>((combinationCount(n, k) + capacity - 1) / capacity));
  for (std::size_t b = walked.size(); b-- > 1;) {
    std::vector<int> jump(k);
    unrankCombination(static_cast<long long>(b) * capacity - 1, n, k, jump.data());
    std::vector<int> batch(static_cast<std::size_t>(capacity) * k);
    int count = 0;
    combSNP(&k, &n, &capacity, jump.data(), &count, batch.data());
    batch.resize(static_cast<std::size_t>(count) * k);
    EXPECT_EQ(batch, walked[b]) << "batch " << b;
  }
}

}  // namespace
