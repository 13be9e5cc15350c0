#include "engine/search/order_search.h"

#include <utility>

namespace {
OrderSearch& installed() {
  static OrderSearch search;
  return search;
}
}  // namespace

void setOrderSearch(OrderSearch search) { installed() = std::move(search); }

void runOrderSearch(const SearchContext& context, const OrderRequest& request, OrderOutcome& outcome) {
  if (installed()) {
    installed()(context, request, outcome);
  } else {
    searchOrder(context, request, outcome);
  }
}
