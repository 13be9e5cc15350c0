#include "app/qq_plot.h"

#include <Rmath.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "app/results_table.h"
#include "engine/significance/combination_listing.h"
#include "engine/significance/significance.h"
#include "io/output_file.h"

namespace {

constexpr double kWidth = 560;
constexpr double kHeight = 560;
constexpr double kLeft = 70;
constexpr double kTop = 60;
constexpr double kSide = 440;
// p-values that underflowed to 0 are drawn at this height.
constexpr double kHighest = 300;

std::string fixed(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

double minusLog10(double p) { return p > 0 ? std::min(kHighest, -std::log10(p)) : kHighest; }

// The expected p of the i-th smallest (from 0) of n uniform p-values.
double expectedP(double i, double n) { return (i + 0.5) / n; }

class Axes {
 public:
  Axes(double x_most, double y_most) : x_most_(x_most), y_most_(y_most) {}
  double x(double value) const { return kLeft + kSide * value / x_most_; }
  double y(double value) const { return kTop + kSide * (1 - std::min(value, y_most_) / y_most_); }
  double xMost() const { return x_most_; }
  double yMost() const { return y_most_; }

 private:
  double x_most_;
  double y_most_;
};

std::string band(const Axes& axes, double n) {
  // The 2.5 % and 97.5 % quantiles of the i-th order statistic, Beta(i, n - i + 1).
  std::string upper;
  std::string lower;
  constexpr int kSteps = 120;
  for (int step = 0; step <= kSteps; ++step) {
    const double i = std::max(1.0, std::round(std::pow(n, static_cast<double>(step) / kSteps)));
    const double expected = minusLog10(expectedP(i - 1, n));
    const double low_p = qbeta(0.025, i, n - i + 1, 1, 0);
    const double high_p = qbeta(0.975, i, n - i + 1, 1, 0);
    upper += fixed(axes.x(expected)) + "," + fixed(axes.y(minusLog10(low_p))) + " ";
    lower = fixed(axes.x(expected)) + "," + fixed(axes.y(minusLog10(high_p))) + " " + lower;
  }
  return "<polygon points=\"" + upper + lower + "\" fill=\"#d6e4f0\" stroke=\"none\"/>\n";
}

std::string ticks(const Axes& axes) {
  std::string out;
  const double step_x = std::max(1.0, std::ceil(axes.xMost() / 8));
  const double step_y = std::max(1.0, std::ceil(axes.yMost() / 8));
  for (double v = 0; v <= axes.xMost() + 1e-9; v += step_x) {
    out += "<text x=\"" + fixed(axes.x(v)) + "\" y=\"" + fixed(kTop + kSide + 18) + "\" text-anchor=\"middle\">" +
           fixed(v) + "</text>\n";
  }
  for (double v = 0; v <= axes.yMost() + 1e-9; v += step_y) {
    out += "<text x=\"" + fixed(kLeft - 8) + "\" y=\"" + fixed(axes.y(v) + 4) + "\" text-anchor=\"end\">" +
           fixed(v) + "</text>\n";
  }
  return out;
}

}  // namespace

std::string qqPlotSvg(const QqPlot& plot) {
  const double n = static_cast<double>(plot.p_values.size());
  const double x_most = n > 0 ? std::ceil(minusLog10(expectedP(0, n))) : 1;
  double y_most = x_most;
  if (!plot.p_values.empty()) y_most = std::max(y_most, std::ceil(minusLog10(plot.p_values.front())));
  for (const double p : plot.listed) y_most = std::max(y_most, std::ceil(minusLog10(p)));
  const Axes axes(x_most, y_most);
  char title[160];
  std::snprintf(title, sizeof title, "order %d: lambda_gc = %s from %.0f combinations (%s)", plot.order,
                lambdaText(plot.lambda).c_str(), n, plot.sampled ? "a uniform random sample" : "all");
  std::string svg =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
      fixed(kWidth) + "\" height=\"" + fixed(kHeight) + "\" viewBox=\"0 0 " + fixed(kWidth) + " " +
      fixed(kHeight) + "\" font-family=\"Helvetica, Arial, sans-serif\" font-size=\"13\">\n" +
      "<rect x=\"0\" y=\"0\" width=\"" + fixed(kWidth) + "\" height=\"" + fixed(kHeight) + "\" fill=\"white\"/>\n";
  svg += "<text x=\"" + fixed(kWidth / 2) + "\" y=\"30\" text-anchor=\"middle\" font-size=\"15\">" +
         std::string(title) + "</text>\n";
  if (n > 0) svg += band(axes, n);
  svg += "<rect x=\"" + fixed(kLeft) + "\" y=\"" + fixed(kTop) + "\" width=\"" + fixed(kSide) + "\" height=\"" +
         fixed(kSide) + "\" fill=\"none\" stroke=\"#444\"/>\n";
  const double diagonal = std::min(x_most, y_most);
  svg += "<line x1=\"" + fixed(axes.x(0)) + "\" y1=\"" + fixed(axes.y(0)) + "\" x2=\"" + fixed(axes.x(diagonal)) +
         "\" y2=\"" + fixed(axes.y(diagonal)) + "\" stroke=\"#888\" stroke-dasharray=\"4 3\"/>\n";
  svg += ticks(axes);
  svg += "<text x=\"" + fixed(kLeft + kSide / 2) + "\" y=\"" + fixed(kHeight - 12) +
         "\" text-anchor=\"middle\">expected -log10 p</text>\n";
  svg += "<text transform=\"translate(18 " + fixed(kTop + kSide / 2) +
         ") rotate(-90)\" text-anchor=\"middle\">observed -log10 p_chisq</text>\n";
  // Points closer than half a pixel to the last one drawn add nothing.
  double last_x = -1;
  double last_y = -1;
  svg += "<g fill=\"#2e86c1\">\n";
  for (std::size_t i = 0; i < plot.p_values.size(); ++i) {
    const double x = axes.x(minusLog10(expectedP(static_cast<double>(i), n)));
    const double y = axes.y(minusLog10(plot.p_values[i]));
    if (std::fabs(x - last_x) < 0.5 && std::fabs(y - last_y) < 0.5) continue;
    svg += "<circle cx=\"" + fixed(x) + "\" cy=\"" + fixed(y) + "\" r=\"2\"/>\n";
    last_x = x;
    last_y = y;
  }
  svg += "</g>\n<g fill=\"none\" stroke=\"#c0392b\" stroke-width=\"1.5\">\n";
  for (const double p : plot.listed) {
    if (std::isnan(p) || n == 0) continue;
    const auto rank = std::lower_bound(plot.p_values.begin(), plot.p_values.end(), p) - plot.p_values.begin();
    svg += "<circle cx=\"" + fixed(axes.x(minusLog10(expectedP(static_cast<double>(rank), n)))) + "\" cy=\"" +
           fixed(axes.y(minusLog10(p))) + "\" r=\"5\"/>\n";
  }
  svg += "</g>\n";
  svg += "<text x=\"" + fixed(kLeft + 10) + "\" y=\"" + fixed(kTop + 20) +
         "\" fill=\"#c0392b\">o listed rows</text>\n<text x=\"" + fixed(kLeft + 10) + "\" y=\"" + fixed(kTop + 38) +
         "\" fill=\"#5d8fba\">shaded: 95 % band of uniform p-values</text>\n";
  return svg + "</svg>\n";
}

std::string qqPlotPath(const std::string& report_file, int order) {
  return report_file + ".order" + std::to_string(order) + ".qq.svg";
}

std::string writeQqPlots(const std::string& report_file, const std::vector<OrderSignificance>& orders,
                         OutputFileSet& files) {
  std::string first_failure;
  for (const OrderSignificance& order : orders) {
    // An order without a p-value still gets its (empty) plot: skipped, the
    // plot of an earlier run on this name would stay beside this run's table.
    if (!order.structure.assessed) continue;
    QqPlot plot{order.order, orderLambda(order.structure.control, order.structure.p_chisq.size()),
                order.structure.control.sampled, order.structure.p_chisq, {}};
    if (order.listing) {
      order.listing->rows().forEach([&plot](const SignificanceRow& row) {
        plot.listed.push_back(row.p_chisq);
        return true;
      });
    } else {
      for (const SignificanceRow& row : order.rows) plot.listed.push_back(row.p_chisq);
    }
    OutputFile& file = files.add();
    const bool ok = file.open(qqPlotPath(report_file, order.order)) && file.write(qqPlotSvg(plot)) && file.finish();
    if (!ok && first_failure.empty()) first_failure = file.error();
  }
  return first_failure;
}
