// The fused walk of CellCounter: free cells counted a packed block of last
// markers at a time, bounded while in L1, tables completed on demand.
#include "engine/count/cell_counter.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "engine/count/information_gain_bound_finish.h"

bool CellCounter::fuseBounds(const PathKernels& kernels, double q, double divergence_factor,
                             int fixed_controls, int fixed_cases, const MissingSampleRows* missing_rows) {
  const int* classes = planes_.everyoneCounts();
  const bool served = order_ == 2 || (order_ == 3 && !pairs_.empty());
  if (!served || levels_ != 3 ||
      classes[0] + classes[1] >= kSinglePrecisionTotal || roundedFraction(q) != q)
    return false;
  const int markers = planes_.markerCount();
  const int groups = (block_markers_ + kPairLanes - 1) / kPairLanes + 1;
  const int combinations = (groups * kPairLanes + kPairBlock - 1) / kPairBlock * kPairBlock;
  const NibblePairKernel nibble = order_ == 2 && kernels.walk_nibbles ? kernels.nibble_pairs : nullptr;
  int nibble_levels = 2;
  for (int m = 0; m < markers; ++m) nibble_levels = planes_.complete(m) ? nibble_levels : 3;
  const long packed_words = nibble != nullptr
                                ? nibbleGroupsWords(nibble_levels, groups, row_words_)
                                : static_cast<long>(kPackedLevels) * groups * row_words_ * kPairLanes;
  if (!packed_.reset(packed_words)) return false;
  if (nibble != nullptr && !nibble_rows_.reset(static_cast<long>(kMaxNibbleRows) * row_words_)) return false;
  nibble_rows_of_ = -1;
  nibble_levels_ = nibble_levels;
  nibble_kernel_ = nibble;
  free_counts_stride_ = static_cast<long>(combinations) * kMaxCounts;
  free_counts_.assign(static_cast<std::size_t>(free_counts_stride_) * kMaxFirstMarkers, 0);
  fused_bounds_.assign(combinations, 0.0);
  fused_table_.assign(2 * cells_, 0);
  // The bounds read the last markers' totals eight at a time.
  const long padded = markers + 2L * kPairBlock;
  last_levels_.assign(6 * padded, 0);
  for (int m = 0; m < markers; ++m) {
    for (int e = 0; e < 6; ++e) last_levels_[e * padded + m] = planes_.marginals(m)[e];
  }
  for (int e = 0; e < 6; ++e) second_levels_[e] = &last_levels_[e * padded];
  missing_sparse_ = false;
  if (order_ == 2 && kernels.missing_pairs.sum_bit_rows != nullptr)
    missing_sparse_ = missing_.prepare(planes_, kernels.missing_pairs, kMissingPairBytes, missing_rows);
  // Level 2 is read only by pairs counted whole.
  packed_levels_ = 2;
  for (int m = 0; m < markers && packed_levels_ == 2; ++m) {
    if (order_ == 2 && !planes_.complete(m) && !(missing_sparse_ && missing_.serves(m))) packed_levels_ = 3;
  }
  for (int e = 0; e < 4; ++e) {
    pair_totals_.second_levels[e] = &last_levels_[e * padded];
    triple_totals_.third_levels[e] = &last_levels_[e * padded];
  }
  pair_totals_.controls = classes[0];
  pair_totals_.cases = classes[1];
  fused_bound_.cells = cells_;
  fused_bound_.q = q;
  fused_bound_.divergence_factor = divergence_factor;
  fused_bound_.fixed_controls = fixed_controls;
  fused_bound_.fixed_cases = fixed_cases;
  pair_kernel_ = kernels.free_cells;
  pair_rows_ = kernels.pair_rows;
  pair_bounds_ = kernels.pair_bounds;
  triple_bounds_ = kernels.triple_bounds;
  return true;
}

bool CellCounter::fusesSegment(const Run& run, int from) const {
  if (pair_kernel_ == nullptr) return false;
  return order_ == 2 || derivesFromPairs(run, from);
}

void CellCounter::packLastBlock(int from, int to) {
  packed_first_ = from / kPairLanes * kPairLanes;
  if (missing_sparse_) missing_.startBlock(packed_first_, to);
  const int groups = (to - packed_first_) / kPairLanes + 1;
  if (nibble_kernel_ != nullptr) {
    packNibbleGroups(MarkerRows{planes_.marker(0), planes_.markerStrideWords(), row_words_},
                     nibble_levels_, packed_first_, to + 1, groups, packed_.data());
    return;
  }
  packPairGroups(MarkerRows{planes_.marker(0), planes_.markerStrideWords(), row_words_},
                 packed_first_, to + 1, groups, packed_.data(), packed_levels_);
}

