#include "support/table_model.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <set>
#include <utility>

namespace {

constexpr double kNA = std::numeric_limits<double>::quiet_NaN();

// The least expected total of a cell that keeps it apart: 5 samples of the
// rarer class.
double smallestCell(const OracleCells& cells) {
  double classes[2] = {0, 0};
  for (const auto& [key, counts] : cells) classes[0] += counts.first, classes[1] += counts.second;
  return 5 * (classes[0] + classes[1]) / std::min(classes[0], classes[1]);
}

}  // namespace

double chiSquareTail(double x, int df) {
  if (df < 1 || std::isnan(x)) return kNA;
  if (df % 2 == 0) {
    double term = std::exp(-x / 2);
    double sum = term;
    for (int i = 1; i < df / 2; ++i) sum += term *= x / 2 / i;
    return sum;
  }
  double sum = std::erfc(std::sqrt(x / 2));
  double term = std::sqrt(2 * x / M_PI) * std::exp(-x / 2);
  for (int i = 0; i < (df - 1) / 2; ++i) {
    sum += term;
    term *= x / (2 * i + 3);
  }
  return sum;
}

double logisticInteraction(const OracleCells& cells, int& df) {
  std::set<int> a_levels, b_levels;
  for (const auto& [key, counts] : cells) a_levels.insert(key[0]), b_levels.insert(key[1]);
  const int p = static_cast<int>(a_levels.size() + b_levels.size()) - 1;
  std::vector<std::vector<double>> design;
  for (const auto& [key, counts] : cells) {
    std::vector<double> x(p, 0.0);
    x[0] = 1;
    const int a = static_cast<int>(std::distance(a_levels.begin(), a_levels.find(key[0])));
    const int b = static_cast<int>(std::distance(b_levels.begin(), b_levels.find(key[1])));
    if (a > 0) x[a] = 1;
    if (b > 0) x[a_levels.size() - 1 + b] = 1;
    design.push_back(x);
  }
  df = static_cast<int>(cells.size()) - p;
  std::vector<double> beta(p, 0.0);
  for (int iteration = 0; iteration < 200; ++iteration) {
    std::vector<std::vector<double>> h(p, std::vector<double>(p + 1, 0.0));
    int i = 0;
    for (const auto& [key, counts] : cells) {
      const double n = counts.first + counts.second;
      const double pi = 1 / (1 + std::exp(-std::inner_product(beta.begin(), beta.end(), design[i].begin(), 0.0)));
      for (int j = 0; j < p; ++j) {
        h[j][p] += design[i][j] * (counts.second - n * pi);
        for (int l = 0; l < p; ++l) h[j][l] += design[i][j] * design[i][l] * n * pi * (1 - pi);
      }
      ++i;
    }
    for (int c = 0; c < p; ++c) {  // Gauss-Jordan on [H | gradient]
      int pivot = c;
      for (int r = c + 1; r < p; ++r)
        if (std::fabs(h[r][c]) > std::fabs(h[pivot][c])) pivot = r;
      std::swap(h[c], h[pivot]);
      for (int r = 0; r < p; ++r) {
        if (r == c) continue;
        const double f = h[r][c] / h[c][c];
        for (int l = c; l <= p; ++l) h[r][l] -= f * h[c][l];
      }
    }
    double step = 0;
    for (int j = 0; j < p; ++j) beta[j] += h[j][p] / h[j][j], step = std::max(step, std::fabs(h[j][p] / h[j][j]));
    if (step < 1e-13) break;
  }
  double deviance = 0;
  int i = 0;
  for (const auto& [key, counts] : cells) {
    const double n = counts.first + counts.second;
    const double mu = n / (1 + std::exp(-std::inner_product(beta.begin(), beta.end(), design[i++].begin(), 0.0)));
    if (counts.second > 0) deviance += 2 * counts.second * std::log(counts.second / mu);
    if (counts.first > 0) deviance += 2 * counts.first * std::log(counts.first / (n - mu));
  }
  return deviance;
}

double interactionDivisor(const OracleCells& kept_cells, int df) {
  double controls = 0, cases = 0;
  std::map<int, double> a_totals, b_totals;
  std::vector<double> cell_totals;
  for (const auto& [key, counts] : kept_cells) {
    const double total = counts.first + counts.second;
    if (total == 0) continue;
    controls += counts.first, cases += counts.second;
    cell_totals.push_back(total);
    a_totals[key[0]] += total;
    b_totals[key[1]] += total;
  }
  const double n = controls + cases;
  const auto expected_g = [&](const std::vector<double>& totals) {
    const double groups_df = static_cast<double>(totals.size()) - 1;
    if (groups_df < 1) return 0.0;
    double inverse = 0;
    for (const double t : totals) inverse += 1 / t;
    return groups_df + (n / controls + n / cases - 1) * (n * inverse - 1) / (6 * n);
  };
  std::vector<double> a, b;
  for (const auto& [level, total] : a_totals) a.push_back(total);
  for (const auto& [level, total] : b_totals) b.push_back(total);
  return std::max(1.0, (expected_g(cell_totals) - expected_g(a) - expected_g(b)) / df);
}

