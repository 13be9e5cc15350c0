// The results table against an independent model: counts, degrees of
// freedom, chi-square tails in closed form, Bonferroni, synergy, the
// interaction test as a logistic-regression fit, and permutation maxima
// found by brute force; then the interaction test on its own, and the table
// on every engine and thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <set>

#include "app/plot.h"
#include "core/gorva.h"
#include "engine/significance/interaction_test.h"
#include "engine/significance/sorted_row_spill.h"
#include "support/oracle.h"
#include "support/run_program.h"

namespace {

constexpr double kNA = std::numeric_limits<double>::quiet_NaN();

// Upper tail of chi-square with integer df, closed form.
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

// The likelihood-ratio statistic of the A x B term of a logistic regression
// with both genotypes as factors (main effects against one parameter per
// cell), fitted by Newton's method; df in `df`.
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
      double eta = 0;
      for (int j = 0; j < p; ++j) eta += design[i][j] * beta[j];
      const double pi = 1 / (1 + std::exp(-eta));
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
    double eta = 0;
    for (int j = 0; j < p; ++j) eta += design[i][j] * beta[j];
    ++i;
    const double mu = n / (1 + std::exp(-eta));
    if (counts.second > 0) deviance += 2 * counts.second * std::log(counts.second / mu);
    if (counts.first > 0) deviance += 2 * counts.first * std::log(counts.first / (n - mu));
  }
  return deviance;
}

// The association test as the README states it: cells expected to hold
// fewer than 5 samples of the rarer class pooled into one (a pool still
// below that joins the smallest other cell, the first in table order), G
// divided by Williams' q.
struct ModelTest {
  double statistic;
  int df;
};

double smallestCell(const OracleCells& cells) {
  double classes[2] = {0, 0};
  for (const auto& [key, counts] : cells) classes[0] += counts.first, classes[1] += counts.second;
  return 5 * (classes[0] + classes[1]) / std::min(classes[0], classes[1]);
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

// The interaction test leaves out whole genotype cells expected to hold
// fewer than 5 samples of the rarer class.
OracleCells withoutSparseCells(OracleCells cells) {
  const double least = smallestCell(cells);
  std::erase_if(cells, [least](const auto& cell) { return cell.second.first + cell.second.second < least; });
  return cells;
}

struct TableLine {
  int order, rank;
  std::vector<int> markers;
  long cases, controls;
  int df;
  double ig, rig, synergy, p_chisq, p_bonferroni, p_permutation, p_interaction;
};

double field(const std::string& text) { return text == "NA" ? kNA : std::stod(text); }

std::vector<TableLine> readTable(const std::string& text) {
  std::vector<TableLine> lines;
  bool header = true;
  for (const std::string& line : splitOn(text, '\n')) {
    if (line.empty() || line[0] == '#') continue;
    if (header) {
      EXPECT_EQ(line, "order\trank\tmarkers\tindices\tcases\tcontrols\tdf\tIG\tRIG\tsynergy\tp_chisq\t"
                      "p_bonferroni\tp_permutation\tp_interaction\tp_adjusted\tp_interaction_adjusted\t"
                      "positions\tcells");
      header = false;
      continue;
    }
    const std::vector<std::string> f = splitOn(line + "\t", '\t');
    EXPECT_EQ(f.size(), 18u) << line;
    if (f.size() != 18) continue;
    // Without covariates nothing is adjusted.
    EXPECT_EQ(f[14] + f[15], "NANA") << line;
    TableLine row{std::stoi(f[0]), std::stoi(f[1]), {}, std::stol(f[4]), std::stol(f[5]), std::stoi(f[6]),
                  field(f[7]), field(f[8]), field(f[9]), field(f[10]), field(f[11]), field(f[12]),
                  field(f[13])};
    for (const std::string& index : splitOn(f[3] + "-", '-')) row.markers.push_back(std::stoi(index));
    lines.push_back(row);
  }
  return lines;
}

void expectNear(double expected, double actual, double relative, const std::string& what) {
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(actual)) << what << ": " << actual;
    return;
  }
  EXPECT_NEAR(actual, expected, relative * std::fabs(expected) + 1e-300) << what;
}

