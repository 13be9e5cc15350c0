// The results table's columns, in order, with what each holds: the one list
// the program's table file and the Python module's table both read.
#ifndef GORVA_ENGINE_SIGNIFICANCE_TABLE_COLUMNS_H
#define GORVA_ENGINE_SIGNIFICANCE_TABLE_COLUMNS_H

#include <string>
#include <vector>

#include "engine/significance/significance.h"

// One listed combination as a line of the table sees it.
struct TableLine {
  int order = 0;
  long long rank = 0;  // from 1 within its order
  const SignificanceRow* row = nullptr;
  const AdjustedPValues* adjusted = nullptr;
  const char* const* marker_names = nullptr;  // by marker index
  // Each marker's CHR:BP, by marker index; null or empty: NA.
  const std::vector<std::string>* positions = nullptr;
  // Combinations of the order (p_bonferroni's factor).
  double tests = 0;
};

// kCount: a whole number; kMeasure: a real written with 9 significant
// digits; kProbability: a real in %.6E (one below about 2.2E-308, which a
// double holds as 0 or with few digits, from its logarithm where the line
// can give it, as in 3.141593E-412); kText: words. Reals that are not
// numbers are written NA.
enum class ColumnKind { kCount, kMeasure, kProbability, kText };

struct TableColumn {
  const char* name;
  ColumnKind kind;
  double (*number)(const TableLine& line);       // every kind but kText
  std::string (*text)(const TableLine& line);    // kText only
  // kProbability: the natural logarithm of the value where number() fell
  // below the normal range and the line can give it again; NaN otherwise.
  double (*log_number)(const TableLine& line) = nullptr;
};

// `log_p`, a probability's natural logarithm, in the table's %.6E form.
std::string probabilityFromLog(double log_p);

const std::vector<TableColumn>& resultsTableColumns();

// The column's value in `line` as the table file writes it.
std::string tableCellText(const TableColumn& column, const TableLine& line);

// The column names, tab-separated, without a line end.
std::string resultsTableHeader();

// One data line (without its line end).
std::string resultsTableLine(const TableLine& line);

#endif  // GORVA_ENGINE_SIGNIFICANCE_TABLE_COLUMNS_H
