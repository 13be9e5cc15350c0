// What every batch of a search needs to know: the data, the sample list and
// its totals, the method codes, K, and the bit-planes when the fast path
// counts. Shared read-only by the worker threads.
//
// The engine's words, from the largest piece of work to the smallest:
// - order: every combination of k markers, in lexicographic order;
// - batch: BATCH_SIZE consecutive combinations of an order, ranked on their
//   own and merged into the kept rows strictly in batch order, so that the
//   result does not depend on threads or processes;
// - unit: the consecutive batches one worker takes at a time (the fast path
//   counts them in one walk);
// - segment: the best rows of consecutive batches merged into one list where
//   merging is associative (how an MPI rank sends its range of batches back);
// - walk: one pass of the cell counter over the combinations of a unit;
// - run: consecutive combinations that share their first k - 1 markers and
//   differ in the last one; its prefix rows (the AND of those markers) are
//   formed once;
// - group: the runs whose prefix rows are held at once;
// - block: last markers counted against a group while their rows are in
//   cache;
// - stretch: consecutive tables handed from the counter to the scorer in one
//   visit (a stretch may run from one batch into the next).
#ifndef GORVA_ENGINE_RANK_SEARCH_CONTEXT_H
#define GORVA_ENGINE_RANK_SEARCH_CONTEXT_H

#include <atomic>
#include <vector>

#include "engine/count/genotype_view.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/rank/bestrows.h"
#include "engine/rank/listing_sink.h"
#include "core/search_constants.h"

class BitPlanes;
class MissingSampleRows;
struct StrataParts;


// How a run wants to be searched; filled by the program from its command
// line, read by the engine.
struct SearchSettings {
  int requested_threads = 1;  // workerCount() resolves it: below 1 every hardware thread
  bool use_planes = true;     // false: the plain byte-counting path for every batch
  bool show_progress = false;  // one self-overwriting line per order on the error stream
  // The instruction set of this search's kernels, chosen when the settings
  // are made, so that a search never changes path half-way and two searches
  // of one process may differ.
  SimdPath simd = activeSimdPath();
};

// Ranking measures: the measure pair's IG or RIG, the synergy, IG minus
// the IGs of the combination's markers alone, or the association test's
// p-value (key -ln p, so that the smallest p ranks first; its table is
// needed, the pair does not give it).
constexpr int kRankByIG = 0;
constexpr int kRankByRIG = 1;
constexpr int kRankBySynergy = 2;
constexpr int kRankByP = 3;

struct SearchContext {
  // marker-major, m * sample_count + s; null when the codes are only seen
  // through `source` (then every order must be counted from the planes)
  unsigned char* genotypes = nullptr;
  GenotypeView source;  // the same codes, where the planes are built from (null: the planes hold them)
  int marker_count = 0;
  int sample_count = 0;
  unsigned char* phenotypes = nullptr;  // 1 case, 0 control
  double* scores = nullptr;
  std::vector<int> samples;  // the listed samples, increasing
  int N = 0;
  int cases = 0;
  int controls = 0;
  double ratio = 0;
  int option_code = 1;
  int missing_code = kMethodAvailable;
  int measure = 0;  // kRankByIG, kRankByRIG, kRankBySynergy or kRankByP
  int K = 10;
  // kRankBySynergy: each marker's own IG (as this context scores order 1).
  const double* single_gains = nullptr;
  // Measures that are not numbers rank below every number (and the caller
  // leaves such rows out) instead of taking the place the index sort gives.
  bool not_a_number_last = false;
  const BitPlanes* planes = nullptr;  // null: every batch takes the plain path
  // The planes' missing samples turned sample-major for order 2, built once
  // for all threads (null: each counter builds its own where it needs them).
  const MissingSampleRows* missing_rows = nullptr;
  bool all_pairs = false;             // every pair of every batch is wanted
  // Not null: every combination whose calibrated p-value may be low enough
  // is offered to it, besides the ranking (shared by the worker threads).
  ListingSink* listing = nullptr;
  // Not null (K = 1, only the order's best key wanted): the best key of the
  // batches scored so far, raised by every worker; a batch may then rule out
  // whatever cannot reach it, and return nothing or a row below it.
  std::atomic<double>* running_maximum = nullptr;
  SearchSettings settings;
  // Population strata: each sample's stratum (sample_count entries, 0 ..
  // stratum_count - 1), or null for a run without strata. Every measure is
  // then conditional on the stratum, counted through `strata`, the strata's
  // own contexts (splitByStrata), which must be set before a search.
  const int* stratum_of = nullptr;
  int stratum_count = 0;
  const StrataParts* strata = nullptr;
  // Not null: another thread sets it to stop the search (a caller that was
  // interrupted). Workers look at it between batches, permutations and
  // model fits; what a stopped search returns is incomplete and is only
  // good for throwing away.
  const std::atomic<bool>* stop = nullptr;
};