void CellCounter::countFusedSegment(const Run& run, int from, int to) {
  const int first = prefixes_[run.prefix_at];
  if (nibble_kernel_ != nullptr) {
    countNibbleSegment(first, from, to);
    return;
  }
  const int base = from / kPairLanes * kPairLanes;
  // Pairs with a marker that misses genotypes: whole, 3 x 3, counted in
  // full unless both markers miss few enough.
  stretch_whole_ = order_ == 2 && !(planes_.complete(first) && planes_.complete(from));
  const bool from_free = stretch_whole_ && missing_sparse_ && missing_.serves(first) &&
                         missing_.serves(from);
  PairCountRequest request;
  if (order_ == 2) {
    request.row_count = stretch_whole_ && !from_free ? 3 : 2;
    request.level_count = request.row_count;
    for (int l = 0; l < request.row_count; ++l)
      request.rows[l] = planes_.marker(first) + static_cast<long>(l) * row_words_;
  } else {
    request.row_count = 4;
    // The prefix rows below both markers' last levels: g0 + 3 g1.
    for (int r = 0; r < 4; ++r)
      request.rows[r] = run.rows + static_cast<long>(r % 2 + 3 * (r / 2)) * row_words_;
  }
  request.packed = packed_.data() + static_cast<long>(base - packed_first_) * kPackedLevels * row_words_;
  request.groups = (to - base) / kPairLanes + 1;
  request.counts = free_counts_.data();
  pair_kernel_(request, planes_.shape());

  stretch_first_ = from;
  stretch_offset_ = from - base;
  stretch_counts_ = free_counts_.data();
  stretch_from_free_ = from_free ? &missing_.pairsFromFree(first, base, free_counts_.data(), second_levels_)
                                 : nullptr;
  if (order_ == 2) {
    pair_totals_.first_levels = planes_.marginals(first);
    PairBoundRequest bound;
    bound.counts = stretch_counts_;
    bound.pairs = to - base + 1;
    bound.whole = stretch_whole_;
    bound.from_free = stretch_from_free_;
    bound.totals = pair_totals_;
    bound.first_second = base;
    bound.bound = fused_bound_;
    pair_bounds_(bound, fused_bounds_.data());
    return;
  }
  const int second = prefixes_[run.prefix_at + 1];
  triple_totals_.prefix_rows = run.row_totals;
  triple_totals_.second_third = pairs_.of(second, from);
  triple_totals_.first_third = pairs_.of(first, from);
  TripleBoundRequest bound;
  bound.counts = free_counts_.data();
  bound.triples = to - base + 1;
  bound.totals = triple_totals_;
  bound.first_third_marker = base;
  bound.lead = from - base;
  bound.last = to - from;
  bound.controls = pair_totals_.controls;
  bound.cases = pair_totals_.cases;
  bound.bound = fused_bound_;
  triple_bounds_(bound, fused_bounds_.data());
}

bool CellCounter::countsFreeCells(int first, int from) const {
  if (planes_.complete(first) && planes_.complete(from)) return true;
  return missing_sparse_ && missing_.serves(first) && missing_.serves(from);
}

int CellCounter::countFusedRuns(std::size_t r, std::size_t end, int block, int block_end) {
  if (order_ != 2 || pair_kernel_ == nullptr || nibble_kernel_ != nullptr) return 0;
  const auto lastOf = [&](const Run& run) {
    return std::pair(std::max(run.first_last, block), std::min(run.last_last, block_end));
  };
  const auto [lead_from, to] = lastOf(runs_[r]);
  if (lead_from > to || segmentEnd(lead_from, to) != to) return 0;
  // Runs that start a few last markers apart (near the diagonal, where each
  // first marker pairs only with the markers after it) still share the
  // pass: the few pairs counted before a run's start are never read.
  constexpr int kStartSpread = 32;
  int from = lead_from;
  int n = 0;
  while (n < kMaxFirstMarkers && r + n < end) {
    const Run& run = runs_[r + n];
    const auto [run_from, run_to] = lastOf(run);
    if (run_to != to || run_from > to || std::abs(run_from - lead_from) > kStartSpread ||
        segmentEnd(run_from, to) != to || !countsFreeCells(prefixes_[run.prefix_at], run_from))
      break;
    together_from_[n] = run_from;
    from = std::min(from, run_from);
    ++n;
  }
  if (n < 2) return 0;
  const int base = from / kPairLanes * kPairLanes;
  PairRowsRequest request;
  request.first_markers = n;
  for (int t = 0; t < n; ++t) {
    const std::uint64_t* rows = planes_.marker(prefixes_[runs_[r + t].prefix_at]);
    request.rows[2 * t] = rows;
    request.rows[2 * t + 1] = rows + row_words_;
    request.counts[t] = free_counts_.data() + t * free_counts_stride_;
  }
  request.packed = packed_.data() + static_cast<long>(base - packed_first_) * kPackedLevels * row_words_;
  request.groups = (to - base) / kPairLanes + 1;
  if (missing_sparse_) {
    for (int t = 0; t < n; ++t) missing_.prefetchFirstSums(prefixes_[runs_[r + t].prefix_at]);
  }
  if (pair_rows_ != nullptr) {
    pair_rows_(request, planes_.shape());
  } else {
    PairCountRequest one;
    one.packed = request.packed;
    one.groups = request.groups;
    for (int t = 0; t < n; ++t) {
      one.rows[0] = request.rows[2 * t];
      one.rows[1] = request.rows[2 * t + 1];
      one.counts = request.counts[t];
      pair_kernel_(one, planes_.shape());
    }
  }
  together_base_ = base;
  together_to_ = to;
  return n;
}

