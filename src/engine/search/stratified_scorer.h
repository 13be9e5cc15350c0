// Scores one batch of a stratified search and picks its best rows, exactly
// as ranking every combination's conditional measures with shellsortIndex
// and takeBatchBest would.
//
// Pairs are counted in one walk over rows holding every stratum's samples
// (segmented_pair_counts.h) where those were packed; otherwise each
// combination is counted once per stratum (from the stratum's own
// bit-planes where it has them). The conditional IG is a weighted sum of
// the strata's IGs, so the same sum of the strata's IG bounds bounds it;
// only combinations whose bound reaches the K-th best exact key so far get
// their exact measures. When those candidates' keys are distinct down to the
// (K+1)-th, the best K are the ones any sort puts on top; otherwise (ties,
// measures that are not numbers ranked the classic way) the batch is ranked
// in full. With a listing in the context, every combination whose IG may
// reach the listing's floor gets its exact measures and is offered to it.
#ifndef GORVA_ENGINE_SEARCH_STRATIFIED_SCORER_H
#define GORVA_ENGINE_SEARCH_STRATIFIED_SCORER_H

#include <limits>
#include <memory>
#include <vector>

#include "engine/count/cell_counter.h"
#include "engine/count/chord_information_gain_bound.h"
#include "engine/rank/bestrows.h"
#include "engine/rank/em_tables.h"
#include "engine/count/information_gain_bound.h"
#include "engine/count/path_kernels.h"
#include "engine/rank/listing_sink.h"
#include "engine/rank/search_context.h"
#include "engine/search/strata.h"

// The shape of a stratified search, for its memory bound.
struct StratifiedSearchShape {
  std::vector<long long> stratum_samples;
  long long marker_count = 0;
  int levels = 3;
  int counted_levels = 0;  // the strata's planes' levels when not `levels`: 4 under "em"
  int threads = 1;
  int workers = 1;
  int first_order = 1;
  int last_order = 2;
  int batch_size = 0;
};

class StratifiedScorer {
 public:
  StratifiedScorer(const SearchContext& context, int order);

  // `count` combinations, k ints each; `best` gets the batch's best
  // min(K, count) rows.
  void score(int* combinations, int count, RankedRows& best);
  // Whether scoreRanges() serves: pairs on the joint rows, no listing, and
  // not every pair's measures wanted.
  bool scoresRanges() const;
  static bool scoresRangesFor(const SearchContext& context, int order);
  // The `count` pairs from rank first_rank on, batches of batch_size (the
  // last one shorter), in one walk: a block of second markers serves the
  // runs of every batch of the unit while it is in cache. best[b] gets
  // batch b's rows, as score() would give them.
  void scoreRanges(long long first_rank, int count, int batch_size, RankedRows* best);
  // The measure pairs of the last batch; complete when the context wants
  // every pair.
  double* pairs() { return pairs_.data(); }
  const ScorerStats& stats() const { return stats_; }

  // Bytes a stratified search holds at most beside the run's own planes and
  // batches: each stratum's bit-planes and its context, the joint rows of
  // pairs (3 levels), and the scorers of `workers` workers at the hungriest
  // order of [first_order, last_order] (their strata's cell counters and
  // tables; batches of `batch_size`).
  static double bytesBound(const StratifiedSearchShape& shape);
  // Whether pairs of `levels` levels over `samples` samples are counted from
  // the strata's joint rows: no stratum then holds a pair counter, neither in
  // the search nor in its memory bound.
  static bool countsPairsJointly(int levels, double samples);

 private:
  struct Candidate {
    int index;
    double key;
    double pair[2];
  };
  // What screening a batch gathers: its candidates and the K best keys so
  // far (a min-heap), the listing's rows, and its keys that are not numbers.
  struct BatchScreen {
    std::vector<Candidate> candidates;
    std::vector<Candidate> listed;  // offered to the listing once the pick holds
    std::vector<double> low_heap;
    long long not_a_number = 0;
    std::vector<int> first_not_a_number;
    bool usable = true;  // false: it is ranked in full
    void reset();
  };

