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
//
// Ranked by p_chisq, a table's test statistic is at most its unpooled
// G = 2 ln2 n IG, and a tail on more degrees of freedom is larger, so a
// table whose IG bound (or screening IG) gives a G below the 1-df statistic
// of the batch's K-th best p so far cannot enter: screened batches test only
// the others, and compute exact measures only for those whose p reaches the
// K-th best. Equal p-values rank by IG, then in enumeration order. A batch
// ranked in full gets every table's measures, and each test unless its IG
// rules it out (PValueKeys). Tables without a test have no row.
//
// With a listing in the context, every table whose IG may reach the
// listing's floor gets its exact measures too and is offered to it, once:
// a screened batch offers them after its pick, a batch ranked in full while
// it is scored.
//
// Consecutive batches given as one range are screened in one walk, each with
// its own screening state: the walk's blocks of last markers then serve the
// runs of every batch of the range while they are in cache, which matters
// once the planes outgrow the cache (order 2 beyond some 40,000 markers,
// where one batch holds only one or two runs). Where the counter fuses
// counting and bound (orders 2 and 3 on the AVX2 path), a stretch comes with
// its tables' IG bounds and without the tables, which are completed only
// for those whose bound passes.
#ifndef GORVA_ENGINE_RANK_BATCH_SCORER_H
#define GORVA_ENGINE_RANK_BATCH_SCORER_H

#include <functional>
#include <memory>
#include <vector>

#include "engine/count/bound_screen.h"
#include "engine/count/cell_counter.h"
#include "engine/rank/bestrows.h"
#include "engine/rank/em_tables.h"
#include "engine/count/information_gain_bound.h"
#include "engine/rank/order_search_shape.h"
#include "engine/rank/p_value_keys.h"
#include "engine/rank/screening.h"
#include "engine/rank/search_context.h"

class BatchScorer {
 public:
  // The kernel is the active SIMD path's at construction.
  BatchScorer(const SearchContext& context, int order);

  // Scores `count` consecutive combinations of the lexicographic sequence
  // (k ints each) and writes into `best` the batch's best min(K, count) rows
  // exactly as ranking every pair with shellsortIndex and takeBatchBest would.
  void score(int* combinations, int count, RankedRows& best);
  // The same for `count` combinations from position `first_rank` of the
  // order's sequence on (not spelled out), taken as consecutive batches of
  // `batch_size`, the last one possibly shorter: best[b] gets batch b's rows,
  // exactly as score() on that batch alone would give. Only when
  // scoresRanges(); count is below 2^30.
  void scoreRanges(long long first_rank, int count, int batch_size, RankedRows* best);
  // Whether batches may come as ranges: the fast path, with no wish for
  // every pair (whose lines need the combinations anyway).
  bool scoresRanges() const { return counter_ != nullptr && !context_.all_pairs; }
  // scoresRanges() of a scorer for this context and order, without one.
  static bool scoresRangesFor(const SearchContext& context, int order);
  // Whether the scorers of a search of this order read the planes'
  // sample-major rows (SearchContext::missing_rows), which the search then
  // builds once for all of them.
  static bool readsMissingRows(const SearchContext& context, int order);
  // Whether the scorers of this context and order count their tables from
  // the planes (else a sample at a time).
  static bool countsFromPlanes(const SearchContext& context, int order);

  // Bytes one scorer of the shape's order holds at most, walking up to
  // `unit_batches` of the shape's batches at a time, its counter and
  // screening included; the rows it ranks are not (the shape's threads
  // do not matter).
  // (Without the shared sample-major rows: orderSearchBytesBound counts them once.)
  static double bytesBound(const OrderSearchShape& shape, double unit_batches);

  // The measure pairs of the last batch, two per combination; complete when
  // the context wants every pair (otherwise only some may be filled).
  double* pairs() { return pairs_.data(); }
  const ScorerStats& stats() const { return stats_; }

 private:
  struct Listed {
    int index;  // in the walk
    double pair[2];
  };

  struct Candidate {
    int index;  // in the walk
    double low;
    double high;
    double exact;
    double pair[2];
  };

  // The batch being scored: a list of combinations, or a first one.
  struct Batch {
    const int* list = nullptr;
    const int* first = nullptr;
    int count = 0;
  };

