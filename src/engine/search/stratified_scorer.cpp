#include "engine/search/stratified_scorer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "core/gorva.h"
#include "core/search_constants.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/rank/screening.h"
#include "engine/search/combination_table.h"
#include "engine/significance/significance.h"
#include "engine/significance/table_test.h"

namespace {

// Combinations counted per stratum at a time: their tables stay in cache
// between the counting and the bounds.
constexpr int kChunk = 2048;
// Above this K the candidates are most of a batch anyway: rank in full.
constexpr int kMaxScreenedK = 1024;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

}  // namespace

StratifiedScorer::StratifiedScorer(const SearchContext& context, int order)
    : context_(context), parts_(*context.strata), order_(order), strata_(context.stratum_count),
      listing_(context.listing) {
  listing_floor_ = listing_ != nullptr ? listing_->floor() : 0;
  const int levels = genotypeLevels(context.missing_code);
  int cells = 1;
  for (int j = 0; j < order; ++j) cells *= levels;
  table_ints_ = 2 * cells;
  for (const SearchContext& part : parts_.contexts) {
    const double q = roundedFraction(part.N > 0 ? static_cast<double>(part.cases) / part.N : 0.5);
    fractions_.push_back(q);
    factors_.push_back(divergenceFactor(q));
    screening_.push_back(std::make_unique<ScreeningKeys>(table_ints_ / 2, part.N, 0,
                                                         part.missing_code == kMethodAvailable, part.cases,
                                                         part.controls));
  }
  counters_.resize(strata_);
  for (int s = 0; s < strata_; ++s) {
    const SearchContext& part = parts_.contexts[s];
    const BitPlanes* planes = part.planes;
    if (planes == nullptr || !CellCounter::servesOrder(planes->levels(), order)) continue;
    counters_[s] = std::make_unique<CellCounter>(*planes, order, countCellsKernel(activeSimdPath()));
    // The walk bounds each stratum's tables while their counts are in L1;
    // under fixed totals only when the stratum's planes add up to them.
    const int* classes = planes->everyoneCounts();
    const bool fixed = part.missing_code != kMethodAvailable;
    const bool class_totals = !fixed || (classes[0] == part.controls && classes[1] == part.cases);
    if (std::isfinite(factors_[s]) && class_totals && !context.all_pairs)
      counters_[s]->fuseBounds(activeSimdPath(), fractions_[s], factors_[s], fixed ? part.controls : -1,
                               fixed ? part.cases : -1);
  }
}

