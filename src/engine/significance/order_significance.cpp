#include "engine/significance/order_significance.h"

#include <cmath>
#include <memory>

#include "engine/search/batch_pool.h"
#include "engine/search/order_search.h"
#include "engine/search/single_marker_gains.h"
#include "engine/significance/combination_listing.h"
#include "engine/significance/population_structure.h"
#include "core/search_constants.h"

AssessedOrder searchAndAssessOrder(SearchContext& context, const OrderRequest& search,
                                   const SignificanceRequest& request, std::vector<double>& single_gains) {
  const int order = search.order;
  AssessedOrder assessed;
  std::shared_ptr<CombinationListing> listing;
  if (request.max_p > 0) {
    listing = std::make_shared<CombinationListing>(context, order, request.max_p,
                                                   combinationsOf(context.marker_count, order));
    context.listing = listing.get();
  }
  OrderOutcome outcome;
  runOrderSearch(context, search, outcome);
  context.listing = nullptr;
  if (outcome.stopped) {
    assessed.failure = AssessedOrder::Failure::kStopped;
    return assessed;
  }
  if (outcome.out_of_memory) {
    assessed.failure = AssessedOrder::Failure::kBatchBuffers;
    assessed.batch_bytes = orderSearchBytesBound({context.marker_count, static_cast<double>(context.sample_count),
                                                  order, context.K, search.threads, BATCH_SIZE,
                                                  genotypeLevels(context.missing_code),
                                                  planeRowWordsBound(context.sample_count)});
    return assessed;
  }
  if (listing && !listing->rows().error().empty()) {
    assessed.failure = AssessedOrder::Failure::kListing;
    assessed.error = listing->rows().error();
    return assessed;
  }
  if (request.active) dropNotANumberRows(outcome.kept);
  OrderSignificance& significance = assessed.significance;
  significance.order = order;
  significance.listing = listing;
  significance.not_a_number = outcome.stats.not_a_number;
  significance.first_not_a_number = outcome.stats.first_not_a_number;
  if (outcome.stats.not_a_number > 0 && single_gains.empty()) single_gains = singleMarkerGains(context);
  for (const int m : significance.first_not_a_number) significance.first_own_gains.push_back(single_gains[m]);
  if (request.active &&
      !assessOrder(context, outcome.kept, request.permutations, significance)) {
    assessed.failure = stopRequested(context) ? AssessedOrder::Failure::kStopped
                                              : AssessedOrder::Failure::kPermutationBuffers;
    return assessed;
  }
  if (request.active) assessOrderStructure(context, request.structure, search.threads, significance);
  if (stopRequested(context)) {
    assessed.failure = AssessedOrder::Failure::kStopped;
    return assessed;
  }
  assessed.kept = std::move(outcome.kept);
  return assessed;
}

std::string failureMessage(const AssessedOrder& assessed, int order) {
  switch (assessed.failure) {
    case AssessedOrder::Failure::kNone:
      break;
    case AssessedOrder::Failure::kBatchBuffers:
      return "out of memory: could not allocate the search's buffers for order " + std::to_string(order) +
             " (up to " + std::to_string(static_cast<long long>(std::ceil(assessed.batch_bytes))) +
             " bytes on all threads)";
    case AssessedOrder::Failure::kPermutationBuffers:
      return "out of memory: could not allocate the permutations' buffers";
    case AssessedOrder::Failure::kListing:
      return assessed.error;
    case AssessedOrder::Failure::kStopped:
      return "the search of order " + std::to_string(order) + " was stopped before it ended";
  }
  return "";
}