  // One batch's screening: the K best lower bounds so far and the tables
  // whose key interval reached them.
  struct Screen {
    int first_index = 0;  // the batch's first combination in the walk
    int count = 0;
    bool screened = false;  // false: ranked in full without screening
    bool usable = true;     // false: fell back, to be ranked in full
    std::vector<double> low_heap;  // min-heap
    std::vector<Candidate> candidates;
    std::vector<int> tables;  // the candidates' count tables
    std::vector<Listed> listed;  // offered to the listing once the pick holds
    PValueKeys p_keys;  // ranked by p: the batch's K best keys so far
    void reset(int first, int length, bool screen, int K);
  };

  // Under "em": whether its batches are screened (by their em tables'
  // bounds); the em and observed tables of `count` counted ones; the IG
  // bounds of the observed tables of the last `count` completed (their own
  // totals), for their tests' keys (NaN: none); and whether a table ranked
  // by p whose key rules it out may go without its measures (nobody reads
  // them).
  bool screensEm() const;
  void completeEmTables(int count, int* counted);
  // Screening under "em": the walk's stretches bounded from their counted
  // tables (em_table_bounds.h), whose em tables are made only for the few a
  // bound does not rule out.
  bool boundsEmTables() const;
  void screenEmTables(const Batch& walk, const std::function<bool(int, int, int*, const double*)>& screen);
  const int* emTable(int j);
  const int* emTables(int j, int n);
  void observedGainBounds(int count);
  bool measuresSpared() const;

  void scoreBatches(const Batch& walk, int batch_size, RankedRows* best);
  void scorePlain(int* combinations, int count);
  template <class Visit>
  void forEachTable(const Batch& batch, Visit&& visit);
  void scoreEveryTable(const Batch& batch);
  // Screens the walk's tables, each batch's with its own state.
  void screenWalk(const Batch& walk, int batch_size, int batches);
  // Ranking by synergy: the single-marker IGs of a stretch's first k - 1
  // markers (shared by the stretch) and its first last marker.
  struct RunGains {
    double prefix = 0;
    int first_last = 0;
  };
  RunGains runGains(const Batch& walk, int first);
  // The single-marker IGs of table j of the stretch (0 unless by synergy).
  double ownGains(const RunGains& gains, int j) const;
  // Whether IG bounds can rule tables of the screen out now (ranking by a
  // measure of the pair).
  bool boundsRuleOut(const Screen& screen) const;
  // One stretch of one batch's tables: every table gets its screening key,
  // or (once K keys are in and an IG bound can rule tables out) only those
  // whose bound passes. False when the batch must be ranked in full.
  bool screenStretch(Screen& screen, int first, int count, const int* tables,
                     const RunGains& gains);
  // Tables of one piece of a stretch: in memory, or completed on demand
  // from the counts of a fused stretch (offset: the piece's first table in it).
  struct PieceTables {
    const int* tables = nullptr;
    int offset = 0;
    int table_ints = 0;
    CellCounter* counter = nullptr;
    BatchScorer* em = nullptr;  // completes em tables when first asked for
    const int* at(int j) const {
      if (em != nullptr) return em->emTable(offset + j);
      return tables != nullptr ? tables + static_cast<long>(offset + j) * table_ints
                               : counter->stretchTable(offset + j);
    }
    // Tables 0 .. n - 1 one after another.
    const int* all(int n) const {
      if (em != nullptr) return em->emTables(offset, n);
      return tables != nullptr ? at(0) : counter->stretchTables(offset, n);
    }
  };
  // bounds: the pieces' IG bounds, or null to compute them from the tables.
  bool screenBoundedStretch(Screen& screen, int first, int count, const PieceTables& tables,
                            const double* bounds, const RunGains& gains);
  // Keeps the table as a candidate when its key interval reaches the K-th
  // best lower bound so far; false when there are too many candidates.
  bool offerCandidate(Screen& screen, int index, const int* table, double key, double error);
  // False when the batch must be ranked in full instead.
  bool pickExactBest(const Batch& walk, Screen& screen, RankedRows& best);
  // Ranking by p_chisq: one stretch of a screened batch (bounds: the fused
  // walk's IG bounds, or null), the pick of its best rows, and the ranking
  // of a batch in full.
  bool screenPValueStretch(Screen& screen, int first, int count, const PieceTables& tables,
                           const double* bounds);
  bool pickPValueBest(const Batch& walk, Screen& screen, RankedRows& best);
  void rankByPValue(const Batch& batch, RankedRows& best);
  void exactMeasures(int* table, double* pair);
  // An upper bound of the exact IG of a table whose screening key (of the
  // ranking measure) is key +- error.
  double gainUpper(const int* table, double key, double error) const;
  // Notes table `index` of the walk for the listing when it may qualify.
  void noteListed(std::vector<Listed>& listed, int index, const int* table, double ig_upper);
  void offerListed(const Batch& walk, std::vector<Listed>& listed);
  // The context's running maximum (-infinity without one), and raising it
  // to the best key of `best`.
  double runningMaximum() const;
  void raiseRunningMaximum(const RankedRows& best);
  void rankInFull(const Batch& batch, RankedRows& best);
  void appendRow(const Batch& walk, int i, const double* pair, double key, RankedRows& best);
  // Combination i of the walk (valid until the next call).
  const int* combinationOf(const Batch& walk, int i);
  double keyOf(const Batch& walk, int i, const double* pair);
  // Ranking by p_chisq: the keys of a plain batch, from each combination's
  // own count table.
  void plainPValueKeys(const int* combinations, int count);
  void noteNotANumber(const Batch& walk, int i);
  // The best K of a batch ranked in full whose keys are all numbers and
  // whose best K + 1 differ: the rows any sort puts on top, in its order,
  // picked without sorting the batch. False (nothing picked) otherwise:
  // ties and NaN take the sort's own order.
  bool pickDistinctBest(const Batch& batch, RankedRows& best);