// Every combination of order k of n markers, in enumeration order.
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

struct Modelled { std::vector<int> combination; double ig, rig, synergy, key; };

// Every combination of order k scored and ranked as the model sees it.
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

struct Case { std::string missing; Method method; std::string rank; };

TEST(SignificanceTable, EveryColumnAgreesWithAnIndependentModel) {
  const int kPermutations = 4;
  const unsigned kSeed = 7;
  const int kTop = 4;
  for (const Case& c : std::vector<Case>{{"none", Method::kNone, "ig"},
                                         {"mc", Method::kMc, "rig"},
                                         {"complete", Method::kComplete, "ig"},
                                         {"available", Method::kAvailable, "synergy"},
                                         {"imputation", Method::kImputation, "ig"},
                                         {"mc", Method::kMc, "p"}}) {
    SCOPED_TRACE(c.missing + " ranked by " + c.rank);
    const Dataset raw = randomDataset(91, 7, 300, c.method == Method::kNone ? 0.0 : 0.03);
    const Dataset data = c.method == Method::kImputation ? imputedCopy(raw) : raw;
    const std::string dir = makeTempDir();
    const ProgramResult run = runOnData(dir, raw.text(),
        "--order 1-3 --top " + std::to_string(kTop) + " --table table.tsv --permutations " +
        std::to_string(kPermutations) + " --seed " + std::to_string(kSeed) + " --missing " +
        c.missing + " --rank " + c.rank);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<TableLine> table = readTable(readFile(dir + "/table.tsv"));
    ASSERT_EQ(table.size(), 3u * kTop);
    for (int k = 1; k <= 3; ++k) {
      const std::vector<Modelled> ranked = modelOrder(data, k, c.method, c.rank);
      const double gap = ranked[kTop - 1].key - ranked[kTop].key;
      ASSERT_TRUE(gap == 0 || gap > 1e-9) << "near tie: pick other data";
      std::vector<double> maxima;
      init_rng(kSeed);
      Dataset permuted = data;
      std::vector<unsigned char> phenotype = data.phenotypeBytes();
      for (int r = 0; r < kPermutations; ++r) {
        permuteValues(phenotype.data(), data.samples());
        permuted.phenotype.assign(phenotype.begin(), phenotype.end());
        maxima.push_back(modelOrder(permuted, k, c.method, c.rank)[0].key);
      }
      const double tests = allCombinations(data.markers(), k).size();
      for (int j = 0; j < kTop; ++j) {
        const TableLine& line = table[(k - 1) * kTop + j];
        const Modelled& expected = ranked[j];
        SCOPED_TRACE("order " + std::to_string(k) + " rank " + std::to_string(j + 1));
        EXPECT_EQ(line.order, k);
        EXPECT_EQ(line.rank, j + 1);
        ASSERT_EQ(line.markers, expected.combination);
        const OracleCells cells = oracleCells(data, expected.combination, c.method);
        long cases = 0, controls = 0;
        for (const auto& [key, counts] : cells) controls += counts.first, cases += counts.second;
        EXPECT_EQ(line.cases, cases);
        EXPECT_EQ(line.controls, controls);
        const ModelTest test = modelAssociation(cells);
        EXPECT_EQ(line.df, test.df);
        expectNear(expected.ig, line.ig, 1e-8, "IG");
        expectNear(expected.rig, line.rig, 1e-8, "RIG");
        EXPECT_NEAR(line.synergy, expected.synergy, 1e-8 * expected.ig) << "synergy";
        const double p = chiSquareTail(test.statistic, test.df);
        expectNear(p, line.p_chisq, 1e-6, "p_chisq");
        expectNear(std::min(1.0, p * tests), line.p_bonferroni, 1e-6, "p_bonferroni");
        const double at_least = std::count_if(maxima.begin(), maxima.end(),
                                              [&](double m) { return m >= expected.key; });
        expectNear((1 + at_least) / (kPermutations + 1), line.p_permutation, 1e-6, "p_permutation");
        int df = 0;
        const double deviance = k == 2 ? logisticInteraction(withoutSparseCells(cells), df) : kNA;
        expectNear(k == 2 ? chiSquareTail(deviance, df) : kNA, line.p_interaction, 1e-5,
                   "p_interaction");
      }
    }
  }
}

