// The largest ranking key of each within-strata phenotype permutation,
// counted from the strata's cell totals.
//
// A permutation within strata moves phenotypes, never genotypes, between
// samples of one stratum: every stratum keeps its cell totals for every
// combination, and its numbers of cases and controls. So each block of
// combinations is counted once per stratum for those totals, and then, for
// every permutation of a group, only each stratum's smaller class, from
// planes holding just those samples (two strata a set, one in each entry);
// the other class is the stratum's total less that count. The strata's
// tables then get the conditional measures exactly as the stratified search
// scores them, a table's exact key only when the sum of its strata's IG
// bounds says it may beat the permutation's running maximum.
#ifndef GORVA_ENGINE_SIGNIFICANCE_STRATIFIED_PERMUTATION_MAXIMA_H
#define GORVA_ENGINE_SIGNIFICANCE_STRATIFIED_PERMUTATION_MAXIMA_H

#include <vector>

#include "engine/rank/search_context.h"

// Whether the maxima of `order` under `permutations` within-strata
// permutations are counted from the strata's cell totals: the context is
// stratified, every stratum has planes, the method is not "em", the counter
// serves the order, pairs are not walked over the strata's joint rows, and
// at least three permutations share a group's totals. Pairs walked over the
// joint rows are counted from joint rows of the counted classes where
// stratified_pair_maxima.h serves them.
bool countsStratifiedPermutationsFromTotals(const SearchContext& context, int order, int permutations);

// Permutations whose planes are held at once, for `permutations` in all.
int stratifiedPermutationGroupSize(const SearchContext& context, int order, int permutations);

// The same test from the run's shape, before any context exists: whether
// at least three permutations share a group.
bool stratifiedPermutationsFitGroups(double marker_count, double sample_count, int strata, int levels, int order,
                                     int workers, int permutations);

// Bytes the maxima of one order hold at their peak, at most, for
// `sample_count` samples in strata of `stratum_samples` samples: a group's permutations (their planes of the
// counted classes, each worker's counters of them, contexts and gains) and
// per worker the counters of the strata's totals and a block's tables.
double stratifiedPermutationMaximaBytesBound(double marker_count, double sample_count,
                                            const std::vector<long long>& stratum_samples, int levels, int order,
                                            int workers, int permutations);

// maxima[r] = the largest ranking key the stratified search finds over
// every combination of `order` with phenotype `phenotypes[r]` (a shuffle
// within the context's strata, sample_count bytes), -infinity when none is
// a number. Only when countsStratifiedPermutationsFromTotals(); false when
// memory ran out or the run was stopped.
bool stratifiedMaximaFromCellTotals(const SearchContext& context, int order,
                                    const std::vector<std::vector<unsigned char>>& phenotypes,
                                    std::vector<double>& maxima);

#endif  // GORVA_ENGINE_SIGNIFICANCE_STRATIFIED_PERMUTATION_MAXIMA_H
