#include "engine/order_search.h"

#include <utility>

namespace {
OrderSearch& installed() {
  static OrderSearch search;
  return search;
}
}  // namespace

void setOrderSearch(OrderSearch search) { installed() = std::move(search); }

void runOrderSearch(const SearchContext& context, int order, int threads, int batch_size,
                    const BatchSink& sink, SearchProgress* progress, OrderOutcome& outcome) {
  if (installed()) {
    installed()(context, order, threads, batch_size, sink, progress, outcome);
  } else {
    searchOrder(context, order, threads, batch_size, -1, sink, progress, outcome);
  }
}
