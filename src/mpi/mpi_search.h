// The search spread over MPI ranks. Rank 0 runs the whole program; when the
// search of an order starts it hands every other rank the prepared data once,
// then a contiguous range of the order's batches each. Ranks score their
// range with the fast engine and their own threads and send back the
// segments of their per-batch best rows; rank 0 merges them in batch order,
// so the report is the single-process report for any number of ranks.
#ifndef GORVA_MPI_MPI_SEARCH_H
#define GORVA_MPI_MPI_SEARCH_H

#include "engine/search/batch_pool.h"

// Rank 0: searches one order over every rank (an OrderSearch).
void distributedOrderSearch(const SearchContext& context, const OrderRequest& whole, OrderOutcome& outcome);

// Rank 0: tells the other ranks that the run is over (on every path).
void releaseWorkers();

// Every other rank: serves orders until rank 0 releases it; returns the
// rank's exit status.
int serveAsWorker();

#endif  // GORVA_MPI_MPI_SEARCH_H
