// The search's one way of running work on several threads.
#ifndef GORVA_ENGINE_COUNT_WORKER_THREADS_H
#define GORVA_ENGINE_COUNT_WORKER_THREADS_H

#include <functional>

// The number of workers for --threads N: N itself, or every hardware thread
// for N < 1.
int workerCount(int requested_threads);

// Runs worker(0) on the calling thread and worker(1) ... worker(workers - 1)
// on threads of their own, and returns when every one has returned. Where
// the system grants no more threads, fewer workers run: workers must share
// their work by pulling it from a common counter, never by a fixed split.
void runWorkers(int workers, const std::function<void(int worker)>& worker);

#endif  // GORVA_ENGINE_COUNT_WORKER_THREADS_H