  // The strata's tables of combinations [first, first + count) of the batch.
  void countChunk(const int* combinations, int count);
  // Each counted table's controls and cases as its measures take them.
  void tableTotals(int count);
  // Combination j of the chunk: its strata's tables, one after another.
  int* gatherTables(int j, int count);
  // An upper bound of combination j's conditional IG (+infinity: none), or
  // NaN when no stratum holds both classes; and the ranking key's bound
  // that follows from it.
  double gainBound(int j, int count);
  template <class Gather>
  double keyBound(double gain_bound, const int* combination, Gather&& gather);
  // The strata's IG bounds of n tables (bounds_), stratum s's tables from
  // tables + s * stratum_ints: whole-pair counts, or tables table_ints_ apart.
  void boundStrata(const int* tables, long stratum_ints, int n, bool whole_pairs);
  // Screens combination i against the K-th best key so far, its tables had
  // from gather(); false when its exact key is not a number (the batch is
  // then ranked in full).
  // The key a combination must reach to be a candidate in the current
  // batch.
  double keyThreshold() const;
  // Whether a batch of `length` combinations is screened rather than
  // ranked in full.
  bool screensBatch(int length) const;
  // Under a p-value ranking, the key bound of a combination whose
  // conditional IG is at most gain_bound (its strata's tables from
  // gather()): -infinity when its test cannot reach the threshold,
  // +infinity when it may, NaN with the bound.
  template <class Gather>
  double pKeyBound(double gain_bound, Gather&& gather);
  // The statistic reaching the threshold on df degrees of freedom.
  double reachingOn(int df);
  // The conditional IG below which a pair cannot reach the threshold: the
  // threshold itself under an IG ranking, under a p-value ranking the
  // gain whose 2 ln2 N IG falls short of the statistic reaching it.
  double gainThreshold();
  template <class Gather>
  bool consider(int i, const int* combination, double gain_bound, Gather&& gather);
  // The screening walks, by chunks of tables or by stretches of pairs in
  // the joint rows; false as consider.
  bool screenChunks(const int* combinations, int count);
  bool screenSegmentedPairs(const int* combinations, int count);
  // Screens the pairs of runs_ (run.index: the unit position of its first
  // pair), second markers [low, high] a block at a time, each pair into the
  // screen of its batch (position / batch_size). A batch whose exact key is
  // not a number is left unusable; with one batch the walk then ends and
  // returns false.
  bool screenRuns(int low, int high, int batch_size);
  // Batch rows from a screen whose candidates' keys are distinct down to
  // the (K+1)-th; false (nothing picked) otherwise. combinationAt(index):
  // the batch's combination at that position.
  template <class CombinationAt>
  bool pickBest(BatchScreen& screen, CombinationAt&& combinationAt, RankedRows& best);
  // Counts, bounds (bounds_) and totals (totals_) of pairs (first_marker,
  // from + j), j < n, in the joint rows; pair j at slot
  // segmentedPairSlot(from % 4 + j).
  void countStretch(int first_marker, int from, int n);
  // The joint rows' counts of pairs (first_marker, from + j), j < n, into
  // segment_counts_; the pairs the counts hold room for.
  int countSegmented(int first_marker, int from, int n);
  // countChunk from the joint rows: pairs of every stratum in one walk, the
  // tables combination-major (combination j's strata one after another).
  void countChunkSegmented(const int* combinations, int count);
  // The p-value ranking key of a combination whose strata's tables are
  // `tables` (the association test's, as the table's p_chisq); under "em",
  // j of a counted chunk of `count` has its observed tables there (j < 0:
  // they are counted).
  double pValueKeyOf(const int* combination, const int* tables, int j, int count);
  void rankInFull(int* combinations, int count, RankedRows& best);
  void noteNotANumber(const int* combination);

  const SearchContext& context_;
  const StrataParts& parts_;
  int order_;
  int strata_;
  int table_ints_;
  int chunk_;  // combinations counted at a time
  std::vector<std::unique_ptr<CellCounter>> counters_;  // null: the stratum counts each table on its own
  const PathKernels* kernels_ = nullptr;
  InformationGainBounds bounds_function_;
  std::vector<double> fractions_;
  std::vector<double> factors_;
  std::vector<ChordBound> chords_;  // per stratum, with the totals its measures take
  std::vector<char> chord_bounded_;
  std::vector<int> tables_;  // stratum-major: stratum s, combination j (from the joint rows: j, s)
  // Under "em", strata counted from planes of four levels complete each
  // table here; observed_ holds the tables of the samples observed at every
  // marker, laid out as tables_.
  std::unique_ptr<EmTables> em_tables_;
  std::vector<int> observed_;
  std::vector<int> gathered_;
  std::vector<int> one_table_;
  std::vector<int> tested_;
  std::vector<double> bounds_;  // stratum-major
  std::vector<int> totals_;     // stratum-major: controls, cases
  std::vector<double> pairs_;
  std::vector<double> keys_;
  std::vector<int> index_;
  std::vector<BatchScreen> screens_;  // one a batch of the unit
  BatchScreen* screen_ = nullptr;     // the batch being screened
  ListingSink* listing_ = nullptr;
  double listing_floor_ = 0;
  double screen_floor_ = 0;
  std::vector<int> unit_batch_;  // a batch's combinations, to rank it in full
  const SegmentedPlanes* segmented_ = nullptr;
  std::vector<int> segment_counts_;  // stratum s at s * stretch_ints_
  std::vector<int> samples_;      // per stratum and pair of the stretch, as bounds_
  std::vector<int> informative_;
  std::vector<double> gain_bounds_;
  long stretch_ints_ = 0;
  long least_group_words_ = 0;  // a packed group's words as the memory bound counts them at least
  struct SegmentRun {
    int index;  // in the batch, or in the unit
    int first_marker, from, to;
  };
  std::vector<SegmentRun> runs_;
  StratumMeasureMemo memo_;
  bool p_screened_ = false;
  double reaching_key_ = std::numeric_limits<double>::quiet_NaN();  // the statistics reaching it, by df
  std::vector<double> reaching_;
  ScorerStats stats_;
};

#endif  // GORVA_ENGINE_SEARCH_STRATIFIED_SCORER_H
