#include "engine/significance/order_warnings.h"

#include <cmath>

#include "engine/significance/combination_listing.h"
#include "engine/significance/covariate_columns.h"
#include "io/messages.h"

std::string notANumberWarning(const OrderSignificance& order, const char* const* marker_names,
                              bool left_out) {
  const std::vector<double>& own_gains = order.first_own_gains;
  if (order.not_a_number == 0) return "";
  std::string first;
  for (std::size_t j = 0; j < order.first_not_a_number.size(); ++j) {
    const int m = order.first_not_a_number[j];
    if (j < own_gains.size() && std::isnan(own_gains[j])) {
      first = std::string("marker ") + marker_names[m] +
              " (no sample of both classes has a genotype there)";
      break;
    }
    first += (j > 0 ? "," : "") + std::string(marker_names[m]);
  }
  if (first.rfind("marker ", 0) != 0) first = "combination " + first;
  std::string text = "order " + std::to_string(order.order) + ": " +
                     std::to_string(order.not_a_number) +
                     " combinations have measures that are not numbers (no countable sample, or "
                     "one class only), the first: " +
                     first + "; ";
  text += left_out ? "they were left out of the ranking"
                   : "the ranking can then lose better combinations of their batch "
                     "(--table, --rank, --permutations and --max-p leave them out)";
  return warningLine(text);
}

std::string emptyOrderWarning(const OrderSignificance& order, const std::string& rank_word) {
  // A p-value bound lists nothing when no combination was tested at all,
  // which every combination's lambda over them tells.
  const GenomicControl& tested = order.structure.control;
  if (order.listing != nullptr && order.listing->rows().size() == 0 && order.tests >= 1 &&
      order.structure.assessed && !tested.sampled && tested.combinations == 0) {
    return warningLine("order " + std::to_string(order.order) +
                       ": no combination is listed: no combination has a test (its genotype cells pool "
                       "into one group, or one class is left)");
  }
  if (!order.rows.empty() || order.tests < 1) return "";
  std::string why = "every combination's measures are not numbers";
  if (rank_word == "p")
    why = "no combination has a test (its genotype cells pool into one group, or one class is left): "
          "nothing can be ranked by p; --rank ig lists them by IG";
  return warningLine("order " + std::to_string(order.order) + ": no combination is listed: " + why);
}

std::string notFittedWarning(const std::vector<OrderSignificance>& orders) {
  long long not_fitted = 0;
  long long rows = 0;
  for (const OrderSignificance& order : orders) {
    not_fitted += order.structure.not_fitted;
    rows += static_cast<long long>(order.structure.listed.size());
  }
  if (not_fitted == 0) return "";
  return warningLine(std::to_string(not_fitted) + " of the " + std::to_string(rows) +
                     " listed rows have p_adjusted or p_interaction_adjusted NA: a logistic model did not "
                     "converge or separated the classes (fitted probabilities that run to 0 or 1 without settling)");
}

std::string droppedCovariatesWarning(const std::vector<OrderSignificance>& orders,
                                     const std::vector<std::string>& names) {
  std::string lines;
  for (const OrderSignificance& order : orders) {
    std::size_t start = 0;
    const std::string own = droppedCovariatesWarning(order.structure.dropped, names);
    for (std::size_t end = own.find('\n'); end != std::string::npos; start = end + 1, end = own.find('\n', start)) {
      const std::string line = own.substr(start, end + 1 - start);
      if (lines.find(line) == std::string::npos) lines += line;
    }
  }
  return lines;
}