int CellCounter::boundFusedRun(const Run& run, int t) {
  const int first = prefixes_[run.prefix_at];
  const int base = together_base_;
  const int from = together_from_[t];
  stretch_first_ = from;
  stretch_offset_ = from - base;
  stretch_counts_ = free_counts_.data() + t * free_counts_stride_;
  stretch_whole_ = !(planes_.complete(first) && planes_.complete(from));
  stretch_from_free_ = stretch_whole_
                           ? &missing_.pairsFromFree(first, base, stretch_counts_, second_levels_)
                           : nullptr;
  boundStretch(first, base, together_to_ - base + 1);
  return together_to_ - from + 1;
}

void CellCounter::countNibbleSegment(int first, int from, int to) {
  const int base = from / kPairLanes * kPairLanes;
  if (nibble_rows_of_ != first) {
    nibbleRows(planes_.marker(first), nibble_levels_, row_words_, nibble_rows_.data());
    nibble_rows_of_ = first;
  }
  // Pairs with a marker that misses genotypes: whole, 3 x 3, counted in
  // full unless both markers miss few enough.
  stretch_whole_ = !(planes_.complete(first) && planes_.complete(from));
  const bool from_free = stretch_whole_ && missing_sparse_ && missing_.serves(first) &&
                         missing_.serves(from);
  NibblePairRequest request;
  request.rows = nibble_rows_.data();
  request.packed = packed_.data() + (base - packed_first_) / kPairLanes * nibbleGroupWords(nibble_levels_, row_words_);
  request.packed_levels = nibble_levels_;
  request.whole = stretch_whole_ && !from_free;
  request.groups = (to - base) / kPairLanes + 1;
  request.counts = free_counts_.data();
  nibble_kernel_(request, planes_.shape());

  stretch_first_ = from;
  stretch_offset_ = from - base;
  stretch_counts_ = free_counts_.data();
  stretch_from_free_ = from_free ? &missing_.pairsFromFree(first, base, free_counts_.data(), second_levels_)
                                 : nullptr;
  boundStretch(first, base, to - base + 1);
}

void CellCounter::boundStretch(int first, int base, int pairs) {
  pair_totals_.first_levels = planes_.marginals(first);
  PairBoundRequest bound;
  bound.counts = stretch_counts_;
  bound.pairs = pairs;
  bound.whole = stretch_whole_;
  bound.from_free = stretch_from_free_;
  bound.totals = pair_totals_;
  bound.first_second = base;
  bound.bound = fused_bound_;
  pair_bounds_(bound, fused_bounds_.data());
}

void CellCounter::completeFusedTable(int j, int* table) const {
  if (order_ == 2 && stretch_from_free_ != nullptr) {
    completePairFromFree(*stretch_from_free_, stretch_offset_ + j, table);
  } else if (order_ == 2 && stretch_whole_) {
    wholePairTable(stretch_counts_, stretch_offset_ + j, table);
  } else if (order_ == 2) {
    completePairTable(stretch_counts_, stretch_offset_ + j, pair_totals_, stretch_first_ + j, table);
  } else {
    completeTripleTable(stretch_counts_, stretch_offset_ + j, triple_totals_, j,
                        stretch_first_ + j, table);
  }
}

const int* CellCounter::stretchTable(int j) {
  completeFusedTable(j, fused_table_.data());
  return fused_table_.data();
}

const int* CellCounter::stretchTables(int j, int n) {
  for (int i = 0; i < n; ++i) completeFusedTable(j + i, tables_.data() + 2L * cells_ * i);
  return tables_.data();
}
