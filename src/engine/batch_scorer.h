// Scores one batch of combinations and picks its best rows, by the plain
// path or the fast one; both give the same rows, measure pairs and keys.
//
// Plain (no planes in the context, or tables above 2^20 cells):
// mdrCombinationAll on the batch, keys, shellsortIndex, takeBatchBest.
// Fast: count tables from the bit-planes. When every pair is wanted, or the
// batch is not larger than K, every table gets its exact measures from
// calculateMeasuresAll and the batch is ranked as the plain path ranks it.
// Otherwise each combination gets a screening key with an error bound; only
// those whose interval reaches the K-th best lower bound (the candidates) get
// exact measures. When the candidates' exact keys are all distinct down to
// the (K+1)-th, the best K are exactly those any sort would put on top;
// otherwise (ties, NaN, too many candidates) the batch is ranked in full.
#ifndef GORVA_ENGINE_BATCH_SCORER_H
#define GORVA_ENGINE_BATCH_SCORER_H

#include <memory>
#include <vector>

#include "engine/bestrows.h"
#include "engine/cell_counter.h"
#include "engine/information_gain_bound.h"
#include "engine/screening.h"
#include "engine/search_context.h"

class BatchScorer {
 public:
  // The kernel is the active SIMD path's at construction.
  BatchScorer(const SearchContext& context, int order);

  // Scores `count` consecutive combinations of the lexicographic sequence
  // (k ints each) and writes into `best` the batch's best min(K, count) rows
  // exactly as ranking every pair with shellsortIndex and takeBatchBest would.
  void score(int* combinations, int count, RankedRows& best);
  // The same for the `count` combinations from `first` on, which need not be
  // spelled out. Only when scoresRanges().
  void scoreRange(const int* first, int count, RankedRows& best);
  // Whether batches may come as ranges: the fast path, with no wish for
  // every pair (whose lines need the combinations anyway).
  bool scoresRanges() const { return counter_ != nullptr && !context_.all_pairs; }

  // The measure pairs of the last batch, two per combination; complete when
  // the context wants every pair (otherwise only some may be filled).
  double* pairs() { return pairs_.data(); }
  const ScorerStats& stats() const { return stats_; }

 private:
  struct Candidate {
    int index;
    double low;
    double high;
    double exact;
  };

  // The batch being scored: a list of combinations, or a first one.
  struct Batch {
    const int* list = nullptr;
    const int* first = nullptr;
    int count = 0;
  };

  void scoreCounted(const Batch& batch, RankedRows& best);
  void scorePlain(int* combinations, int count);
  template <class Visit>
  void forEachTable(const Batch& batch, Visit&& visit);
  void scoreEveryTable(const Batch& batch);
  bool screenBatch(const Batch& batch);
  // One stretch of tables: every table gets its screening key, or (once K
  // keys are in and an IG bound can rule tables out) only those whose bound
  // passes. False when the batch must be ranked in full.
  bool screenStretch(int first, int count, const int* tables);
  bool screenBoundedStretch(int first, int count, const int* tables);
  // Keeps the table as a candidate when its key interval reaches the K-th
  // best lower bound so far; false when there are too many candidates.
  bool offerCandidate(int index, const int* table, double key, double error);
  // False when the batch must be ranked in full instead.
  bool pickExactBest(const Batch& batch, RankedRows& best);
  void exactMeasures(int* table, double* pair);
  void rankInFull(const Batch& batch, RankedRows& best);
  void appendRow(const Batch& batch, int i, double key, RankedRows& best);

  const SearchContext& context_;
  int order_;
  int table_ints_ = 0;
  int candidate_cap_ = 0;
  std::unique_ptr<CellCounter> counter_;
  std::unique_ptr<ScreeningKeys> screening_;
  InformationGainBounds bounds_ = nullptr;  // null: every table gets a key
  double case_fraction_ = 0.5;
  double divergence_factor_ = 0;
  std::vector<double> pairs_;
  std::vector<double> keys_;
  std::vector<int> index_;
  std::vector<double> score_sums_;
  std::vector<Candidate> candidates_;
  std::vector<int> candidate_tables_;
  std::vector<double> low_heap_;      // min-heap of the K best lower bounds so far
  std::vector<int> combination_;      // one combination taken from a range
  std::vector<double> stretch_keys_;  // screening keys of one stretch of tables
  std::vector<double> stretch_errors_;
  std::vector<double> stretch_bounds_;
  ScorerStats stats_;
};

#endif  // GORVA_ENGINE_BATCH_SCORER_H
