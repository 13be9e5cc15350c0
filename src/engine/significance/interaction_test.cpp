#include "engine/significance/interaction_test.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "engine/rank/table_test.h"

namespace {

constexpr double kTolerance = 1e-9;
constexpr int kMaxCycles = 1000;
// As the association test's pooling: the chi-square approximation wants
// this many samples of the rarer class expected in a cell.
constexpr double kSmallestExpected = 5.0;

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


// Non-empty AB cells - levels of A used - levels of B used + the number of
// connected groups of levels (cells joining their A and B level), the
// dimension of the interaction in a table with empty cells.
int interactionDf(const int* table, int levels) {
  std::vector<int> parent(2 * levels);  // A levels, then B levels
  std::iota(parent.begin(), parent.end(), 0);
  auto root = [&parent](int x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  };
  std::vector<bool> used(2 * levels, false);
  int filled = 0;
  for (int b = 0; b < levels; ++b)
    for (int a = 0; a < levels; ++a) {
      const int c = a + b * levels;
      if (table[2 * c] + table[2 * c + 1] == 0) continue;
      ++filled;
      used[a] = used[levels + b] = true;
      parent[root(a)] = root(levels + b);
    }
  int used_levels = 0;
  int groups = 0;
  for (int x = 0; x < 2 * levels; ++x) {
    used_levels += used[x] ? 1 : 0;
    groups += used[x] && root(x) == x ? 1 : 0;
  }
  return filled - used_levels + groups;
}

}  // namespace

InteractionShape interactionShape(const int* table, int levels) {
  InteractionShape shape;
  shape.df = interactionDf(table, levels);
  if (shape.df < 1) return shape;
  double classes[2] = {0, 0};
  std::vector<double> cells, a_totals(levels, 0.0), b_totals(levels, 0.0);
  for (int b = 0; b < levels; ++b)
    for (int a = 0; a < levels; ++a) {
      const int c = a + b * levels;
      const double total = static_cast<double>(table[2 * c]) + table[2 * c + 1];
      classes[0] += table[2 * c];
      classes[1] += table[2 * c + 1];
      if (total == 0) continue;
      cells.push_back(total);
      a_totals[a] += total;
      b_totals[b] += total;
    }
  if (classes[0] == 0 || classes[1] == 0) return shape;
  // The mean of a G over groups of these totals: its degrees of freedom
  // (the groups less one) times Williams' divisor.
  const auto expected = [&classes](std::vector<double> totals) {
    totals.erase(std::remove(totals.begin(), totals.end(), 0.0), totals.end());
    const double df = static_cast<double>(totals.size()) - 1;
    return df < 1 ? 0.0 : df * williamsDivisor(totals, classes[0], classes[1]);
  };
  const double interaction = expected(cells) - expected(a_totals) - expected(b_totals);
  shape.divisor = std::max(1.0, interaction / shape.df);
  return shape;
}

std::vector<int> interactionTable(const int* counted, int levels) {
  const int cells = levels * levels;
  std::vector<int> table(counted, counted + 2 * cells);
  double classes[2] = {0, 0};
  for (int c = 0; c < cells; ++c) classes[0] += table[2 * c], classes[1] += table[2 * c + 1];
  const double n = classes[0] + classes[1];
  if (classes[0] == 0 || classes[1] == 0) return table;
  const double smallest_cell = kSmallestExpected * n / std::min(classes[0], classes[1]);
  for (int c = 0; c < cells; ++c) {
    if (table[2 * c] + table[2 * c + 1] >= smallest_cell) continue;
    table[2 * c] = 0;
    table[2 * c + 1] = 0;
  }
  return table;
}

InteractionTest pairInteractionTest(const int* counted, int levels) {
  InteractionTest test;
  const int entries = 2 * levels * levels;
  std::vector<int> table = interactionTable(counted, levels);
  std::vector<double> observed(table.begin(), table.end());
  std::vector<double> fitted(entries, 1.0);
  const InteractionShape shape = interactionShape(table.data(), levels);
  test.df = shape.df;

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
  test.statistic = std::max(0.0, 2.0 * g2) / shape.divisor;
  test.p_value = test.df >= 1 ? chiSquareUpperTail(test.statistic, test.df)
                              : std::numeric_limits<double>::quiet_NaN();
  return test;
}