// Every combination within the bound, found by scoring all of them without
// any pruning, ranked by key with ties in enumeration order.
TEST(SignificanceTable, MaxPListsEveryCombinationWithinTheBound) {
  const double kMaxP = 0.2;
  for (const Case& c : std::vector<Case>{{"none", Method::kNone, "synergy"},
                                         {"mc", Method::kMc, "ig"},
                                         {"complete", Method::kComplete, "rig"},
                                         {"available", Method::kAvailable, "ig"},
                                         {"imputation", Method::kImputation, "synergy"},
                                         {"available", Method::kAvailable, "p"}}) {
    SCOPED_TRACE(c.missing + " ranked by " + c.rank);
    Dataset raw = randomDataset(17, 12, 240, c.method == Method::kNone ? 0.0 : 0.04);
    // Markers without their third genotype: tables with empty cells, whose
    // fewer degrees of freedom let a smaller IG qualify.
    for (int m = 0; m < 6; ++m) std::replace(raw.genotype[m].begin(), raw.genotype[m].end(), 2, 1);
    const Dataset data = c.method == Method::kImputation ? imputedCopy(raw) : raw;
    const std::string dir = makeTempDir();
    const ProgramResult run = runOnData(dir, raw.text(), "--order 1-3 --top 2 --table t.tsv --max-p 0.2 --missing " +
                                                             c.missing + " --rank " + c.rank);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<TableLine> table = readTable(readFile(dir + "/t.tsv"));
    std::size_t line = 0;
    for (int k = 1; k <= 3; ++k) {
      std::vector<Modelled> listed = modelOrder(data, k, c.method, c.rank);
      if (c.rank != "p") {
        std::reverse(listed.begin(), listed.end());  // back to enumeration order among ties
        std::stable_sort(listed.begin(), listed.end(),
                         [](const Modelled& a, const Modelled& b) { return a.key > b.key; });
      }
      std::erase_if(listed, [&](const Modelled& row) {
        const OracleCells cells = oracleCells(data, row.combination, c.method);
        const ModelTest test = modelAssociation(cells);
        const double p = chiSquareTail(test.statistic, test.df);
        EXPECT_FALSE(std::fabs(p - kMaxP) < 1e-6 * kMaxP) << "too close to the bound: pick other data";
        return !(p <= kMaxP);
      });
      for (std::size_t j = 0; j < listed.size(); ++j, ++line) {
        ASSERT_LT(line, table.size());
        EXPECT_EQ(table[line].order, k);
        EXPECT_EQ(table[line].rank, static_cast<int>(j) + 1);
        EXPECT_EQ(table[line].markers, listed[j].combination) << "order " << k << " rank " << j + 1;
        EXPECT_LE(table[line].p_chisq, kMaxP);
      }
    }
    EXPECT_EQ(line, table.size());
    EXPECT_GT(table.size(), 10u) << "too few rows to test anything: pick other data";
  }
  const ProgramResult alone = runOnData(makeTempDir(), randomDataset(3, 4, 30, 0.0).text(), "--max-p 0.5");
  EXPECT_EQ(alone.status, 2);
  EXPECT_NE(alone.err.find("--max-p 0.5 lists combinations in the results table"), std::string::npos) << alone.err;
}

