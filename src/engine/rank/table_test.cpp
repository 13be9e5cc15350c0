#include "engine/rank/table_test.h"

#include <Rmath.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <vector>

#include "core/search_constants.h"
#include "engine/rank/combination_table.h"
#include "engine/count/strata_test_bound.h"

namespace {

// The chi-square approximation of G holds once every cell expects at least
// this many samples of the rarer class; cells below it are pooled.
constexpr double kSmallestExpected = 5.0;
// Tables of up to this many cells (orders 1 to 3) are tested without the heap.
constexpr int kSmallCells = 27;

struct Cell {
  double controls = 0;
  double cases = 0;
  double total() const { return controls + cases; }
};

// Per cell, the group the test puts it in (-1: empty): the non-empty cells
// that expect enough of the rarer class each make one, and one group pools
// the others. A pool that still expects too few joins the smallest of the
// rest. Only cell totals and class totals decide, never how a cell splits
// into cases and controls, so under the null hypothesis the pooled table is
// still a table of independent genotype groups and classes with the same
// margins.
std::vector<int> pooledGroupOf(const int* table, int cells, double smallest_cell) {
  constexpr int kPooled = -2;
  std::vector<int> group(cells, -1);
  std::vector<double> kept_totals;
  double pool_total = 0;
  for (int c = 0; c < cells; ++c) {
    const double total = static_cast<double>(table[2 * c]) + table[2 * c + 1];
    if (total == 0) continue;
    if (total >= smallest_cell) {
      group[c] = static_cast<int>(kept_totals.size());
      kept_totals.push_back(total);
    } else {
      group[c] = kPooled;
      pool_total += total;
    }
  }
  if (pool_total == 0) return group;
  int pool_group = static_cast<int>(kept_totals.size());
  if (pool_total < smallest_cell && !kept_totals.empty()) {
    pool_group = static_cast<int>(std::min_element(kept_totals.begin(), kept_totals.end()) - kept_totals.begin());
  }
  for (int& g : group)
    if (g == kPooled) g = pool_group;
  return group;
}

std::vector<Cell> pooledCells(const int* table, int cells, double smallest_cell) {
  const std::vector<int> group = pooledGroupOf(table, cells, smallest_cell);
  std::vector<Cell> groups(static_cast<std::size_t>(*std::max_element(group.begin(), group.end()) + 1));
  for (int c = 0; c < cells; ++c) {
    if (group[c] < 0) continue;
    groups[group[c]].controls += table[2 * c];
    groups[group[c]].cases += table[2 * c + 1];
  }
  return groups;
}

struct ClassTotals {
  double controls = 0;
  double cases = 0;
};

// Summed as ints (a table holds fewer samples than an int counts): the
// same whole numbers the doubles would reach, without a chain of
// floating-point additions per cell.
ClassTotals classTotals(const int* table, int cells) {
  int controls = 0;
  int cases = 0;
  for (int c = 0; c < cells; ++c) {
    controls += table[2 * c];
    cases += table[2 * c + 1];
  }
  return ClassTotals{static_cast<double>(controls), static_cast<double>(cases)};
}

// The smallest cell total the test keeps as a group of its own.
double smallestTestedCell(const ClassTotals& classes) {
  const double rarer_share = std::min(classes.controls, classes.cases) / (classes.controls + classes.cases);
  return kSmallestExpected / rarer_share;
}

// Williams' divisor of G for a 2 x groups table: brings the mean of G/q
// close to its degrees of freedom when cells hold few samples.
double williamsDivisorOf(const double* group_totals, int groups, double controls, double cases);

double williamsDivisor(const std::vector<Cell>& groups, const ClassTotals& classes) {
  std::vector<double> totals;
  for (const Cell& group : groups) totals.push_back(group.total());
  return williamsDivisorOf(totals.data(), static_cast<int>(totals.size()), classes.controls, classes.cases);
}

// One stratum as tested: its class totals and its groups after pooling
// (fewer than two groups, or a class absent: nothing to test).
struct PooledStratum {
  ClassTotals classes;
  std::vector<Cell> groups;
  bool testable() const { return groups.size() >= 2; }
};

PooledStratum poolStratum(const int* table, int cells) {
  PooledStratum stratum;
  stratum.classes = classTotals(table, cells);
  const ClassTotals& classes = stratum.classes;
  if (classes.controls == 0 || classes.cases == 0) return stratum;
  stratum.groups = pooledCells(table, cells, smallestTestedCell(classes));
  return stratum;
}

double williamsDivisorOf(const double* group_totals, int groups, double controls, double cases) {
  const double n = controls + cases;
  double inverse_totals = 0;
  for (int g = 0; g < groups; ++g) inverse_totals += 1.0 / group_totals[g];
  const double df = std::max(1.0, static_cast<double>(groups) - 1);
  return 1.0 + (n / controls + n / cases - 1.0) * (n * inverse_totals - 1.0) / (6.0 * n * df);
}

}  // namespace

