#include "engine/significance/table_test.h"

#include <cmath>
#include <limits>

#include "engine/significance/significance.h"

namespace {

struct StratumTest {
  double statistic = 0;
  int df = 0;
};

StratumTest stratumTest(const int* table, int cells) {
  double controls = 0;
  double cases = 0;
  int filled = 0;
  for (int c = 0; c < cells; ++c) {
    controls += table[2 * c];
    cases += table[2 * c + 1];
    filled += table[2 * c] + table[2 * c + 1] > 0 ? 1 : 0;
  }
  StratumTest test;
  if (controls == 0 || cases == 0) return test;
  const double n = controls + cases;
  const double class_totals[2] = {controls, cases};
  double sum = 0;
  for (int c = 0; c < cells; ++c) {
    const double in_cell = table[2 * c] + table[2 * c + 1];
    for (int y = 0; y < 2; ++y) {
      const double observed = table[2 * c + y];
      if (observed > 0) sum += observed * std::log(observed * n / (in_cell * class_totals[y]));
    }
  }
  test.statistic = 2 * sum;
  test.df = filled - 1;
  return test;
}

}  // namespace

TableTest associationTest(const int* tables, int strata, int cells) {
  TableTest total{0, 0, std::numeric_limits<double>::quiet_NaN()};
  for (int s = 0; s < strata; ++s) {
    const StratumTest test = stratumTest(tables + 2L * cells * s, cells);
    total.statistic += test.statistic;
    total.df += test.df;
  }
  // G is a sum of non-negative terms in exact arithmetic: below 0 is rounding.
  total.statistic = std::fmax(0.0, total.statistic);
  if (total.df >= 1) total.p_value = chiSquareUpperTail(total.statistic, total.df);
  return total;
}
