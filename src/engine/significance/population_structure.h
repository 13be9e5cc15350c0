// How far an order's p-values are inflated by population structure (the
// genomic-control lambda over the order's combinations), and the listed
// rows' association adjusted for covariates.
#ifndef GORVA_ENGINE_SIGNIFICANCE_POPULATION_STRUCTURE_H
#define GORVA_ENGINE_SIGNIFICANCE_POPULATION_STRUCTURE_H

#include <vector>

#include "engine/rank/search_context.h"
#include "engine/significance/covariate_tests.h"
#include "engine/significance/structure_results.h"

// lambda of `p_values`, leaving out those that are not numbers (NaN when
// none is left).
GenomicControl lambdaOf(const std::vector<double>& p_values);

// Every combination of k of `marker_count` markers when there are at most
// `most`, else `most` drawn uniformly (with replacement) by a generator
// seeded with `seed`; k ints each, unranked on up to `threads` threads.
std::vector<int> combinationsBehindLambda(int marker_count, int k, long long most, unsigned long seed,
                                          int threads, bool& sampled);

// The p_chisq of each combination (k ints each), as the results table
// computes a row's, on up to `threads` threads.
std::vector<double> combinationPValues(const SearchContext& context, const std::vector<int>& combinations,
                                       int k, int threads);

struct OrderSignificance;

// Fills order.structure as `request` asks: lambda over the order's
// combinations, and the adjusted p-values of its listed rows (the listing's
// rows when it has one, else its kept rows) with their own lambda.
void assessOrderStructure(const SearchContext& context, const StructureRequest& request, int threads,
                          OrderSignificance& order);

#endif  // GORVA_ENGINE_SIGNIFICANCE_POPULATION_STRUCTURE_H
