#include "python/interruptible_search.h"

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace py = pybind11;

namespace {

// Well inside the tenth of a second a person notices; the search's workers
// look at the stop between batches, which take far less.
constexpr std::chrono::milliseconds kSignalPoll{50};

}  // namespace

ArraySearchResult searchInterruptibly(ArraySearchRequest& request) {
  std::atomic<bool> stop{false};
  request.stop = &stop;
  ArraySearchResult result;
  std::exception_ptr failure;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool interrupted = false;
  {
    py::gil_scoped_release release;
    std::thread searcher([&] {
      try {
        result = searchArray(request);
      } catch (...) {
        failure = std::current_exception();
      }
      std::lock_guard<std::mutex> lock(mutex);
      done = true;
      finished.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    while (!finished.wait_for(lock, kSignalPoll, [&] { return done; })) {
      lock.unlock();
      {
        py::gil_scoped_acquire acquire;
        interrupted = PyErr_CheckSignals() != 0;
      }
      lock.lock();
      if (interrupted) {
        stop = true;
        break;
      }
    }
    lock.unlock();
    searcher.join();
  }
  // The handler's exception is pending in this thread since it raised.
  if (interrupted) throw py::error_already_set();
  if (failure) std::rethrow_exception(failure);
  return result;
}
