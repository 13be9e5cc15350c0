#include "engine/rank/batch_scorer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "core/gorva.h"
#include "engine/count/path_kernels.h"
#include "engine/count/unrank.h"
#include "engine/count/information_gain_bound.h"
#include "engine/rank/table_test.h"

namespace {

// Above this K the candidates are most of a batch anyway: rank in full.
constexpr int kMaxScreenedK = 1024;
// Candidate tables kept per walk before giving up on screening a batch
// (ints; shared among the walk's batches).
constexpr long kCandidateTableInts = 1L << 22;

}  // namespace

BatchScorer::BatchScorer(const SearchContext& context, int order)
    : context_(context), order_(order), listing_(context.listing) {
  listing_floor_ = listing_ != nullptr ? listing_->floor() : 0;
  if (!countsFromPlanes(context, order)) return;
  const PathKernels& kernels = pathKernels(context.settings.simd);
  counter_ =
      std::make_unique<CellCounter>(*context.planes, order, kernels.count_cells);
  table_ints_ = 2 * counter_->cells();
  if (context.missing_code == kMethodEm) {
    em_tables_ = std::make_unique<EmTables>(order);
    table_ints_ = em_tables_->ints();
    if (order <= kEmBoundMostOrder && kernels.em_table_bounds != nullptr) {
      em_table_bounds_ = kernels.em_table_bounds;
      em_bound_shape_ = std::make_unique<EmBoundShape>(order);
    }
  }
  score_sums_.assign(table_ints_, 0.0);
  // Synergy is screened by its IG: the single-marker part is exact.
  screening_ = std::make_unique<ScreeningKeys>(table_ints_ / 2, context.N,
                                               context.measure == kRankByRIG ? 1 : 0,
                                               context.missing_code == kMethodAvailable,
                                               context.cases, context.controls);
  bounds_ = kernels.table_bounds;
  next_reaching_ = kernels.next_reaching;
  case_fraction_ =
      roundedFraction(context.N > 0 ? static_cast<double>(context.cases) / context.N : 0.5);
  divergence_factor_ = divergenceFactor(case_fraction_);
  if (!std::isfinite(divergence_factor_)) bounds_ = nullptr;  // one class: nothing to bound
  // Tables of complete markers add up to the listed samples' classes: the
  // fused walk bounds them by those, which must be the totals the measures
  // use.
  // em's tables are completed from the counted ones, never counted: the
  // walk cannot bound them.
  if (em_tables_) return;
  const int* classes = context.planes->everyoneCounts();
  const bool class_totals = context.missing_code == kMethodAvailable ||
                            (classes[0] == context.controls && classes[1] == context.cases);
  const bool fixed = context.missing_code != kMethodAvailable;
  if (bounds_ != nullptr && class_totals && !context.all_pairs)
    counter_->fuseBounds(kernels, case_fraction_, divergence_factor_,
                         fixed ? context.controls : -1, fixed ? context.cases : -1, context.missing_rows);
}

void BatchScorer::observedGainBounds(int count) {
  observed_bounds_.assign(static_cast<std::size_t>(count) + 16, std::numeric_limits<double>::quiet_NaN());
  if (bounds_ == nullptr) return;
  BoundRequest request;
  request.tables = em_observed_.data();
  request.count = count;
  request.stride = table_ints_;
  request.cells = table_ints_ / 2;
  request.q = case_fraction_;
  request.divergence_factor = divergence_factor_;
  bounds_(request, observed_bounds_.data());
}

bool BatchScorer::measuresSpared() const {
  return listing_ == nullptr && !context_.all_pairs && context_.cases > 0 && context_.controls > 0;
}

bool BatchScorer::screensEm() const {
  // Ranked by p, em's test reads the observed samples' table, which the
  // bounds of its em table say nothing of; a listing wants every table.
  return !em_tables_ || (context_.measure != kRankByP && listing_ == nullptr);
}

void BatchScorer::completeEmTables(int count, int* counted) {
  const long counted_ints = 2L * counter_->cells();
  em_completed_.resize(static_cast<std::size_t>(count) * table_ints_);
  em_observed_.resize(em_completed_.size());
  for (int j = 0; j < count; ++j) {
    em_tables_->fill(counted + j * counted_ints);
    std::copy_n(em_tables_->em(), table_ints_, em_completed_.data() + static_cast<long>(j) * table_ints_);
    std::copy_n(em_tables_->observed(), table_ints_, em_observed_.data() + static_cast<long>(j) * table_ints_);
  }
}

