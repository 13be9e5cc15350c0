// The results table against an independent model (support/table_model.h):
// counts, degrees of freedom, chi-square tails in closed form, Bonferroni,
// synergy, the interaction test as a logistic-regression fit, and
// permutation maxima found by brute force; the --max-p listing and its ties;
// and the table on both engines.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "core/gorva.h"
#include "engine/significance/table_columns.h"
#include "support/oracle.h"
#include "support/run_program.h"
#include "support/table_model.h"

namespace {

constexpr double kNA = std::numeric_limits<double>::quiet_NaN();

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
        // Synergy is 0 for every single marker: no permutation tests it.
        const bool permuted = !(k == 1 && c.rank == "synergy");
        expectNear(permuted ? (1 + at_least) / (kPermutations + 1) : kNA, line.p_permutation, 1e-6, "p_permutation");
        int df = 0;
        const OracleCells kept = withoutSparseCells(cells);
        const double deviance = k == 2 ? logisticInteraction(kept, df) : kNA;
        expectNear(k == 2 ? chiSquareTail(deviance / interactionDivisor(kept, df), df) : kNA, line.p_interaction,
                   1e-5, "p_interaction");
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
  // p_permutation is a table column too: without a table the permutations
  // were run and their p-values thrown away, the run ending as if all was well.
  const std::string dir = makeTempDir();
  const ProgramResult unseen = runOnData(dir, randomDataset(3, 4, 30, 0.0).text(), "--permutations 99");
  EXPECT_EQ(unseen.status, 2);
  EXPECT_NE(unseen.err.find("gorva: --permutations 99: the family-wise p-values are a column of the results table: "
                            "give --table FILE too"),
            std::string::npos)
      << unseen.err;
  EXPECT_FALSE(fileExists(dir + "/report.txt"));
  EXPECT_EQ(runOnData(makeTempDir(), randomDataset(3, 4, 30, 0.0).text(), "--permutations 0").status, 0);
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

// ln of the upper tail of chi-square on an even df, summed in closed form.
double logTailEvenDf(double x, int df) {
  double term = 1, sum = 1;
  for (int j = 1; j < df / 2; ++j) sum += term *= x / 2 / j;
  return -x / 2 + std::log(sum);
}

// p-values far below the doubles' range are printed from their logarithms,
// to the table's seven digits, with and without strata, and adjusted for a
// covariate: a pair whose every
// genotype cell holds 300 of one class and 10 of the other (the class the
// parity of the two genotypes), in two strata that are copies of each other,
// against the closed-form tails of the independent model's statistics.
TEST(SignificanceTable, PValuesBelowTheDoublesRangeAreToldFromTheirLogarithms) {
  const auto log10Printed = [](const std::string& text) {
    const std::size_t e = text.find('E');
    return std::log10(std::stod(text.substr(0, e))) + std::stod(text.substr(e + 1));
  };
  std::string data = "Y\tA\tB\n";
  std::string strata;
  OracleCells stratum_cells;
  int sample = 0;
  for (int copy = 0; copy < 2; ++copy) {
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) {
        const int common = (a + b) % 2 == 0 ? 1 : 0;
        for (int i = 0; i < 310; ++i) {
          const int y = i < 300 ? common : 1 - common;
          data += std::to_string(y) + "\t" + std::to_string(a) + "\t" + std::to_string(b) + "\n";
          ++sample;
          strata += std::to_string(sample) + " " + std::to_string(sample) + " S" + std::to_string(copy) + "\n";
        }
        stratum_cells[{a, b}] = common == 1 ? std::pair<long, long>{10, 300} : std::pair<long, long>{300, 10};
      }
    }
  }
  OracleCells pooled = stratum_cells;
  for (auto& [cell, counts] : pooled) counts = {2 * counts.first, 2 * counts.second};
  int interaction_df = 0;
  const double stratum_interaction =
      logisticInteraction(stratum_cells, interaction_df) / interactionDivisor(stratum_cells, interaction_df);
  int pooled_df = 0;
  const double pooled_interaction = logisticInteraction(pooled, pooled_df) / interactionDivisor(pooled, pooled_df);
  const ModelTest stratum_test = modelAssociation(stratum_cells);
  const ModelTest pooled_test = modelAssociation(pooled);
  ASSERT_EQ(interaction_df, 4);
  ASSERT_EQ(stratum_test.df, 8);
  const double ln10 = std::log(10.0);
  // A covariate of one value leaves the adjusted models without one:
  // p_adjusted is then the association test of the strata taken together.
  std::string covariates = "FID IID c\n";
  for (int i = 1; i <= sample; ++i) covariates += std::to_string(i) + " " + std::to_string(i) + " 1\n";
  struct Expected {
    const char* options;
    double log10_p, log10_interaction;
    bool adjusted;
  };
  const Expected runs[] = {
      {"", logTailEvenDf(pooled_test.statistic, 8) / ln10, logTailEvenDf(pooled_interaction, pooled_df) / ln10,
       false},
      {" --strata strata.txt", logTailEvenDf(2 * stratum_test.statistic, 16) / ln10,
       logTailEvenDf(2 * stratum_interaction, 2 * interaction_df) / ln10, false},
      {" --covar covariates.txt", logTailEvenDf(pooled_test.statistic, 8) / ln10, logTailEvenDf(pooled_interaction, pooled_df) / ln10,
       true}};
  for (const Expected& run : runs) {
    SCOPED_TRACE(run.options);
    ASSERT_LT(run.log10_p, -400);
    ASSERT_LT(run.log10_interaction, -330);
    const std::string dir = makeTempDir();
    writeFile(dir + "/strata.txt", strata);
    writeFile(dir + "/covariates.txt", covariates);
    const ProgramResult result = runOnData(dir, data, std::string("--order 2 --table t.tsv") + run.options);
    ASSERT_EQ(result.status, 0) << result.err;
    std::vector<std::string> f;
    for (const std::string& line : splitOn(readFile(dir + "/t.tsv"), '\n'))
      if (line.rfind("2\t1\t", 0) == 0) f = splitOn(line + "\t", '\t');
    ASSERT_EQ(f.size(), 18u);
    if (run.adjusted) {
      EXPECT_NEAR(log10Printed(f[14]), run.log10_p, 1e-6) << f[14];
      EXPECT_NEAR(log10Printed(f[15]), run.log10_interaction, 1e-6) << f[15];
      continue;
    }
    EXPECT_NEAR(log10Printed(f[10]), run.log10_p, 1e-6) << f[10];
    EXPECT_NEAR(log10Printed(f[11]), run.log10_p, 1e-6) << f[11];  // one pair: Bonferroni's factor 1
    EXPECT_NEAR(log10Printed(f[13]), run.log10_interaction, 1e-6) << f[13];
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

}  // namespace
