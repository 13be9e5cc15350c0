// Count tables of a list of consecutive combinations from the bit-planes.
//
// Consecutive combinations of the lexicographic sequence come in runs that
// share their first k - 1 markers and differ in the last one. The AND of the
// first k - 1 markers' rows (one row per prefix cell) is formed once per run
// and then ANDed with the rows of each last marker. Runs are grouped and
// their last markers walked in blocks, so that one block of rows stays in
// cache while every run of the group is counted against it. When a marker's
// levels cover every listed sample, its last level is not counted but
// derived from the marker's per-level totals. Order 3 goes further when
// its three markers are complete: only the cells below the last level of
// every marker are counted (8 of the 18 a complete third marker leaves),
// the others follow from the counts of the pairs (second, third) and
// (first, third), counted once for every pair of markers. A walk with
// bounds (forEachBounded) goes further on paths with a free-cell kernel:
// only the free cells are counted, a packed block of last markers four to a
// register, the IG bounds computed from them, and tables completed only
// when the scorer asks for them.
#ifndef GORVA_ENGINE_COUNT_CELL_COUNTER_H
#define GORVA_ENGINE_COUNT_CELL_COUNTER_H

#include <cstdint>
#include <vector>

#include "engine/count/bitplanes.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/count/missing_pair_counts.h"
#include "engine/count/nibble_pair_counts.h"
#include "engine/count/pair_counts.h"
#include "engine/count/pair_free_counts.h"
#include "engine/count/information_gain_bound.h"
#include "engine/count/path_kernels.h"

class CellCounter {
 public:
  CellCounter(const BitPlanes& planes, int order, CountCellsKernel kernel);

  // Whether tables of `order` markers at `levels` levels are small enough
  // (at most 2^20 cells) for this counter; larger ones are left to the plain
  // path.
  static bool servesOrder(int levels, int order);
  // Bytes one counter of this order holds at most over planes of
  // `row_words` words per row and `marker_count` markers, counting ranges of
  // up to `runs` runs; without the sample-major rows of order 2 when they
  // are shared (shared_missing_rows).
  static double bytesBound(int levels, int order, double row_words, double marker_count,
                           double runs, bool shared_missing_rows = false);
  // The most bytes the tables a visit sees take (part of bytesBound).
  static double tableBytesBound(int levels, int order, double marker_count);

  int order() const { return order_; }
  int cells() const { return cells_; }

  // Counts the tables of the `count` combinations (k ints each; consecutive
  // in the lexicographic sequence) and hands them over a stretch at a time:
  // visit(first, n, tables) gets the tables of combinations first .. first +
  // n - 1, one after another, 2 * cells() ints each: entry 2c counts the
  // controls and 2c + 1 the cases of cell c = g0 + g1 * levels + ... (first
  // marker least significant), exactly the table countTable_none /
  // countTable_available would fill. The tables live until visit returns;
  // stretches come in no particular order. A visit returning false ends the
  // walk.
  template <class Visit>
  void forEach(const int* combinations, int count, Visit&& visit) {
    planListRuns(combinations, count);
    auto tables_only = [&visit](int first, int n, int* tables, const double*) {
      return visit(first, n, tables);
    };
    walkRuns<false>(tables_only);
  }
  // The same for the `count` combinations from `first` (k ints) on, without
  // a list of them.
  template <class Visit>
  void forEachFrom(const int* first, int count, Visit&& visit) {
    planRangeRuns(first, count);
    auto tables_only = [&visit](int from, int n, int* tables, const double*) {
      return visit(from, n, tables);
    };
    walkRuns<false>(tables_only);
  }
  // Orders 2 and 3 (the latter with the pair counts), 3 levels and fewer
  // than 2^24 samples, with a path's kernels: from now on forEachBounded counts the tables of complete
  // markers by their free cells (pairs with missing genotypes whole) and
  // computes their IG bounds
  // (information_gain_bound.h, with q a float) a block of last markers at a
  // time while the counts are in L1; their tables are completed only when
  // asked for. Order 2 on a path with a nibble kernel (nibble_pair_counts.h)
  // counts from nibble rows, pairs with missing genotypes in the same walk.
  // False (and nothing changes) when this counter cannot.
  // fixed_controls, fixed_cases: the totals the measures use, or -1 when
  // each table's own.
  // missing_rows: the planes' sample-major rows where they are shared.
  bool fuseBounds(const PathKernels& kernels, double q, double divergence_factor, int fixed_controls,
                  int fixed_cases, const MissingSampleRows* missing_rows = nullptr);
  bool fusesBounds() const { return pair_kernel_ != nullptr; }
  // forEach / forEachFrom, the visitor told visit(first, n, tables, bounds):
  // tables as forEach gives them and bounds null, or (a fused stretch)
  // tables null and bounds[j] the IG bound of table j of the stretch, had
  // from stretchTable(j) or stretchTables().
  template <class Visit>
  void forEachBounded(const int* combinations, int count, Visit&& visit) {
    planListRuns(combinations, count);
    walkRuns<true>(visit);
  }
  template <class Visit>
  void forEachBoundedFrom(const int* first, int count, Visit&& visit) {
    planRangeRuns(first, count);
    walkRuns<true>(visit);
  }
  // Table j of the fused stretch being visited (2 * cells() ints, valid
  // until the next call), and its tables j .. j + n - 1 one after another
  // (valid until the visit returns).
  const int* stretchTable(int j);
  const int* stretchTables(int j, int n);

