// One worker of the permutation maxima (permutation_maxima.h): its
// counters and buffers for one group, and how it scores a block of
// combinations for every permutation of the group.
#ifndef GORVA_ENGINE_SIGNIFICANCE_MAXIMA_WORKER_H
#define GORVA_ENGINE_SIGNIFICANCE_MAXIMA_WORKER_H

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <type_traits>
#include <vector>

#include <emmintrin.h>

#include "core/gorva.h"
#include "engine/count/cell_counter.h"
#include "engine/count/information_gain_bound.h"
#include "engine/count/information_gain_bound_finish.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/count/path_kernels.h"
#include "engine/count/unrank.h"
#include "engine/rank/search_context.h"
#include "engine/significance/class_tables.h"
#include "engine/significance/key_thresholds.h"
#include "engine/significance/pair_class_counter.h"
#include "engine/significance/permutation_key_cut.h"
#include "engine/significance/permuted_classes.h"

constexpr double kNoBound = std::numeric_limits<double>::quiet_NaN();

// One worker's counters and buffers, for one group.
class MaximaWorker {
 public:
  MaximaWorker(const SearchContext& context, int order,
               const std::vector<std::unique_ptr<CountedPlanes>>& counted,
               const LevelGaps* run_gaps, const std::uint64_t* run_wide_groups,
               InformationGainBounds bounds)
      : context_(context),
        order_(order),
        counted_(counted),
        bounds_(bounds),
        kernel_(pathKernels(context.settings.simd).count_cells),
        counted_class_bounds_(pathKernels(context.settings.simd).counted_class_bounds),
        key_cut_four_(keyCutFour(context.settings.simd)),
        key_cut_scan_(keyCutScan(context.settings.simd)),
        totals_counter_(*context.planes, order, kernel_) {
    cells_ = totals_counter_.cells();
    table_ints_ = 2 * cells_;
    score_sums_.assign(table_ints_, 0.0);
    first_.resize(order);
    combination_.resize(order);
    if (run_gaps != nullptr && run_gaps->usable()) {
      const PathKernels& kernels = pathKernels(context.settings.simd);
      pair_totals_counter_ = std::make_unique<PairClassCounter>(*context.planes, *run_gaps, kernel_,
                                                                kernels.nibble_pairs);
      // Counted as the permutations' walks count, where they count wide.
      if (!kernels.walk_nibbles && countsShape(context.settings.simd, context.planes->shape())) {
        pair_totals_counter_->countFreeCellsWith(kernels.free_cells);
        pair_totals_counter_->countWideWith(wideCountKernel(context.settings.simd), run_wide_groups);
      }
      // The levels at gaps depend on the genotypes only: recorded by the
      // totals' walk, each permutation's walk only masks them.
      if (run_gaps->fitMasks()) {
        pair_totals_counter_->recordMasks(&gap_masks_);
        masks_recorded_ = true;
      }
    }
    by_cell_ = masks_recorded_ && context.sample_count < kSinglePrecisionTotal;
    reads_inverses_ = counted_class_bounds_ == countedClassBoundsAvx2;
    if (by_cell_) pair_totals_counter_->countByCell(true);
    key_cut_.reset(2 * static_cast<int>(counted.size()));
    const PathKernels& kernels = pathKernels(context.settings.simd);
    for (const auto& planes : counted) {
      const bool pairs = planes->gaps != nullptr;
      pair_counters_.push_back(
          pairs ? std::make_unique<PairClassCounter>(planes->planes, *planes->gaps, kernel_, kernels.nibble_pairs)
                : nullptr);
      // Where the search's walk counts free cells rather than nibbles, so
      // do the permutations' walks.
      if (pairs && !kernels.walk_nibbles && countsShape(context.settings.simd, planes->planes.shape())) {
        pair_counters_.back()->countFreeCellsWith(kernels.free_cells);
        pair_counters_.back()->countWideWith(
            wideCountKernel(context.settings.simd),
            planes->wide_groups.size() > 0 ? planes->wide_groups.data() : nullptr);
      }
      if (pairs) pair_counters_.back()->countGapsWith(gapCountsKernel(context.settings.simd));
      counters_.push_back(planes->empty() || pairs
                              ? nullptr
                              : std::make_unique<CellCounter>(planes->planes, order, kernel_));
      // Only a set whose walk hands its counts over by cell reads none of
      // the totals as tables.
      if (!by_cell_ || !pairs || planes->gap_entries.empty()) table_totals_ = true;
    }
    if (pair_totals_counter_) pair_totals_counter_->countGapsWith(gapCountsKernel(context.settings.simd));
  }

