// The array search run so that the caller's Python stays responsive: Ctrl-C
// and other signal handlers are served while it counts.
#ifndef GORVA_PYTHON_INTERRUPTIBLE_SEARCH_H
#define GORVA_PYTHON_INTERRUPTIBLE_SEARCH_H

#include "python/array_search.h"

// searchArray(request) on a thread of its own, with the GIL released; the
// calling thread serves Python's signal handlers at least every 50 ms. When
// a handler raises (KeyboardInterrupt on Ctrl-C), the search is stopped and
// joined and that exception is raised; the search's own exceptions are
// rethrown as they are. Call with the GIL held; request.stop is set here.
ArraySearchResult searchInterruptibly(ArraySearchRequest& request);

#endif  // GORVA_PYTHON_INTERRUPTIBLE_SEARCH_H
