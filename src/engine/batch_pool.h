// One order of the search on several threads. The work unit is one batch of
// the lexicographic sequence; a worker jumps to any batch by unranking its
// position. Batch results are merged strictly in batch order, so the kept
// rows (and the all-results lines) do not depend on the number of threads.
#ifndef GORVA_ENGINE_BATCH_POOL_H
#define GORVA_ENGINE_BATCH_POOL_H

#include <functional>

#include "engine/bestrows.h"
#include "engine/search_context.h"

class SearchProgress;

// Receives, in batch order and from the merging thread, each batch's
// combinations and their measure pairs (the context must want all pairs).
using BatchSink = std::function<void(int* combinations, int count, double* pairs)>;

struct OrderOutcome {
  RankedRows kept;                // the best min(K, combinations) rows, best first
  ScorerStats stats;
  long long combinations = 0;     // combinations scored
  bool out_of_memory = false;     // a worker could not get its buffers
};

// The number of workers for --threads N: N itself, or every hardware thread
// for N < 1.
int workerCount(int requested_threads);

// Scores every combination of `order` markers (or only the first
// `batch_limit` batches when that is not negative), `batch_size` at a time,
// on `threads` workers (1: the calling thread alone), merging each batch's
// best rows with mergeBest in batch order. `sink` may be empty; `progress`
// may be null.
void searchOrder(const SearchContext& context, int order, int threads, int batch_size,
                 long long batch_limit, const BatchSink& sink, SearchProgress* progress,
                 OrderOutcome& outcome);

#endif  // GORVA_ENGINE_BATCH_POOL_H
