#include "engine/search/order_search.h"

void runOrderSearch(const SearchContext& context, const OrderRequest& request, OrderOutcome& outcome) {
  if (request.via) {
    request.via(context, request, outcome);
  } else {
    searchOrder(context, request, outcome);
  }
}