  void scoreBlock(long long first_rank, int count) {
    unrankCombination(first_rank, context_.marker_count, order_, first_.data());
    totals_.resize(static_cast<std::size_t>(count) * cells_);
    if (by_cell_) {
      // The walk below fills every row up to `count`: only the room past it
      // is set here (a vector of bounds may read it), not the whole block
      // again per block.
      by_cell_stride_ = count + kPairBlock;
      by_cell_totals_.resize(static_cast<std::size_t>(cells_) * by_cell_stride_);
      if (reads_inverses_) by_cell_inverses_.resize(static_cast<std::size_t>(cells_) * by_cell_stride_);
      by_cell_samples_.resize(static_cast<std::size_t>(by_cell_stride_));
      for (int e = 0; e < cells_; ++e) {
        const std::size_t tail = static_cast<std::size_t>(e) * by_cell_stride_ + count;
        std::fill_n(by_cell_totals_.begin() + tail, kPairBlock, 0);
        if (reads_inverses_) std::fill_n(by_cell_inverses_.begin() + tail, kPairBlock, 1.0f);
      }
    }
    const auto keep_totals = [&](int at, int n, int* tables) {
      int* const totals = &totals_[static_cast<std::size_t>(at) * cells_];
      cellTotals(tables, static_cast<long>(n) * cells_, totals);
      if (by_cell_) {
        for (int j = 0; j < n; ++j)
          for (int e = 0; e < cells_; ++e)
            by_cell_totals_[e * by_cell_stride_ + at + j] = totals[j * cells_ + e];
      }
      return true;
    };
    // The pair walks take turns a slice of second markers at a time: what
    // they read per pair besides their own planes (the block's totals and
    // gap masks, as large as the block) then comes from cache for all but
    // the first of them.
    int slice = context_.marker_count;
    for (std::size_t p = 0; p < counted_.size(); ++p) {
      if (!pair_counters_[p]) continue;
      PairClassCounter& counter = *pair_counters_[p];
      if (masks_recorded_ && !counted_[p]->gap_entries.empty()) {
        counter.useMasks(&gap_masks_, counted_[p]->gap_entries.data());
        counter.countByCell(by_cell_);
      }
      slice = std::min(slice, counter.blockMarkers());
    }
    // Handed over by cell, the totals are the classes' rows added, a slice
    // at a time ahead of the permutations' walks of it: those then read the
    // slice's totals and masks while they are still in cache.
    const bool sliced_totals = pair_totals_counter_ && by_cell_;
    const auto add_classes = [&](int at, int n, int* rows) {
      const long stride = pair_totals_counter_->byCellStride();
      for (int e = 0; e < cells_; ++e) {
        const int* const controls = rows + e * stride;
        const int* const cases = rows + (cells_ + e) * stride;
        int* const totals = &by_cell_totals_[e * by_cell_stride_ + at];
        for (int j = 0; j < n; ++j) totals[j] = controls[j] + cases[j];
        if (table_totals_) {
          for (int j = 0; j < n; ++j)
            totals_[static_cast<std::size_t>(at + j) * cells_ + e] = totals[j];
        }
      }
      inverseTotalsByCell(at, n);
      return true;
    };
    if (sliced_totals) {
      std::fill(by_cell_samples_.begin(), by_cell_samples_.end(), 0);
    } else if (pair_totals_counter_) {
      pair_totals_counter_->forEachFrom(first_.data(), count, keep_totals);
    } else {
      totals_counter_.forEachFrom(first_.data(), count, keep_totals);
    }
    if (by_cell_ && !sliced_totals) {
      std::fill(by_cell_samples_.begin(), by_cell_samples_.end(), 0);
      inverseTotalsByCell(0, count);
    }
    for (int begin = 0; begin < context_.marker_count; begin += slice) {
      if (sliced_totals) pair_totals_counter_->forEachFrom(first_.data(), count, begin, begin + slice, add_classes);
      for (std::size_t p = 0; p < counted_.size(); ++p) {
        if (!pair_counters_[p]) continue;
        slot_base_ = 2 * static_cast<int>(p);
        scoreCounted(*pair_counters_[p], counted_[p]->members, count, begin, begin + slice);
      }
    }
    for (std::size_t p = 0; p < counted_.size(); ++p) {
      if (pair_counters_[p]) continue;
      Permuted* const* members = counted_[p]->members;
      slot_base_ = 2 * static_cast<int>(p);
      if (counters_[p]) {
        scoreCounted(*counters_[p], members, count);
      } else {
        // No sample counted: every table is its totals.
        for (int member = 0; member < 2 && members[member] != nullptr; ++member) {
          totals_counter_.forEachFrom(first_.data(), count, [&](int at, int n, int*) {
            stretchCombination(totals_counter_, at);
            scoreStretch(*members[member], slot_base_ + member, at, n, nullptr,
                         CountedEntries::kBoth);
            return true;
          });
        }
      }
    }
  }

