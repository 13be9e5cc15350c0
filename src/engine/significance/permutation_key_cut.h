// Whether a table's IG bound leaves it a chance to beat a permutation's
// running maximum, one table at a time (key_thresholds.h holds the same cut
// four tables to a register), and the key ranking by p gives a table that
// passes it.
#ifndef GORVA_ENGINE_SIGNIFICANCE_PERMUTATION_KEY_CUT_H
#define GORVA_ENGINE_SIGNIFICANCE_PERMUTATION_KEY_CUT_H

#include <vector>

#include "engine/rank/p_value_keys.h"
#include "engine/rank/search_context.h"

// 4 p (1 - p) never exceeds the class entropy h(p); the slack covers rounding.
constexpr double kEntropyFloorSlack = 1.0 - 1e-9;

class PermutationKeyCut {
 public:
  // Permutations are told apart by their slot in the group (0 .. slots - 1).
  void reset(int slots);

  // False when `bound` rules out a key above `maximum` for a table of
  // `table_cases` cases among `table_samples` (read by RIG and p) under the
  // measure of `context`; synergy reads the prefix's and the last marker's
  // gains.
  bool mayExceed(const SearchContext& context, int slot, double bound, double maximum,
                 double prefix_gains, int last, double table_cases, double table_samples);

  // The unpooled G a table needs to reach `maximum` on the fewest degrees
  // of freedom a test can have (one); each slot keeps its own while its
  // maximum stays.
  double reachingStatistic(int slot, double maximum);

  // Ranking by p: the key of a table (2 * cells ints) whose IG is at most
  // `bound` (NaN: none), tested only when the fewest degrees of freedom its
  // test can have leave the bound short of `maximum` no more; -infinity
  // when it cannot beat `maximum`, NaN when it has no test.
  double pValueKeyAbove(int slot, const int* table, int cells, double bound, double maximum);

 private:
  std::vector<PValueKeys> p_keys_;
};

#endif  // GORVA_ENGINE_SIGNIFICANCE_PERMUTATION_KEY_CUT_H
