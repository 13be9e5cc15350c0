// One order of a search as the results table wants it: searched (with every
// combination within a p-value bound gathered when one is asked), the rows
// whose measures are not numbers left out, the kept rows assessed. The
// program and the Python module both search their orders this way.
#ifndef GORVA_ENGINE_SIGNIFICANCE_ORDER_SIGNIFICANCE_H
#define GORVA_ENGINE_SIGNIFICANCE_ORDER_SIGNIFICANCE_H

#include <string>
#include <vector>

#include "engine/search/batch_pool.h"
#include "engine/significance/significance.h"

class SearchProgress;

struct AssessedOrder {
  // kStopped: the context's stop was set; nothing of the order is usable.
  enum class Failure { kNone, kBatchBuffers, kPermutationBuffers, kListing, kStopped };
  Failure failure = Failure::kNone;
  std::string error;       // kListing: the listing's own message
  double batch_bytes = 0;  // kBatchBuffers: the bound the run's memory estimate gives the search
  RankedRows kept;         // the report's rows
  OrderSignificance significance;
};

// Searches the order of `search` with the order search in force
// (runOrderSearch). When the request is active, rows whose measures are not
// numbers are dropped and the kept rows assessed (counts, p-values,
// permutations); with request.max_p > 0 every combination within it is
// listed. `single_gains` are the markers' own IGs, computed here on first
// need when empty.
AssessedOrder searchAndAssessOrder(SearchContext& context, const OrderRequest& search,
                                   const SignificanceRequest& request, std::vector<double>& single_gains);

// Why the search of `order` failed, without the program's prefix: what
// could not be allocated, or the listing's own message; "" when it did not.
std::string failureMessage(const AssessedOrder& assessed, int order);

#endif  // GORVA_ENGINE_SIGNIFICANCE_ORDER_SIGNIFICANCE_H
