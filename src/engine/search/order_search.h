// Who searches one order: this process alone by default, or a distributed
// search that the MPI program installs.
#ifndef GORVA_ENGINE_SEARCH_ORDER_SEARCH_H
#define GORVA_ENGINE_SEARCH_ORDER_SEARCH_H

#include <functional>

#include "engine/search/batch_pool.h"

using OrderSearch =
    std::function<void(const SearchContext& context, const OrderRequest& request, OrderOutcome& outcome)>;

// Replaces the search of every later order (empty: back to searchOrder).
void setOrderSearch(OrderSearch search);

// Searches one order with whatever setOrderSearch installed.
void runOrderSearch(const SearchContext& context, const OrderRequest& request, OrderOutcome& outcome);

#endif  // GORVA_ENGINE_SEARCH_ORDER_SEARCH_H
