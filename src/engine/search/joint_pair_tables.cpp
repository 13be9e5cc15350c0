#include "engine/search/joint_pair_tables.h"

#include "core/search_constants.h"
#include "engine/count/pair_free_counts.h"
#include "engine/count/path_kernels.h"
#include "engine/search/strata.h"
#include "engine/search/stratified_scorer.h"

namespace {

// Second markers a walk counts: two groups, one block of counts.
constexpr int kGroups = 2;

}  // namespace

JointPairTables::JointPairTables(const SearchContext& context) {
  if (context.strata == nullptr || !context.strata->segmented) return;
  const PathKernels& kernels = pathKernels(context.settings.simd);
  // Under "em" the test reads the observed samples, not the counted
  // tables; "mc" tables have a fourth level the joint rows do not hold.
  if (context.strata->segmented->nibbles != kernels.segmented_nibbles || context.missing_code == kMethodEm ||
      genotypeLevels(context.missing_code) != 3 || !StratifiedScorer::countsPairsJointly(3, context.N))
    return;
  planes_ = context.strata->segmented.get();
  kernel_ = kernels.segmented_pairs;
  strata_ = planes_->strata;
  stratum_ints_ = segmentedStratumInts(kGroups * kPairLanes);
  counts_.resize(static_cast<std::size_t>(strata_) * stratum_ints_);
  tables_.resize(static_cast<std::size_t>(strata_) * kWholePairCounts);
}

const int* JointPairTables::tables(int first, int second) {
  const int base = second / (kGroups * kPairLanes) * (kGroups * kPairLanes);
  if (first != first_ || base != base_) {
    kernel_({.planes = planes_, .first = first, .second_base = base, .groups = kGroups, .counts = counts_.data(),
             .stratum_ints = stratum_ints_});
    first_ = first;
    base_ = base;
  }
  const long slot = segmentedPairSlot(second - base);
  for (int s = 0; s < strata_; ++s)
    wholePairTable(counts_.data() + s * stratum_ints_, slot, tables_.data() + static_cast<long>(s) * kWholePairCounts);
  return tables_.data();
}
