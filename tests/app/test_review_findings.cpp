// Regressions found by reviewing the program against its own contract: a run
// that names only the twelve classic options must not be changed by the
// words the extensions react to.
#include <gtest/gtest.h>

#include <string>

#include "support/run_program.h"

namespace {

// Two markers, four samples; marker a separates cases from controls.
const std::string kData = "P\ta\tb\n1\t0\t1\n0\t1\t1\n1\t0\t2\n0\t2\t0\n";

TEST(ReviewFindings, AnExtensionNameAsTheValueOfAClassicOptionIsOnlyThatValue) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/d.txt", kData);

  // The report file is named --threads; nothing is missing a value.
  const ProgramResult last = runGorva({"--in", "d.txt", "--out", "--threads"}, dir);
  EXPECT_EQ(last.status, 0);
  EXPECT_EQ(last.err, "");
  EXPECT_NE(last.out.find("# result file : --threads\n"), std::string::npos);
  EXPECT_NE(readFile(dir + "/--threads").find("\n1,a b,1.000000,1.000000,"), std::string::npos);

  // The data still come from --in, not from a PLINK file set named --top;
  // N = 4 and IG = 1 at order 1 give the p-value 2^-4.
  const ProgramResult bfile =
      runGorva({"--in", "d.txt", "--out", "--bfile", "--top", "1", "--order", "1"}, dir);
  EXPECT_EQ(bfile.status, 0);
  EXPECT_EQ(bfile.err, "");
  const std::string report = readFile(dir + "/--bfile");
  EXPECT_NE(report.find("<<1-Order Best Combination Sets>>\nRank,Best Combination,IG,RIG,"
                        "p-value(IG)\n1,a,1.000000,1.000000,6.250000E-02\n====="),
            std::string::npos);
}

TEST(ReviewFindings, AHelpWordAsTheValueOfAClassicOptionAsksForNothing) {
  const std::string rule = "----------------------------------------------------\n";
  // "--in" takes "--out" as its file, and "--out" (looked up by itself)
  // takes "--help": a run, not the usage text.
  const std::string dir = makeTempDir();
  const ProgramResult help = runGorva({"--in", "--out", "--help"}, dir);
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("# input file : --out\n# result file : --help\n"), std::string::npos);
  EXPECT_NE(help.out.find(rule + "Cannot open the text file!!\n" + rule + "# GORVA complete\n"),
            std::string::npos);

  // "--type" is itself the report file and takes "--version" as its word.
  const ProgramResult version = runGorva({"--out", "--type", "--version"}, dir);
  EXPECT_EQ(version.status, 0);
  EXPECT_NE(version.out.find("# result file : --type\n"), std::string::npos);
  EXPECT_NE(version.out.find("Cannot open the text file!!\n"), std::string::npos);
}

}  // namespace
