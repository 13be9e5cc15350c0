#include "engine/search/stratified_scorer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <numbers>

#include "core/gorva.h"
#include "core/search_constants.h"
#include "engine/count/chord_information_gain_bound.h"
#include "engine/count/information_gain_bound_finish.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/count/path_kernels.h"
#include "engine/count/unrank.h"
#include "engine/rank/combination_table.h"
#include "engine/rank/order_search_shape.h"
#include "engine/rank/p_value_keys.h"
#include "engine/rank/table_test.h"

namespace {

// Combinations counted per stratum at a time: their tables stay in cache
// between the counting and the bounds.
constexpr int kChunk = 2048;
// Every stratum's tables of a chunk together: with many small strata (matched
// pairs) fewer combinations at a time, or the tables of a whole chunk would
// take hundreds of megabytes and every pass over them go to memory.
constexpr double kChunkTableBytes = 16 << 20;

int chunkFor(double strata, double table_ints) {
  const double most = kChunkTableBytes / (std::max(strata, 1.0) * table_ints * sizeof(int));
  return static_cast<int>(std::clamp(std::floor(most), 1.0, static_cast<double>(kChunk)));
}
// Above this K the candidates are most of a batch anyway: rank in full.
constexpr int kMaxScreenedK = 1024;
constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Second markers' rows read by every run of a batch in turn in the joint
// walk: a block stays in L2 between runs.
constexpr long kSegmentedBlockBytes = 128 * 1024;

// Whether every one of n values lies below the threshold (a NaN does not),
// without a branch per value.
bool allBelow(const double* values, int n, double threshold) {
  bool below = true;
  for (int i = 0; i < n; ++i) below &= values[i] < threshold;
  return below;
}

}  // namespace

double StratifiedScorer::bytesBound(const StratifiedSearchShape& shape) {
  const double strata = static_cast<double>(shape.stratum_samples.size());
  if (strata == 0) return 0;
  const double markers = static_cast<double>(std::max(shape.marker_count, 0LL));
  const int counted_levels = shape.counted_levels > 0 ? shape.counted_levels : shape.levels;
  // em's tables completed from counted ones (the observed samples' beside
  // them), up to the order where that pays.
  const bool completes = counted_levels != shape.levels;
  double samples = 0;
  double planes = 0;
  for (const long long n : shape.stratum_samples) {
    samples += static_cast<double>(std::max(n, 0LL));
    planes += BitPlanes::bytesBound(shape.marker_count, n, counted_levels, shape.threads);
  }
  // A stratum's context keeps the room of the run's sample list.
  const double contexts = strata * (sizeof(SearchContext) + samples * sizeof(int));
  const bool joint_rows = counted_levels == 3;
  const double joint = joint_rows ? segmentedPlanesBytesBound(shape.marker_count, shape.stratum_samples) : 0;
  // Tables and bounds of a chunk, or of a block of the joint walk. A block's
  // group of four markers holds a word of each level (two nibble words on
  // some paths) for every word of the joint row, and each stratum that holds
  // a sample fills a word of it: at most this many pairs.
  const double filled = std::max<double>(
      1, static_cast<double>(std::count_if(shape.stratum_samples.begin(), shape.stratum_samples.end(),
                                           [](long long n) { return n > 0; })));
  const double stretch =
      std::max(1.0, std::floor(kSegmentedBlockBytes / (8.0 * 3 * kPairLanes * filled))) * kPairLanes +
      2 * kPairBlock;
  double scorer = 0;
  for (int k = std::max(shape.first_order, 1); k <= shape.last_order && k <= markers; ++k) {
    const double table_ints = 2 * std::pow(shape.levels, k);
    if (table_ints > 1e12) break;  // an order no table serves is refused before the search
    const int chunk = chunkFor(strata, table_ints);
    const bool joint_walk = k == 2 && joint_rows && countsPairsJointly(shape.levels, samples);
    const double pairs = (joint_walk ? stretch : 2 * kPairBlock) + chunk;
    const double table_copies = completes ? 2 : 1;
    double bytes = strata * pairs * (table_copies * table_ints * sizeof(int) + 2 * sizeof(int) + sizeof(double) +
                                     2 * sizeof(int) + kWholePairCounts * sizeof(int)) +
                   pairs * sizeof(double) + 4 * strata * table_ints * sizeof(int) +
                   static_cast<double>(shape.batch_size) *
                       (2 * sizeof(double) + sizeof(double) + sizeof(int) + 2 * sizeof(Candidate));
    if (CellCounter::servesOrder(counted_levels, k) && !joint_walk && (!completes || k <= kEmMostCountedOrder)) {
      for (const long long n : shape.stratum_samples)
        bytes += CellCounter::bytesBound(counted_levels, k, planeRowWordsBound(static_cast<double>(n)), markers, chunk);
      if (completes) bytes += 4 * std::pow(counted_levels, k) * sizeof(int);
    }
    scorer = std::max(scorer, bytes + StratumMeasureMemo::bytesBound());
  }
  return planes + contexts + joint + std::max(shape.workers, 1) * scorer;
}

