#include "engine/significance/permutation_key_cut.h"

void PermutationKeyCut::reset(int slots) {
  p_keys_.assign(static_cast<std::size_t>(slots), PValueKeys());
  for (PValueKeys& keys : p_keys_) keys.startBatch(0);
}

bool PermutationKeyCut::mayExceed(const SearchContext& context, int slot, double bound,
                                  double maximum, double prefix_gains, int last,
                                  double table_cases, double table_samples) {
  if (context.measure == kRankByP)
    return !fallsShortOf(table_samples, bound, reachingStatistic(slot, maximum));
  if (context.measure == kRankBySynergy)
    return !(bound < maximum + (prefix_gains + context.single_gains[last]));
  if (context.measure != kRankByRIG) return !(bound < maximum);
  // RIG = IG / h(p) with h(p) >= 4 p (1 - p) over the totals the measures use.
  double cases = context.cases;
  double n = context.N;
  if (context.missing_code == kMethodAvailable) {
    cases = table_cases;
    n = table_samples;
  }
  const double p = cases / n;
  return !(bound < maximum * (4 * p * (1 - p)) * kEntropyFloorSlack);
}

double PermutationKeyCut::reachingStatistic(int slot, double maximum) {
  PValueKeys& keys = p_keys_[static_cast<std::size_t>(slot)];
  keys.setFloor(maximum);
  return keys.reachingStatistic();
}

double PermutationKeyCut::pValueKeyAbove(int slot, const int* table, int cells, double bound,
                                         double maximum) {
  PValueKeys& keys = p_keys_[static_cast<std::size_t>(slot)];
  keys.setFloor(maximum);
  return keys.next(table, cells, bound);
}