 private:
  // What every permutation's bounds take from the block's totals alone:
  // each cell's inverse and each pair's samples (row by row, so that the
  // loops vectorise), for pairs [at, at + count) (their samples set to zero
  // before).
  void inverseTotalsByCell(int at, int count) {
    for (int e = 0; e < cells_; ++e) {
      const int* const totals = &by_cell_totals_[static_cast<std::size_t>(e) * by_cell_stride_ + at];
      int* const samples = by_cell_samples_.data() + at;
      for (int i = 0; i < count; ++i) samples[i] += totals[i];
      // Without readers the inverses have no room at all.
      if (!reads_inverses_) continue;
      float* const inverses = &by_cell_inverses_[static_cast<std::size_t>(e) * by_cell_stride_ + at];
      // Four divisions at a time (one by one they cost more than all else
      // the block's totals take). The conversion keeps the order and 1
      // exactly, so the float's maximum with 1 is the integer's converted.
      int i = 0;
      const __m128 one = _mm_set1_ps(1.0f);
      for (; i + 4 <= count; i += 4) {
        const __m128 n = _mm_cvtepi32_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(totals + i)));
        _mm_storeu_ps(inverses + i, _mm_div_ps(one, _mm_max_ps(n, one)));
      }
      for (; i < count; ++i) inverses[i] = 1.0f / static_cast<float>(std::max(totals[i], 1));
    }
  }

  // The counter's pairs of the block (with a second marker in [begin, end)
  // for pair counters).
  template <class Counter>
  void scoreCounted(Counter& counter, Permuted* const* members, int count, int begin = 0,
                    int end = 0) {
    const auto visit = [&](int at, int n, int* tables) {
      stretchCombination(counter, at);
      if constexpr (std::is_same_v<Counter, PairClassCounter>) {
        if (counter.byCell()) {
          const long stride = counter.byCellStride();
          const int* const cases_rows = tables + static_cast<long>(cells_) * stride;
          if (members[1] == nullptr) {
            scoreByCell(*members[0], slot_base_, at, n, {tables, cases_rows}, stride);
          } else if (boundsTogether(*members[0], *members[1])) {
            // Both members' bounds in one pass over the totals, then each
            // one's cut with its own.
            boundsByCell(*members[0], at, n, {tables, nullptr}, stride, cases_rows);
            scoreByCell(*members[0], slot_base_, at, n, {tables, nullptr}, stride, true);
            std::swap(bounds_buffer_, second_bounds_);
            std::swap(case_sums_, second_case_sums_);
            scoreByCell(*members[1], slot_base_ + 1, at, n, {cases_rows, nullptr}, stride, true);
          } else {
            scoreByCell(*members[0], slot_base_, at, n, {tables, nullptr}, stride);
            scoreByCell(*members[1], slot_base_ + 1, at, n, {cases_rows, nullptr}, stride);
          }
          return true;
        }
      }
      if (members[1] == nullptr) {
        scoreStretch(*members[0], slot_base_, at, n, tables, CountedEntries::kBoth);
      } else {
        scoreStretch(*members[0], slot_base_, at, n, tables, CountedEntries::kControls);
        scoreStretch(*members[1], slot_base_ + 1, at, n, tables, CountedEntries::kCases);
      }
      return true;
    };
    if constexpr (std::is_same_v<Counter, PairClassCounter>) {
      counter.forEachFrom(first_.data(), count, begin, end, visit);
    } else {
      counter.forEachFrom(first_.data(), count, visit);
    }
  }

  // Ranking by synergy, the stretch's first combination (the others differ
  // in their last marker only, by one each).
  template <class Counter>
  void stretchCombination(const Counter& counter, int at) {
    if (context_.measure != kRankBySynergy) return;
    counter.combinationAt(at, combination_.data());
    stretch_last_ = combination_[order_ - 1];
  }

  // Tables at..at + n - 1 of the walk (sharing all markers but the last)
  // from their totals and their counted class (null: none counted).
  void scoreStretch(Permuted& permuted, int slot, int at, int n, const int* counted,
                    CountedEntries entries) {
    tables_.resize(static_cast<std::size_t>(n) * table_ints_);
    // Cells of consecutive tables are consecutive in all three arrays.
    assembleClassTables(&totals_[static_cast<std::size_t>(at) * cells_], counted, entries,
                        permuted.counted_class, static_cast<long>(n) * cells_, tables_.data());
    const SearchContext& context = permuted.context;
    const bool bounded = std::isfinite(permuted.divergence_factor);
    if (bounded) {
      BoundRequest request;
      request.tables = tables_.data();
      request.count = n;
      request.stride = table_ints_;
      request.cells = cells_;
      if (context.missing_code != kMethodAvailable) {
        request.fixed_controls = context.controls;
        request.fixed_cases = context.cases;
      }
      request.q = permuted.q;
      request.divergence_factor = permuted.divergence_factor;
      bounds_buffer_.resize(n);
      bounds_(request, bounds_buffer_.data());
    }
    // Synergy: the stretch's first k - 1 markers share their own gains.
    double prefix_gains = 0;
    int first_last = 0;
    if (context.measure == kRankBySynergy) {
      prefix_gains = singleGainSum(combination_.data(), order_ - 1, context.single_gains);
      first_last = stretch_last_;
    }
    double maximum = permuted.maximum.load(std::memory_order_relaxed);
    for (int j = 0; j < n; ++j) {
      int* table = &tables_[static_cast<std::size_t>(j) * table_ints_];
      const double bound = bounded ? bounds_buffer_[j] : kNoBound;
      if (bounded && !mayExceed(permuted, slot, table, bound, maximum, prefix_gains, first_last + j))
        continue;
      offerExact(permuted, slot, table, first_last + j, bound, maximum);
    }
  }

  // Tables at..at + n - 1 of a walk that hands its counts over by cell:
  // their bounds straight from the counted class's rows (the cases' rows
  // added when the class is split over both) and the block's totals, and a
  // table only for those the bounds leave in.
  // (With `bounds_ready`, the bounds and cases are already in their
  // buffers.)
  void scoreByCell(Permuted& permuted, int slot, int at, int n, std::array<const int*, 2> counted,
                   long stride, bool bounds_ready = false) {
    const SearchContext& context = permuted.context;
    const bool bounded = std::isfinite(permuted.divergence_factor);
    const int* const totals = by_cell_totals_.data() + at;
    if (!bounds_ready) boundsByCell(permuted, at, n, counted, stride);
    double prefix_gains = 0;
    int first_last = 0;
    if (context.measure == kRankBySynergy) {
      prefix_gains = singleGainSum(combination_.data(), order_ - 1, context.single_gains);
      first_last = stretch_last_;
    }
    tables_.resize(static_cast<std::size_t>(table_ints_));
    KeyThreshold threshold;
    threshold.measure = context.measure;
    threshold.prefix_gains = prefix_gains;
    threshold.gains = context.single_gains + first_last;
    threshold.own_totals = context.missing_code == kMethodAvailable;
    threshold.cases = case_sums_.data();
    threshold.samples = by_cell_samples_.data() + at;
    threshold.fixed_cases = context.cases;
    threshold.fixed_samples = context.N;
    threshold.entropy_floor_slack = kEntropyFloorSlack;
    double maximum = permuted.maximum.load(std::memory_order_relaxed);
    int j = 0;
    if (bounded) {
      // Eight or four bounds at a time against the cut; the rest one by one.
      const auto cut = [&](KeyCutFour kernel, int width) {
        for (; j + width <= n; j += width) {
          threshold.maximum = maximum;
          if (context.measure == kRankByP)
            threshold.statistic_cut = shortfallCut(key_cut_.reachingStatistic(slot, maximum));
          for (int lanes = kernel(bounds_buffer_.data(), threshold, j); lanes != 0; lanes &= lanes - 1)
            scoreByCellPair(permuted, slot, j + std::countr_zero(static_cast<unsigned>(lanes)),
                            counted, stride, totals, first_last, maximum);
        }
      };
      // Eight at a time, where the path scans: one call for each run of
      // pairs below the cut.
      while (key_cut_scan_ != nullptr) {
        threshold.maximum = maximum;
        if (context.measure == kRankByP)
          threshold.statistic_cut = shortfallCut(key_cut_.reachingStatistic(slot, maximum));
        int lanes = 0;
        j = key_cut_scan_(bounds_buffer_.data(), threshold, j, n, &lanes);
        if (lanes == 0) break;
        for (; lanes != 0; lanes &= lanes - 1)
          scoreByCellPair(permuted, slot, j + std::countr_zero(static_cast<unsigned>(lanes)), counted, stride,
                          totals, first_last, maximum);
        j += 8;
      }
      cut(key_cut_four_, 4);
    }
    for (; j < n; ++j) {
      if (bounded && !key_cut_.mayExceed(context, slot, bounds_buffer_[j], maximum, prefix_gains,
                                         first_last + j, case_sums_[j], by_cell_samples_[at + j]))
        continue;
      scoreByCellPair(permuted, slot, j, counted, stride, totals, first_last, maximum);
    }
  }

  // Whether two members' bounds can be taken in one pass: the AVX-512
  // bounds, and every term of the bound but the counts the same.
  bool boundsTogether(const Permuted& first, const Permuted& second) const {
    return counted_class_bounds_ == countedClassBoundsAvx512 && first.q == second.q &&
           first.divergence_factor == second.divergence_factor &&
           first.counted_class == second.counted_class &&
           first.context.controls == second.context.controls && first.context.cases == second.context.cases;
  }

  // The permutation's bounds of the stretch's pairs into bounds_buffer_
  // and their cases into case_sums_ (where bounded); with `second`, the
  // counted rows of another member whose bounds go to second_bounds_ and
  // second_case_sums_ (boundsTogether).
  void boundsByCell(const Permuted& permuted, int at, int n, std::array<const int*, 2> counted, long stride,
                    const int* second = nullptr) {
    const SearchContext& context = permuted.context;
    const std::size_t room = static_cast<std::size_t>(n) + kPairBlock;
    bounds_buffer_.resize(room);
    case_sums_.resize(room);
    if (std::isfinite(permuted.divergence_factor)) {
      const int* const totals = by_cell_totals_.data() + at;
      CountedClassBoundRequest request;
      request.counted[0] = counted[0];
      request.counted[1] = counted[1];
      request.counted_stride = stride;
      request.totals = totals;
      request.inverses = reads_inverses_ ? by_cell_inverses_.data() + at : nullptr;
      request.samples = by_cell_samples_.data() + at;
      // A pair's samples are the run's at most.
      request.most_samples = context_.sample_count;
      request.totals_stride = by_cell_stride_;
      request.count = n;
      request.counted_class = permuted.counted_class;
      if (context.missing_code != kMethodAvailable) {
        request.bound.fixed_controls = context.controls;
        request.bound.fixed_cases = context.cases;
      }
      request.bound.q = permuted.q;
      request.bound.divergence_factor = permuted.divergence_factor;
      if (second == nullptr) {
        counted_class_bounds_(request, bounds_buffer_.data(), case_sums_.data());
      } else {
        second_bounds_.resize(room);
        second_case_sums_.resize(room);
        countedClassBoundsTwoAvx512(request, second, {bounds_buffer_.data(), second_bounds_.data()},
                                    {case_sums_.data(), second_case_sums_.data()});
      }
    }
  }

  // Pair j's exact key from its counted class and totals; raises the
  // permutation's maximum (and `maximum`) when the key beats it.
  void scoreByCellPair(Permuted& permuted, int slot, int j,
                       const std::array<const int*, 2>& counted, long stride, const int* totals,
                       int first_last, double& maximum) {
    int* const table = tables_.data();
    const int own = permuted.counted_class;
    for (int e = 0; e < cells_; ++e) {
      int count = counted[0][e * stride + j];
      if (counted[1] != nullptr) count += counted[1][e * stride + j];
      table[2 * e + own] = count;
      table[2 * e + 1 - own] = totals[e * by_cell_stride_ + j] - count;
    }
    offerExact(permuted, slot, table, first_last + j,
               std::isfinite(permuted.divergence_factor) ? bounds_buffer_[j] : kNoBound, maximum);
  }

  // The table's exact key (`last`: its combination's last marker, `bound`
  // its IG bound or NaN); raises the permutation's maximum, and `maximum`
  // with it, when the key beats it.
  void offerExact(Permuted& permuted, int slot, int* table, int last, double bound,
                  double& maximum) {
    const SearchContext& context = permuted.context;
    if (context.measure == kRankByP) {
      // NaN (no test) raises nothing.
      const double key = key_cut_.pValueKeyAbove(slot, table, cells_, bound, maximum);
      if (key > maximum) {
        permuted.raise(key);
        maximum = permuted.maximum.load(std::memory_order_relaxed);
      }
      return;
    }
    double pair[2];
    exactMeasurePair(context, table, table_ints_, score_sums_.data(), pair);
    const int* combination = nullptr;
    if (context.measure == kRankBySynergy) {
      combination_[order_ - 1] = last;
      combination = combination_.data();
    }
    const double key = rankingKey(context, pair, combination, order_);
    if (key > maximum) {
      permuted.raise(key);
      maximum = permuted.maximum.load(std::memory_order_relaxed);
    }
  }

  // False when the table's IG bound rules out a key above `maximum`.
  bool mayExceed(const Permuted& permuted, int slot, const int* table, double bound,
                 double maximum, double prefix_gains, int last) {
    long controls_sum = 0;
    long cases_sum = 0;
    if (permuted.context.measure == kRankByRIG || permuted.context.measure == kRankByP) {
      for (int i = 0; i < table_ints_; i += 2) {
        controls_sum += table[i];
        cases_sum += table[i + 1];
      }
    }
    return key_cut_.mayExceed(permuted.context, slot, bound, maximum, prefix_gains, last,
                              static_cast<double>(cases_sum),
                              static_cast<double>(controls_sum + cases_sum));
  }

  const SearchContext& context_;
  int order_;
  const std::vector<std::unique_ptr<CountedPlanes>>& counted_;
  InformationGainBounds bounds_;
  CountCellsKernel kernel_;
  CountedClassBounds counted_class_bounds_;
  KeyCutFour key_cut_four_;
  KeyCutScan key_cut_scan_;  // null where the path has none
  CellCounter totals_counter_;
  std::unique_ptr<PairClassCounter> pair_totals_counter_;  // pairs over the run's planes
  std::vector<std::unique_ptr<CellCounter>> counters_;
  std::vector<std::unique_ptr<PairClassCounter>> pair_counters_;
  int cells_ = 0;
  int table_ints_ = 0;
  std::vector<int> first_;
  std::vector<int> combination_;
  int stretch_last_ = 0;
  std::vector<int> totals_;
  PairGapMaskRows gap_masks_;  // per pair of the block, when recorded
  bool masks_recorded_ = false;
  std::vector<int> tables_;
  std::vector<double> bounds_buffer_;
  std::vector<double> second_bounds_;  // a set's second member's, taken beside the first's
  // Pairs handed over by cell: the block's totals by cell (row e, stride
  // by_cell_stride_, pair at its walk position), their inverses and each
  // pair's samples, shared by every permutation; a stretch's case sums.
  bool by_cell_ = false;
  bool table_totals_ = false;  // whether some walk reads totals_ as tables
  long by_cell_stride_ = 0;
  std::vector<int> by_cell_totals_;
  std::vector<float> by_cell_inverses_;
  // Only the AVX2 bounds read the stored inverses: the AVX-512 ones take a
  // reciprocal per cell, the portable ones divide.
  bool reads_inverses_ = true;
  std::vector<int> by_cell_samples_;
  std::vector<int> case_sums_;
  std::vector<int> second_case_sums_;
  std::vector<double> score_sums_;
  // Per slot of the group (2 p + member).
  PermutationKeyCut key_cut_;
  int slot_base_ = 0;
};

#endif  // GORVA_ENGINE_SIGNIFICANCE_MAXIMA_WORKER_H