bool StratifiedScorer::countsPairsJointly(int levels, double samples) {
  return levels == 3 && samples < kSinglePrecisionTotal;
}

StratifiedScorer::StratifiedScorer(const SearchContext& context, int order)
    : context_(context), parts_(*context.strata), order_(order), strata_(context.stratum_count),
      listing_(context.listing) {
  listing_floor_ = listing_ != nullptr ? listing_->floor() : 0;
  const int levels = genotypeLevels(context.missing_code);
  int cells = 1;
  for (int j = 0; j < order; ++j) cells *= levels;
  table_ints_ = 2 * cells;
  chunk_ = chunkFor(strata_, table_ints_);
  kernels_ = &pathKernels(context.settings.simd);
  // The test's statistic is at most 2 ln2 n IG of the tables it tests, so
  // the IG bounds rule pairs out of a p-value ranking too; not under "em",
  // whose test reads other tables (the observed samples') than the IG.
  p_screened_ = context.measure == kRankByP && context.missing_code != kMethodEm;
  // Pairs of every stratum in one walk where the joint rows were packed as
  // this path reads them and the single-precision chord bounds take the
  // strata's totals.
  const bool em = context.missing_code == kMethodEm;
  const bool joint = order == 2 && !em && countsPairsJointly(levels, context.N);
  if (joint && parts_.segmented && parts_.segmented->nibbles == kernels_->segmented_nibbles &&
      table_ints_ == kWholePairCounts)
    segmented_ = parts_.segmented.get();
  if (segmented_ != nullptr && context.stratum_of != nullptr) {
    std::vector<char> held(strata_, 0);
    for (int i = 0; i < context.sample_count; ++i) {
      if (context.stratum_of[i] >= 0 && context.stratum_of[i] < strata_) held[context.stratum_of[i]] = 1;
    }
    least_group_words_ = static_cast<long>(segmented_->record_words) * std::count(held.begin(), held.end(), 1);
  }
  // Where the joint rows count pairs no stratum has a counter of its own (a
  // thousand strata's counters would hold gigabytes), and the memory bound
  // counts none: rows that could not be had leave each table counted on its
  // own, slower but within that bound.
  counters_.resize(strata_);
  for (int s = 0; s < strata_ && !joint; ++s) {
    const BitPlanes* planes = parts_.contexts[s].planes;
    if (planes == nullptr || !CellCounter::servesOrder(planes->levels(), order)) continue;
    if (em && (planes->levels() != kEmCountedLevels || order > kEmMostCountedOrder)) continue;
    // Planes padded for a narrower path than this search's (built for
    // another search) are counted word by word.
    const SimdPath path = countsShape(context.settings.simd, planes->shape()) ? context.settings.simd : SimdPath::kScalar;
    counters_[s] = std::make_unique<CellCounter>(*planes, order, pathKernels(path).count_cells);
    if (em && !em_tables_) em_tables_ = std::make_unique<EmTables>(order);
  }
  bounds_function_ = kernels_->table_bounds;
  for (const SearchContext& part : parts_.contexts) {
    const double q = roundedFraction(part.N > 0 ? static_cast<double>(part.cases) / part.N : 0.5);
    fractions_.push_back(q);
    factors_.push_back(divergenceFactor(q));
    ChordBound chord;
    chord_bounded_.push_back(stratumChordBound(part, chord));
    chords_.push_back(chord);
  }
}