inline bool stopRequested(const SearchContext& context) {
  return context.stop != nullptr && context.stop->load(std::memory_order_relaxed);
}

// The codes of `count` markers, marker-major over the context's samples,
// from its view, or from its planes when it has no view (codes read from a
// file straight into the planes).
std::vector<unsigned char> contextColumns(const SearchContext& context, const int* markers, int count);

// A run's samples and markers as a search context starts from them.
struct SearchInput {
  unsigned char* phenotypes = nullptr;  // recoded in place
  double* scores = nullptr;
  int sample_count = 0;
  int marker_count = 0;
  int case_value = 1;
  int missing_code = kMethodAvailable;
};

// Recodes the phenotype in place (case_value -> 1, anything else -> 0),
// imputes missing codes under "imputation", lists the samples to count
// (under "complete" only those without a missing code at any marker) and
// sets the totals. Leaves K, measure, option code and planes alone.
void prepareSearchContext(unsigned char* genotypes, const SearchInput& input, SearchContext& context);

// The same for codes the search may only read, in any layout: no
// imputation (the caller has done any); `genotypes` stays null.
void prepareSearchContext(const GenotypeView& source, const SearchInput& input, SearchContext& context);

// The ranking key of a scored combination (k markers, its measure pair).
double rankingKey(const SearchContext& context, const double* pair, const int* combination, int k);

// What orders rows of equal ranking keys under the context's measure.
inline EqualKeys equalKeysOf(const SearchContext& context) {
  return context.measure == kRankByP ? EqualKeys::kLargerGainFirst : EqualKeys::kKeepOrder;
}

// The measure pair (IG, RIG) of a count table of `table_ints` ints, from
// calculateMeasuresAll with the totals the method scores with: the run's,
// or under "available" the table's own. score_sums: table_ints doubles of
// working room.
void exactMeasurePair(const SearchContext& context, int* table, int table_ints, double* score_sums,
                      double* pair);

// The single-marker IGs of a combination's markers, summed in its order, and
// the synergy, IG less that sum.
double singleGainSum(const int* combination, int k, const double* single_gains);
inline double synergyOf(double ig, const int* combination, int k, const double* single_gains) {
  return ig - singleGainSum(combination, k, single_gains);
}

// Recounts cases, controls, N and the ratio over the context's sample list
// from its phenotype (after the phenotype was permuted).
void recountClasses(SearchContext& context);

// `count` combinations of `order` markers, k ints each.
struct CombinationList {
  int* combinations;
  int order;
  int count;
};

// The measure pairs of the listed combinations (indices into `genotypes`, a
// marker-major matrix of `marker_count` markers of the context's sample
// count) by the plain path: mdrCombinationAll over the context's sample
// list, method and totals.
void scorePlainly(const SearchContext& context, unsigned char* genotypes, int marker_count,
                  const CombinationList& list, double* pairs);

// Builds the planes of a prepared context when the fast path serves its
// method (all but "em") on up to `threads` threads; false when it does not
// or memory is short, and the plain path then counts. A context without a
// view has them built from its current planes (for a permuted phenotype).
// `word_multiple`: the class blocks' padding (PlanesRequest).
bool buildPlanesFor(const SearchContext& context, BitPlanes& planes, int threads = 1, int word_multiple = 8);
// The planes an order search counts from (BatchScorer): buildPlanesFor's,
// and under "em" the missing genotype as a fourth level, from which the
// scorer completes each table's em table. Only for the search's scorers
// (a stratum's too): every other reader of a context's planes takes them
// for the measured tables, which under em they are not.
bool buildSearchPlanesFor(const SearchContext& context, BitPlanes& planes, int threads = 1, int word_multiple = 8);

// Per-batch bookkeeping of the scorers, summed over a search.
struct ScorerStats {
  long long batches = 0;
  long long screened = 0;        // ranked from screening keys and exact candidates
  long long ranked_in_full = 0;  // every pair exact, then the full sort
  long long fallbacks = 0;   // screened first, then ranked in full (ties, NaN, too many candidates)
  long long candidates = 0;  // exact measures computed for screened batches
  long long bound_misses = 0;  // exact keys outside their screening interval (must stay 0)
  long long keys_computed = 0;   // screening keys of screened batches
  long long ruled_out = 0;       // tables whose IG bound spared them a screening key
  long long bounded_in_walk = 0;  // tables the walk bounded while counting them (fused)
  long long not_a_number = 0;    // combinations whose measures are not numbers
  std::vector<int> first_not_a_number;  // the lexicographically first of them

  void add(const ScorerStats& other);
};

#endif  // GORVA_ENGINE_RANK_SEARCH_CONTEXT_H