  const SearchContext& context_;
  int order_;
  int table_ints_ = 0;
  int walk_candidate_cap_ = 0;  // candidates per batch of the walk
  std::unique_ptr<CellCounter> counter_;
  // Under "em": the counter counts the missing genotype as a level, and
  // each table's em and observed tables are completed from it before any
  // reader sees it (table_ints_ are em's). Screened by the bounds of the em
  // table, never in the walk: those of the counted one say nothing of it.
  std::unique_ptr<EmTables> em_tables_;
  std::vector<int> em_completed_;
  std::vector<int> em_observed_;  // the observed samples' tables beside them
  std::vector<double> observed_bounds_;  // their IG bounds, ranked by p
  // The stretch screenEmPairs is at: its counted tables and which of them
  // have their em table in em_completed_.
  const int* em_counted_ = nullptr;
  std::vector<unsigned char> em_made_;
  std::vector<double> em_bounds_;
  EmTableBounds em_table_bounds_ = nullptr;
  std::unique_ptr<EmBoundShape> em_bound_shape_;
  std::unique_ptr<ScreeningKeys> screening_;
  InformationGainBounds bounds_ = nullptr;  // null: every table gets a key
  NextReaching next_reaching_ = nextReachingScalar;
  double case_fraction_ = 0.5;
  double divergence_factor_ = 0;
  std::vector<double> pairs_;
  std::vector<double> keys_;
  // Ranking by p_chisq: each table's key, by its index in the batch.
  PValueKeys p_value_keys_;
  std::vector<double> p_keys_;
  std::vector<int> index_;
  std::vector<int> top_;  // pickDistinctBest's partial order
  std::vector<double> score_sums_;
  std::vector<Screen> screens_;          // one per batch of a walk
  std::vector<std::vector<int>> firsts_;  // each batch's first combination
  std::vector<int> combination_;      // one combination taken from a range
  std::vector<double> stretch_keys_;  // screening keys of one stretch of tables
  std::vector<double> stretch_errors_;
  std::vector<double> stretch_bounds_;
  ListingSink* listing_ = nullptr;
  double listing_floor_ = 0;
  std::vector<int> listed_table_;      // a copy for exactMeasures
  std::vector<Listed> walk_listed_;    // of a batch ranked in full
  double stretch_floor_ = 0;           // the running maximum when the stretch began
  ScorerStats stats_;
};

// Shared by the scoring and the screening of a walk, which count its tables
// the same way.
template <class Visit>
void BatchScorer::forEachTable(const Batch& batch, Visit&& visit) {
  const auto completed = [&](int first, int count, int* tables) {
    completeEmTables(count, tables);
    return visit(first, count, em_completed_.data());
  };
  if (batch.list != nullptr) {
    if (em_tables_) {
      counter_->forEach(batch.list, batch.count, completed);
    } else {
      counter_->forEach(batch.list, batch.count, visit);
    }
  } else if (em_tables_) {
    counter_->forEachFrom(batch.first, batch.count, completed);
  } else {
    counter_->forEachFrom(batch.first, batch.count, visit);
  }
}

#endif  // GORVA_ENGINE_RANK_BATCH_SCORER_H