bool BatchScorer::countsFromPlanes(const SearchContext& context, int order) {
  if (context.planes == nullptr || !CellCounter::servesOrder(context.planes->levels(), order)) return false;
  // em's counted tables have 4^k cells against the 3^k a sample at a time
  // fills: from order 6 on, counting them costs more than the samples do.
  return context.missing_code != kMethodEm || order <= kEmMostCountedOrder;
}

bool BatchScorer::readsMissingRows(const SearchContext& context, int order) {
  return order == 2 && !context.all_pairs && context.strata == nullptr && context.missing_code != kMethodEm &&
         countsFromPlanes(context, order) &&
         pathKernels(context.settings.simd).missing_pairs.sum_bit_rows != nullptr;
}

bool BatchScorer::scoresRangesFor(const SearchContext& context, int order) {
  return countsFromPlanes(context, order) &&
         !context.all_pairs && context.strata == nullptr;
}

void BatchScorer::score(int* combinations, int count, RankedRows& best) {
  if (!counter_) {
    ++stats_.batches;
    ++stats_.ranked_in_full;
    if (static_cast<long>(pairs_.size()) < 2L * count) pairs_.resize(2L * count);
    scorePlain(combinations, count);
    if (context_.measure == kRankByP) plainPValueKeys(combinations, count);
    const Batch batch{combinations, nullptr, count};
    for (int i = 0; listing_ != nullptr && i < count; ++i) {
      if (pairs_[2L * i] >= listing_floor_)
        listing_->offer(combinations + static_cast<long>(i) * order_, &pairs_[2L * i],
                        keyOf(batch, i, &pairs_[2L * i]));
    }
    rankInFull(batch, best);
    raiseRunningMaximum(best);
    return;
  }
  scoreBatches(Batch{combinations, nullptr, count}, count, &best);
}

double BatchScorer::runningMaximum() const {
  if (context_.running_maximum == nullptr) return -std::numeric_limits<double>::infinity();
  return context_.running_maximum->load(std::memory_order_relaxed);
}

void BatchScorer::raiseRunningMaximum(const RankedRows& best) {
  if (context_.running_maximum == nullptr || best.size() == 0 || std::isnan(best.keys[0])) return;
  double seen = context_.running_maximum->load(std::memory_order_relaxed);
  while (best.keys[0] > seen &&
         !context_.running_maximum->compare_exchange_weak(seen, best.keys[0],
                                                          std::memory_order_relaxed)) {
  }
}

void BatchScorer::scoreRanges(long long first_rank, int count, int batch_size, RankedRows* best) {
  const int batches = (count + batch_size - 1) / batch_size;
  firsts_.resize(batches);
  for (int b = 0; b < batches; ++b) {
    firsts_[b].resize(order_);
    unrankCombination(first_rank + static_cast<long long>(b) * batch_size, context_.marker_count,
                      order_, firsts_[b].data());
  }
  scoreBatches(Batch{nullptr, firsts_[0].data(), count}, batch_size, best);
}

void BatchScorer::scoreBatches(const Batch& walk, int batch_size, RankedRows* best) {
  const int batches = (walk.count + batch_size - 1) / batch_size;
  const int K = context_.K;
  stats_.batches += batches;
  if (static_cast<int>(screens_.size()) < batches) screens_.resize(batches);
  bool any_screened = false;
  for (int b = 0; b < batches; ++b) {
    const int first = b * batch_size;
    const int length = std::min(batch_size, walk.count - first);
    const bool screen = screensEm() && !context_.all_pairs && K >= 1 && K < length && K <= kMaxScreenedK;
    screens_[b].reset(first, length, screen, K);
    any_screened |= screen;
  }
  if (any_screened) {
    walk_candidate_cap_ = static_cast<int>(
        std::max<long>(2L * K + 16, kCandidateTableInts / table_ints_ / batches));
    screenWalk(walk, batch_size, batches);
  }
  // Every pick reads the walk's combinations, so all come before any batch
  // is walked again to be ranked in full.
  for (int b = 0; b < batches; ++b) {
    Screen& screen = screens_[b];
    if (!screen.screened) {
      ++stats_.ranked_in_full;
      continue;
    }
    if (screen.usable && pickExactBest(walk, screen, best[b])) {
      offerListed(walk, screen.listed);
      ++stats_.screened;
      continue;
    }
    screen.usable = false;
    ++stats_.fallbacks;
  }
  for (int b = 0; b < batches; ++b) {
    const Screen& screen = screens_[b];
    if (screen.usable) continue;
    const Batch batch = walk.list != nullptr
                            ? Batch{walk.list + static_cast<long>(screen.first_index) * order_,
                                    nullptr, screen.count}
                            : Batch{nullptr, firsts_[b].data(), screen.count};
    if (static_cast<long>(pairs_.size()) < 2L * screen.count) pairs_.resize(2L * screen.count);
    scoreEveryTable(batch);
    rankInFull(batch, best[b]);
  }
  for (int b = 0; b < batches; ++b) raiseRunningMaximum(best[b]);
}

