// Ranking keys of one batch ranked by p_chisq. The exact key (-ln p of the
// table's association test) costs a pooling and a chi-square tail; once K
// exact keys are in (or a floor is set), a table whose IG shows it cannot
// reach the K-th best of them is given -infinity instead, which ranks it
// where it belongs: below the batch's K best.
//
// The test's statistic is at most the unpooled G = 2 ln2 n IG, and a tail
// on more degrees of freedom is larger: a table falls short when its
// 2 ln2 n IG is below the statistic that reaches the K-th best key on the
// fewest degrees of freedom its test can have, or when its statistic's
// bound (no logarithm) is below the one that reaches it on its test's.
#ifndef GORVA_ENGINE_RANK_P_VALUE_KEYS_H
#define GORVA_ENGINE_RANK_P_VALUE_KEYS_H

#include <functional>
#include <limits>
#include <queue>
#include <vector>

// Whether a table of `samples` counted samples whose IG is at most
// `ig_upper` falls short of the unpooled G `statistic` by more than the
// rounding of either (so that its test statistic cannot reach it).
bool fallsShortOf(double samples, double ig_upper, double statistic);
// Whether a test whose statistic is at most `upper`
// (associationStatisticBound) falls short of `statistic` by more than the
// rounding of either.
bool statisticFallsShort(double upper, double statistic);
// What 2 ln2 samples ig_upper is held against in fallsShortOf, for callers
// that test several tables against one statistic with the same operations.
double shortfallCut(double statistic);

class PValueKeys {
 public:
  // Forgets the last batch; K is the number of rows the batch must give
  // (0: every key is wanted).
  void startBatch(int K);
  // A key below which no table is of use (the order's best so far when
  // only that is wanted), or -infinity.
  void setFloor(double key);
  // The key of a count table (2 * cells ints, controls and cases per cell)
  // whose IG over its own samples is at most `ig_upper` (NaN: no bound):
  // -infinity when it cannot reach the K best or the floor, NaN when the
  // table has nothing to test.
  double next(const int* table, int cells, double ig_upper);
  // The K-th best key so far (-infinity until there are K), and the
  // unpooled G that any table needs to reach it or the floor (0: none).
  double kthBest() const;
  double reachingStatistic() const { return reaching_[1]; }
  // Tables given -infinity since startBatch.
  long long ruledOut() const { return ruled_out_; }

 private:
  // The threshold the reaching statistics are for: the K-th best or the floor.
  void thresholdChanged();
  double reachingOn(int df);

  int K_ = 0;
  std::priority_queue<double, std::vector<double>, std::greater<double>> best_;  // the K best keys
  double floor_ = -std::numeric_limits<double>::infinity();
  double threshold_ = -std::numeric_limits<double>::infinity();
  std::vector<double> reaching_ = {0, 0};  // by df; NaN: not worked out for this threshold
  long long ruled_out_ = 0;
};

#endif  // GORVA_ENGINE_RANK_P_VALUE_KEYS_H
