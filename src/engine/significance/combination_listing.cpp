#include "engine/significance/combination_listing.h"

#include <Rmath.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "core/search_constants.h"
#include "engine/rank/table_test.h"

namespace {

// Degrees of freedom given their own quantile; tables with more cells use
// the last one, which is lower than theirs.
constexpr int kTabledDf = 4096;
// qchisq inverts the tail to about 1e-12; the floors are lowered well past
// that, so that rounding never drops a qualifying table (the decision itself
// is the p-value's).
constexpr double kQuantileMargin = 1e-7;
// IG is a difference of entropies: a table without any association comes
// out a few ulps either side of 0, and at --max-p 1 (a quantile of 0) it
// must still qualify. Bits, far below any IG a tested table can reach.
constexpr double kInformationRounding = 1e-12;

}  // namespace

CombinationListing::CombinationListing(const SearchContext& context, int order, double max_p,
                                       double tests, std::size_t rows_in_memory)
    : context_(context), order_(order), max_p_(max_p), tests_(tests),
      rows_(order, equalKeysOf(context),
            2 * static_cast<int>(std::lround(std::pow(genotypeLevels(context.missing_code), order))), rows_in_memory) {
  const double cells = std::pow(static_cast<double>(genotypeLevels(context.missing_code)), order);
  const int last_df = static_cast<int>(std::min<double>(kTabledDf, cells - 1));
  scaled_quantiles_.assign(static_cast<std::size_t>(std::max(last_df, 1)) + 1,
                           std::numeric_limits<double>::infinity());
  for (int df = 1; df <= last_df; ++df) {
    const double q = qchisq(max_p, df, /*lower_tail=*/0, /*log_p=*/0);
    scaled_quantiles_[df] = q * (1 - kQuantileMargin) / (2 * std::numbers::ln2);
  }
  // Under "em" the test reads other counts than the IG (the observed
  // samples only), so the IG bounds nothing.
  floor_ = context.missing_code == kMethodEm ? -std::numeric_limits<double>::infinity()
                                             : floorFor(1, context.N);
}

double CombinationListing::floorFor(int df, int samples) const {
  if (df < 1) return std::numeric_limits<double>::infinity();
  const int tabled = std::min(df, static_cast<int>(scaled_quantiles_.size()) - 1);
  return scaled_quantiles_[tabled] / std::max(samples, 1) - kInformationRounding;
}

bool CombinationListing::mayQualify(const int* table, int cells, double ig_upper) const {
  if (context_.missing_code == kMethodEm) return true;
  int samples = 0;
  for (int c = 0; c < cells; ++c) samples += table[2 * c] + table[2 * c + 1];
  const TableShape shape = associationShape(table, cells);
  return ig_upper >= floorFor(shape.df, samples) * shape.divisor;
}

void CombinationListing::offer(const int* combination, const double* pair, double key) {
  // Describing a row costs far more than scoring it: a stopped search skips
  // the rest of its batch's offers instead of finishing them.
  if (std::isnan(key) || !(pair[0] >= floor_) || stopRequested(context_)) return;
  SignificanceRow row =
      describeCombination(context_, {combination, order_, pair, key}, tests_);
  if (!(row.p_chisq <= max_p_)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  rows_.add(std::move(row));
}
