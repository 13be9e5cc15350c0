#include "engine/significance/key_thresholds.h"

#include <numbers>

#include "engine/rank/search_context.h"

// Lane by lane, the operations of the vector cut in their order, so that
// every path rules out exactly the same pairs.
int mayExceedFourScalar(const double* bounds, const KeyThreshold& threshold, int j) {
  int lanes = 0;
  for (int t = 0; t < 4; ++t) {
    double cut = threshold.maximum;
    if (threshold.measure == kRankBySynergy) {
      cut = threshold.maximum + (threshold.prefix_gains + threshold.gains[j + t]);
    } else if (threshold.measure == kRankByRIG) {
      const double p = threshold.own_totals
                           ? static_cast<double>(threshold.cases[j + t]) /
                                 static_cast<double>(threshold.samples[j + t])
                           : threshold.fixed_cases / threshold.fixed_samples;
      const double floor = (4.0 * p) * (1.0 - p);
      cut = (threshold.maximum * floor) * threshold.entropy_floor_slack;
    }
    if (threshold.measure == kRankByP) {
      const double statistic =
          2 * std::numbers::ln2 * static_cast<double>(threshold.samples[j + t]) * bounds[j + t];
      if (!(statistic < threshold.statistic_cut)) lanes |= 1 << t;
      continue;
    }
    // Not below the cut, NaN included.
    if (!(bounds[j + t] < cut)) lanes |= 1 << t;
  }
  return lanes;
}

KeyCutFour keyCutFour(SimdPath path) { return path == SimdPath::kScalar ? mayExceedFourScalar : mayExceedFourAvx2; }

KeyCutScan keyCutScan(SimdPath path) { return path == SimdPath::kAvx512 ? firstExceedingEightAvx512 : nullptr; }
