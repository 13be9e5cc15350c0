// Association adjusted for covariates: for a combination, logistic models of
// the phenotype on the samples its count table counts, with and without its
// genotype cells (p_adjusted), and for pairs with and without the A x B
// interaction beyond both markers as factors (p_interaction_adjusted).
#ifndef GORVA_ENGINE_SIGNIFICANCE_COVARIATE_TESTS_H
#define GORVA_ENGINE_SIGNIFICANCE_COVARIATE_TESTS_H

#include <vector>

#include "engine/rank/search_context.h"
#include "engine/significance/structure_results.h"

// Which adjusted p-values to compute: both, or p_adjusted alone (what
// lambda_gc_adjusted needs, at two model fits a combination instead of up
// to four for a pair).
enum class AdjustedTests { kBoth, kAssociationOnly };

class SearchProgress;

// The adjusted p-values of `count` combinations of k markers each (k ints
// per combination), on up to `threads` threads; p_interaction_adjusted is
// NaN under kAssociationOnly. `progress`, if given, is advanced by the
// combinations done (from one thread) but not finished.
std::vector<AdjustedPValues> adjustedPValues(const SearchContext& context, const CovariateModel& model,
                                             const std::vector<int>& combinations, int k, int threads,
                                             AdjustedTests tests = AdjustedTests::kBoth,
                                             SearchProgress* progress = nullptr);

#endif  // GORVA_ENGINE_SIGNIFICANCE_COVARIATE_TESTS_H
