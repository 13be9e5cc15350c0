// Whole runs on files small enough to work out by hand: every expected value
// of the first tests is derived in the comments from the counts of the data.
// Then whole runs compared with an independent model of the search (mutual
// information from joint frequencies, p-values from Poisson sums).
#include <gtest/gtest.h>

#include <ostream>
#include <regex>

#include "support/oracle.h"
#include "support/report_text.h"
#include "support/run_program.h"

namespace {

// Four samples, two cases then two controls. A separates them perfectly,
// B puts one case and one control in each of its cells, C is constant.
const std::string kData = "Class\tA\tB\tC\n1\t0\t0\t1\n1\t0\t1\t1\n0\t1\t0\t1\n0\t1\t1\t1\n";

// Phenotype entropy is 1 bit. A: every cell pure, IG = RIG = 1. B: two
// cells of entropy 1 with weight 1/2 each, IG = 0. C: one cell holding all
// four, IG = 0. Order 1 has three combinations, a plain insertion sort, so of
// the equal keys of B and C the later one (C) ranks first.
// Any pair with A is pure in every cell (IG 1); (B, C) splits like B (IG 0);
// again the later of the equal pairs, (A, C), ranks first. The one triple is
// pure too. p-values: for k = 1 the tail is 2^-(N IG) = 2^-4; for higher k the
// chi-square tail with 3^k - 1 degrees of freedom at 2 N ln2 IG.
std::vector<ExpectedBlock> handDerivedBlocks(int top) {
  std::vector<ExpectedBlock> blocks = {
      {1, {{"A", 1, 1, 0.0625}, {"C", 0, 0, 1}, {"B", 0, 0, 1}}},
      {2, {{"A C", 1, 1, pValueOfIG(1, 2, 4)}, {"A B", 1, 1, pValueOfIG(1, 2, 4)}, {"B C", 0, 0, 1}}},
      {3, {{"A B C", 1, 1, pValueOfIG(1, 3, 4)}}},
      {4, {}},  // more markers than the data has: no combination at all
  };
  for (ExpectedBlock& block : blocks) {
    if (static_cast<int>(block.rows.size()) > top) block.rows.resize(top);
  }
  return blocks;
}

class HandDerivedRun : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = makeTempDir(); }

  ProgramResult run(const std::string& data, const std::string& options) { return runOnData(dir_, data, options); }

  std::string report() const { return maskTimes(readFile(dir_ + "/report.txt")); }

  std::string dir_;
};

TEST_F(HandDerivedRun, ReportMatchesHandCountsForEveryOrder) {
  std::string crlf;
  for (char c : kData) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  // CR LF line ends read like LF; --top cuts the rows; the defaults search order 2 only.
  const struct {
    std::string data, options;
    int highest_order, top;
    std::vector<ExpectedBlock> blocks;
  } cases[] = {{kData, "--order 1-4 --top 5", 4, 5, handDerivedBlocks(5)},
               {crlf, "--order 1-4 --top 5", 4, 5, handDerivedBlocks(5)},
               {kData, "--order 1-4 --top 2", 4, 2, handDerivedBlocks(2)},
               {kData, "", 2, 10, {handDerivedBlocks(10)[1]}}};
  for (const auto& c : cases) {
    const ProgramResult result = run(c.data, c.options);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, c.highest_order > 3 ? "gorva: warning: --order 1-4: the data have 3 markers, so orders "
                                                "above 3 have no combination and their blocks of the report are empty\n"
                                              : "");
    EXPECT_EQ(report(), expectedReport(runOnDataCommand(c.options), "data.txt", "report.txt", c.highest_order,
                                       c.top, c.blocks));
    EXPECT_NE(maskTimes(result.out).find("GORVA Analysis finished!!\nTotal excuting time is <TIME> second\n"),
              std::string::npos);
    EXPECT_FALSE(fileExists(dir_ + "/report.txt.all"));
  }
}

TEST_F(HandDerivedRun, OneClassPhenotypeGivesNotANumber) {
  // Every sample a case: the phenotype entropy takes 0 * log2(0) and is NaN,
  // so are both measures and the p-value. No key moves in the sort, so the
  // last combination ranks first.
  const std::string all_cases = "Class\tA\tB\n1\t0\t0\n1\t1\t2\n1\t2\t1\n";
  ASSERT_EQ(run(all_cases, "--order 1 --save_all 1").status, 0);
  const std::string text = report();
  const std::string results = text.substr(text.find("<<1-Order"));
  // %f prints nan and %E prints NAN, with a minus sign when the sign bit is set.
  const std::string nan = "-?nan";
  const std::string upper_nan = "-?NAN";
  EXPECT_TRUE(std::regex_search(
      results, std::regex("\n1,B," + nan + "," + nan + "," + upper_nan + "\n2,A," + nan + ",")))
      << results;
  // The all-results lines print the measures as %f does, sign bit and all.
  EXPECT_TRUE(std::regex_match(readFile(dir_ + "/report.txt.all"),
                               std::regex("1,0," + nan + "," + nan + "\n1,1," + nan + "," + nan + "\n")));
}

