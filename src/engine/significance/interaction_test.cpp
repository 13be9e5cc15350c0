#include "engine/significance/interaction_test.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/significance/significance.h"

namespace {

constexpr double kTolerance = 1e-9;
constexpr int kMaxCycles = 1000;

// One IPF step: scales the fitted values of every group so that its sum
// matches the observed one. group(y, a, b) names the margin cell.
template <class Group>
double fitMargin(const std::vector<double>& observed, std::vector<double>& fitted, int levels,
                 int groups, Group group) {
  std::vector<double> want(groups, 0.0);
  std::vector<double> have(groups, 0.0);
  for (int b = 0; b < levels; ++b)
    for (int a = 0; a < levels; ++a)
      for (int y = 0; y < 2; ++y) {
        const int cell = 2 * (a + b * levels) + y;
        want[group(y, a, b)] += observed[cell];
        have[group(y, a, b)] += fitted[cell];
      }
  double moved = 0;
  for (int b = 0; b < levels; ++b)
    for (int a = 0; a < levels; ++a)
      for (int y = 0; y < 2; ++y) {
        const int cell = 2 * (a + b * levels) + y;
        const int g = group(y, a, b);
        const double next = have[g] > 0 ? fitted[cell] * want[g] / have[g] : 0.0;
        moved = std::max(moved, std::fabs(next - fitted[cell]));
        fitted[cell] = next;
      }
  return moved;
}

}  // namespace

InteractionTest pairInteractionTest(const int* table, int levels) {
  InteractionTest test;
  const int entries = 2 * levels * levels;
  std::vector<double> observed(table, table + entries);
  std::vector<double> fitted(entries, 1.0);
  std::vector<bool> a_used(levels, false);
  std::vector<bool> b_used(levels, false);
  int filled_pairs = 0;
  for (int b = 0; b < levels; ++b)
    for (int a = 0; a < levels; ++a) {
      const int c = a + b * levels;
      if (table[2 * c] + table[2 * c + 1] == 0) continue;
      ++filled_pairs;
      a_used[a] = true;
      b_used[b] = true;
    }
  test.df = filled_pairs - static_cast<int>(std::count(a_used.begin(), a_used.end(), true)) -
            static_cast<int>(std::count(b_used.begin(), b_used.end(), true)) + 1;

  for (test.cycles = 1; test.cycles <= kMaxCycles; ++test.cycles) {
    double moved = fitMargin(observed, fitted, levels, levels * levels,
                             [levels](int, int a, int b) { return a + b * levels; });
    moved = std::max(moved, fitMargin(observed, fitted, levels, 2 * levels,
                                      [levels](int y, int a, int) { return y * levels + a; }));
    moved = std::max(moved, fitMargin(observed, fitted, levels, 2 * levels,
                                      [levels](int y, int, int b) { return y * levels + b; }));
    if (moved < kTolerance) break;
  }
  test.cycles = std::min(test.cycles, kMaxCycles);

  double g2 = 0;
  for (int i = 0; i < entries; ++i) {
    if (observed[i] > 0) g2 += observed[i] * std::log(observed[i] / fitted[i]);
  }
  // The fit is the maximum likelihood under a sub-model: G^2 below 0 is rounding.
  test.statistic = std::max(0.0, 2.0 * g2);
  test.p_value = test.df >= 1 ? chiSquareUpperTail(test.statistic, test.df)
                              : std::numeric_limits<double>::quiet_NaN();
  return test;
}
