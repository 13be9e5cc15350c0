// The warnings an order's outcome may call for, as lines of the error
// stream (empty when there is nothing to say).
#ifndef GORVA_ENGINE_SIGNIFICANCE_ORDER_WARNINGS_H
#define GORVA_ENGINE_SIGNIFICANCE_ORDER_WARNINGS_H

#include <string>
#include <vector>

#include "engine/significance/significance.h"

// The warning about combinations whose measures are not numbers (empty when
// there are none): how many, the first, what that does to the ranking.
std::string notANumberWarning(const OrderSignificance& order, const char* const* marker_names,
                              bool left_out);

// The warning about an order that lists no row although it has combinations
// (empty when it lists some): a report without rows must not read as a
// search that found nothing worth listing.
std::string emptyOrderWarning(const OrderSignificance& order, const std::string& rank_word);

// The warning about listed rows whose adjusted p-values could not be
// computed (empty when there are none).
std::string notFittedWarning(const std::vector<OrderSignificance>& orders);

// The warnings naming the covariates the adjusted models left out, once
// each however many orders left them out (empty when there are none).
std::string droppedCovariatesWarning(const std::vector<OrderSignificance>& orders,
                                     const std::vector<std::string>& names);

#endif  // GORVA_ENGINE_SIGNIFICANCE_ORDER_WARNINGS_H