double williamsDivisor(const std::vector<double>& group_totals, double controls, double cases) {
  return williamsDivisorOf(group_totals.data(), static_cast<int>(group_totals.size()), controls, cases);
}

TableShape associationShape(const int* table, int cells) {
  const PooledStratum stratum = poolStratum(table, cells);
  if (!stratum.testable()) return TableShape{0, 1.0};
  return TableShape{static_cast<int>(stratum.groups.size()) - 1,
                    williamsDivisor(stratum.groups, stratum.classes)};
}

std::vector<int> associationGroups(const int* table, int cells) {
  const ClassTotals classes = classTotals(table, cells);
  if (classes.controls > 0 && classes.cases > 0) return pooledGroupOf(table, cells, smallestTestedCell(classes));
  std::vector<int> group(cells, -1);
  for (int c = 0; c < cells; ++c)
    if (table[2 * c] + table[2 * c + 1] > 0) group[c] = 0;
  return group;
}

namespace {

struct StratumTest {
  double statistic = 0;
  int df = 0;
};

// 2 sum / q over a stratum's groups after pooling (q Williams' divisor),
// where `add(group, sum)` adds the group's half of G, or of G's bound.
template <class AddHalf>
StratumTest pooledStatistic(const Cell* groups, int count, const ClassTotals& classes, AddHalf&& add) {
  StratumTest test;
  if (count < 2) return test;
  double sum = 0;
  double group_totals[kSmallCells + 1];
  const bool small = count <= kSmallCells + 1;
  std::vector<double> many;
  for (int g = 0; g < count; ++g) {
    add(groups[g], sum);
    if (small) {
      group_totals[g] = groups[g].total();
    } else {
      many.push_back(groups[g].total());
    }
  }
  // G is a sum of non-negative divergences in exact arithmetic: below 0 is rounding.
  test.statistic = std::fmax(0.0, 2 * sum) /
                   williamsDivisorOf(small ? group_totals : many.data(), count, classes.controls, classes.cases);
  test.df = count - 1;
  return test;
}

// The test of a stratum's groups after pooling.
StratumTest groupsTest(const Cell* groups, int count, const ClassTotals& classes) {
  const double n = classes.controls + classes.cases;
  const double totals[2] = {classes.controls, classes.cases};
  return pooledStatistic(groups, count, classes, [n, &totals](const Cell& group, double& sum) {
    const double observed[2] = {group.controls, group.cases};
    for (int y = 0; y < 2; ++y)
      if (observed[y] > 0) sum += observed[y] * std::log(observed[y] * n / (group.total() * totals[y]));
  });
}

// pooledCells of a table of at most kSmallCells cells into `groups` (room
// for kSmallCells + 1), without the heap: the tests of permutations and of
// the lambda sample run millions of times. The groups' sums are whole
// numbers, exact in any order, so they equal pooledCells' bit for bit.
int poolSmallTable(const int* table, int cells, double smallest_cell, Cell* groups) {
  int kept = 0;
  Cell pool;
  for (int c = 0; c < cells; ++c) {
    const double controls = table[2 * c];
    const double cases = table[2 * c + 1];
    const double total = controls + cases;
    if (total == 0) continue;
    Cell& into = total >= smallest_cell ? groups[kept++] : pool;
    into.controls += controls;
    into.cases += cases;
  }
  if (pool.total() == 0) return kept;
  if (pool.total() < smallest_cell && kept > 0) {
    int smallest = 0;
    for (int g = 1; g < kept; ++g) smallest = groups[g].total() < groups[smallest].total() ? g : smallest;
    groups[smallest].controls += pool.controls;
    groups[smallest].cases += pool.cases;
    return kept;
  }
  groups[kept++] = pool;
  return kept;
}

// An upper bound of groupsTest's statistic without a logarithm. With E a
// group's expected count of a class, O its observed one and d = O - E,
// G = 2 sum E g(O/E), g(t) = t ln t - t + 1 (the d's sum to 0), and the
// Pade bounds ln t <= (t-1)(t+5) / (4t+2) for t >= 1 and ln t <= 2(t-1) /
// (t+1) below give
//   2 E g <= d^2 (O + 2E) / (E (2O + E))  when O >= E,
//   2 E g <= 2 d^2 / (E + O)               when O <  E,
// both exact up to the third power of d / E: within a few percent of G
// for the tables near independence that a search must rule out.
StratumTest groupsBound(const Cell* groups, int count, const ClassTotals& classes) {
  const double case_share = classes.cases / (classes.controls + classes.cases);
  return pooledStatistic(groups, count, classes, [case_share](const Cell& group, double& sum) {
    const double total = group.total();
    const double expected_cases = total * case_share;
    const double d = group.cases - expected_cases;
    // The class above its expectation and the one below it, picked by
    // arithmetic: the sign of d is a coin flip the branch predictor loses.
    const double cases_above = d >= 0 ? 1.0 : 0.0;
    const double above_expected = total - expected_cases + cases_above * (2 * expected_cases - total);
    const double above_observed = above_expected + std::fabs(d);
    const double below_expected = total - above_expected;
    const double below_observed = below_expected - std::fabs(d);
    const double above_divisor = above_expected * (2 * above_observed + above_expected);
    const double below_divisor = below_expected + below_observed;
    // One division for both classes, halved (exactly); a group that holds
    // its expectation exactly adds 0 (and its divisors may be 0).
    const double both = (above_observed + 2 * above_expected) * below_divisor + 2 * above_divisor;
    sum += d != 0 ? 0.5 * d * d * both / (above_divisor * below_divisor) : 0.0;
  });
}

// A stratum's table pooled and handed to `statistic` (groupsTest or
// groupsBound).
template <class GroupsStatistic>
StratumTest stratumStatistic(const int* table, int cells, GroupsStatistic&& statistic) {
  if (cells <= kSmallCells) {
    const ClassTotals classes = classTotals(table, cells);
    if (classes.controls == 0 || classes.cases == 0) return StratumTest{};
    Cell groups[kSmallCells + 1];
    const int count = poolSmallTable(table, cells, smallestTestedCell(classes), groups);
    return statistic(groups, count, classes);
  }
  const PooledStratum stratum = poolStratum(table, cells);
  if (!stratum.testable()) return StratumTest{};
  return statistic(stratum.groups.data(), static_cast<int>(stratum.groups.size()), stratum.classes);
}

template <class GroupsStatistic>
TableTest strataStatistic(const int* tables, int strata, int cells, GroupsStatistic&& statistic) {
  TableTest total{0, 0, std::numeric_limits<double>::quiet_NaN()};
  for (int s = 0; s < strata; ++s) {
    const StratumTest test = stratumStatistic(tables + 2L * cells * s, cells, statistic);
    total.statistic += test.statistic;
    total.df += test.df;
  }
  return total;
}

}  // namespace