// Equal p-values from different tables: a p of 1 (sparse genotypes pooled
// into a group that splits like the rest) or the same table once pooled.
// Ranked by p they go by the larger IG, then in enumeration order, in the
// search on both engines and in the listing of --max-p.
TEST(SignificanceTable, EqualPValuesRankByTheLargerIG) {
  Dataset data = randomDataset(23, 8, 60, 0.0);
  for (int s = 0; s < 60; ++s) data.phenotype[s] = s < 30 ? 1 : 0;
  // Cases (samples 0-29), then controls, per genotype 0, 1, 2.
  auto shape = [&data](int m, std::array<int, 3> cases, std::array<int, 3> controls) {
    int s = 0;
    for (const auto& counts : {cases, controls})
      for (int g = 0; g < 3; ++g)
        for (int i = 0; i < counts[g]; ++i) data.genotype[m][s++] = g;
  };
  shape(1, {25, 3, 2}, {25, 2, 3});  // p 1 and the smallest IG of the three
  shape(2, {22, 4, 4}, {28, 2, 0});  // the same pooled table as marker 5
  shape(3, {25, 4, 1}, {25, 1, 4});
  shape(4, {25, 5, 0}, {25, 0, 5});  // p 1 and the largest IG
  shape(5, {22, 6, 2}, {28, 0, 2});
  std::vector<Modelled> ranked[2];
  for (int k = 1; k <= 2; ++k) {
    ranked[k - 1] = modelOrder(data, k, Method::kAvailable, "p");
    int ties = 0;
    for (std::size_t j = 1; j < ranked[k - 1].size(); ++j) {
      const Modelled& a = ranked[k - 1][j - 1];
      const Modelled& b = ranked[k - 1][j];
      ASSERT_TRUE(a.key == b.key || a.key - b.key > 1e-9 * a.key) << "near tie: pick other data";
      ASSERT_TRUE(a.key != b.key || a.ig == b.ig || a.ig - b.ig > 1e-9) << "near tie: pick other data";
      ties += a.key == b.key && a.ig != b.ig ? 1 : 0;
    }
    ASSERT_GE(ties, 2) << "order " << k << ": too few ties to test anything";
  }
  for (const char* engine : {"--engine plain --threads 1", "--engine fast --threads 2"}) {
    for (const char* listing : {"", " --max-p 1"}) {
      SCOPED_TRACE(std::string(engine) + listing);
      const std::string dir = makeTempDir();
      const ProgramResult run = runOnData(
          dir, data.text(), std::string("--order 1-2 --top 8 --rank p --table t.tsv ") + engine + listing);
      ASSERT_EQ(run.status, 0) << run.err;
      const std::vector<TableLine> table = readTable(readFile(dir + "/t.tsv"));
      std::size_t line = 0;
      for (int k = 1; k <= 2; ++k) {
        const std::size_t rows = *listing ? ranked[k - 1].size() : std::min<std::size_t>(8, ranked[k - 1].size());
        for (std::size_t j = 0; j < rows; ++j, ++line) {
          ASSERT_LT(line, table.size());
          EXPECT_EQ(table[line].markers, ranked[k - 1][j].combination) << "order " << k << " rank " << j + 1;
        }
      }
      EXPECT_EQ(line, table.size());
    }
  }
}

// Runs spilled to the file and merged back: the listing order (equal keys
// by IG, as ranked by p), every field.
TEST(SortedRowSpill, MergesSpilledRunsInListingOrder) {
  SortedRowSpill spill(2, EqualKeys::kLargerGainFirst, 0, 4);
  std::vector<SignificanceRow> rows;
  for (int i = 0; i < 30; ++i) {
    SignificanceRow row;
    row.markers = {(i * 7) % 30, 30 + i};
    row.key = (i * 11) % 5;  // many ties
    row.ig = i % 3, row.rig = i + 0.5, row.synergy = -i, row.p_chisq = 1e-300 * i;
    row.p_bonferroni = i, row.p_interaction = kNA, row.cases = i, row.controls = 2 * i, row.df = i % 9;
    rows.push_back(row);
    ASSERT_TRUE(spill.add(row));
  }
  EXPECT_GT(spill.runsOnFile(), 5);
  std::sort(rows.begin(), rows.end(), [](const SignificanceRow& a, const SignificanceRow& b) {
    if (a.key != b.key) return a.key > b.key;
    return a.ig != b.ig ? a.ig > b.ig : a.markers < b.markers;
  });
  std::size_t next = 0;
  ASSERT_TRUE(spill.forEach([&](const SignificanceRow& row) {
    EXPECT_EQ(row.markers, rows[next].markers);
    EXPECT_EQ(row.key, rows[next].key);
    EXPECT_EQ(row.ig, rows[next].ig);
    EXPECT_EQ(row.p_chisq, rows[next].p_chisq);
    EXPECT_EQ(row.controls, rows[next].controls);
    EXPECT_TRUE(std::isnan(row.p_interaction));
    ++next;
    return true;
  })) << spill.error();
  EXPECT_EQ(next, rows.size());
}

