// Scores one batch of a stratified search and picks its best rows, exactly
// as ranking every combination's conditional measures with shellsortIndex
// and takeBatchBest would.
//
// The conditional IG is a weighted sum of the strata's IGs, so the same sum
// of upper bounds of the strata's IGs bounds it. Each stratum's walk goes
// over the whole batch once (so that a block of last markers, once packed,
// serves every first marker of the batch); each table, while in cache,
// gets its screening gain (table lookups, no logarithm) plus that gain's
// error bound, added into three sums per combination: the weighted bounds,
// the weighted class entropies (for RIG) and the samples counted. The
// exact keys of the K combinations with the highest bounds give a floor of
// the batch's K-th best key; only combinations whose bound reaches it and
// the K-th best exact key so far are counted again, stratum by stratum,
// for their exact measures. When those candidates' keys are distinct down
// to the (K+1)-th, the best K are the ones any sort puts on top; otherwise
// (ties, measures that are not numbers ranked the classic way) the batch is
// ranked in full. With a listing in the context, every combination whose
// IG may reach the listing's floor gets its exact measures and is offered
// to it.
#ifndef GORVA_ENGINE_SEARCH_STRATIFIED_SCORER_H
#define GORVA_ENGINE_SEARCH_STRATIFIED_SCORER_H

#include <memory>
#include <vector>

#include "engine/count/cell_counter.h"
#include "engine/rank/bestrows.h"
#include "engine/rank/information_gain_bound.h"
#include "engine/rank/listing_sink.h"
#include "engine/rank/screening.h"
#include "engine/rank/search_context.h"
#include "engine/search/strata.h"

class StratifiedScorer {
 public:
  StratifiedScorer(const SearchContext& context, int order);

  // `count` combinations, k ints each; `best` gets the batch's best
  // min(K, count) rows.
  void score(int* combinations, int count, RankedRows& best);
  // The measure pairs of the last batch; complete when the context wants
  // every pair.
  double* pairs() { return pairs_.data(); }
  const ScorerStats& stats() const { return stats_; }

 private:
  struct Candidate {
    int index;
    double key;
    double pair[2];
  };

  // The strata's tables of combinations [first, first + count) of the batch.
  void countChunk(const int* combinations, int count);
  // Combination j of the chunk: its strata's tables, one after another.
  int* gatherTables(int j, int count);
  // Fills the per-combination sums of the batch from every stratum's walk.
  void boundBatch(const int* combinations, int count);
  void addStratum(int stratum, int first, int n, const int* tables);
  // An upper bound of combination i's conditional IG (+infinity: none), or
  // NaN when no stratum holds both classes; and the ranking key's bound
  // that follows from it.
  double gainBound(int i) const;
  double keyBound(double gain_bound, int i, const int* combination) const;
  // The p-value ranking key of a combination whose strata's tables are
  // `tables` (the association test's, as the table's p_chisq).
  double pValueKeyOf(const int* combination, const int* tables);
  // Combination i's exact measures and ranking key.
  Candidate exactCandidate(const int* combinations, int i);
  // A lower bound of the batch's K-th best key (-infinity: none): the
  // lowest exact key of the K combinations with the highest bounds, kept in
  // leaders_ by position.
  double leadersFloor(const int* combinations, int count);
  void rankInFull(int* combinations, int count, RankedRows& best);
  void noteNotANumber(const int* combination);

  const SearchContext& context_;
  const StrataParts& parts_;
  int order_;
  int strata_;
  int table_ints_;
  std::vector<std::unique_ptr<CellCounter>> counters_;  // null: the stratum counts each table on its own
  std::vector<std::unique_ptr<ScreeningKeys>> screening_;  // per stratum, IG
  std::vector<double> fractions_;
  std::vector<double> factors_;
  std::vector<int> tables_;  // stratum-major: stratum s, combination j
  std::vector<int> gathered_;
  std::vector<int> one_table_;
  std::vector<int> tested_;
  // Per combination of the batch, over the strata holding both classes:
  // sum of n_s * (gain_s + its error) and of n_s * H_s(Y); n_s summed over
  // every stratum; whether any stratum holds both classes.
  std::vector<double> weighted_;
  std::vector<double> spread_;
  std::vector<int> counted_;
  std::vector<unsigned char> informative_;
  std::vector<double> key_bounds_;
  std::vector<Candidate> leaders_;
  std::vector<double> pairs_;
  std::vector<double> keys_;
  std::vector<int> index_;
  std::vector<Candidate> candidates_;
  std::vector<Candidate> listed_;  // offered to the listing once the pick holds
  ListingSink* listing_ = nullptr;
  double listing_floor_ = 0;
  std::vector<double> low_heap_;
  ScorerStats stats_;
};

#endif  // GORVA_ENGINE_SEARCH_STRATIFIED_SCORER_H