std::vector<std::vector<int>> allCombinations(int n, int k) {
  std::vector<std::vector<int>> all;
  std::vector<int> c(k);
  for (int i = 0; i < k; ++i) c[i] = i;
  while (k <= n) {
    all.push_back(c);
    int i = k - 1;
    while (i >= 0 && c[i] == n - k + i) --i;
    if (i < 0) break;
    ++c[i];
    for (int j = i + 1; j < k; ++j) c[j] = c[j - 1] + 1;
  }
  return all;
}

ModelTest modelAssociation(const OracleCells& cells) {
  std::vector<std::pair<std::vector<int>, std::pair<double, double>>> in_table_order;
  for (const auto& [key, counts] : cells)
    in_table_order.push_back({std::vector<int>(key.rbegin(), key.rend()), {counts.first, counts.second}});
  std::sort(in_table_order.begin(), in_table_order.end());
  const double least = smallestCell(cells);
  std::vector<std::pair<double, double>> groups;
  std::pair<double, double> pool{0, 0};
  double classes[2] = {0, 0};
  for (const auto& [key, counts] : in_table_order) {
    classes[0] += counts.first, classes[1] += counts.second;
    if (counts.first + counts.second == 0) continue;
    if (counts.first + counts.second >= least) {
      groups.push_back(counts);
    } else {
      pool.first += counts.first, pool.second += counts.second;
    }
  }
  auto total = [](const std::pair<double, double>& g) { return g.first + g.second; };
  if (total(pool) >= least || (total(pool) > 0 && groups.empty())) {
    groups.push_back(pool);
  } else if (total(pool) > 0) {
    auto smallest = groups.begin();
    for (auto g = groups.begin(); g != groups.end(); ++g)
      if (total(*g) < total(*smallest)) smallest = g;
    smallest->first += pool.first, smallest->second += pool.second;
  }
  if (groups.size() < 2 || classes[0] == 0 || classes[1] == 0) return {kNA, 0};
  const double n = classes[0] + classes[1];
  double g2 = 0, inverse_totals = 0;
  for (const auto& [controls, cases] : groups) {
    if (controls > 0) g2 += 2 * controls * std::log(controls * n / (total({controls, cases}) * classes[0]));
    if (cases > 0) g2 += 2 * cases * std::log(cases * n / (total({controls, cases}) * classes[1]));
    inverse_totals += 1 / (controls + cases);
  }
  const int df = static_cast<int>(groups.size()) - 1;
  const double q = 1 + (n / classes[0] + n / classes[1] - 1) * (n * inverse_totals - 1) / (6 * n * df);
  return {g2 / q, df};
}

OracleCells withoutSparseCells(OracleCells cells) {
  const double least = smallestCell(cells);
  std::erase_if(cells, [least](const auto& cell) { return cell.second.first + cell.second.second < least; });
  return cells;
}

std::vector<Modelled> modelOrder(const Dataset& data, int k, Method method, const std::string& rank) {
  std::vector<double> own(data.markers());
  double rig = 0;
  for (int m = 0; m < data.markers(); ++m) oracleMeasures(data, {m}, method, own[m], rig);
  std::vector<Modelled> scored;
  for (const std::vector<int>& c : allCombinations(data.markers(), k)) {
    Modelled row{c, 0, 0, 0, 0};
    oracleMeasures(data, c, method, row.ig, row.rig);
    row.synergy = row.ig;
    for (int m : c) row.synergy -= own[m];
    row.key = rank == "ig" ? row.ig : rank == "rig" ? row.rig : row.synergy;
    if (rank == "p") {
      const ModelTest test = modelAssociation(oracleCells(data, c, method));
      row.key = -std::log(chiSquareTail(test.statistic, test.df));
    }
    if (!std::isnan(row.key)) scored.push_back(row);
  }
  if (rank == "p") {
    // Equal p-values by the larger IG, then in enumeration order.
    std::stable_sort(scored.begin(), scored.end(), [](const Modelled& a, const Modelled& b) {
      return a.key != b.key ? a.key > b.key : a.ig > b.ig;
    });
    return scored;
  }
  // Among equal keys (synergy at order 1) the later combination ranks first.
  std::reverse(scored.begin(), scored.end());
  std::stable_sort(scored.begin(), scored.end(),
                   [](const Modelled& a, const Modelled& b) { return a.key > b.key; });
  return scored;
}
