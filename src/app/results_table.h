// The results table: one tab-separated line per listed combination with its
// own counts, degrees of freedom and p-values, after `#` comment lines that
// give the run's scale.
#ifndef GORVA_APP_RESULTS_TABLE_H
#define GORVA_APP_RESULTS_TABLE_H

#include <string>
#include <vector>

#include "engine/significance/significance.h"

// What the comment lines say about the run.
struct TableRun {
  int counted = 0;  // samples the search lists
  int cases = 0;
  int marker_count = 0;
  int permutations = 0;
  unsigned long seed = 1;
  std::string rank_word = "ig";
  // Each marker's CHR:BP, by marker index; none for text input.
  const std::vector<std::string>* positions = nullptr;
  std::string strata;  // a stratified run's description (strataDescription), else empty
};

// "stratified by STRATUM: N strata (NAME n samples, ...)": what a stratified
// run's report and table say first.
std::string strataDescription(const std::vector<std::string>& names, const std::vector<int>& samples);

// The column names, tab-separated, without a line end.
std::string resultsTableHeader();

// One data line (without its line end).
std::string resultsTableLine(int order, long long rank, const SignificanceRow& row,
                             const AdjustedPValues& adjusted, char* const* marker_names,
                             const std::vector<std::string>* positions = nullptr);

// Writes the whole table to `path` (beside, then renamed into place); false
// with `error` set when it could not be written completely.
bool writeResultsTable(const std::string& path, const TableRun& run,
                       const std::vector<OrderSignificance>& orders, char* const* marker_names,
                       std::string& error);

// The warning about combinations whose measures are not numbers (empty when
// there are none): how many, the first, what that does to the ranking.
std::string notANumberWarning(const OrderSignificance& order, char* const* marker_names,
                              bool left_out);

// The warning about an order that lists no row although it has combinations
// (empty when it lists some): a report without rows must not read as a
// search that found nothing worth listing.
std::string emptyOrderWarning(const OrderSignificance& order, const std::string& rank_word);

// The warning about listed rows whose adjusted p-values could not be
// computed (empty when there are none).
std::string notFittedWarning(const std::vector<OrderSignificance>& orders);

#endif  // GORVA_APP_RESULTS_TABLE_H
