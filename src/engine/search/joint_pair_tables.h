// The strata's tables of single pairs from the joint rows (every stratum
// counted in one walk over the pair's words), for callers that test pairs
// one at a time, such as the lambda sample of the results table: one walk
// costs a fraction of counting each stratum's table on its own, and it
// counts eight neighbouring second markers at once, which the next pairs
// of a sorted list often are.
#ifndef GORVA_ENGINE_SEARCH_JOINT_PAIR_TABLES_H
#define GORVA_ENGINE_SEARCH_JOINT_PAIR_TABLES_H

#include <vector>

#include "engine/count/segmented_pair_counts.h"
#include "engine/rank/search_context.h"

class JointPairTables {
 public:
  explicit JointPairTables(const SearchContext& context);
  // Whether the joint rows count the tables the association test reads
  // (countTestedTable's, in every stratum).
  bool serves() const { return planes_ != nullptr; }
  // The strata's tables of pair (first, second), first < second: 18 ints
  // a stratum, stratum-major; valid until the next call.
  const int* tables(int first, int second);

 private:
  const SegmentedPlanes* planes_ = nullptr;
  SegmentedPairKernel kernel_ = nullptr;
  int strata_ = 0;
  int first_ = -1;  // the pairs counts_ holds: first_ with base_ ..
  int base_ = -1;
  long stratum_ints_ = 0;
  std::vector<int> counts_;
  std::vector<int> tables_;
};

#endif  // GORVA_ENGINE_SEARCH_JOINT_PAIR_TABLES_H
