// One order of the search on several threads. The work unit is one batch of
// the lexicographic sequence; a worker jumps to any batch by unranking its
// position. Batch results are merged strictly in batch order, so the kept
// rows (and the all-results lines) do not depend on the number of threads.
#ifndef GORVA_ENGINE_SEARCH_BATCH_POOL_H
#define GORVA_ENGINE_SEARCH_BATCH_POOL_H

#include <functional>
#include <vector>

#include "engine/count/worker_threads.h"
#include "engine/rank/bestrows.h"
#include "engine/rank/order_search_shape.h"
#include "engine/rank/search_context.h"
#include "core/search_constants.h"

class SearchProgress;

// Receives, in batch order and from the merging thread, each batch's
// combinations and their measure pairs (the context must want all pairs).
using BatchSink = std::function<void(int* combinations, int count, double* pairs)>;

// Receives, in batch order and from the merging thread, each batch's best
// rows just before they are merged into the kept ones.
using BatchBestSink = std::function<void(RankedRows& best)>;

struct OrderOutcome {
  RankedRows kept;  // the best min(K, combinations) rows, best first
  ScorerStats stats;
  long long combinations = 0;  // combinations scored
  bool out_of_memory = false;  // a worker could not get its buffers
  bool stopped = false;        // the context's stop was set: the rows are incomplete
};

// Merges each batch's best rows into the kept ones strictly in batch order,
// whatever order the batches finish in. Batches that finish early wait in a
// window of slots; a batch may start only when its slot is free (ready).
// Not locked: the caller serialises the calls.
class OrderedMerge {
 public:
  OrderedMerge(int K, EqualKeys ties, int window, SearchProgress* progress,
               BatchBestSink best_sink = nullptr);

  // Whether `batch` may be started: fewer than `window` batches ahead of the
  // oldest one not merged yet.
  bool ready(long long batch) const {
    return batch < next_ + static_cast<long long>(slots_.size());
  }
  long long nextToMerge() const { return next_; }
  // Files a finished batch (taking over the storage of `best`) and merges
  // every batch whose turn has come. Precondition: ready(batch).
  void file(long long batch, int count, RankedRows& best);
  // Merges the batch whose turn it is now. Precondition: batch == nextToMerge().
  void mergeNow(int count, RankedRows& best);

  RankedRows& kept() { return kept_; }
  long long combinations() const { return combinations_; }

 private:
  struct Slot {
    long long batch = -1;
    int count = 0;
    RankedRows best;
  };

  int K_;
  EqualKeys ties_;
  SearchProgress* progress_;
  BatchBestSink best_sink_;
  long long next_ = 0;
  long long combinations_ = 0;
  RankedRows kept_;
  std::vector<Slot> slots_;  // batch b waits in slot b % window
};

// Bytes the search of one order holds at most beside the data and the
// planes: every worker's scorer and ranked rows, the rows waiting in the
// merge window, the kept rows and their merge.
double orderSearchBytesBound(const OrderSearchShape& shape);

// One order's search: which of its batches, on how many workers, and who
// hears of them.
struct OrderRequest {
  int order = 0;
  int threads = 1;  // workers (1: the calling thread alone)
  int batch_size = BATCH_SIZE;
  // The batches first_batch .. end_batch - 1 (end_batch < 0: to the last
  // one), as one process of several scores its share.
  long long first_batch = 0;
  long long end_batch = -1;
  BatchSink sink;           // every pair of every batch; may be empty
  BatchBestSink best_sink;  // every batch's best rows; may be empty
  SearchProgress* progress = nullptr;
  // Who searches the order when runOrderSearch is asked: empty, this
  // process (searchOrder); the MPI program passes its distributed search.
  // Each request carries its own, so nothing is installed process-wide.
  std::function<void(const SearchContext&, const OrderRequest&, OrderOutcome&)> via;
};

// Scores the request's batches of its order, merging each batch's best rows
// with mergeBest in batch order.
void searchOrder(const SearchContext& context, const OrderRequest& request, OrderOutcome& outcome);

#endif  // GORVA_ENGINE_SEARCH_BATCH_POOL_H