void StratifiedScorer::countChunk(const int* combinations, int count) {
  if (segmented_ != nullptr) {
    countChunkSegmented(combinations, count);
    return;
  }
  const long per_stratum = static_cast<long>(count) * table_ints_;
  tables_.resize(strata_ * per_stratum);
  if (em_tables_) observed_.resize(tables_.size());
  for (int s = 0; s < strata_; ++s) {
    int* stratum_tables = tables_.data() + s * per_stratum;
    if (counters_[s] && em_tables_) {
      int* stratum_observed = observed_.data() + s * per_stratum;
      const long counted_ints = 2L * counters_[s]->cells();
      counters_[s]->forEach(combinations, count, [&](int first, int n, int* tables) {
        for (int j = 0; j < n; ++j) {
          em_tables_->fill(tables + j * counted_ints);
          const long at = static_cast<long>(first + j) * table_ints_;
          std::copy_n(em_tables_->em(), table_ints_, stratum_tables + at);
          std::copy_n(em_tables_->observed(), table_ints_, stratum_observed + at);
        }
        return true;
      });
      continue;
    }
    if (counters_[s]) {
      counters_[s]->forEach(combinations, count, [&](int first, int n, int* tables) {
        std::memcpy(stratum_tables + static_cast<long>(first) * table_ints_, tables,
                    sizeof(int) * static_cast<std::size_t>(n) * table_ints_);
        return true;
      });
      continue;
    }
    for (int j = 0; j < count; ++j) {
      countCombinationTable(parts_.contexts[s], combinations + static_cast<long>(j) * order_, order_, one_table_);
      std::copy(one_table_.begin(), one_table_.end(), stratum_tables + static_cast<long>(j) * table_ints_);
    }
  }
}

int* StratifiedScorer::gatherTables(int j, int count) {
  // The joint rows' tables lie combination by combination already.
  if (segmented_ != nullptr) return tables_.data() + static_cast<long>(j) * strata_ * table_ints_;
  gathered_.resize(static_cast<std::size_t>(strata_) * table_ints_);
  for (int s = 0; s < strata_; ++s) {
    const int* table = tables_.data() + (static_cast<long>(s) * count + j) * table_ints_;
    std::copy(table, table + table_ints_, gathered_.begin() + static_cast<long>(s) * table_ints_);
  }
  return gathered_.data();
}

void StratifiedScorer::tableTotals(int count) {
  totals_.resize(static_cast<std::size_t>(strata_) * count * 2);
  for (int s = 0; s < strata_; ++s) {
    const SearchContext& part = parts_.contexts[s];
    int* totals = totals_.data() + static_cast<long>(s) * count * 2;
    if (part.missing_code != kMethodAvailable) {
      for (int j = 0; j < count; ++j) {
        totals[2 * j] = part.controls;
        totals[2 * j + 1] = part.cases;
      }
      continue;
    }
    const int* table = tables_.data() + static_cast<long>(s) * count * table_ints_;
    for (int j = 0; j < count; ++j, table += table_ints_) {
      int controls = 0;
      int cases = 0;
      for (int i = 0; i < table_ints_; i += 2) {
        controls += table[i];
        cases += table[i + 1];
      }
      totals[2 * j] = controls;
      totals[2 * j + 1] = cases;
    }
  }
}

double StratifiedScorer::gainBound(int j, int count) {
  int counted = 0;
  for (int s = 0; s < strata_; ++s) {
    const int* totals = totals_.data() + (static_cast<long>(s) * count + j) * 2;
    counted += totals[0] + totals[1];
  }
  const double N = counted;
  double bound = 0;
  bool informative = false;
  // The same weights, terms and order of additions as the exact measure:
  // rounding is monotone, so the sum of bounds stays above the sum of gains.
  for (int s = 0; s < strata_; ++s) {
    const int* totals = totals_.data() + (static_cast<long>(s) * count + j) * 2;
    const int controls = totals[0];
    const int cases = totals[1];
    if (cases == 0 || controls == 0) continue;
    const double own = bounds_[static_cast<long>(s) * (count + 8) + j];
    if (!(own < kInfinity)) return kInfinity;
    const double term = (cases + controls) / N * own;
    bound = informative ? bound + term : term;
    informative = true;
  }
  return informative ? bound : std::numeric_limits<double>::quiet_NaN();
}

template <class Gather>
double StratifiedScorer::keyBound(double bound, const int* combination, Gather&& gather) {
  if (!(bound < kInfinity)) return bound;
  if (context_.measure == kRankByRIG) {
    const StratifiedCounts counts = stratifiedCounts(parts_, gather(), table_ints_);
    return bound / counts.conditional_entropy;
  }
  if (context_.measure == kRankBySynergy) return bound - singleGainSum(combination, order_, context_.single_gains);
  return bound;
}