void BatchScorer::appendRow(const Batch& walk, int i, const double* pair, double key,
                            RankedRows& best) {
  best.append(combinationOf(walk, i), pair, key);
}

void BatchScorer::scorePlain(int* combinations, int count) {
  scorePlainly(context_, context_.genotypes, context_.marker_count, {combinations, order_, count}, pairs_.data());
}

void BatchScorer::exactMeasures(int* table, double* pair) {
  exactMeasurePair(context_, table, table_ints_, score_sums_.data(), pair);
}

void BatchScorer::scoreEveryTable(const Batch& batch) {
  walk_listed_.clear();
  const bool by_p = context_.measure == kRankByP;
  if (by_p) {
    p_keys_.resize(batch.count);
    p_value_keys_.startBatch(context_.all_pairs ? 0 : context_.K);
  }
  forEachTable(batch, [this, by_p](int first, int count, int* tables) {
    if (by_p && em_tables_) observedGainBounds(count);
    for (int j = 0; j < count; ++j) {
      int* table = tables + static_cast<long>(j) * table_ints_;
      double* pair = &pairs_[2L * (first + j)];
      if (by_p && em_tables_) {
        // The test reads the observed samples' table, which em's IG says
        // nothing of: the key comes first (its IG bound rules most tables
        // out before any test), and a table ruled out needs no measures
        // unless they are wanted for themselves. Its em table holds every
        // sample, so its measures are numbers (both classes are there) and
        // rank it nowhere but below the batch's K best.
        p_keys_[first + j] = p_value_keys_.next(em_observed_.data() + static_cast<long>(j) * table_ints_,
                                                table_ints_ / 2, observed_bounds_[j]);
        if (p_keys_[first + j] == -std::numeric_limits<double>::infinity() && measuresSpared()) {
          pair[0] = 0;
          pair[1] = 0;
          continue;
        }
        exactMeasures(table, pair);
      } else {
        exactMeasures(table, pair);
        if (by_p) p_keys_[first + j] = p_value_keys_.next(table, table_ints_ / 2, pair[0]);
      }
      if (listing_ != nullptr && pair[0] >= listing_floor_ &&
          listing_->mayQualify(table, table_ints_ / 2, pair[0]))
        walk_listed_.push_back(Listed{first + j, {pair[0], pair[1]}});
    }
    return true;
  });
  offerListed(batch, walk_listed_);
}

void BatchScorer::noteListed(std::vector<Listed>& listed, int index, const int* table,
                             double ig_upper) {
  if (!(ig_upper >= listing_floor_) || !listing_->mayQualify(table, table_ints_ / 2, ig_upper))
    return;
  listed_table_.assign(table, table + table_ints_);
  Listed row{index, {0, 0}};
  exactMeasures(listed_table_.data(), row.pair);
  if (listing_->mayQualify(table, table_ints_ / 2, row.pair[0])) listed.push_back(row);
}

void BatchScorer::offerListed(const Batch& walk, std::vector<Listed>& listed) {
  // Ranked by p, the listing takes the key from the table's own test: a
  // screened batch holds no key for tables that were not tested.
  const bool by_p = context_.measure == kRankByP;
  for (const Listed& row : listed)
    listing_->offer(combinationOf(walk, row.index), row.pair,
                    by_p ? 0.0 : keyOf(walk, row.index, row.pair));
  listed.clear();
}

const int* BatchScorer::combinationOf(const Batch& walk, int i) {
  if (walk.list != nullptr) return walk.list + static_cast<long>(i) * order_;
  combination_.resize(order_);
  counter_->combinationAt(i, combination_.data());
  return combination_.data();
}

void BatchScorer::plainPValueKeys(const int* combinations, int count) {
  p_keys_.resize(count);
  std::vector<int> table;
  for (int i = 0; i < count; ++i) {
    countTestedTable(context_, combinations + static_cast<long>(i) * order_, order_, table);
    p_keys_[i] = pValueKey(associationTest(table.data(), 1, static_cast<int>(table.size() / 2)));
  }
}

