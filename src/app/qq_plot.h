// The QQ plot of an order: observed against expected -log10 p_chisq over the
// combinations behind its genomic-control lambda, as an SVG file beside the
// report.
#ifndef GORVA_APP_QQ_PLOT_H
#define GORVA_APP_QQ_PLOT_H

#include <string>
#include <vector>

#include "io/output_file_set.h"

struct QqPlot {
  int order = 0;
  double lambda = 0;
  bool sampled = false;
  std::vector<double> p_values;  // ascending, every one a number
  std::vector<double> listed;    // the listed rows' p_chisq, marked
};

// The plot as a standalone SVG document: the points (thinned where they
// would overlap), the diagonal, the pointwise 95 % band of uniform order
// statistics, the listed rows marked, lambda in the title.
std::string qqPlotSvg(const QqPlot& plot);

// "<report>.order<k>.qq.svg".
std::string qqPlotPath(const std::string& report_file, int order);

struct OrderSignificance;

// Writes the QQ plot of every order with p-values behind its lambda into
// `files`, which publishes them with the run's other results. Returns ""
// when every plot was written, else the "gorva: FILE: cannot write: REASON"
// of the first that was not.
std::string writeQqPlots(const std::string& report_file, const std::vector<OrderSignificance>& orders,
                         OutputFileSet& files);

#endif  // GORVA_APP_QQ_PLOT_H