void StratifiedScorer::noteNotANumber(const int* combination) {
  ++stats_.not_a_number;
  std::vector<int>& first = stats_.first_not_a_number;
  if (first.empty() || std::lexicographical_compare(combination, combination + order_, first.begin(), first.end()))
    first.assign(combination, combination + order_);
}

double StratifiedScorer::pValueKeyOf(const int* combination, const int* tables, int j, int count) {
  // Under "em" the test reads only the samples observed at every marker:
  // the counted tables' cells without a missing genotype, where the strata
  // were counted from planes.
  if (context_.missing_code == kMethodEm) {
    tested_.clear();
    for (int s = 0; s < strata_; ++s) {
      if (j >= 0 && counters_[s] && em_tables_) {
        const int* observed = observed_.data() + (static_cast<long>(s) * count + j) * table_ints_;
        tested_.insert(tested_.end(), observed, observed + table_ints_);
        continue;
      }
      countTestedTable(parts_.contexts[s], combination, order_, one_table_);
      tested_.insert(tested_.end(), one_table_.begin(), one_table_.end());
    }
    tables = tested_.data();
  }
  const double key = pValueKey(associationTest(tables, strata_, table_ints_ / 2));
  if (context_.not_a_number_last && std::isnan(key)) return -kInfinity;
  return key;
}

void StratifiedScorer::rankInFull(int* combinations, int count, RankedRows& best) {
  ++stats_.ranked_in_full;
  keys_.resize(count);
  index_.resize(count);
  for (int first = 0; first < count; first += chunk_) {
    const int n = std::min(chunk_, count - first);
    countChunk(combinations + static_cast<long>(first) * order_, n);
    for (int j = 0; j < n; ++j) {
      const int i = first + j;
      const int* combination = combinations + static_cast<long>(i) * order_;
      int* tables = gatherTables(j, n);
      stratifiedMeasurePair(parts_, tables, table_ints_, &pairs_[2L * i], &memo_);
      if (std::isnan(pairs_[2L * i])) noteNotANumber(combination);
      keys_[i] = context_.measure == kRankByP ? pValueKeyOf(combination, tables, j, n)
                                              : rankingKey(context_, &pairs_[2L * i], combination, order_);
      if (listing_ != nullptr && pairs_[2L * i] >= listing_floor_) listing_->offer(combination, &pairs_[2L * i], keys_[i]);
    }
  }
  shellsortIndex(index_.data(), keys_.data(), count, sizeof(double), cmp_double, 1);
  takeBatchBest({combinations, order_, count, pairs_.data(), keys_.data(), index_.data()}, context_.K, best);
}

bool StratifiedScorer::screensBatch(int length) const {
  const int K = context_.K;
  return !context_.all_pairs && K >= 1 && K < length && K <= kMaxScreenedK &&
         (context_.measure != kRankByP || p_screened_);
}

double StratifiedScorer::reachingOn(int df) {
  const double threshold = keyThreshold();
  if (!(threshold == reaching_key_)) {
    reaching_key_ = threshold;
    reaching_.assign(reaching_.size(), std::numeric_limits<double>::quiet_NaN());
  }
  if (df >= static_cast<int>(reaching_.size())) reaching_.resize(df + 1, std::numeric_limits<double>::quiet_NaN());
  if (std::isnan(reaching_[df])) reaching_[df] = statisticReachingKey(threshold, df);
  return reaching_[df];
}

template <class Gather>
double StratifiedScorer::pKeyBound(double gain_bound, Gather&& gather) {
  if (std::isnan(gain_bound)) return gain_bound;
  // The strata's counted samples are at most the run's, and the test has
  // at least 1 degree of freedom, or those of its strata whose test has at
  // least 2 (cheap); then its statistic's bound on its own, which pooling
  // keeps well below the IG's.
  const double least = reachingOn(1);
  if (fallsShortOf(context_.N, gain_bound, least)) return -kInfinity;
  if (!(least > 0)) return kInfinity;
  const int* tables = gather();
  const int fewest = strataDfAtLeast(tables, strata_, table_ints_ / 2);
  if (fewest > 1 && fallsShortOf(context_.N, gain_bound, reachingOn(fewest))) return -kInfinity;
  const StrataTestBound upper = kernels_->strata_test_bound(tables, strata_, table_ints_ / 2);
  return upper.df >= 1 && statisticFallsShort(upper.statistic, reachingOn(upper.df)) ? -kInfinity : kInfinity;
}

