// Who searches one order: this process alone by default, or the search the
// request names (the MPI program's distributed one).
#ifndef GORVA_ENGINE_SEARCH_ORDER_SEARCH_H
#define GORVA_ENGINE_SEARCH_ORDER_SEARCH_H

#include <functional>

#include "engine/search/batch_pool.h"

using OrderSearch = decltype(OrderRequest::via);

// Searches one order with request.via, or with searchOrder when it is empty.
void runOrderSearch(const SearchContext& context, const OrderRequest& request, OrderOutcome& outcome);

#endif  // GORVA_ENGINE_SEARCH_ORDER_SEARCH_H