double BatchScorer::keyOf(const Batch& walk, int i, const double* pair) {
  if (context_.measure == kRankByP)
    return std::isnan(p_keys_[i]) ? -std::numeric_limits<double>::infinity() : p_keys_[i];
  const int* combination =
      context_.measure == kRankBySynergy ? combinationOf(walk, i) : nullptr;
  return rankingKey(context_, pair, combination, order_);
}

void BatchScorer::noteNotANumber(const Batch& walk, int i) {
  ++stats_.not_a_number;
  const int* combination = combinationOf(walk, i);
  std::vector<int>& first = stats_.first_not_a_number;
  if (first.empty() ||
      std::lexicographical_compare(combination, combination + order_, first.begin(), first.end()))
    first.assign(combination, combination + order_);
}

void BatchScorer::rankInFull(const Batch& batch, RankedRows& best) {
  const int count = batch.count;
  keys_.resize(count);
  index_.resize(count);
  for (int i = 0; i < count; ++i) {
    // Every table without a key (a class absent) ends up ranked here.
    if (std::isnan(pairs_[2L * i])) noteNotANumber(batch, i);
    keys_[i] = keyOf(batch, i, &pairs_[2L * i]);
  }
  if (context_.measure == kRankByP) {
    rankByPValue(batch, best);
    return;
  }
  if (pickDistinctBest(batch, best)) return;
  shellsortIndex(index_.data(), keys_.data(), count, sizeof(double), cmp_double, 1);
  if (batch.list != nullptr) {
    takeBatchBest({batch.list, order_, count, pairs_.data(), keys_.data(), index_.data()}, context_.K, best);
    return;
  }
  // The rows takeBatchBest takes: the last sorted position first.
  best.order = order_;
  best.clear();
  for (int j = 0; j < context_.K && j < count; ++j) {
    const int i = index_[count - 1 - j];
    appendRow(batch, i, &pairs_[2L * i], keys_[i], best);
  }
}

bool BatchScorer::pickDistinctBest(const Batch& batch, RankedRows& best) {
  const int count = batch.count;
  const int K = context_.K;
  if (K < 1 || count <= K) return false;
  for (int i = 0; i < count; ++i)
    if (std::isnan(keys_[i])) return false;
  top_.resize(count);
  std::iota(top_.begin(), top_.end(), 0);
  std::partial_sort(top_.begin(), top_.begin() + K + 1, top_.end(),
                    [this](int a, int b) { return keys_[a] > keys_[b]; });
  for (int j = 0; j < K; ++j)
    if (!(keys_[top_[j]] > keys_[top_[j + 1]])) return false;
  best.order = order_;
  best.clear();
  for (int j = 0; j < K; ++j) appendRow(batch, top_[j], &pairs_[2L * top_[j]], keys_[top_[j]], best);
  return true;
}

double BatchScorer::bytesBound(const OrderSearchShape& shape, double unit_batches) {
  const int order = shape.order;
  const int levels = shape.levels;
  const int K = shape.K;
  const int batch_size = shape.batch_size;
  const double row_words = shape.row_words;
  const double marker_count = shape.marker_count;
  const double sample_count = shape.sample_count;
  const double walk = unit_batches * batch_size;
  const double table_ints = 2 * std::pow(levels, order);
  // Pairs, keys, sort index and the screening stretch of one batch; the
  // plain path's list of combinations.
  double bytes =
      static_cast<double>(batch_size) *
          (2 * sizeof(double) + sizeof(double) + sizeof(int) + 3 * sizeof(double) + order * sizeof(int)) +
      table_ints * sizeof(double) + unit_batches * order * sizeof(int);
  if (!CellCounter::servesOrder(levels, order)) return bytes;
  // A run holds every combination of one prefix in the walk.
  double prefixes = 1;
  for (int i = 1; i < order; ++i) prefixes = prefixes * (marker_count - order + 1 + i) / i;
  bytes += CellCounter::bytesBound(levels, order, row_words, marker_count,
                                   std::min(walk, prefixes + unit_batches), /*shared_missing_rows=*/true);
  // em's tables and the observed samples' beside them, completed from a
  // visit's counted ones (smaller each).
  if (levels == kEmCountedLevels) bytes += 2 * CellCounter::tableBytesBound(levels, order, marker_count);
  bytes += 2 * (sample_count + 1) * sizeof(double);  // the screening's terms and inverses
  if (K >= 1 && K <= kMaxScreenedK) {
    const double cap = std::max(2.0 * K + 16, kCandidateTableInts / table_ints / unit_batches);
    // Grown one by one: twice the room at worst.
    bytes += 2 * unit_batches * (K * sizeof(double) + cap * (sizeof(Candidate) + table_ints * sizeof(int)));
  }
  return bytes;
}
