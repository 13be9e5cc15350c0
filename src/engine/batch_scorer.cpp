#include "engine/batch_scorer.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include "core/gorva.h"
#include "engine/information_gain_bound.h"
#include "engine/kernel_dispatch.h"

namespace {

// Above this K the candidates are most of a batch anyway: rank in full.
constexpr int kMaxScreenedK = 1024;
// Candidate tables kept per batch before giving up on screening (ints).
constexpr long kCandidateTableInts = 1L << 22;

}  // namespace

BatchScorer::BatchScorer(const SearchContext& context, int order)
    : context_(context), order_(order) {
  if (context.planes == nullptr || !CellCounter::servesOrder(context.planes->levels(), order))
    return;
  counter_ =
      std::make_unique<CellCounter>(*context.planes, order, countCellsKernel(activeSimdPath()));
  table_ints_ = 2 * counter_->cells();
  score_sums_.assign(table_ints_, 0.0);
  screening_ = std::make_unique<ScreeningKeys>(counter_->cells(), context.N, context.measure,
                                               context.missing_code == kMethodAvailable,
                                               context.cases, context.controls);
  bounds_ = informationGainBoundsFor(activeSimdPath());
  case_fraction_ = context.N > 0 ? static_cast<double>(context.cases) / context.N : 0.5;
  divergence_factor_ = divergenceFactor(case_fraction_);
  if (!std::isfinite(divergence_factor_)) bounds_ = nullptr;  // one class: nothing to bound
  candidate_cap_ =
      static_cast<int>(std::max<long>(2L * context.K + 16, kCandidateTableInts / table_ints_));
}

void BatchScorer::score(int* combinations, int count, RankedRows& best) {
  if (!counter_) {
    ++stats_.batches;
    ++stats_.ranked_in_full;
    if (static_cast<long>(pairs_.size()) < 2L * count) pairs_.resize(2L * count);
    scorePlain(combinations, count);
    rankInFull(Batch{combinations, nullptr, count}, best);
    return;
  }
  scoreCounted(Batch{combinations, nullptr, count}, best);
}

void BatchScorer::scoreRange(const int* first, int count, RankedRows& best) {
  scoreCounted(Batch{nullptr, first, count}, best);
}

void BatchScorer::scoreCounted(const Batch& batch, RankedRows& best) {
  ++stats_.batches;
  if (static_cast<long>(pairs_.size()) < 2L * batch.count) pairs_.resize(2L * batch.count);
  const int K = context_.K;
  const bool screen = !context_.all_pairs && K >= 1 && K < batch.count && K <= kMaxScreenedK;
  if (screen) {
    if (screenBatch(batch) && pickExactBest(batch, best)) {
      ++stats_.screened;
      return;
    }
    ++stats_.fallbacks;
  } else {
    ++stats_.ranked_in_full;
  }
  scoreEveryTable(batch);
  rankInFull(batch, best);
}

template <class Visit>
void BatchScorer::forEachTable(const Batch& batch, Visit&& visit) {
  if (batch.list != nullptr) {
    counter_->forEach(batch.list, batch.count, visit);
  } else {
    counter_->forEachFrom(batch.first, batch.count, visit);
  }
}

void BatchScorer::appendRow(const Batch& batch, int i, double key, RankedRows& best) {
  const int* combination = nullptr;
  if (batch.list != nullptr) {
    combination = batch.list + static_cast<long>(i) * order_;
  } else {
    combination_.resize(order_);
    counter_->combinationAt(i, combination_.data());
    combination = combination_.data();
  }
  best.append(combination, &pairs_[2L * i], key);
}

void BatchScorer::scorePlain(int* combinations, int count) {
  // mdrCombinationAll takes every argument by address and changes none but
  // the output; the sample list is only read.
  int k = order_;
  int n = count;
  int markers = context_.marker_count;
  int samples_per_marker = context_.sample_count;
  int N = context_.N;
  int cases = context_.cases;
  int controls = context_.controls;
  double ratio = context_.ratio;
  int option = context_.option_code;
  int missing = context_.missing_code;
  mdrCombinationAll(combinations, &k, &n, context_.genotypes, &markers, context_.phenotypes,
                    context_.scores, &samples_per_marker, const_cast<int*>(context_.samples.data()),
                    &N, &cases, &controls, &ratio, &option, &missing, pairs_.data());
}

void BatchScorer::exactMeasures(int* table, double* pair) {
  int N = context_.N;
  int cases = context_.cases;
  int controls = context_.controls;
  double ratio = context_.ratio;
  if (context_.missing_code == kMethodAvailable) {
    cases = 0;
    controls = 0;
    for (int i = 0; i < table_ints_; i += 2) {
      controls += table[i];
      cases += table[i + 1];
    }
    N = cases + controls;
    ratio = static_cast<double>(cases) / controls;
  }
  calculateMeasuresAll(N, cases, controls, table, score_sums_.data(), table_ints_, ratio,
                       context_.option_code, pair);
}

void BatchScorer::scoreEveryTable(const Batch& batch) {
  forEachTable(batch, [this](int first, int count, int* tables) {
    for (int j = 0; j < count; ++j)
      exactMeasures(tables + static_cast<long>(j) * table_ints_, &pairs_[2L * (first + j)]);
    return true;
  });
}

