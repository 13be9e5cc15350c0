// Building and comparing report texts in end-to-end tests.
#ifndef GORVA_TESTS_SUPPORT_REPORT_TEXT_H
#define GORVA_TESTS_SUPPORT_REPORT_TEXT_H

#include <string>
#include <vector>

// One expected row of an order block.
struct ExpectedRow {
  std::string names;  // marker names joined by one blank
  double ig;
  double rig;
  double p_value;
};

struct ExpectedBlock { int order; std::vector<ExpectedRow> rows; };

// The whole report as the program writes it, with "<TIME>" for the seconds.
std::string expectedReport(const std::string& command, const std::string& input,
                           const std::string& output, int highest_order, int top,
                           const std::vector<ExpectedBlock>& blocks);

// Replaces the whole-second timings (report and console) by "<TIME>".
std::string maskTimes(const std::string& text);

// The report or console text without the lines that name the input or the
// command, and with the whole-second timings masked.
std::string withoutInputLines(const std::string& text);

// The results of a report: from its "Results" banner on ("<none>" without one).
std::string resultsSection(const std::string& report);

// Upper tail of a gamma distribution of integer shape at x (scale 1), as a
// Poisson sum: exp(-x) * sum_{i < shape} x^i / i!.
double gammaUpperTailIntegerShape(int shape, double x);

// The chi-square p-value of an IG for order k and N samples, from first
// principles (3^k - 1 degrees of freedom, G = 2 N ln2 IG).
double pValueOfIG(double ig, int order, int N);

#endif  // GORVA_TESTS_SUPPORT_REPORT_TEXT_H
