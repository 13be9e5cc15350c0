// Association adjusted for covariates: for a combination, logistic models of
// the phenotype on the samples its count table counts, with and without its
// genotype cells (p_adjusted), and for pairs with and without the A x B
// interaction beyond both markers as factors (p_interaction_adjusted).
#ifndef GORVA_ENGINE_SIGNIFICANCE_COVARIATE_TESTS_H
#define GORVA_ENGINE_SIGNIFICANCE_COVARIATE_TESTS_H

#include <vector>

#include "engine/rank/search_context.h"

// What every model holds besides the genotypes, per sample of the context
// (its sample indices, not its list).
struct CovariateModel {
  int count = 0;               // covariates per sample
  std::vector<double> values;  // sample-major, count per sample
  // Empty, or a stratum index (0 ... stratum_count - 1) per sample: the
  // strata enter every model as factors.
  std::vector<int> strata;
  int stratum_count = 0;

  bool any() const { return count > 0 || stratum_count > 1; }
};

struct AdjustedPValues {
  double p_adjusted;
  double p_interaction_adjusted;  // NaN but for pairs
  // Some model did not converge or separated the classes (its p is NaN).
  bool not_fitted;
};

// The adjusted p-values of `count` combinations of k markers each (k ints
// per combination), on up to `threads` threads.
std::vector<AdjustedPValues> adjustedPValues(const SearchContext& context, const CovariateModel& model,
                                             const std::vector<int>& combinations, int k, int threads);

#endif  // GORVA_ENGINE_SIGNIFICANCE_COVARIATE_TESTS_H
