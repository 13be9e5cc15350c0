// The results table: one tab-separated line per listed combination with its
// own counts, degrees of freedom and p-values, after `#` comment lines that
// give the run's scale.
#ifndef GORVA_APP_RESULTS_TABLE_H
#define GORVA_APP_RESULTS_TABLE_H

#include <string>
#include <vector>

#include "engine/significance/significance.h"
#include "engine/significance/structure_results.h"
#include "io/output_file.h"

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
// run's report and table say first. At most `longest` characters: strata past
// them are counted ("... and K more strata"), not listed.
std::string strataDescription(const std::vector<std::string>& names, const std::vector<int>& samples,
                              std::size_t longest = std::string::npos);

// An inflation factor as the table and the QQ plots print it: four decimals,
// or NA where the median p-value underflowed to 0 (its quantile, and so the
// factor, would print as inf) or no p-value was a number.
std::string lambdaText(double lambda);

// An order's inflation factor to print: NaN (NA) when none of its
// combinations had a p-value that is a number.
double orderLambda(const GenomicControl& control, std::size_t p_values);

// Warning lines (warningLine) for the run's marker names and positions that
// R's read.delim and pandas' read_csv misread in the table: a "#" anywhere
// (the comment character the table is read with ends the row there and
// leaves its later fields NA without an error), a double quote first (a
// quoted field, which runs on to the next quote and joins rows). "" when
// there is none.
std::string tableReadingWarning(char* const* marker_names, int marker_count,
                                const std::vector<std::string>* positions);

// Writes the whole table into `file` (open) and finishes it, for the run to
// publish with its other results; false with `error` set when it could not
// be written completely.
bool writeResultsTable(OutputFile& file, const TableRun& run, const std::vector<OrderSignificance>& orders,
                       char* const* marker_names, std::string& error);

#endif  // GORVA_APP_RESULTS_TABLE_H
