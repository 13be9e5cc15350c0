#include "engine/search/batch_pool.h"

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "core/gorva.h"
#include "engine/count/missing_pair_counts.h"
#include "engine/count/path_kernels.h"
#include "engine/count/unrank.h"
#include "engine/rank/batch_scorer.h"
#include "engine/search/progress.h"
#include "engine/search/stratified_scorer.h"

OrderedMerge::OrderedMerge(int K, EqualKeys ties, int window, SearchProgress* progress,
                           BatchBestSink best_sink)
    : K_(K), ties_(ties), progress_(progress), best_sink_(std::move(best_sink)), slots_(window > 0 ? window : 1) {}

void OrderedMerge::mergeNow(int count, RankedRows& best) {
  if (best_sink_) best_sink_(best);
  mergeBest(kept_, best, K_, ties_);
  combinations_ += count;
  if (progress_ != nullptr) progress_->advance(count);
  ++next_;
}

void OrderedMerge::file(long long batch, int count, RankedRows& best) {
  const auto window = static_cast<long long>(slots_.size());
  Slot& slot = slots_[batch % window];
  slot.batch = batch;
  slot.count = count;
  std::swap(slot.best, best);
  for (;;) {
    Slot& head = slots_[next_ % window];
    if (head.batch != next_) break;
    head.batch = -1;
    mergeNow(head.count, head.best);
  }
}

namespace {

// Work units that may be done ahead of the oldest unmerged batch, per
// worker: bounds the results waiting for their turn.
constexpr int kWindowPerWorker = 4;
// Runs of the last marker a unit of the fast path should hold, so that the
// walk serves many of them from each block of last markers it has in cache.
constexpr long long kRunsPerUnit = 256;
// Units per worker at least, so that the last ones still spread the work.
constexpr long long kUnitsPerWorker = 4;
// Near the end a unit takes at most this share of the batches left per
// worker, down to one batch: units late in the order cost more per pair
// (shorter runs), and whole units at the end would leave workers idle
// while one finishes.
constexpr long long kTailUnitsPerWorker = 2;

// Batches per work unit. The fast path scores consecutive batches in one
// walk: one batch of order 2 over n markers holds only a run or two (a run is
// about n / 2 combinations), and the planes of all last markers would be
// read from memory again for every run once they outgrow the cache.
long long unitBatches(bool ranges, int markers, int batch_size, long long batch_count,
                      int threads) {
  if (!ranges) return 1;
  long long batches = (kRunsPerUnit * (markers / 2 + 1) + batch_size - 1) / batch_size;
  batches = std::min(batches, batch_count / (kUnitsPerWorker * threads));
  batches = std::min(batches, (1LL << 30) / batch_size);
  return std::max(1LL, batches);
}

struct SharedOrder {
  SharedOrder(const SearchContext& c, const OrderRequest& request, long long unit, int window)
      : context(c),
        order(request.order),
        batch_size(request.batch_size),
        unit_batches(unit),
        sink(request.sink),
        merge(c.K, equalKeysOf(c), window, request.progress, request.best_sink) {}

  const SearchContext& context;
  int order;
  int batch_size;
  long long unit_batches;  // batches a worker takes at a time, at most
  int workers = 1;
  const BatchSink& sink;

  std::mutex mutex;
  std::condition_variable changed;
  long long total = -1;       // combinations of the order, -1 when too many to rank
  long long first_batch = 0;  // the position of relative batch 0 in the order's sequence
  long long batch_count = 0;  // batches to hand out (lowered when the walk ends early)
  long long next_batch = 0;   // relative to first_batch, as the merge counts them
  bool failed = false;
  bool stopped = false;
  OrderedMerge merge;
  ScorerStats stats;
};

template <class Scorer>
void runWorker(SharedOrder& shared) {
  int order = shared.order;
  int markers = shared.context.marker_count;
  int capacity = shared.batch_size;
  try {
    Scorer scorer(shared.context, order);
    const bool ranges = scorer.scoresRanges() && shared.total >= 0;
    std::vector<int> batch(ranges ? 0 : static_cast<std::size_t>(capacity) * order);
    std::vector<int> state(order, -1);
    std::vector<RankedRows> best(ranges ? shared.unit_batches : 1);
    long long previous = -1;  // the position of the batch combSNP walked last
    for (;;) {
      long long b = 0;
      long long units = 1;
      {
        std::unique_lock<std::mutex> lock(shared.mutex);
        auto unitAt = [&](long long first) {
          if (!ranges) return 1LL;
          const long long left = shared.batch_count - first;
          if (shared.workers == 1) return std::min(shared.unit_batches, left);
          return std::max(1LL, std::min(shared.unit_batches, left / (kTailUnitsPerWorker * shared.workers)));
        };
        if (stopRequested(shared.context)) {
          shared.stopped = true;
          shared.changed.notify_all();
        }
        shared.changed.wait(lock, [&] {
          return shared.failed || shared.stopped || shared.next_batch >= shared.batch_count ||
                 shared.merge.ready(shared.next_batch + unitAt(shared.next_batch) - 1);
        });
        if (shared.failed || shared.stopped || shared.next_batch >= shared.batch_count) break;
        b = shared.next_batch;
        units = unitAt(b);
        shared.next_batch += units;
      }
      const long long position = shared.first_batch + b;
      if (ranges) {
        // The fast path counts from the unit's first combination on.
        const long long first_rank = position * capacity;
        const int count =
            static_cast<int>(std::min<long long>(units * capacity, shared.total - first_rank));
        scorer.scoreRanges(first_rank, count, capacity, best.data());
        std::lock_guard<std::mutex> lock(shared.mutex);
        for (long long u = 0; u < units; ++u) {
          const int length = static_cast<int>(std::min<long long>(capacity, count - u * capacity));
          shared.merge.file(b + u, length, best[u]);
        }
        shared.changed.notify_all();
        continue;
      }
      // combSNP resumes after the state: the combination just before the batch.
      // The state starts "not started", which is right for position 0 only.
      int count = 0;
      if (position != previous + 1) unrankCombination(position * capacity - 1, markers, order, state.data());
      previous = position;
      combSNP(&order, &markers, &capacity, state.data(), &count, batch.data());
      if (count == 0) {  // only a walk too long to rank ends this way
        std::lock_guard<std::mutex> lock(shared.mutex);
        if (b < shared.batch_count) shared.batch_count = b;
        shared.changed.notify_all();
        break;
      }
      scorer.score(batch.data(), count, best[0]);
      std::unique_lock<std::mutex> lock(shared.mutex);
      if (shared.sink) {
        shared.changed.wait(lock, [&] {
          return shared.failed || shared.stopped || shared.merge.nextToMerge() == b;
        });
        if (shared.failed || shared.stopped) break;
        shared.sink(batch.data(), count, scorer.pairs());
        shared.merge.mergeNow(count, best[0]);
      } else {
        shared.merge.file(b, count, best[0]);
      }
      shared.changed.notify_all();
    }
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.stats.add(scorer.stats());
  } catch (const std::bad_alloc&) {
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.failed = true;
    shared.changed.notify_all();
  }
}

}  // namespace

