#include "engine/count/worker_threads.h"

#include <system_error>
#include <thread>
#include <vector>

int workerCount(int requested_threads) {
  if (requested_threads >= 1) return requested_threads;
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware >= 1 ? static_cast<int>(hardware) : 1;
}

void runWorkers(int workers, const std::function<void(int worker)>& worker) {
  std::vector<std::thread> helpers;
  try {
    for (int w = 1; w < workers; ++w) helpers.emplace_back(worker, w);
  } catch (const std::system_error&) {
    // No more threads to be had: the ones running share the work.
  }
  worker(0);
  for (std::thread& helper : helpers) helper.join();
}