double StratifiedScorer::gainThreshold() {
  if (context_.measure != kRankByP) return keyThreshold();
  return shortfallCut(reachingOn(1)) / (2 * std::numbers::ln2 * context_.N);
}

double StratifiedScorer::keyThreshold() const {
  const bool full = static_cast<int>(screen_->low_heap.size()) == context_.K;
  return std::max(screen_floor_, full ? screen_->low_heap.front() : -kInfinity);
}

template <class Gather>
bool StratifiedScorer::consider(int i, const int* combination, double gain_bound, Gather&& gather) {
  const double threshold = keyThreshold();
  const bool full = static_cast<int>(screen_->low_heap.size()) == context_.K;
  const bool by_p = context_.measure == kRankByP;
  const double bound = by_p ? pKeyBound(gain_bound, gather) : keyBound(gain_bound, combination, gather);
  const bool may_list = listing_ != nullptr && !(gain_bound < listing_floor_);
  if (std::isnan(bound)) {
    ++screen_->not_a_number;
    if (screen_->first_not_a_number.empty() ||
        std::lexicographical_compare(combination, combination + order_, screen_->first_not_a_number.begin(),
                                     screen_->first_not_a_number.end()))
      screen_->first_not_a_number.assign(combination, combination + order_);
  } else if (bound < threshold && !may_list) {
    ++stats_.ruled_out;
    return true;
  }
  Candidate candidate{i, 0, {0, 0}};
  int* tables = gather();
  ++stats_.candidates;
  // A p-value key is the test's: a test short of the threshold needs no
  // measures, unless the listing wants them.
  if (by_p) {
    candidate.key = pValueKeyOf(combination, tables, -1, 0);
    if (candidate.key < threshold && !may_list) return true;
  }
  stratifiedMeasurePair(parts_, tables, table_ints_, candidate.pair, &memo_);
  if (!by_p) candidate.key = rankingKey(context_, candidate.pair, combination, order_);
  if (may_list && candidate.pair[0] >= listing_floor_) screen_->listed.push_back(candidate);
  if (std::isnan(candidate.key)) return false;  // its place is the index sort's alone
  if (candidate.key < threshold) return true;
  screen_->candidates.push_back(candidate);
  if (!full) {
    screen_->low_heap.push_back(candidate.key);
    std::push_heap(screen_->low_heap.begin(), screen_->low_heap.end(), std::greater<>());
  } else if (candidate.key > screen_->low_heap.front()) {
    std::pop_heap(screen_->low_heap.begin(), screen_->low_heap.end(), std::greater<>());
    screen_->low_heap.back() = candidate.key;
    std::push_heap(screen_->low_heap.begin(), screen_->low_heap.end(), std::greater<>());
  }
  return true;
}

void StratifiedScorer::boundStrata(const int* tables, long stratum_ints, int n, bool whole_pairs) {
  bounds_.assign(static_cast<std::size_t>(strata_) * (n + 8), kInfinity);
  if (whole_pairs) {
    samples_.resize(bounds_.size());
    informative_.resize(bounds_.size());
  }
  for (int s = 0; s < strata_; ++s) {
    const SearchContext& part = parts_.contexts[s];
    const bool fixed = part.missing_code != kMethodAvailable;
    double* bounds = bounds_.data() + static_cast<long>(s) * (n + 8);
    if (whole_pairs) {
      kernels_->chord_bounds(tables + s * stratum_ints, n, chords_[s], bounds, samples_.data() + s * (n + 8),
                             informative_.data() + s * (n + 8));
      if (!chord_bounded_[s]) std::fill_n(bounds, n, kInfinity);
      continue;
    }
    if (!std::isfinite(factors_[s])) continue;
    BoundRequest request;
    request.tables = tables + s * stratum_ints;
    request.count = n;
    request.stride = table_ints_;
    request.cells = table_ints_ / 2;
    request.fixed_controls = fixed ? part.controls : -1;
    request.fixed_cases = fixed ? part.cases : -1;
    request.q = fractions_[s];
    request.divergence_factor = factors_[s];
    bounds_function_(request, bounds);
  }
}

