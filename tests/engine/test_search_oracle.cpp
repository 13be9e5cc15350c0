// Whole runs compared with an independent model of the search (mutual
// information from joint frequencies, p-values from Poisson sums).
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "support/oracle.h"
#include "support/report_text.h"
#include "support/run_program.h"

namespace {

struct MethodCase {
  const char* word;
  Method method;
  double missing_rate;
};

void PrintTo(const MethodCase& method, std::ostream* out) { *out << method.word; }

class OracleRun : public ::testing::TestWithParam<MethodCase> {};

TEST_P(OracleRun, ReportAgreesWithTheIndependentModel) {
  const MethodCase& method = GetParam();
  const Dataset data = randomDataset(20261206, 7, 160, method.missing_rate);
  std::vector<ExpectedBlock> blocks;
  ASSERT_TRUE(oracleBlocks(data, 1, 3, 6, method.method, blocks)) << "data set with near ties";

  const std::string dir = makeTempDir();
  writeFile(dir + "/data.txt", data.text());
  const ProgramResult run = runGorva({"--in", "data.txt", "--out", "report.txt", "--order", "1-3",
                                      "--top", "6", "--missing", method.word},
                                     dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string command = std::string(GORVA_EXE) +
                              " --in data.txt --out report.txt --order 1-3 --top 6 --missing " +
                              method.word + " ";
  EXPECT_EQ(compareReports(expectedReport(command, "data.txt", "report.txt", 3, 6, blocks),
                           maskTimes(readFile(dir + "/report.txt"))),
            "");
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
  double planted_ig = 0;
  double planted_rig = 0;
  oracleMeasures(data, {0, 1}, Method::kAvailable, planted_ig, planted_rig);
  ASSERT_GT(planted_ig, 0.3);
  // Every cell of the perfect pair is pure: IG is the phenotype entropy.
  double perfect_ig = 0;
  double perfect_rig = 0;
  oracleMeasures(data, {447, 449}, Method::kAvailable, perfect_ig, perfect_rig);
  ASSERT_DOUBLE_EQ(perfect_rig, 1.0);

  const std::string dir = makeTempDir();
  writeFile(dir + "/data.txt", data.text());
  const ProgramResult run =
      runGorva({"--in", "data.txt", "--out", "report.txt", "--top", "2"}, dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<ExpectedBlock> blocks = {
      {2,
       {{"N447 N449", perfect_ig, 1, pValueOfIG(perfect_ig, 2, 400)},
        {"N0 N1", planted_ig, planted_rig, pValueOfIG(planted_ig, 2, 400)}}}};
  const std::string command = std::string(GORVA_EXE) + " --in data.txt --out report.txt --top 2 ";
  EXPECT_EQ(compareReports(expectedReport(command, "data.txt", "report.txt", 2, 2, blocks),
                           maskTimes(readFile(dir + "/report.txt"))),
            "");
}

TEST(OracleRunMissingNone, MissingCodesUnderNoneAreRefused) {
  const Dataset data = randomDataset(3, 5, 40, 0.05);
  const std::string dir = makeTempDir();
  writeFile(dir + "/data.txt", data.text());
  const ProgramResult run =
      runGorva({"--in", "data.txt", "--out", "report.txt", "--missing", "none"}, dir);
  // The first missing code in file order: line s + 2, column m + 2.
  int line = 0;
  int marker = 0;
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