TEST_F(HandDerivedRun, SaveAllWritesEveryScoredCombination) {
  ASSERT_EQ(run(kData, "--order 1-2 --save_all 1").status, 0);
  // Tag order, then the indices joined by "-", IG and RIG, in enumeration order.
  EXPECT_EQ(readFile(dir_ + "/report.txt.all"),
            "1,0,1.000000,1.000000\n1,1,0.000000,0.000000\n1,2,0.000000,0.000000\n"
            "2,0-1,1.000000,1.000000\n2,0-2,1.000000,1.000000\n2,1-2,0.000000,0.000000\n");
}

struct MethodCase { const char* word; Method method; double missing_rate; };

void PrintTo(const MethodCase& method, std::ostream* out) { *out << method.word; }

class OracleRun : public ::testing::TestWithParam<MethodCase> {};

// Runs the program on the data set with these options after --in data.txt
// --out report.txt, and compares the report with the expected blocks.
void expectOracleReport(const Dataset& data, const std::string& options, int highest_order, int top,
                        const std::vector<ExpectedBlock>& blocks) {
  const std::string dir = makeTempDir();
  const ProgramResult run = runOnData(dir, data.text(), options);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(compareReports(expectedReport(runOnDataCommand(options), "data.txt", "report.txt", highest_order, top,
                                          blocks),
                           maskTimes(readFile(dir + "/report.txt"))),
            "");
}

TEST_P(OracleRun, ReportAgreesWithTheIndependentModel) {
  const MethodCase& method = GetParam();
  const Dataset data = randomDataset(20261206, 7, 160, method.missing_rate);
  std::vector<ExpectedBlock> blocks;
  ASSERT_TRUE(oracleBlocks(data, 1, 3, 6, method.method, blocks)) << "data set with near ties";
  expectOracleReport(data, std::string("--order 1-3 --top 6 --missing ") + method.word, 3, 6, blocks);
}

INSTANTIATE_TEST_SUITE_P(EveryMissingMethod, OracleRun,
                         ::testing::Values(MethodCase{"none", Method::kNone, 0.0},
                                           MethodCase{"available", Method::kAvailable, 0.05},
                                           MethodCase{"complete", Method::kComplete, 0.01},
                                           MethodCase{"mc", Method::kMc, 0.05},
                                           MethodCase{"imputation", Method::kImputation, 0.05}),
                         [](const auto& info) { return std::string(info.param.word); });

TEST(OracleRunAcrossBatches, BestRowsFromDifferentBatchesMergeByValue) {
  // 450 markers give 101025 pairs, two batches. Noise markers with 400
  // samples reach IG of a few hundredths. Two planted interactions carry no
  // information marker by marker: (N0, N1) is y XOR g0 with every seventh
  // sample flipped (first batch), (N447, N449) exactly y XOR g447 (IG 1,
  // second batch).
  Dataset data = randomDataset(7, 450, 400, 0.0);
  for (int s = 0; s < data.samples(); ++s) {
    const int y = data.phenotype[s];
    data.genotype[0][s] = (s / 2) % 2;
    data.genotype[1][s] = (y ^ data.genotype[0][s]) ^ (s % 7 == 0);
    data.genotype[447][s] = (s / 3) % 2;
    data.genotype[449][s] = y ^ data.genotype[447][s];
  }
  double planted_ig = 0, planted_rig = 0, perfect_ig = 0, perfect_rig = 0;
  oracleMeasures(data, {0, 1}, Method::kAvailable, planted_ig, planted_rig);
  ASSERT_GT(planted_ig, 0.3);
  // Every cell of the perfect pair is pure: IG is the phenotype entropy.
  oracleMeasures(data, {447, 449}, Method::kAvailable, perfect_ig, perfect_rig);
  ASSERT_DOUBLE_EQ(perfect_rig, 1.0);
  expectOracleReport(data, "--top 2", 2, 2,
                     {{2,
                       {{"N447 N449", perfect_ig, 1, pValueOfIG(perfect_ig, 2, 400)},
                        {"N0 N1", planted_ig, planted_rig, pValueOfIG(planted_ig, 2, 400)}}}});
}

TEST(OracleRunMissingNone, MissingCodesUnderNoneAreRefused) {
  const Dataset data = randomDataset(3, 5, 40, 0.05);
  const std::string dir = makeTempDir();
  const ProgramResult run = runOnData(dir, data.text(), "--missing none");
  // The first missing code in file order: line s + 2, column m + 2.
  int line = 0, marker = 0;
  for (int s = 0; s < data.samples() && line == 0; ++s) {
    for (int m = 0; m < data.markers() && line == 0; ++m) {
      if (data.genotype[m][s] == 3) {
        line = s + 2;
        marker = m;
      }
    }
  }
  ASSERT_GT(line, 0);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "gorva: data.txt line " + std::to_string(line) + ", column " +
                         std::to_string(marker + 2) + ": marker N" + std::to_string(marker) +
                         " has a missing genotype (code 3), but --missing none counts no missing "
                         "data (use --missing available, complete, mc, imputation or em)\n");
  EXPECT_FALSE(fileExists(dir + "/report.txt"));
}

}  // namespace