bool StratifiedScorer::screenChunks(const int* combinations, int count) {
  for (int first = 0; first < count; first += chunk_) {
    const int n = std::min(chunk_, count - first);
    const int* chunk = combinations + static_cast<long>(first) * order_;
    countChunk(chunk, n);
    tableTotals(n);
    boundStrata(tables_.data(), static_cast<long>(n) * table_ints_, n, false);
    for (int j = 0; j < n; ++j) {
      const int* combination = chunk + static_cast<long>(j) * order_;
      if (!consider(first + j, combination, gainBound(j, n), [&] { return gatherTables(j, n); }))
        return false;
    }
  }
  return true;
}

int StratifiedScorer::countSegmented(int first_marker, int from, int n) {
  const int base = from / kPairLanes * kPairLanes;
  const int groups = (from + n - 1 - base) / kPairLanes + 1;
  const int pairs = groups * kPairLanes;
  stretch_ints_ = segmentedStratumInts(pairs);
  segment_counts_.resize(static_cast<std::size_t>(strata_) * stretch_ints_);
  kernels_->segmented_pairs({.planes = segmented_, .first = first_marker, .second_base = base, .groups = groups,
                             .counts = segment_counts_.data(), .stratum_ints = stretch_ints_});
  return pairs;
}

void StratifiedScorer::countChunkSegmented(const int* combinations, int count) {
  tables_.resize(static_cast<std::size_t>(strata_) * count * table_ints_);
  for (int j = 0; j < count;) {
    const int first_marker = combinations[2L * j];
    const int from = combinations[2L * j + 1];
    int n = 1;
    while (j + n < count && combinations[2L * (j + n)] == first_marker && combinations[2L * (j + n) + 1] == from + n)
      ++n;
    countSegmented(first_marker, from, n);
    for (int t = 0; t < n; ++t) {
      const long p = segmentedPairSlot(from % kPairLanes + t);
      int* tables = tables_.data() + static_cast<long>(j + t) * strata_ * table_ints_;
      for (int s = 0; s < strata_; ++s)
        wholePairTable(segment_counts_.data() + s * stretch_ints_, p, tables + static_cast<long>(s) * table_ints_);
    }
    j += n;
  }
}

void StratifiedScorer::countStretch(int first_marker, int from, int n) {
  const int pairs = countSegmented(first_marker, from, n);
  stats_.bounded_in_walk += n;
  // The pairs' slots fill whole blocks of eight.
  const int slots = (pairs + kPairBlock - 1) / kPairBlock * kPairBlock;
  boundStrata(segment_counts_.data(), stretch_ints_, slots, true);
  const long stride = slots + 8;
  for (int s = 0; s < strata_; ++s) {
    const SearchContext& part = parts_.contexts[s];
    if (part.missing_code == kMethodAvailable) continue;
    // The measures take the stratum's totals, not the table's.
    std::fill_n(samples_.begin() + s * stride, slots, part.cases + part.controls);
    std::fill_n(informative_.begin() + s * stride, slots, part.cases > 0 && part.controls > 0 ? 1 : 0);
  }
  gain_bounds_.resize(slots);
  kernels_->conditional_bounds(bounds_.data(), samples_.data(), informative_.data(), stride, strata_, slots,
                               gain_bounds_.data());
}

bool StratifiedScorer::screenSegmentedPairs(const int* combinations, int count) {
  // The batch's runs: one first marker, consecutive second markers.
  runs_.clear();
  int low = combinations[1];
  int high = low;
  for (int i = 0; i < count;) {
    const int first_marker = combinations[2L * i];
    const int from = combinations[2L * i + 1];
    // A batch lists its pairs in order, each first marker's second markers
    // one after another up to the last marker or the batch's end: where the
    // list's entry at that end is the run's last pair, the run is whole
    // without a look at every pair between.
    const int longest = std::min(count - i, context_.marker_count - from);
    const int* end = combinations + 2L * (i + longest - 1);
    int n = 1;
    if (longest > 1 && end[0] == first_marker && end[1] == from + longest - 1) {
      n = longest;
    } else {
      while (i + n < count && combinations[2L * (i + n)] == first_marker && combinations[2L * (i + n) + 1] == from + n)
        ++n;
    }
    runs_.push_back({i, first_marker, from, from + n - 1});
    low = std::min(low, from);
    high = std::max(high, from + n - 1);
    i += n;
  }
  return screenRuns(low, high, count);
}