TableTest associationStatistic(const int* tables, int strata, int cells) {
  return strataStatistic(tables, strata, cells, groupsTest);
}

TableTest associationStatisticBound(const int* tables, int strata, int cells) {
  return strataStatistic(tables, strata, cells, groupsBound);
}

StrataTestBound strataTestBoundScalar(const int* tables, int strata, int cells) {
  const TableTest bound = associationStatisticBound(tables, strata, cells);
  return StrataTestBound{bound.statistic, bound.df};
}

TableTest associationTest(const int* tables, int strata, int cells) {
  TableTest total = associationStatistic(tables, strata, cells);
  if (total.df >= 1) total.p_value = chiSquareUpperTail(total.statistic, total.df);
  return total;
}

double pValueKey(const TableTest& test) {
  if (test.df < 1 || std::isnan(test.statistic)) return std::numeric_limits<double>::quiet_NaN();
  return -pchisq(test.statistic, test.df, /*lower_tail=*/0, /*log_p=*/1);
}

double logPBelowRange(const TableTest& test) {
  if (!(test.p_value < DBL_MIN)) return std::numeric_limits<double>::quiet_NaN();
  return -pValueKey(test);
}

double statisticReachingKey(double key, int df) {
  if (!(key > 0)) return 0;
  return qchisq(-key, df, /*lower_tail=*/0, /*log_p=*/1);
}

int associationDfAtLeast(const int* table, int cells) {
  const ClassTotals classes = classTotals(table, cells);
  if (classes.controls == 0 || classes.cases == 0) return 1;
  const double smallest_cell = smallestTestedCell(classes);
  int kept = 0;
  for (int c = 0; c < cells; ++c) kept += static_cast<double>(table[2 * c] + table[2 * c + 1]) >= smallest_cell ? 1 : 0;
  return std::max(1, kept - 1);
}

int strataDfAtLeast(const int* tables, int strata, int cells) {
  int fewest = 0;
  for (int s = 0; s < strata; ++s) {
    const int at_least = associationDfAtLeast(tables + 2L * cells * s, cells);
    fewest += at_least >= 2 ? at_least : 0;
  }
  return fewest;
}

double chiSquareUpperTail(double statistic, int df) {
  if (df < 1 || std::isnan(statistic)) return std::numeric_limits<double>::quiet_NaN();
  return pchisq(statistic, df, /*lower_tail=*/0, /*log_p=*/0);
}

void countTestedTable(const SearchContext& context, const int* combination, int k,
                      std::vector<int>& table) {
  if (context.missing_code != kMethodEm) {
    countCombinationTable(context, combination, k, table);
    return;
  }
  SearchContext observed = context;
  observed.missing_code = kMethodAvailable;
  countCombinationTable(observed, combination, k, table);
}