  // Writes into out (k ints) the combination at position i of the last walk.
  void combinationAt(int i, int* out) const;

 private:
  struct Run {
    int first_index;  // position in the list of its first combination
    long prefix_at;   // its first k - 1 markers in prefixes_
    int first_last;   // range of its last marker
    int last_last;
    const std::uint64_t* rows = nullptr;  // prefix rows, one per prefix cell
    int row_count = 0;                    // rows counted (one fewer when derived)
    const int* row_totals = nullptr;      // per prefix row and class
  };

  void planListRuns(const int* combinations, int count);
  void planRangeRuns(const int* first, int count);
  void addRun(int first_index, const int* combination, int length);
  template <bool kFused, class Visit>
  void walkRuns(Visit& visit);
  // Prepares the prefix rows of runs [first, end) and returns end: as many
  // runs as the group's row memory holds.
  std::size_t prepareGroup(std::size_t first);
  // Builds the AND rows of the first k - 1 markers of `prefix` into rows.
  void buildPrefixRows(const int* prefix, std::uint64_t* rows, std::uint32_t* totals);
  // Counts markers [from, to] of the run (all of equal completeness) into
  // tables_ and completes the derived entries.
  void countSegment(const Run& run, int from, int to);
  int segmentEnd(int from, int to) const;
  // Whether the segment's tables can be had from the cells below every
  // marker's last level and the pair counts.
  bool derivesFromPairs(const Run& run, int from) const;
  void countSegmentFromPairs(const Run& run, int from, int to);
  // The fused walk: packs last markers [from, to] a group of four at a
  // time, and counts and bounds the combinations of the run's prefix with
  // last markers [from, to] (all complete).
  bool fusesSegment(const Run& run, int from) const;
  void packLastBlock(int from, int to);
  void countFusedSegment(const Run& run, int from, int to);
  // Order 2 on a path with a nibble kernel (nibble_pair_counts.h).
  void countNibbleSegment(int first, int from, int to);
  // Order 2: counts runs [r, r + n) of a group ending at `end` (2 <= n <=
  // kMaxFirstMarkers) in one pass over the block when they pair their first
  // markers with the same last markers of it (from starts a few markers
  // apart), all by their free cells, and returns n (0 when fewer than two
  // do); boundFusedRun(run, t) then bounds the t-th of them, makes it the
  // stretch being visited and returns its pairs.
  int countFusedRuns(std::size_t r, std::size_t end, int block, int block_end);
  int boundFusedRun(const Run& run, int t);
  // The IG bounds of `pairs` pairs of `first` with last markers from `base`
  // on, from the stretch's counts, into fused_bounds_.
  void boundStretch(int first, int base, int pairs);
  // Whether the pairs of `first` with the segment of `from` are counted by
  // their free cells: both complete, or both missing few enough genotypes.
  bool countsFreeCells(int first, int from) const;
  void completeFusedTable(int j, int* table) const;