bool StratifiedScorer::screenRuns(int low, int high, int batch_size) {
  // Second markers a block at a time, every run against it, so that the
  // block's rows are read from cache, not memory, by all runs but the first.
  // A run that counts no sample (every one missing a genotype under
  // "complete") has groups of no word.
  // The memory bound takes a word a stratum holding samples, even where
  // "complete" leaves it none.
  const long group_bytes = 8 * std::max({1L, static_cast<long>(segmented_->group_words), least_group_words_});
  const int block = std::max(1, static_cast<int>(kSegmentedBlockBytes / group_bytes)) * kPairLanes;
  const bool one_batch = screens_.size() == 1;
  // Where the key is the IG itself, or a p-value whose statistic the IG
  // bounds, and nothing is listed, a pair whose bound stays below the
  // threshold's gain is ruled out as consider() would rule it out, without
  // a call per pair (most pairs end here).
  const bool bound_is_key = (context_.measure == kRankByIG || context_.measure == kRankByP) && listing_ == nullptr;
  for (int block_low = low / kPairLanes * kPairLanes; block_low <= high; block_low += block) {
    const int block_high = block_low + block - 1;
    for (const SegmentRun& run : runs_) {
      const int from = std::max(run.from, block_low);
      const int to = std::min(run.to, block_high);
      if (from > to) continue;
      const int at = run.index + (from - run.from);  // the stretch's first pair in the unit
      bool any_usable = false;
      for (int b = at / batch_size; b <= (at + to - from) / batch_size && !any_usable; ++b)
        any_usable = screens_[b].usable;
      if (!any_usable) continue;
      countStretch(run.first_marker, from, to - from + 1);
      const int offset = from % kPairLanes;
      int batch = -1;
      double threshold = 0;
      for (int j = 0; j <= to - from; ++j) {
        const int u = at + j;
        if (u / batch_size != batch) {
          batch = u / batch_size;
          screen_ = &screens_[batch];
          threshold = gainThreshold();
        }
        if (!screen_->usable) continue;
        const long p = segmentedPairSlot(offset + j);
        // Most pairs end here: a block of eight slots (pairs offset + j ..
        // to the block's end, as segmentedPairSlot keeps blocks whole) of
        // one batch whose bounds all stay below the threshold is ruled out
        // at once. Slots outside the stretch hold some other pair's bound,
        // which can only keep the block from being skipped.
        const int skipped = std::min(kPairBlock, to - from + 1 - j);
        if (bound_is_key && (offset + j) % kPairBlock == 0 && (u + skipped - 1) / batch_size == batch &&
            allBelow(gain_bounds_.data() + p, kPairBlock, threshold)) {
          stats_.ruled_out += skipped;
          j += skipped - 1;
          continue;
        }
        if (bound_is_key && gain_bounds_[p] < threshold) {
          ++stats_.ruled_out;
          continue;
        }
        const int pair[2] = {run.first_marker, from + j};
        auto gather = [&] {
          gathered_.resize(static_cast<std::size_t>(strata_) * table_ints_);
          for (int s = 0; s < strata_; ++s)
            wholePairTable(segment_counts_.data() + s * stretch_ints_, p, gathered_.data() + s * table_ints_);
          return gathered_.data();
        };
        if (!consider(u - batch * batch_size, pair, gain_bounds_[p], gather)) {
          screen_->usable = false;
          if (one_batch) return false;
          continue;
        }
        threshold = gainThreshold();
      }
    }
  }
  return true;
}

void StratifiedScorer::BatchScreen::reset() {
  candidates.clear();
  listed.clear();
  low_heap.clear();
  not_a_number = 0;
  first_not_a_number.clear();
  usable = true;
}

template <class CombinationAt>
bool StratifiedScorer::pickBest(BatchScreen& screen, CombinationAt&& combinationAt, RankedRows& best) {
  const int K = context_.K;
  std::vector<Candidate>& candidates = screen.candidates;
  const int kept = std::min<int>(K, static_cast<int>(candidates.size()));
  const int compared = std::min<int>(K + 1, static_cast<int>(candidates.size()));
  std::partial_sort(candidates.begin(), candidates.begin() + compared, candidates.end(),
                    [](const Candidate& a, const Candidate& b) { return a.key > b.key; });
  for (int t = 1; t < compared; ++t) {
    if (candidates[t].key == candidates[t - 1].key) return false;
  }
  ++stats_.screened;
  for (const Candidate& row : screen.listed) listing_->offer(combinationAt(row.index), row.pair, row.key);
  stats_.not_a_number += screen.not_a_number;
  if (!screen.first_not_a_number.empty() &&
      (stats_.first_not_a_number.empty() || screen.first_not_a_number < stats_.first_not_a_number))
    stats_.first_not_a_number = screen.first_not_a_number;
  best.order = order_;
  best.clear();
  for (int t = 0; t < kept; ++t) {
    const Candidate& row = candidates[t];
    best.append(combinationAt(row.index), row.pair, row.key);
  }
  return true;
}