// n[y][a][b] = u[y][a] v[y][b] w[a][b]: no three-way interaction at all.
TEST(InteractionTest, ZeroForTablesOfTheNullModelAndTheLogisticFitOtherwise) {
  const int u[2][3] = {{1, 2, 3}, {2, 1, 4}};
  const int v[2][3] = {{2, 1, 1}, {1, 3, 2}};
  const int w[3][3] = {{1, 2, 1}, {3, 1, 2}, {1, 1, 5}};
  std::vector<int> table(18);
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b)
      for (int y = 0; y < 2; ++y) table[2 * (a + 3 * b) + y] = 20 * u[y][a] * v[y][b] * w[a][b];
  InteractionTest test = pairInteractionTest(table.data(), 3);
  EXPECT_NEAR(test.statistic, 0.0, 1e-7);
  EXPECT_EQ(test.df, 4);
  EXPECT_NEAR(test.p_value, 1.0, 1e-6);

  // Random tables, some with an empty genotype pair (fewer degrees of freedom).
  for (unsigned seed = 1; seed <= 4; ++seed) {
    const Dataset data = randomDataset(seed, 2, 400, 0.0);
    OracleCells cells = oracleCells(data, {0, 1}, Method::kNone);
    if (seed % 2 == 0) cells.erase(cells.begin());
    std::fill(table.begin(), table.end(), 0);
    for (const auto& [key, counts] : cells) {
      table[2 * (key[0] + 3 * key[1])] = static_cast<int>(counts.first);
      table[2 * (key[0] + 3 * key[1]) + 1] = static_cast<int>(counts.second);
    }
    int df = 0;
    const double deviance = logisticInteraction(withoutSparseCells(cells), df);
    test = pairInteractionTest(table.data(), 3);
    EXPECT_EQ(test.df, df) << seed;
    EXPECT_NEAR(test.statistic, deviance, 1e-6 * deviance + 1e-8) << seed;
  }
  // One genotype pair only: nothing to test.
  std::fill(table.begin(), table.end(), 0);
  table[0] = 5;
  table[1] = 3;
  EXPECT_TRUE(std::isnan(pairInteractionTest(table.data(), 3).p_value));
}

// Thread counts are the search's own business, checked in-process
// (test_fast_batches.cpp); here the table of both engines under every
// ranking, when some combinations have no measures to rank by.
TEST(SignificanceTable, SameOnBothEnginesWithRowsThatHaveNoMeasuresLeftOut) {
  Dataset data = randomDataset(5, 24, 160, 0.03);
  std::fill(data.genotype[3].begin(), data.genotype[3].end(), 3);  // measures not numbers
  std::string reference;
  for (const char* engine : {"--engine plain --threads 1", "--engine fast --threads 2"}) {
    for (const char* rank : {"ig", "synergy", "rig --max-p 0.3", "p --max-p 0.3"}) {
      const std::string dir = makeTempDir();
      const ProgramResult run = runOnData(dir, data.text(),
          std::string("--order 1-3 --top 6 --table t.tsv --permutations 3 --rank ") + rank + " " + engine);
      ASSERT_EQ(run.status, 0) << run.err;
      EXPECT_NE(run.err.find("left out of the ranking"), std::string::npos) << run.err;
      const std::string table = std::string(rank) + "\n" + readFile(dir + "/t.tsv");
      EXPECT_EQ(table.find("\tN3"), std::string::npos);
      if (std::string(engine).find("plain") != std::string::npos) {
        reference += table;
      } else {
        EXPECT_NE(reference.find(table), std::string::npos) << engine << "\n" << table;
      }
    }
  }
}