void BatchScorer::rankInFull(const Batch& batch, RankedRows& best) {
  const int count = batch.count;
  keys_.resize(count);
  index_.resize(count);
  for (int i = 0; i < count; ++i) keys_[i] = pairs_[2L * i + context_.measure];
  shellsortIndex(index_.data(), keys_.data(), count, sizeof(double), cmp_double, 1);
  if (batch.list != nullptr) {
    takeBatchBest(batch.list, order_, count, pairs_.data(), keys_.data(), index_.data(), context_.K,
                  best);
    return;
  }
  // The rows takeBatchBest takes: the last sorted position first.
  best.order = order_;
  best.clear();
  for (int j = 0; j < context_.K && j < count; ++j) {
    const int i = index_[count - 1 - j];
    appendRow(batch, i, keys_[i], best);
  }
}

bool BatchScorer::screenBatch(const Batch& batch) {
  candidates_.clear();
  candidate_tables_.clear();
  low_heap_.clear();
  const std::size_t K = static_cast<std::size_t>(context_.K);
  bool usable = true;
  forEachTable(batch, [&](int first, int count, int* tables) {
    if (static_cast<int>(stretch_keys_.size()) < count) {
      stretch_keys_.resize(count);
      stretch_errors_.resize(count);
      stretch_bounds_.resize(count);
    }
    const bool bounded = bounds_ != nullptr && low_heap_.size() == K &&
                         screening_->informationGainCutoff(low_heap_.front()) > 0;
    if (bounded) {
      usable = screenBoundedStretch(first, count, tables);
    } else {
      usable = screenStretch(first, count, tables);
    }
    return usable;
  });
  return usable;
}

bool BatchScorer::screenStretch(int first, int count, const int* tables) {
  // Keys first, in one pass without branches on them, then the bounds.
  if (!screening_->keys(tables, count, table_ints_, stretch_keys_.data(), stretch_errors_.data()))
    return false;  // a class is absent: NaN measures, ranked in full
  stats_.keys_computed += count;
  for (int j = 0; j < count; ++j) {
    if (!offerCandidate(first + j, tables + static_cast<long>(j) * table_ints_, stretch_keys_[j],
                        stretch_errors_[j]))
      return false;
  }
  return true;
}

bool BatchScorer::screenBoundedStretch(int first, int count, const int* tables) {
  // Only tables whose IG bound passes the cutoff of the K-th best lower
  // bound so far get a key; the cutoff only rises as the walk goes on.
  BoundRequest request;
  request.tables = tables;
  request.count = count;
  request.stride = table_ints_;
  request.cells = counter_->cells();
  if (context_.missing_code != kMethodAvailable) {
    request.fixed_controls = context_.controls;
    request.fixed_cases = context_.cases;
  }
  request.q = case_fraction_;
  request.divergence_factor = divergence_factor_;
  bounds_(request, stretch_bounds_.data());
  double cutoff = screening_->informationGainCutoff(low_heap_.front());
  for (int j = 0; j < count; ++j) {
    if (stretch_bounds_[j] < cutoff) {
      ++stats_.ruled_out;
      continue;
    }
    const int* table = tables + static_cast<long>(j) * table_ints_;
    ++stats_.keys_computed;
    double key = 0;
    double error = 0;
    if (!screening_->key(table, key, error)) return false;
    if (!offerCandidate(first + j, table, key, error)) return false;
    cutoff = screening_->informationGainCutoff(low_heap_.front());
  }
  return true;
}

bool BatchScorer::offerCandidate(int index, const int* table, double key, double error) {
  const std::size_t K = static_cast<std::size_t>(context_.K);
  const auto lower_first = std::greater<double>();
  const double low = key - error;
  const double high = key + error;
  if (low_heap_.size() < K) {
    low_heap_.push_back(low);
    std::push_heap(low_heap_.begin(), low_heap_.end(), lower_first);
  } else {
    // Below the K-th best lower bound so far: K combinations are better.
    if (!(high >= low_heap_.front())) return true;
    if (low > low_heap_.front()) {
      std::pop_heap(low_heap_.begin(), low_heap_.end(), lower_first);
      low_heap_.back() = low;
      std::push_heap(low_heap_.begin(), low_heap_.end(), lower_first);
    }
  }
  if (static_cast<int>(candidates_.size()) >= candidate_cap_) return false;
  candidates_.push_back(Candidate{index, low, high, 0});
  candidate_tables_.insert(candidate_tables_.end(), table, table + table_ints_);
  return true;
}

bool BatchScorer::pickExactBest(const Batch& batch, RankedRows& best) {
  // K combinations have exact keys at or above the threshold, so whatever
  // lies wholly below it is not among the best K.
  const double threshold = low_heap_.front();
  std::size_t kept = 0;
  for (std::size_t c = 0; c < candidates_.size(); ++c) {
    Candidate candidate = candidates_[c];
    if (!(candidate.high >= threshold)) continue;
    double* pair = &pairs_[2L * candidate.index];
    exactMeasures(&candidate_tables_[c * table_ints_], pair);
    candidate.exact = pair[context_.measure];
    if (std::isnan(candidate.exact)) return false;
    if (candidate.exact < candidate.low || candidate.exact > candidate.high) {
      ++stats_.bound_misses;
      return false;
    }
    candidates_[kept++] = candidate;
  }
  candidates_.resize(kept);
  stats_.candidates += static_cast<long long>(kept);
  std::sort(candidates_.begin(), candidates_.end(),
            [](const Candidate& a, const Candidate& b) { return a.exact > b.exact; });
  // The order is the sort's own only when no two of the best K + 1 tie.
  const std::size_t K = static_cast<std::size_t>(context_.K);
  for (std::size_t j = 0; j < K && j + 1 < kept; ++j) {
    if (!(candidates_[j].exact > candidates_[j + 1].exact)) return false;
  }
  best.order = order_;
  best.clear();
  for (std::size_t j = 0; j < K && j < kept; ++j)
    appendRow(batch, candidates_[j].index, candidates_[j].exact, best);
  return true;
}
