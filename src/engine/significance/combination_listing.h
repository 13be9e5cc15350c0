// Every combination of one order whose calibrated chi-square p-value is at
// most a bound, gathered while the order is searched. The scorers offer what
// may qualify; the listing describes each offer as the results table does
// and keeps it when its p_chisq is at most the bound.
//
// A table qualifies when its corrected G reaches q(df), q the upper-tail
// quantile of the bound and df its degrees of freedom after pooling (at
// least 1). The corrected G is at most the unpooled 2 ln2 n IG, n its
// counted samples, q grows with df and n is at most the search's N, so no
// table with IG < q(1) / (2 ln2 N) qualifies (floor()); with its cell
// totals known, none with IG < divisor * q(df) / (2 ln2 n) (mayQualify()).
// Under "em" the test counts other samples than the IG and nothing is
// ruled out.
#ifndef GORVA_ENGINE_SIGNIFICANCE_COMBINATION_LISTING_H
#define GORVA_ENGINE_SIGNIFICANCE_COMBINATION_LISTING_H

#include <mutex>
#include <string>
#include <vector>

#include "engine/rank/search_context.h"
#include "engine/significance/sorted_row_spill.h"

class CombinationListing : public ListingSink {
 public:
  // The search's context (N, the counting and the single-marker gains it
  // ranks with) and order; `tests` is the order's number of combinations.
  CombinationListing(const SearchContext& context, int order, double max_p, double tests,
                     std::size_t rows_in_memory = SortedRowSpill::kDefaultRowsInMemory);

  double maxP() const { return max_p_; }
  // No table of the search has an IG below this and qualifies.
  double floor() const override { return floor_; }
  // No table with `df` degrees of freedom over `samples` counted samples
  // has an IG below this and qualifies (+infinity when df < 1).
  double floorFor(int df, int samples) const;
  // Whether a count table (2 * cells ints, controls and cases per cell)
  // whose IG is at most `ig_upper` can qualify.
  bool mayQualify(const int* table, int cells, double ig_upper) const override;

  // Keeps the combination when its p_chisq is at most the bound and its
  // ranking key is a number. Safe from several threads at once.
  void offer(const int* combination, const double* pair, double key) override;

  // The kept rows (read once every offer is made).
  SortedRowSpill& rows() { return rows_; }

 private:
  const SearchContext& context_;
  int order_;
  double max_p_;
  double tests_;
  double floor_;
  // q(df) / (2 ln2), lowered a little, for df = 0 .. the last one tabled;
  // larger df use the last (q grows with df).
  std::vector<double> scaled_quantiles_;
  std::mutex mutex_;
  SortedRowSpill rows_;
};

#endif  // GORVA_ENGINE_SIGNIFICANCE_COMBINATION_LISTING_H
