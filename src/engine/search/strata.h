// A search conditional on population strata. Each stratum gets a context of
// its own (its samples, class totals and bit-planes), so that a
// combination's table is counted once per stratum by the ordinary counting;
// the strata's tables then give the conditional measures:
//   IG = sum_s (n_s / N) IG_s,  RIG = IG / H(Y | S),  H(Y | S) = sum_s (n_s / N) H_s(Y),
// with n_s the samples the combination counts in stratum s and N their sum.
// A stratum holding one class adds nothing to either sum; with no stratum
// holding both classes the measures are not numbers, as an unstratified
// table with one class is. With one stratum every number is the
// unstratified one bit for bit.
#ifndef GORVA_ENGINE_SEARCH_STRATA_H
#define GORVA_ENGINE_SEARCH_STRATA_H

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "core/mt19937.h"
#include "engine/count/bitplanes.h"
#include "engine/count/chord_information_gain_bound.h"
#include "engine/count/segmented_pair_counts.h"
#include "engine/rank/search_context.h"

struct StrataParts {
  std::vector<SearchContext> contexts;  // one per stratum, unstratified
  std::vector<std::unique_ptr<BitPlanes>> planes;
  // Every stratum's rows in one, for the order-2 walk, in the layout the
  // context's path reads;
  // null where the strata are counted apart.
  std::unique_ptr<SegmentedPlanes> segmented;
};

// The strata's contexts of a stratified context; with the context's planes
// present each stratum gets planes of its own samples (built on up to
// `threads` threads). False when memory ran out for them.
bool splitByStrata(const SearchContext& context, int threads, StrataParts& parts);

// The count tables of one combination in every stratum, one after another
// (stratum-major, 2 * base^k ints each; resized).
void countStratifiedTables(const StrataParts& parts, const int* combination, int k, std::vector<int>& tables);

// What the strata's tables of one combination counted.
struct StratifiedCounts {
  int cases = 0;
  int controls = 0;
  double conditional_entropy = 0;  // H(Y | S), bits
  bool informative = false;        // some stratum holds both classes
};

// The totals stratum `stratum`'s measures are computed with for `table`
// (the table's own under "available", else the stratum's).
void stratumTotals(const StrataParts& parts, int stratum, const int* table, int table_ints, int& cases,
                   int& controls);

StratifiedCounts stratifiedCounts(const StrataParts& parts, const int* tables, int table_ints);

// A stratum's IG and class entropy by what decides them bit for bit: its
// totals and its cells holding both classes, in cell order (the others add
// no term). Small strata (matched pairs) repeat a few such tables over and
// over, each worth four logarithms.
struct StratumMeasureMemo {
  struct Terms {
    double gain;
    double entropy;
  };
  std::unordered_map<std::uint64_t, Terms> terms;
  // Bytes a memo holds at most (it stops taking entries there).
  static double bytesBound();
};

// The conditional measure pair (IG, RIG) of a combination's strata tables;
// with a memo, small strata's terms are looked up there (and kept).
void stratifiedMeasurePair(const StrataParts& parts, int* tables, int table_ints, double* pair,
                           StratumMeasureMemo* memo = nullptr);

// Shuffles the phenotype within each stratum once: the phenotypes of a
// stratum's samples, in sample order, are shuffled as permuteValues
// shuffles (from `generator`), strata in order of their first sample.
void permuteWithinStrata(unsigned char* phenotypes, int sample_count, const int* stratum_of, int stratum_count,
                         Mt19937& generator);

// The chord bound of a stratum's tables (chord_information_gain_bound.h)
// at its rounded case fraction, with the totals its measures use; false
// when that fraction leaves nothing to bound (one class), the chord then
// one of q = 1/2 that still counts the tables' samples.
bool stratumChordBound(const SearchContext& part, ChordBound& chord);

#endif  // GORVA_ENGINE_SEARCH_STRATA_H
