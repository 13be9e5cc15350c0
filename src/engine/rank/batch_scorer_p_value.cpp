// The p_chisq side of BatchScorer. A table's test statistic is at most its
// unpooled G = 2 ln2 n IG (pooling and Williams' divisor only lower it) and
// the tail grows with the degrees of freedom, so once a batch holds K tested
// keys a table needs 2 ln2 n IG of at least the statistic that reaches the
// K-th best key on the fewest degrees of freedom its test can have. The
// fused walk's IG bound (over the run's N, on 1 df) rules most tables out
// before they are completed, the screening IG most of the rest before they
// are tested (PValueKeys); exact measures are computed only for the tables
// whose p reaches the K-th best, which the ties by IG need.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "engine/rank/batch_scorer.h"
#include "engine/rank/p_value_keys.h"

namespace {

// Rows ranked by p: the larger key, then the larger IG, then the earlier
// position in the batch.
bool ranksAboveByP(double key, double gain, int position, double other_key, double other_gain,
                   int other_position) {
  constexpr EqualKeys kTies = EqualKeys::kLargerGainFirst;
  if (ranksAbove(key, gain, other_key, other_gain, kTies)) return true;
  if (ranksAbove(other_key, other_gain, key, gain, kTies)) return false;
  return position < other_position;
}

}  // namespace

void BatchScorer::rankByPValue(const Batch& batch, RankedRows& best) {
  const int count = batch.count;
  std::iota(index_.begin(), index_.begin() + count, 0);
  const int kept = std::min(context_.K, count);
  std::partial_sort(index_.begin(), index_.begin() + kept, index_.begin() + count, [this](int a, int b) {
    return ranksAboveByP(keys_[a], pairs_[2L * a], a, keys_[b], pairs_[2L * b], b);
  });
  best.order = order_;
  best.clear();
  for (int j = 0; j < kept; ++j) {
    const int i = index_[j];
    if (!(keys_[i] > -std::numeric_limits<double>::infinity())) break;
    appendRow(batch, i, &pairs_[2L * i], keys_[i], best);
  }
}

bool BatchScorer::screenPValueStretch(Screen& screen, int first, int count,
                                      const PieceTables& tables, const double* bounds) {
  PValueKeys& keys = screen.p_keys;
  // Only the best key of the order is wanted: below the running maximum is
  // of no use either.
  keys.setFloor(stretch_floor_);
  const double listing_floor =
      listing_ != nullptr ? listing_floor_ : std::numeric_limits<double>::infinity();
  for (int j = 0; j < count; ++j) {
    // N is at least the samples any table counts.
    if (bounds != nullptr && fallsShortOf(context_.N, bounds[j], keys.reachingStatistic()) &&
        bounds[j] < listing_floor) {
      ++stats_.ruled_out;
      continue;
    }
    const int* table = tables.at(j);
    double gain = 0;
    if (!screening_->gain(table, gain)) return false;  // a class is absent: NaN measures
    ++stats_.keys_computed;
    const double gain_upper = gain + screening_->informationGainError();
    if (listing_ != nullptr)
      noteListed(screen.listed, first + j, table,
                 bounds != nullptr ? std::fmin(bounds[j], gain_upper) : gain_upper);
    const double key = keys.next(table, table_ints_ / 2, gain_upper);
    // A key equal to the K-th best stays a candidate: its IG may put it first.
    if (!(key > -std::numeric_limits<double>::infinity()) || key < keys.kthBest()) continue;
    if (static_cast<int>(screen.candidates.size()) >= walk_candidate_cap_) return false;
    screen.candidates.push_back(Candidate{first + j, key, key, key, {0, 0}});
    screen.tables.insert(screen.tables.end(), table, table + table_ints_);
  }
  return true;
}

bool BatchScorer::pickPValueBest(const Batch& walk, Screen& screen, RankedRows& best) {
  best.order = order_;
  best.clear();
  const std::size_t K = static_cast<std::size_t>(context_.K);
  const double threshold = screen.p_keys.kthBest();
  std::vector<Candidate>& candidates = screen.candidates;
  std::size_t kept = 0;
  for (std::size_t c = 0; c < candidates.size(); ++c) {
    Candidate candidate = candidates[c];
    if (candidate.exact < threshold) continue;
    exactMeasures(&screen.tables[c * table_ints_], candidate.pair);
    candidates[kept++] = candidate;
  }
  candidates.resize(kept);
  stats_.candidates += static_cast<long long>(kept);
  const std::size_t rows = std::min(K, kept);
  std::partial_sort(candidates.begin(), candidates.begin() + static_cast<long>(rows), candidates.end(),
                    [](const Candidate& a, const Candidate& b) {
                      return ranksAboveByP(a.exact, a.pair[0], a.index, b.exact, b.pair[0], b.index);
                    });
  for (std::size_t j = 0; j < rows; ++j)
    appendRow(walk, candidates[j].index, candidates[j].pair, candidates[j].exact, best);
  return true;
}
