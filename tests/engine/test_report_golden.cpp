// Whole runs on files small enough to work out by hand. Every expected value
// below is derived in the comments from the counts of the data.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <string>

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

  ProgramResult run(const std::string& data, std::vector<std::string> args) {
    writeFile(dir_ + "/data.txt", data);
    args.insert(args.begin(), {"--in", "data.txt", "--out", "report.txt"});
    return runGorva(args, dir_);
  }

  std::string command(const std::string& rest) const {
    return std::string(GORVA_EXE) + " --in data.txt --out report.txt " + rest;
  }

  std::string report() const { return maskTimes(readFile(dir_ + "/report.txt")); }

  std::string dir_;
};

TEST_F(HandDerivedRun, ReportMatchesHandCountsForEveryOrder) {
  const ProgramResult result = run(kData, {"--order", "1-4", "--top", "5"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(report(), expectedReport(command("--order 1-4 --top 5 "), "data.txt", "report.txt", 4, 5,
                                     handDerivedBlocks(5)));
  EXPECT_NE(maskTimes(result.out).find("GORVA Analysis finished!!\nTotal excuting time is <TIME> second\n"),
            std::string::npos);
}

TEST_F(HandDerivedRun, TopSmallerThanTheCombinationsCutsTheRows) {
  ASSERT_EQ(run(kData, {"--order", "1-4", "--top", "2"}).status, 0);
  EXPECT_EQ(report(), expectedReport(command("--order 1-4 --top 2 "), "data.txt", "report.txt", 4, 2,
                                     handDerivedBlocks(2)));
}

TEST_F(HandDerivedRun, CarriageReturnLineEndsReadLikeLineFeeds) {
  std::string crlf;
  for (char c : kData) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  ASSERT_EQ(run(crlf, {"--order", "1-4", "--top", "5"}).status, 0);
  EXPECT_EQ(report(), expectedReport(command("--order 1-4 --top 5 "), "data.txt", "report.txt", 4, 5,
                                     handDerivedBlocks(5)));
}

TEST_F(HandDerivedRun, DefaultOptionsSearchOrderTwoOnly) {
  ASSERT_EQ(run(kData, {}).status, 0);
  EXPECT_EQ(report(), expectedReport(command(""), "data.txt", "report.txt", 2, 10,
                                     {handDerivedBlocks(10)[1]}));
}

TEST_F(HandDerivedRun, OneClassPhenotypeGivesNotANumber) {
  // Every sample a case: the phenotype entropy takes 0 * log2(0) and is NaN,
  // so are both measures and the p-value. No key moves in the sort, so the
  // last combination ranks first.
  const std::string all_cases = "Class\tA\tB\n1\t0\t0\n1\t1\t2\n1\t2\t1\n";
  ASSERT_EQ(run(all_cases, {"--order", "1"}).status, 0);
  const std::string text = report();
  const std::string results = text.substr(text.find("<<1-Order"));
  // %f prints nan and %E prints NAN, with a minus sign when the sign bit is set.
  const std::string nan = "-?nan";
  const std::string upper_nan = "-?NAN";
  EXPECT_TRUE(std::regex_search(
      results, std::regex("\n1,B," + nan + "," + nan + "," + upper_nan + "\n2,A," + nan + ",")))
      << results;
}

TEST_F(HandDerivedRun, SaveAllWritesEveryScoredCombination) {
  ASSERT_EQ(run(kData, {"--order", "1-2", "--save_all", "1"}).status, 0);
  // Tag order, then the indices joined by "-", IG and RIG, in enumeration order.
  EXPECT_EQ(readFile(dir_ + "/report.txt.all"),
            "1,0,1.000000,1.000000\n1,1,0.000000,0.000000\n1,2,0.000000,0.000000\n"
            "2,0-1,1.000000,1.000000\n2,0-2,1.000000,1.000000\n2,1-2,0.000000,0.000000\n");
}

TEST_F(HandDerivedRun, WithoutSaveAllNoAllResultsFile) {
  ASSERT_EQ(run(kData, {"--order", "1"}).status, 0);
  EXPECT_FALSE(fileExists(dir_ + "/report.txt.all"));
}

}  // namespace
