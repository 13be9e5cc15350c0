// The screening side of BatchScorer: each table of a walk gets a key with an
// error bound (or is ruled out by its IG bound), only the candidates whose
// interval reaches a batch's K-th best lower bound get exact measures, and
// the batch's best rows are picked from them when their order is certain.
#include "engine/rank/batch_scorer.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "engine/count/information_gain_bound_finish.h"


void BatchScorer::Screen::reset(int first, int length, bool screen, int K) {
  first_index = first;
  count = length;
  screened = screen;
  usable = screen;
  low_heap.clear();
  candidates.clear();
  tables.clear();
  listed.clear();
  p_keys.startBatch(K);
}

double BatchScorer::gainUpper(const int* table, double key, double error) const {
  if (context_.measure != kRankByRIG) return key + error;
  double ig = 0;
  if (!screening_->gain(table, ig)) return std::numeric_limits<double>::infinity();
  return ig + screening_->informationGainError();
}

BatchScorer::RunGains BatchScorer::runGains(const Batch& walk, int first) {
  if (context_.measure != kRankBySynergy) return RunGains{};
  const int* combination = combinationOf(walk, first);
  return RunGains{singleGainSum(combination, order_ - 1, context_.single_gains),
                  combination[order_ - 1]};
}

bool BatchScorer::boundsRuleOut(const Screen& screen) const {
  const std::size_t K = static_cast<std::size_t>(context_.K);
  return bounds_ != nullptr &&
         (listing_ != nullptr || screening_->informationGainCutoff(stretch_floor_) > 0 ||
          (screen.low_heap.size() == K && screening_->informationGainCutoff(screen.low_heap.front()) > 0));
}

void BatchScorer::screenWalk(const Batch& walk, int batch_size, int batches) {
  int open = 0;  // batches still screened
  for (int b = 0; b < batches; ++b) open += screens_[b].usable ? 1 : 0;
  auto screenPieces = [&](int first, int count, int* tables, const double* bounds) {
    // A stretch may run from one batch into the next.
    for (int offset = 0; count > 0;) {
      Screen& screen = screens_[first / batch_size];
      const int length = std::min(count, screen.first_index + screen.count - first);
      if (screen.usable) {
        if (static_cast<int>(stretch_keys_.size()) < length) {
          stretch_keys_.resize(length);
          stretch_errors_.resize(length);
          stretch_bounds_.resize(length);
        }
        // A listing rules tables out by its floor from the first table on.
        stretch_floor_ = runningMaximum();
        const PieceTables piece{tables, offset, table_ints_, counter_.get(),
                                em_counted_ != nullptr ? this : nullptr};
        const double* piece_bounds = bounds != nullptr ? bounds + offset : nullptr;
        if (piece_bounds != nullptr) stats_.bounded_in_walk += length;
        if (context_.measure == kRankByP) {
          screen.usable = screenPValueStretch(screen, first, length, piece, piece_bounds);
        } else if (boundsRuleOut(screen)) {
          screen.usable = screenBoundedStretch(screen, first, length, piece, piece_bounds,
                                               runGains(walk, first));
        } else {
          screen.usable = screenStretch(screen, first, length, piece.all(length), runGains(walk, first));
        }
        if (!screen.usable) --open;
      }
      first += length;
      count -= length;
      offset += length;
    }
    return open > 0;
  };
  if (boundsEmTables()) {
    screenEmTables(walk, screenPieces);
  } else if (!counter_->fusesBounds()) {
    forEachTable(walk, [&](int first, int count, int* tables) {
      return screenPieces(first, count, tables, nullptr);
    });
  } else if (walk.list != nullptr) {
    counter_->forEachBounded(walk.list, walk.count, screenPieces);
  } else {
    counter_->forEachBoundedFrom(walk.first, walk.count, screenPieces);
  }
}

bool BatchScorer::boundsEmTables() const {
  return em_tables_ && bounds_ != nullptr && em_table_bounds_ != nullptr &&
         context_.N < kSinglePrecisionTotal;
}

