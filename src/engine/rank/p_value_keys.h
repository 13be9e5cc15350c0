// Ranking keys of one batch ranked by p_chisq. The exact key (-ln p of the
// table's association test) costs a pooling and a chi-square tail; once K
// exact keys are in, a table whose IG shows it cannot beat the K-th best
// of them is given -infinity instead, which ranks it where it belongs:
// below the batch's K best.
#ifndef GORVA_ENGINE_RANK_P_VALUE_KEYS_H
#define GORVA_ENGINE_RANK_P_VALUE_KEYS_H

#include <functional>
#include <queue>
#include <vector>

class PValueKeys {
 public:
  // Forgets the last batch; K is the number of rows the batch must give.
  void startBatch(int K);
  // The key of a count table (2 * cells ints, controls and cases per cell)
  // whose IG over its own samples is at most `ig_upper` (NaN: no bound).
  // NaN when the table has nothing to test.
  double next(const int* table, int cells, double ig_upper);
  // Tables given -infinity since startBatch.
  long long ruledOut() const { return ruled_out_; }

 private:
  int K_ = 0;
  std::priority_queue<double, std::vector<double>, std::greater<double>> best_;  // the K best keys
  double reaching_statistic_ = 0;  // the unpooled G a table needs to beat best_.top()
  long long ruled_out_ = 0;
};

#endif  // GORVA_ENGINE_RANK_P_VALUE_KEYS_H