void StratifiedScorer::score(int* combinations, int count, RankedRows& best) {
  ++stats_.batches;
  if (static_cast<long>(pairs_.size()) < 2L * count) pairs_.resize(2L * count);
  if (!screensBatch(count)) {
    rankInFull(combinations, count, best);
    return;
  }
  screen_floor_ = context_.running_maximum != nullptr ? context_.running_maximum->load(std::memory_order_relaxed)
                                                      : -kInfinity;
  screens_.resize(1);
  screen_ = &screens_[0];
  screen_->reset();
  const bool classic_not_a_number =
      segmented_ != nullptr ? !screenSegmentedPairs(combinations, count) : !screenChunks(combinations, count);
  const auto combinationAt = [&](int index) { return combinations + static_cast<long>(index) * order_; };
  if (classic_not_a_number || !pickBest(screens_[0], combinationAt, best)) {
    ++stats_.fallbacks;
    rankInFull(combinations, count, best);
  }
}

bool StratifiedScorer::scoresRanges() const {
  return segmented_ != nullptr && listing_ == nullptr && !context_.all_pairs;
}

bool StratifiedScorer::scoresRangesFor(const SearchContext& context, int order) {
  return order == 2 && context.strata != nullptr && context.strata->segmented != nullptr &&
         context.listing == nullptr && !context.all_pairs;
}

void StratifiedScorer::scoreRanges(long long first_rank, int count, int batch_size, RankedRows* best) {
  const int batches = (count + batch_size - 1) / batch_size;
  stats_.batches += batches;
  screen_floor_ = context_.running_maximum != nullptr ? context_.running_maximum->load(std::memory_order_relaxed)
                                                      : -kInfinity;
  if (static_cast<int>(screens_.size()) < batches) screens_.resize(batches);
  bool any_screened = false;
  for (int b = 0; b < batches; ++b) {
    const int length = std::min(batch_size, count - b * batch_size);
    screens_[b].reset();
    screens_[b].usable = screensBatch(length);
    any_screened |= screens_[b].usable;
  }
  screens_.resize(batches);
  int pair[2];
  unrankCombination(first_rank, context_.marker_count, 2, pair);
  if (any_screened) {
    // The unit's runs: from the first pair's first marker on, each run to
    // the last marker or the unit's end.
    runs_.clear();
    int low = pair[1];
    int high = low;
    for (int i = 0, first = pair[0], from = pair[1]; i < count; ++first, from = first + 1) {
      const int n = std::min(count - i, context_.marker_count - from);
      runs_.push_back({i, first, from, from + n - 1});
      low = std::min(low, from);
      high = std::max(high, from + n - 1);
      i += n;
    }
    screenRuns(low, high, batch_size);
  }
  for (int b = 0; b < batches; ++b) {
    const long long batch_rank = first_rank + static_cast<long long>(b) * batch_size;
    const int length = std::min(batch_size, count - b * batch_size);
    const bool screened = screens_[b].usable;
    int at[2];
    const auto combinationAt = [&](int index) {
      unrankCombination(batch_rank + index, context_.marker_count, 2, at);
      return static_cast<const int*>(at);
    };
    if (screened && pickBest(screens_[b], combinationAt, best[b])) continue;
    if (screened || screensBatch(length)) ++stats_.fallbacks;
    // Ranked in full from the batch's list of pairs.
    unit_batch_.resize(2L * length);
    int state[2];
    unrankCombination(batch_rank, context_.marker_count, 2, state);
    for (int j = 0; j < length; ++j) {
      unit_batch_[2L * j] = state[0];
      unit_batch_[2L * j + 1] = state[1];
      comb_nextstep(2, context_.marker_count, state);
    }
    if (static_cast<long>(pairs_.size()) < 2L * length) pairs_.resize(2L * length);
    rankInFull(unit_batch_.data(), length, best[b]);
  }
}