void searchOrder(const SearchContext& context, const OrderRequest& request, OrderOutcome& outcome) {
  const int order = request.order;
  int threads = request.threads;
  const int batch_size = request.batch_size;
  const long long first_batch = request.first_batch;
  const long long end_batch = request.end_batch;
  outcome = OrderOutcome();
  outcome.kept.order = order;
  long long batch_count = 0;
  const long long total = combinationCount(context.marker_count, order);
  if (total < 0) {
    // Too many to rank: one worker walks the batches one after another.
    batch_count = LLONG_MAX;
    threads = 1;
  } else {
    batch_count = (total + batch_size - 1) / batch_size;
  }
  if (end_batch >= 0 && end_batch < batch_count) batch_count = end_batch;
  batch_count = first_batch < batch_count ? batch_count - first_batch : 0;
  if (batch_count == 0) return;
  if (threads > batch_count) threads = static_cast<int>(batch_count);
  if (threads < 1) threads = 1;

  const bool ranges = context.strata != nullptr ? StratifiedScorer::scoresRangesFor(context, order)
                                                : BatchScorer::scoresRangesFor(context, order);
  const long long unit = unitBatches(ranges && total >= 0, context.marker_count, batch_size, batch_count, threads);
  // The rows every scorer's order-2 walk reads, built once on the workers.
  SearchContext with_rows;
  MissingSampleRows missing_rows;
  const bool share_rows = context.missing_rows == nullptr && BatchScorer::readsMissingRows(context, order);
  if (share_rows) {
    with_rows = context;
    try {
      missing_rows.build(*context.planes, pathKernels(context.settings.simd).missing_pairs, kMissingPairBytes,
                         threads);
    } catch (const std::bad_alloc&) {
      outcome.out_of_memory = true;
      return;
    }
    with_rows.missing_rows = &missing_rows;
  }
  SharedOrder shared(share_rows ? with_rows : context, request, unit,
                     static_cast<int>(kWindowPerWorker * unit * threads));
  shared.total = total;
  shared.workers = threads;
  shared.first_batch = first_batch;
  shared.batch_count = batch_count;
  if (context.strata != nullptr) {
    runWorkers(threads, [&shared](int) { runWorker<StratifiedScorer>(shared); });
  } else {
    runWorkers(threads, [&shared](int) { runWorker<BatchScorer>(shared); });
  }

  outcome.kept = std::move(shared.merge.kept());
  outcome.kept.order = order;
  outcome.combinations = shared.merge.combinations();
  outcome.stats = shared.stats;
  outcome.out_of_memory = shared.failed;
  outcome.stopped = shared.stopped && !shared.failed;
}

double orderSearchBytesBound(const OrderSearchShape& shape) {
  const int marker_count = shape.marker_count;
  const int order = shape.order;
  const int K = shape.K;
  const int batch_size = shape.batch_size;
  const long long total = combinationCount(marker_count, order);
  const long long batch_count = total < 0 ? LLONG_MAX : (total + batch_size - 1) / batch_size;
  if (batch_count == 0) return 0;
  const int workers = static_cast<int>(std::max<long long>(
      1, std::min<long long>(total < 0 ? 1 : workerCount(shape.threads), batch_count)));
  const long long unit = unitBatches(true, marker_count, batch_size, batch_count, workers);
  // Row sets that keep their room: each worker's best of every batch of its
  // unit, the merge window's, the kept rows and their merge. Rows are
  // appended one by one, so a set may have twice the room it fills.
  const double batch_sets = static_cast<double>(workers) * unit * (1 + kWindowPerWorker);
  const double batch_rows = std::min<double>(std::max(K, 0), batch_size);
  const double kept_rows = std::min<double>(std::max(K, 0), total < 0 ? 1e300 : total);
  const double row_bytes = order * sizeof(int) + 3 * sizeof(double);
  const double ranked = (batch_sets * batch_rows + 2 * kept_rows) * row_bytes * 2;
  double scorers = workers * BatchScorer::bytesBound(shape, static_cast<double>(unit));
  if (order == 2 && shape.levels == 3)
    scorers += MissingSampleRows::bytesBound(marker_count, shape.row_words, kMissingPairBytes);
  return ranked + scorers;
}