void BatchScorer::screenEmTables(const Batch& walk,
                                const std::function<bool(int, int, int*, const double*)>& screen) {
  auto bounded = [&](int first, int count, int* counted) {
    em_bounds_.resize(count);
    em_table_bounds_({.shape = em_bound_shape_.get(), .counted = counted, .count = count, .q = case_fraction_,
                      .factor = divergence_factor_},
                     em_bounds_.data());
    em_counted_ = counted;
    em_made_.assign(count, 0);
    em_completed_.resize(static_cast<std::size_t>(count) * table_ints_);
    const bool more = screen(first, count, nullptr, em_bounds_.data());
    em_counted_ = nullptr;
    return more;
  };
  if (walk.list != nullptr) {
    counter_->forEach(walk.list, walk.count, bounded);
  } else {
    counter_->forEachFrom(walk.first, walk.count, bounded);
  }
}

const int* BatchScorer::emTable(int j) {
  int* table = em_completed_.data() + static_cast<long>(j) * table_ints_;
  if (em_made_[j] == 0) {
    em_tables_->fill(em_counted_ + 2L * counter_->cells() * j);
    std::copy_n(em_tables_->em(), table_ints_, table);
    em_made_[j] = 1;
  }
  return table;
}

const int* BatchScorer::emTables(int j, int n) {
  for (int i = j; i < j + n; ++i) emTable(i);
  return em_completed_.data() + static_cast<long>(j) * table_ints_;
}

double BatchScorer::ownGains(const RunGains& gains, int j) const {
  if (context_.measure != kRankBySynergy) return 0.0;
  return gains.prefix + context_.single_gains[gains.first_last + j];
}

bool BatchScorer::screenStretch(Screen& screen, int first, int count, const int* tables,
                                const RunGains& gains) {
  // Keys first, in one pass without branches on them, then the bounds.
  if (!screening_->keys(tables, count, table_ints_, stretch_keys_.data(), stretch_errors_.data()))
    return false;  // a class is absent: NaN measures, ranked in full
  stats_.keys_computed += count;
  for (int j = 0; j < count; ++j) {
    const int* table = tables + static_cast<long>(j) * table_ints_;
    if (listing_ != nullptr)
      noteListed(screen.listed, first + j, table,
                 gainUpper(table, stretch_keys_[j], stretch_errors_[j]));
    if (!offerCandidate(screen, first + j, table, stretch_keys_[j] - ownGains(gains, j),
                        stretch_errors_[j]))
      return false;
  }
  return true;
}

bool BatchScorer::screenBoundedStretch(Screen& screen, int first, int count,
                                       const PieceTables& tables, const double* bounds,
                                       const RunGains& gains) {
  // Only tables whose IG bound passes the cutoff of the K-th best lower
  // bound so far get a key; the cutoff only rises as the walk goes on.
  if (bounds == nullptr) {
    BoundRequest request;
    request.tables = tables.at(0);
    request.count = count;
    request.stride = table_ints_;
    request.cells = table_ints_ / 2;
    if (context_.missing_code != kMethodAvailable) {
      request.fixed_controls = context_.controls;
      request.fixed_cases = context_.cases;
    }
    request.q = case_fraction_;
    request.divergence_factor = divergence_factor_;
    bounds_(request, stretch_bounds_.data());
    bounds = stretch_bounds_.data();
  }
  const std::size_t K = static_cast<std::size_t>(context_.K);
  const double floor_cutoff = screening_->informationGainCutoff(stretch_floor_);
  auto rankingCutoff = [&] {
    return screen.low_heap.size() == K
               ? std::fmax(floor_cutoff, screening_->informationGainCutoff(screen.low_heap.front()))
               : floor_cutoff;
  };
  // Below both the ranking's cutoff and the listing's floor (if any), a
  // table is of no use.
  const double listing_floor =
      listing_ != nullptr ? listing_floor_ : std::numeric_limits<double>::infinity();
  double cutoff = rankingCutoff();
  const bool synergy = context_.measure == kRankBySynergy;
  for (int j = 0; j < count; ++j) {
    // Nearly every table is ruled out: without synergy's own gains, a run
    // of them is passed over a vector of bounds at a time.
    if (!synergy) {
      const int start = j;
      j = next_reaching_(bounds, j, count, std::min(cutoff, listing_floor));
      stats_.ruled_out += j - start;
      if (j == count) break;
    }
    // Synergy: the IG bound less the exact single-marker gains.
    const double own = ownGains(gains, j);
    if (bounds[j] < cutoff + own && bounds[j] < listing_floor) {
      ++stats_.ruled_out;
      continue;
    }
    const int* table = tables.at(j);
    ++stats_.keys_computed;
    double key = 0;
    double error = 0;
    if (!screening_->key(table, key, error)) return false;
    if (listing_ != nullptr)
      noteListed(screen.listed, first + j, table, std::fmin(bounds[j], gainUpper(table, key, error)));
    if (!offerCandidate(screen, first + j, table, key - own, error)) return false;
    cutoff = rankingCutoff();
  }
  return true;
}

