#include "engine/significance/table_columns.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>


namespace {

constexpr double kNoLog = std::numeric_limits<double>::quiet_NaN();

double logPChisq(const TableLine& l) { return l.row->log_p_chisq; }

double logPBonferroni(const TableLine& l) {
  const double log_p = l.row->log_p_chisq;
  if (std::isnan(log_p) || !(l.tests >= 1)) return kNoLog;
  return std::fmin(0.0, log_p + std::log(l.tests));
}

double logPInteraction(const TableLine& l) { return l.row->log_p_interaction; }

std::string formatted(const char* pattern, double value) {
  if (std::isnan(value)) return "NA";
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

std::string joinedMarkers(const TableLine& line, bool by_name) {
  const std::vector<int>& markers = line.row->markers;
  std::string text;
  for (std::size_t j = 0; j < markers.size(); ++j) {
    if (j > 0) text += by_name ? ',' : '-';
    text += by_name ? std::string(line.marker_names[markers[j]]) : std::to_string(markers[j]);
  }
  return text;
}

std::string markerPositions(const TableLine& line) {
  if (line.positions == nullptr || line.positions->empty()) return "NA";
  const std::vector<int>& markers = line.row->markers;
  std::string text;
  for (std::size_t j = 0; j < markers.size(); ++j) text += (j > 0 ? "," : "") + (*line.positions)[markers[j]];
  return text;
}

using Line = const TableLine&;

// A gain is a difference of entropies: where they are equal it can come
// out a few ulps below 0, which no table has. Printed as 0 (a rounding
// error larger than that is a fault and is left to show).
double gainAsPrinted(double gain) { return gain < 0 && gain > -1e-12 ? 0.0 : gain; }

const std::vector<TableColumn> kColumns = {
    {"order", ColumnKind::kCount, [](Line l) { return double(l.order); }, nullptr},
    {"rank", ColumnKind::kCount, [](Line l) { return double(l.rank); }, nullptr},
    {"markers", ColumnKind::kText, nullptr, [](Line l) { return joinedMarkers(l, true); }},
    {"indices", ColumnKind::kText, nullptr, [](Line l) { return joinedMarkers(l, false); }},
    {"cases", ColumnKind::kCount, [](Line l) { return double(l.row->cases); }, nullptr},
    {"controls", ColumnKind::kCount, [](Line l) { return double(l.row->controls); }, nullptr},
    {"df", ColumnKind::kCount, [](Line l) { return double(l.row->df); }, nullptr},
    {"IG", ColumnKind::kMeasure, [](Line l) { return gainAsPrinted(l.row->ig); }, nullptr},
    {"RIG", ColumnKind::kMeasure, [](Line l) { return gainAsPrinted(l.row->rig); }, nullptr},
    {"synergy", ColumnKind::kMeasure, [](Line l) { return l.row->synergy; }, nullptr},
    {"p_chisq", ColumnKind::kProbability, [](Line l) { return l.row->p_chisq; }, nullptr, logPChisq},
    {"p_bonferroni", ColumnKind::kProbability, [](Line l) { return l.row->p_bonferroni; }, nullptr, logPBonferroni},
    {"p_permutation", ColumnKind::kProbability, [](Line l) { return l.row->p_permutation; }, nullptr},
    {"p_interaction", ColumnKind::kProbability, [](Line l) { return l.row->p_interaction; }, nullptr,
     logPInteraction},
    {"p_adjusted", ColumnKind::kProbability, [](Line l) { return l.adjusted->p_adjusted; }, nullptr,
     [](Line l) { return l.adjusted->log_p_adjusted; }},
    {"p_interaction_adjusted", ColumnKind::kProbability,
     [](Line l) { return l.adjusted->p_interaction_adjusted; }, nullptr,
     [](Line l) { return l.adjusted->log_p_interaction_adjusted; }},
    {"positions", ColumnKind::kText, nullptr, markerPositions},
    {"cells", ColumnKind::kText, nullptr, [](Line l) { return cellCountsText(l.row->cells); }},
};

}  // namespace

const std::vector<TableColumn>& resultsTableColumns() { return kColumns; }

std::string probabilityFromLog(double log_p) {
  if (std::isnan(log_p)) return "NA";
  const double log10_p = log_p / std::log(10.0);
  if (log10_p >= DBL_MIN_10_EXP) return formatted("%.6E", std::exp(log_p));
  double exponent = std::floor(log10_p);
  double mantissa = std::pow(10.0, log10_p - exponent);
  if (std::round(mantissa * 1e6) >= 1e7) {  // 9.9999996 prints as 1.000000 of the next power
    mantissa = 1;
    exponent += 1;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.6fE-%02.0f", mantissa, -exponent);
  return text;
}

std::string tableCellText(const TableColumn& column, const TableLine& line) {
  switch (column.kind) {
    case ColumnKind::kCount:
      return std::to_string(static_cast<long long>(column.number(line)));
    case ColumnKind::kMeasure:
      // + 0.0 turns -0 into 0.
      return formatted("%.9g", column.number(line) + 0.0);
    case ColumnKind::kProbability:
      if (column.log_number != nullptr) {
        if (const double log_p = column.log_number(line); !std::isnan(log_p)) return probabilityFromLog(log_p);
      }
      return formatted("%.6E", column.number(line));
    case ColumnKind::kText:
      break;
  }
  return column.text(line);
}

std::string resultsTableHeader() {
  std::string text;
  for (const TableColumn& column : kColumns) text += (text.empty() ? "" : "\t") + std::string(column.name);
  return text;
}

std::string resultsTableLine(const TableLine& line) {
  std::string text;
  for (std::size_t c = 0; c < kColumns.size(); ++c) {
    if (c > 0) text += '\t';
    text += tableCellText(kColumns[c], line);
  }
  return text;
}