// Two batches of pairs: permutations on the fast path prune with the best
// key found so far, which must leave every maximum as the plain path finds it.
TEST(SignificanceTable, PermutationMaximaOfSeveralBatchesMatchThePlainEngine) {
  const Dataset data = randomDataset(11, 500, 120, 0.02);
  for (const char* rank : {"ig", "rig", "synergy", "p"}) {
    std::string tables[2];
    for (int fast = 0; fast < 2; ++fast) {
      const std::string dir = makeTempDir();
      const ProgramResult run = runOnData(dir, data.text(),
          std::string("--order 2 --top 3 --table t.tsv --permutations 4 --threads 2 --rank ") + rank +
              (fast ? " --engine fast" : " --engine plain"));
      ASSERT_EQ(run.status, 0) << run.err;
      tables[fast] = readFile(dir + "/t.tsv");
    }
    EXPECT_EQ(tables[0], tables[1]) << rank;
  }
}

TEST(SignificanceTable, BadValuesAreRefusedBeforeAnythingIsCreated) {
  const Dataset data = randomDataset(3, 4, 30, 0.0);
  for (const std::string options :
       {"--permutations -1", "--max-p 0", "--max-p 1.5", "--max-p x", "--rank best",
        "--seed -3", "--table data.txt"}) {
    const std::string dir = makeTempDir();
    const ProgramResult run = runOnData(dir, data.text(), options + " --table t.tsv");
    EXPECT_EQ(run.status, 2) << options;
    EXPECT_NE(run.err.find(options.substr(0, options.find(' '))), std::string::npos) << run.err;
    EXPECT_FALSE(fileExists(dir + "/report.txt")) << options;
    EXPECT_FALSE(fileExists(dir + "/t.tsv")) << options;
    EXPECT_EQ(readFile(dir + "/data.txt"), data.text());
  }
}

TEST(SignificanceTable, TheCellChartShowsTheCalibratedTail) {
  CellChart chart;
  chart.names = {"A"};
  // 2,000 samples in three cells: G = 1386.294 on 2 df, divided by
  // Williams' 1 + 3 (2000 (1/500 + 1/500 + 1/1000) - 1) / (6 2000 2).
  chart.ig = 0.5;
  chart.counts.cases = {500, 0, 500};
  chart.counts.controls = {0, 500, 500};
  const std::string svg = cellChartSvg(chart);
  EXPECT_NE(svg.find("p-value (chi-square, df 2) 2.033680E-301"), std::string::npos) << svg;
}

TEST(NotANumberWarning, NamesTheMarkerWhateverTheOptions) {
  Dataset data = randomDataset(8, 6, 80, 0.0);
  std::fill(data.genotype[2].begin(), data.genotype[2].end(), 3);
  const std::string dir = makeTempDir();
  const ProgramResult run = runOnData(dir, data.text(), "--order 2");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err.find("order 2: 5 combinations have measures that are not numbers"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("marker N2"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("can then lose better combinations"), std::string::npos) << run.err;
}

TEST(EmptyOrderWarning, SaysWhyAnOrderListsNoRow) {
  // Four samples: every pair's cells pool into one group, so no pair has a test.
  const std::string dir = makeTempDir();
  const ProgramResult run =
      runOnData(dir, "P\ta\tb\n1\t0\t1\n0\t1\t1\n1\t0\t2\n0\t2\t0\n", "--order 2 --rank p --table t.tsv");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err.find("order 2: no combination is listed: no combination has a test"), std::string::npos)
      << run.err;
}

}  // namespace