bool BatchScorer::offerCandidate(Screen& screen, int index, const int* table, double key,
                                 double error) {
  const std::size_t K = static_cast<std::size_t>(context_.K);
  const auto lower_first = std::greater<double>();
  std::vector<double>& heap = screen.low_heap;
  const double low = key - error;
  const double high = key + error;
  // Below the best key of the order so far: of no use when only that is wanted.
  if (high < stretch_floor_) return true;
  if (heap.size() < K) {
    heap.push_back(low);
    std::push_heap(heap.begin(), heap.end(), lower_first);
  } else {
    // Below the K-th best lower bound so far: K combinations are better.
    if (!(high >= heap.front())) return true;
    if (low > heap.front()) {
      std::pop_heap(heap.begin(), heap.end(), lower_first);
      heap.back() = low;
      std::push_heap(heap.begin(), heap.end(), lower_first);
    }
  }
  if (static_cast<int>(screen.candidates.size()) >= walk_candidate_cap_) return false;
  screen.candidates.push_back(Candidate{index, low, high, 0, {0, 0}});
  screen.tables.insert(screen.tables.end(), table, table + table_ints_);
  return true;
}

bool BatchScorer::pickExactBest(const Batch& walk, Screen& screen, RankedRows& best) {
  if (context_.measure == kRankByP) return pickPValueBest(walk, screen, best);
  // K combinations have exact keys at or above the threshold, so whatever
  // lies wholly below it is not among the best K.
  best.order = order_;
  best.clear();
  if (screen.low_heap.empty()) return true;  // nothing reached the running maximum
  const double threshold = screen.low_heap.front();
  std::vector<Candidate>& candidates = screen.candidates;
  std::size_t kept = 0;
  for (std::size_t c = 0; c < candidates.size(); ++c) {
    Candidate candidate = candidates[c];
    if (!(candidate.high >= threshold)) continue;
    exactMeasures(&screen.tables[c * table_ints_], candidate.pair);
    candidate.exact = keyOf(walk, candidate.index, candidate.pair);
    if (std::isnan(candidate.exact)) return false;
    if (candidate.exact < candidate.low || candidate.exact > candidate.high) {
      ++stats_.bound_misses;
      return false;
    }
    candidates[kept++] = candidate;
  }
  candidates.resize(kept);
  stats_.candidates += static_cast<long long>(kept);
  std::sort(candidates.begin(), candidates.end(),
            [](const Candidate& a, const Candidate& b) { return a.exact > b.exact; });
  // The order is the sort's own only when no two of the best K + 1 tie.
  const std::size_t K = static_cast<std::size_t>(context_.K);
  for (std::size_t j = 0; j < K && j + 1 < kept; ++j) {
    if (!(candidates[j].exact > candidates[j + 1].exact)) return false;
  }
  for (std::size_t j = 0; j < K && j < kept; ++j)
    appendRow(walk, candidates[j].index, candidates[j].pair, candidates[j].exact, best);
  return true;
}
