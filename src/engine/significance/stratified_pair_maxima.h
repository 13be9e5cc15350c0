// The largest ranking key of each within-strata permutation for pairs,
// counted from joint rows of the permutations' counted classes.
//
// A permutation within strata keeps each stratum's numbers of cases and
// controls, and each stratum's cell totals for every pair. The search walks
// pairs over joint rows (every stratum's samples, by stratum then class,
// segmented_pair_counts.h), one pass giving every stratum's table. Here the
// same walk runs over rows holding, per stratum, only the smaller class of
// two permutations (one in each class's words): a pass over about as many
// samples as the run's serves two permutations, and the other class of each
// is the stratum's total (from one walk over the run's joint rows per block)
// less that count. On AVX-512 and AVX2 the pairs are screened from those
// counts directly (counted_pair_screen.h), on the scalar path from their
// assembled tables' chord bounds, summed as the conditional IG sums the
// strata's gains (ranked by RIG only the screens serve: over a floor of
// the strata's class entropies); what remains gets the search's exact
// conditional measures. Ranked by p, the
// bound is the unpooled G, held against the statistic that reaches the
// permutation's smallest p so far on one degree of freedom, then on the
// fewest the strata's tables can have, and only then is a pair tested.
#ifndef GORVA_ENGINE_SIGNIFICANCE_STRATIFIED_PAIR_MAXIMA_H
#define GORVA_ENGINE_SIGNIFICANCE_STRATIFIED_PAIR_MAXIMA_H

#include <vector>

#include "engine/rank/search_context.h"

// A within-strata permutation's own context over the run's: its
// phenotypes, its classes recounted, and its strata's contexts in parts
// (their measures need no planes).
void preparePermutedStrata(const SearchContext& context, const unsigned char* phenotype, SearchContext& own,
                           StrataParts& parts);

// Whether pairs under within-strata permutations are counted this way: a
// stratified order-2 run whose pairs are walked over joint rows in the
// layout this SIMD path reads, ranked by ig, synergy or p (whose keys the
// bounds bound) or, where the path has a screen, rig, every stratum
// holding both classes, at most 16 strata of at least 100 samples on
// average on AVX-512 and AVX2 (4 of 250 on the scalar path: with more or
// smaller strata the sums the walk closes at each segment's end, and the
// tables assembled for the bounds, outweigh the words the counted classes
// save, and the joint walk of each permutation stays), and at least three
// permutations to a group.
bool countsStratifiedPairsFromCountedRows(const SearchContext& context, int order, int permutations);
// The same but for the group's size.
bool stratifiedPairsServe(const SearchContext& context, int order);

// Permutations held at once, for `permutations` in all.
int stratifiedPairGroupSize(const SearchContext& context, int permutations);

// Bytes the maxima hold at their peak, at most, for strata of
// `stratum_samples` samples: a group's joint rows of counted classes (each
// pair of permutations' as large as the run's, at most), its phenotypes,
// contexts and gains, the planes one stratum of one pair is built from, and
// per worker a stretch's counts, tables and bounds.
double stratifiedPairMaximaBytesBound(double marker_count, double sample_count,
                                      const std::vector<long long>& stratum_samples, int workers, int permutations);

// maxima[r] = the largest ranking key of the stratified search over every
// pair with phenotype `phenotypes[r]` (a shuffle within the context's
// strata), -infinity when none is a number. Only when
// stratifiedPairsServe(); false when memory ran out or the
// run was stopped.
bool stratifiedPairMaxima(const SearchContext& context, const std::vector<std::vector<unsigned char>>& phenotypes,
                          std::vector<double>& maxima);

#endif  // GORVA_ENGINE_SIGNIFICANCE_STRATIFIED_PAIR_MAXIMA_H
