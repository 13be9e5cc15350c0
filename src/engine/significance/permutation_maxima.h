// The largest ranking key of each phenotype permutation, counted cheaply.
//
// A cell's total (its cases plus its controls) does not depend on the
// phenotype. So each block of combinations is counted once with the run's
// planes, for those totals, and then, for every permutation of a group, only
// the smaller class of that permutation is counted, from planes that hold
// just its samples; the other class is the total less that count. The loop
// runs over blocks outside and permutations inside, so totals are held for
// one block per worker, never for a whole order. Each permutation keeps its
// running maximum, and a table gets its exact measures only when its IG
// upper bound says it may beat that maximum. Pairs whose markers miss few
// samples are counted by PairClassCounter, which counts fewer cells.
#ifndef GORVA_ENGINE_SIGNIFICANCE_PERMUTATION_MAXIMA_H
#define GORVA_ENGINE_SIGNIFICANCE_PERMUTATION_MAXIMA_H

#include <vector>

#include "engine/rank/search_context.h"

// Whether the maxima of `order` under `permutations` permutations are
// counted from cell totals: the context counts from its planes, under a
// method the planes serve, the tables of the order fit the cell counter,
// both classes have samples, and at least three permutations share a
// group's totals (fewer of them, or less memory, and each permutation is
// searched in full).
bool countsPermutationsFromTotals(const SearchContext& context, int order, int permutations);

// Permutations whose planes are held at once, for `permutations` in all.
int permutationGroupSize(double marker_count, double sample_count, int levels, int order,
                         int workers, int permutations);

// Bytes the maxima of one order hold at their peak, at most: a group's
// planes of the smaller classes, phenotypes and single-marker gains, and per
// worker its counters, a block's totals and its tables.
double permutationMaximaBytesBound(double marker_count, double sample_count, int levels, int order,
                                   int workers, int permutations);

// maxima[r] = the largest ranking key over every combination of `order`
// with phenotype `phenotypes[r]` (sample_count bytes each), NaN keys left
// out, -infinity when none is a number; keys are those the search computes
// (rankingKey of calculateMeasuresAll's pair). Only when
// countsPermutationsFromTotals(); false when memory ran out.
bool maximaFromCellTotals(const SearchContext& context, int order,
                          const std::vector<std::vector<unsigned char>>& phenotypes,
                          std::vector<double>& maxima);

#endif  // GORVA_ENGINE_SIGNIFICANCE_PERMUTATION_MAXIMA_H
