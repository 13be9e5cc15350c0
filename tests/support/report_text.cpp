#include "support/report_text.h"

#include <cmath>
#include <cstdio>
#include <regex>

#include "support/run_program.h"

namespace {

std::string format(const char* pattern, double a, double b, double c) {
  char line[256];
  std::snprintf(line, sizeof line, pattern, a, b, c);
  return line;
}

}  // namespace

std::string expectedReport(const std::string& command, const std::string& input,
                           const std::string& output, int highest_order, int top,
                           const std::vector<ExpectedBlock>& blocks) {
  std::string report =
      "====================================   Time   =====================================\n"
      "Total time,<TIME> sec\n"
      "====================================  Options  ====================================\n"
      "Command : " + command + "\n"
      "# input file : " + input + "\n# result file : " + output +
      "\n# combination order : " + std::to_string(highest_order) +
      "\n# K=number of final significant snps for presentation : " + std::to_string(top) +
      "\n\n"
      "====================================  Results  ====================================\n";
  for (const ExpectedBlock& block : blocks) {
    report += "<<" + std::to_string(block.order) + "-Order Best Combination Sets>>\n";
    report += "Rank,Best Combination,IG,RIG,p-value(IG)\n";
    int rank = 1;
    for (const ExpectedRow& row : block.rows) {
      report += std::to_string(rank++) + "," + row.names +
                format(",%f,%f,%E\n", row.ig, row.rig, row.p_value);
    }
    report += std::string(79, '=') + "\n";
  }
  return report;
}

std::string maskTimes(const std::string& text) {
  static const std::regex report_time("Total time,[0-9]+\\.[0-9]{5} sec");
  static const std::regex console_time("Total excuting time is [0-9]+\\.[0-9]{2} second");
  std::string masked = std::regex_replace(text, report_time, "Total time,<TIME> sec");
  return std::regex_replace(masked, console_time, "Total excuting time is <TIME> second");
}

std::string resultsSection(const std::string& report) {
  const std::size_t start = report.find("====  Results  ====");
  return start == std::string::npos ? "<none>" : report.substr(start);
}

double gammaUpperTailIntegerShape(int shape, double x) {
  long double term = 1;
  long double sum = 0;
  for (int i = 0; i < shape; ++i) {
    if (i > 0) term *= x / i;
    sum += term;
  }
  return static_cast<double>(std::exp(-static_cast<long double>(x)) * sum);
}

double pValueOfIG(double ig, int order, int N) {
  const int degrees = static_cast<int>(std::lround(std::pow(3.0, order))) - 1;
  const double g = 2.0 * N * std::log(2.0) * ig;
  return gammaUpperTailIntegerShape(degrees / 2, g / 2);
}

std::string withoutInputLines(const std::string& text) {
  std::string kept;
  for (const std::string& line : splitOn(maskTimes(text), '\n')) {
    if (line.rfind("Command : ", 0) != 0 && line.rfind("# input file : ", 0) != 0) kept += line + "\n";
  }
  return kept;
}