  const BitPlanes& planes_;
  int order_;
  int levels_;
  int prefix_cells_;  // levels^(k-1)
  int cells_;         // levels^k
  int row_words_;
  CountCellsKernel kernel_;
  int block_markers_;
  int group_slots_;
  std::vector<Run> runs_;
  std::vector<int> prefixes_;  // k - 1 markers per run
  std::vector<int> walk_;      // a combination while planning a range
  std::vector<int> tables_;    // block_markers_ tables
  AlignedWords group_rows_;    // order >= 3: prefix rows of a group's runs
  std::vector<std::uint32_t> group_totals_;
  AlignedWords depth_rows_;                   // order >= 4: AND rows of the first k - 2 markers
  std::vector<int> depth_markers_;            // the markers depth_rows_ was built for
  std::vector<int> same_completeness_until_;  // last marker of each marker's stretch
  PairCounts pairs_;  // order 3, when they fit
  // The fused walks (fuseBounds).
  PairCountKernel pair_kernel_ = nullptr;
  PairInformationGainBounds pair_bounds_ = nullptr;
  TripleInformationGainBounds triple_bounds_ = nullptr;
  BoundRequest fused_bound_;
  std::vector<int> last_levels_;      // 4 arrays over the markers (PairTotals), padded
  AlignedWords packed_;               // the packed groups of the block in use
  int packed_first_ = 0;              // its first marker (a multiple of 4)
  int packed_levels_ = 3;             // the levels packed (2 when no pair is counted whole)
  std::vector<int> free_counts_;      // the free counts of the stretches counted together
  long free_counts_stride_ = 0;       // ints apart
  const int* stretch_counts_ = nullptr;  // the visited stretch's
  PairRowsKernel pair_rows_ = nullptr;
  // The runs counted together: their first last markers, the counts' first
  // (a multiple of 4) and the last.
  int together_from_[kMaxFirstMarkers] = {};
  int together_base_ = 0;
  int together_to_ = 0;
  std::vector<double> fused_bounds_;  // and bounds
  PairTotals pair_totals_;            // of the stretch being visited
  TripleTotals triple_totals_;
  int stretch_first_ = 0;   // its first last marker
  int stretch_offset_ = 0;  // and that marker's position in the counts
  bool stretch_whole_ = false;  // pairs counted whole
  const PairFromFree* stretch_from_free_ = nullptr;  // or completed from their free cells
  std::vector<int> fused_table_;
  // The nibble walk of order 2 (fuseBounds on a path with its kernel).
  NibblePairKernel nibble_kernel_ = nullptr;
  int nibble_levels_ = 2;      // packed: 3 when some marker misses genotypes
  AlignedWords nibble_rows_;   // of the first marker nibble_rows_of_
  int nibble_rows_of_ = -1;
  // Order 2's pairs with missing genotypes from their free cells
  // (missing_pair_counts.h).
  MissingPairCounts missing_;
  bool missing_sparse_ = false;
  const int* second_levels_[6] = {};  // last_levels_'s six arrays
};

template <bool kFused, class Visit>
void CellCounter::walkRuns(Visit& visit) {
  for (std::size_t first = 0; first < runs_.size();) {
    const std::size_t end = prepareGroup(first);
    int low = runs_[first].first_last;
    int high = runs_[first].last_last;
    for (std::size_t r = first; r < end; ++r) {
      if (runs_[r].first_last < low) low = runs_[r].first_last;
      if (runs_[r].last_last > high) high = runs_[r].last_last;
    }
    for (int block = low; block <= high; block += block_markers_) {
      const int block_end = block + block_markers_ - 1 < high ? block + block_markers_ - 1 : high;
      if (kFused && pair_kernel_ != nullptr) packLastBlock(block, block_end);
      for (std::size_t r = first; r < end; ++r) {
        if (kFused) {
          const int together = countFusedRuns(r, end, block, block_end);
          for (int t = 0; t < together; ++t) {
            const Run& run = runs_[r + t];
            const int pairs = boundFusedRun(run, t);
            if (!visit(run.first_index + (stretch_first_ - run.first_last), pairs, nullptr,
                       fused_bounds_.data() + stretch_offset_))
              return;
          }
          if (together > 0) {
            r += together - 1;
            continue;
          }
        }
        const Run& run = runs_[r];
        int from = run.first_last > block ? run.first_last : block;
        const int to = run.last_last < block_end ? run.last_last : block_end;
        while (from <= to) {
          const int segment_end = segmentEnd(from, to);
          const int index = run.first_index + (from - run.first_last);
          if (kFused && fusesSegment(run, from)) {
            countFusedSegment(run, from, segment_end);
            if (!visit(index, segment_end - from + 1, nullptr,
                       fused_bounds_.data() + stretch_offset_))
              return;
          } else {
            countSegment(run, from, segment_end);
            if (!visit(index, segment_end - from + 1, tables_.data(), nullptr)) return;
          }
          from = segment_end + 1;
        }
      }
    }
    first = end;
  }
}

#endif  // GORVA_ENGINE_COUNT_CELL_COUNTER_H
