#include "engine/batch_pool.h"

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "core/gorva.h"
#include "engine/batch_scorer.h"
#include "engine/progress.h"
#include "engine/unrank.h"

OrderedMerge::OrderedMerge(int K, int window, SearchProgress* progress, BatchBestSink best_sink)
    : K_(K), progress_(progress), best_sink_(std::move(best_sink)), slots_(window > 0 ? window : 1) {}

void OrderedMerge::mergeNow(int count, RankedRows& best) {
  if (best_sink_) best_sink_(best);
  mergeBest(kept_, best, K_);
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

// Batches that may be done ahead of the oldest unmerged one, per worker:
// bounds the results waiting for their turn.
constexpr int kWindowPerWorker = 4;

struct SharedOrder {
  SharedOrder(const SearchContext& c, int k, int size, const BatchSink& s,
              const BatchBestSink& best_sink, int window, SearchProgress* progress)
      : context(c), order(k), batch_size(size), sink(s), merge(c.K, window, progress, best_sink) {}

  const SearchContext& context;
  int order;
  int batch_size;
  const BatchSink& sink;

  std::mutex mutex;
  std::condition_variable changed;
  long long total = -1;       // combinations of the order, -1 when too many to rank
  long long first_batch = 0;  // the position of relative batch 0 in the order's sequence
  long long batch_count = 0;  // batches to hand out (lowered when the walk ends early)
  long long next_batch = 0;   // relative to first_batch, as the merge counts them
  bool failed = false;
  OrderedMerge merge;
  ScorerStats stats;
};

void runWorker(SharedOrder& shared) {
  int order = shared.order;
  int markers = shared.context.marker_count;
  int capacity = shared.batch_size;
  try {
    BatchScorer scorer(shared.context, order);
    const bool ranges = scorer.scoresRanges() && shared.total >= 0;
    std::vector<int> batch(ranges ? 0 : static_cast<std::size_t>(capacity) * order);
    std::vector<int> state(order, -1);
    RankedRows best;
    long long previous = -1;  // the position of the batch combSNP walked last
    for (;;) {
      long long b = 0;
      {
        std::unique_lock<std::mutex> lock(shared.mutex);
        shared.changed.wait(lock, [&] {
          return shared.failed || shared.next_batch >= shared.batch_count ||
                 shared.merge.ready(shared.next_batch);
        });
        if (shared.failed || shared.next_batch >= shared.batch_count) break;
        b = shared.next_batch++;
      }
      int count = 0;
      const long long position = shared.first_batch + b;
      if (ranges) {
        // The fast path counts from the batch's first combination on.
        unrankCombination(position * capacity, markers, order, state.data());
        count = static_cast<int>(std::min<long long>(capacity, shared.total - position * capacity));
        scorer.scoreRange(state.data(), count, best);
      } else {
        // combSNP resumes after the state: the combination just before the batch.
        // The state starts "not started", which is right for position 0 only.
        if (position != previous + 1) unrankCombination(position * capacity - 1, markers, order, state.data());
        previous = position;
        combSNP(&order, &markers, &capacity, state.data(), &count, batch.data());
        if (count == 0) {  // only a walk too long to rank ends this way
          std::lock_guard<std::mutex> lock(shared.mutex);
          if (b < shared.batch_count) shared.batch_count = b;
          shared.changed.notify_all();
          break;
        }
        scorer.score(batch.data(), count, best);
      }
      std::unique_lock<std::mutex> lock(shared.mutex);
      if (shared.sink) {
        shared.changed.wait(lock, [&] { return shared.failed || shared.merge.nextToMerge() == b; });
        if (shared.failed) break;
        shared.sink(batch.data(), count, scorer.pairs());
        shared.merge.mergeNow(count, best);
      } else {
        shared.merge.file(b, count, best);
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

int workerCount(int requested_threads) {
  if (requested_threads >= 1) return requested_threads;
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware >= 1 ? static_cast<int>(hardware) : 1;
}

void searchOrder(const SearchContext& context, int order, int threads, int batch_size,
                 long long batch_limit, const BatchSink& sink, SearchProgress* progress,
                 OrderOutcome& outcome) {
  searchOrderRange(context, order, threads, batch_size, 0, batch_limit, sink, nullptr, progress,
                   outcome);
}

void searchOrderRange(const SearchContext& context, int order, int threads, int batch_size,
                      long long first_batch, long long end_batch, const BatchSink& sink,
                      const BatchBestSink& best_sink, SearchProgress* progress,
                      OrderOutcome& outcome) {
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

  SharedOrder shared(context, order, batch_size, sink, best_sink, kWindowPerWorker * threads,
                     progress);
  shared.total = total;
  shared.first_batch = first_batch;
  shared.batch_count = batch_count;
  std::vector<std::thread> helpers;
  try {
    for (int t = 1; t < threads; ++t) helpers.emplace_back(runWorker, std::ref(shared));
  } catch (const std::system_error&) {
    // No more threads to be had: the ones running share the batches.
  }
  runWorker(shared);
  for (std::thread& helper : helpers) helper.join();

  outcome.kept = std::move(shared.merge.kept());
  outcome.kept.order = order;
  outcome.combinations = shared.merge.combinations();
  outcome.stats = shared.stats;
  outcome.out_of_memory = shared.failed;
}