void StratifiedScorer::countChunk(const int* combinations, int count) {
  const long per_stratum = static_cast<long>(count) * table_ints_;
  tables_.resize(strata_ * per_stratum);
  for (int s = 0; s < strata_; ++s) {
    int* stratum_tables = tables_.data() + s * per_stratum;
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
  gathered_.resize(static_cast<std::size_t>(strata_) * table_ints_);
  for (int s = 0; s < strata_; ++s) {
    const int* table = tables_.data() + (static_cast<long>(s) * count + j) * table_ints_;
    std::copy(table, table + table_ints_, gathered_.begin() + static_cast<long>(s) * table_ints_);
  }
  return gathered_.data();
}

void StratifiedScorer::addStratum(int stratum, int first, int n, const int* tables) {
  const ScreeningKeys& keys = *screening_[stratum];
  const double error = keys.informationGainError();
  const SearchContext& part = parts_.contexts[stratum];
  const bool own_totals = part.missing_code == kMethodAvailable;
  for (int j = 0; j < n; ++j) {
    const int* table = tables + static_cast<long>(j) * table_ints_;
    int cases = part.cases;
    int controls = part.controls;
    if (own_totals) {
      cases = 0;
      controls = 0;
      for (int c = 0; c < table_ints_; c += 2) {
        controls += table[c];
        cases += table[c + 1];
      }
    }
    const int i = first + j;
    const int counted = cases + controls;
    counted_[i] += counted;
    double gain = 0;
    if (cases == 0 || controls == 0 || !keys.gain(table, gain)) continue;
    informative_[i] = 1;
    weighted_[i] += counted * (gain + error);
    if (context_.measure == kRankByRIG) spread_[i] += counted * classEntropy(cases, controls);
  }
}

void StratifiedScorer::boundBatch(const int* combinations, int count) {
  weighted_.assign(count, 0.0);
  spread_.assign(count, 0.0);
  counted_.assign(count, 0);
  informative_.assign(count, 0);
  for (int s = 0; s < strata_; ++s) {
    CellCounter* counter = counters_[s].get();
    // The walk's own bounds are looser than the screening gains: its counts
    // are what is wanted here.
    auto visit = [&](int first, int n, int* tables, const double*) {
      addStratum(s, first, n, tables != nullptr ? tables : counter->stretchTables(0, n));
      return true;
    };
    if (counter != nullptr && counter->fusesBounds()) {
      counter->forEachBounded(combinations, count, visit);
    } else if (counter != nullptr) {
      counter->forEach(combinations, count, [&](int first, int n, int* tables) {
        return visit(first, n, tables, nullptr);
      });
    } else {
      for (int first = 0; first < count; first += kChunk) {
        const int n = std::min(kChunk, count - first);
        tables_.resize(static_cast<std::size_t>(n) * table_ints_);
        for (int j = 0; j < n; ++j) {
          countCombinationTable(parts_.contexts[s], combinations + static_cast<long>(first + j) * order_, order_,
                                one_table_);
          std::copy(one_table_.begin(), one_table_.end(), tables_.begin() + static_cast<long>(j) * table_ints_);
        }
        addStratum(s, first, n, tables_.data());
      }
    }
  }
}

double StratifiedScorer::gainBound(int i) const {
  if (informative_[i] == 0) return std::numeric_limits<double>::quiet_NaN();
  // Each stratum's screening gain plus its error bounds its exact gain; the
  // weights add up in another order than the exact measure's: a relative
  // 1e-12 covers the rounding.
  return weighted_[i] < kInfinity ? weighted_[i] / counted_[i] * (1 + 1e-12) : kInfinity;
}

double StratifiedScorer::keyBound(double bound, int i, const int* combination) const {
  if (!(bound < kInfinity)) return bound;
  if (context_.measure == kRankByRIG) return bound / (spread_[i] / counted_[i] * (1 - 1e-12));
  if (context_.measure == kRankBySynergy) return bound - singleGainSum(combination, order_, context_.single_gains);
  return bound;
}

void StratifiedScorer::noteNotANumber(const int* combination) {
  ++stats_.not_a_number;
  std::vector<int>& first = stats_.first_not_a_number;
  if (first.empty() || std::lexicographical_compare(combination, combination + order_, first.begin(), first.end()))
    first.assign(combination, combination + order_);
}

double StratifiedScorer::pValueKeyOf(const int* combination, const int* tables) {
  // Under "em" the test reads only the samples observed at every marker.
  if (context_.missing_code == kMethodEm) {
    tested_.clear();
    for (const SearchContext& part : parts_.contexts) {
      countTestedTable(part, combination, order_, one_table_);
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
  for (int first = 0; first < count; first += kChunk) {
    const int n = std::min(kChunk, count - first);
    countChunk(combinations + static_cast<long>(first) * order_, n);
    for (int j = 0; j < n; ++j) {
      const int i = first + j;
      const int* combination = combinations + static_cast<long>(i) * order_;
      int* tables = gatherTables(j, n);
      stratifiedMeasurePair(parts_, tables, table_ints_, &pairs_[2L * i]);
      if (std::isnan(pairs_[2L * i])) noteNotANumber(combination);
      keys_[i] = context_.measure == kRankByP ? pValueKeyOf(combination, tables)
                                              : rankingKey(context_, &pairs_[2L * i], combination, order_);
      if (listing_ != nullptr && pairs_[2L * i] >= listing_floor_) listing_->offer(combination, &pairs_[2L * i], keys_[i]);
    }
  }
  shellsortIndex(index_.data(), keys_.data(), count, sizeof(double), cmp_double, 1);
  takeBatchBest({combinations, order_, count, pairs_.data(), keys_.data(), index_.data()}, context_.K, best);
}

StratifiedScorer::Candidate StratifiedScorer::exactCandidate(const int* combinations, int i) {
  const int* combination = combinations + static_cast<long>(i) * order_;
  // The few that may rank are counted again, stratum by stratum.
  countStratifiedTables(parts_, combination, order_, gathered_);
  Candidate candidate{i, 0, {0, 0}};
  stratifiedMeasurePair(parts_, gathered_.data(), table_ints_, candidate.pair);
  candidate.key = rankingKey(context_, candidate.pair, combination, order_);
  return candidate;
}

double StratifiedScorer::leadersFloor(const int* combinations, int count) {
  // Any K exact keys of the batch bound its K-th best from below; those of
  // the K highest bounds come close to it, so that the walk below starts
  // with a threshold that rules out nearly everything.
  const int K = context_.K;
  leaders_.clear();
  index_.clear();
  for (int i = 0; i < count; ++i) {
    if (!std::isnan(key_bounds_[i])) index_.push_back(i);
  }
  if (static_cast<int>(index_.size()) < K) return -kInfinity;
  std::nth_element(index_.begin(), index_.begin() + (K - 1), index_.end(),
                   [this](int a, int b) { return key_bounds_[a] > key_bounds_[b]; });
  double lowest = kInfinity;
  for (int t = 0; t < K; ++t) {
    leaders_.push_back(exactCandidate(combinations, index_[t]));
    const double key = leaders_.back().key;
    if (std::isnan(key)) return -kInfinity;  // the walk below falls back on the full ranking
    lowest = std::min(lowest, key);
  }
  std::sort(leaders_.begin(), leaders_.end(), [](const Candidate& a, const Candidate& b) { return a.index < b.index; });
  return lowest;
}

void StratifiedScorer::score(int* combinations, int count, RankedRows& best) {
  ++stats_.batches;
  if (static_cast<long>(pairs_.size()) < 2L * count) pairs_.resize(2L * count);
  const int K = context_.K;
  // A p-value key is the association test's, which no IG bound bounds.
  const bool screen =
      !context_.all_pairs && K >= 1 && K < count && K <= kMaxScreenedK && context_.measure != kRankByP;
  if (!screen) {
    rankInFull(combinations, count, best);
    return;
  }
  const double floor = context_.running_maximum != nullptr
                           ? context_.running_maximum->load(std::memory_order_relaxed)
                           : -kInfinity;
  candidates_.clear();
  listed_.clear();
  low_heap_.clear();
  long long not_a_number = 0;
  std::vector<int> first_not_a_number;
  bool classic_not_a_number = false;
  boundBatch(combinations, count);
  key_bounds_.resize(count);
  for (int i = 0; i < count; ++i) key_bounds_[i] = keyBound(gainBound(i), i, combinations + static_cast<long>(i) * order_);
  const double batch_floor = std::max(floor, leadersFloor(combinations, count));
  std::size_t next_leader = 0;
  for (int i = 0; i < count; ++i) {
    const int* combination = combinations + static_cast<long>(i) * order_;
    const bool full = static_cast<int>(low_heap_.size()) == K;
    const double threshold = std::max(batch_floor, full ? low_heap_.front() : -kInfinity);
    const double gain_bound = gainBound(i);
    const double bound = key_bounds_[i];
    const bool may_list = listing_ != nullptr && !(gain_bound < listing_floor_);
    if (std::isnan(bound)) {
      ++not_a_number;
      if (first_not_a_number.empty() ||
          std::lexicographical_compare(combination, combination + order_, first_not_a_number.begin(),
                                       first_not_a_number.end()))
        first_not_a_number.assign(combination, combination + order_);
    } else if (bound < threshold && !may_list) {
      ++stats_.ruled_out;
      continue;
    }
    while (next_leader < leaders_.size() && leaders_[next_leader].index < i) ++next_leader;
    const Candidate candidate = next_leader < leaders_.size() && leaders_[next_leader].index == i
                                    ? leaders_[next_leader]
                                    : exactCandidate(combinations, i);
    ++stats_.candidates;
    if (may_list && candidate.pair[0] >= listing_floor_) listed_.push_back(candidate);
    if (std::isnan(candidate.key)) {
      classic_not_a_number = true;  // its place is the index sort's alone
      break;
    }
    if (candidate.key < threshold) continue;
    candidates_.push_back(candidate);
    if (!full) {
      low_heap_.push_back(candidate.key);
      std::push_heap(low_heap_.begin(), low_heap_.end(), std::greater<>());
    } else if (candidate.key > low_heap_.front()) {
      std::pop_heap(low_heap_.begin(), low_heap_.end(), std::greater<>());
      low_heap_.back() = candidate.key;
      std::push_heap(low_heap_.begin(), low_heap_.end(), std::greater<>());
    }
  }
  bool distinct = !classic_not_a_number;
  const int kept = std::min<int>(K, static_cast<int>(candidates_.size()));
  if (distinct) {
    const int compared = std::min<int>(K + 1, static_cast<int>(candidates_.size()));
    std::partial_sort(candidates_.begin(), candidates_.begin() + compared, candidates_.end(),
                      [](const Candidate& a, const Candidate& b) { return a.key > b.key; });
    for (int t = 1; t < compared && distinct; ++t) distinct = candidates_[t].key != candidates_[t - 1].key;
  }
  if (!distinct) {
    ++stats_.fallbacks;
    rankInFull(combinations, count, best);
    return;
  }
  ++stats_.screened;
  for (const Candidate& row : listed_)
    listing_->offer(combinations + static_cast<long>(row.index) * order_, row.pair, row.key);
  stats_.not_a_number += not_a_number;
  if (!first_not_a_number.empty() &&
      (stats_.first_not_a_number.empty() || first_not_a_number < stats_.first_not_a_number))
    stats_.first_not_a_number = first_not_a_number;
  best.order = order_;
  best.clear();
  for (int t = 0; t < kept; ++t) {
    const Candidate& row = candidates_[t];
    best.append(combinations + static_cast<long>(row.index) * order_, row.pair, row.key);
  }
}
