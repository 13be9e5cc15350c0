// The program's console contract, checked on the built executable: banner,
// options summary, closing lines, the command-line error and exit statuses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/run_program.h"

namespace {

const std::string kRule = "----------------------------------------------------\n";

std::string banner(const std::string& input, const std::string& output, int order, int top) {
  return kRule + "# GORVA ver. 1.5 @ ZURL\n# Release date 04/19/2017\n" + kRule + "# options\n" +
         kRule + "# input file : " + input + "\n# result file : " + output +
         "\n# combination order : " + std::to_string(order) +
         "\n# K=number of final significant snps for presentation : " + std::to_string(top) +
         "\n" + kRule;
}

const std::string kClosing = kRule + "# GORVA complete\n" + kRule;

TEST(CommandLine, NoArgumentsRunsWithDefaultsAndReportsTheMissingDataFile) {
  const ProgramResult run = runGorva({});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, banner("", "", 2, 10) + "Cannot open the text file!!\n" + kClosing);
}

TEST(CommandLine, OptionWithoutValueStopsBeforeAnyOutput) {
  for (const std::string option : {"--top", "--in", "--order", "--missing", "--perm", "--save_all"}) {
    const ProgramResult run = runGorva({"--out", "r.txt", option});
    EXPECT_EQ(run.status, 1) << option;
    EXPECT_EQ(run.out, "") << option;
    EXPECT_EQ(run.err, "\nERROR: Missing an argument for " + option + "\n") << option;
  }
}

TEST(CommandLine, FirstOccurrenceWinsAndALaterBareRepeatIsNoError) {
  const ProgramResult twice = runGorva({"--top", "5", "--top", "7", "--in", "none.txt"});
  EXPECT_EQ(twice.status, 0);
  EXPECT_EQ(twice.out, banner("none.txt", "", 2, 5) + "Cannot open the text file!!\n" + kClosing);

  const ProgramResult bare = runGorva({"--top", "5", "--in", "none.txt", "--top"});
  EXPECT_EQ(bare.status, 0);
  EXPECT_EQ(bare.err, "");
  EXPECT_NE(bare.out.find("presentation : 5\n"), std::string::npos);
}

TEST(CommandLine, AValueThatIsAnOptionNameIsTakenAsTheValue) {
  const ProgramResult run = runGorva({"--out", "--top", "5"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, banner("", "--top", 2, 5) + "Cannot open the text file!!\n" + kClosing);
}

TEST(CommandLine, SummaryShowsTheHighestOrderAndAtoiNumbers) {
  EXPECT_NE(runGorva({"--order", "2-4"}).out.find("# combination order : 4\n"), std::string::npos);
  EXPECT_NE(runGorva({"--order", "3"}).out.find("# combination order : 3\n"), std::string::npos);
  EXPECT_NE(runGorva({"--top", "12abc"}).out.find("presentation : 12\n"), std::string::npos);
  EXPECT_NE(runGorva({"--top", "abc"}).out.find("presentation : 0\n"), std::string::npos);
  EXPECT_NE(runGorva({"--top", "-3"}).out.find("presentation : -3\n"), std::string::npos);
}

TEST(CommandLine, UnknownWordsAreIgnored) {
  const ProgramResult run = runGorva({"--frobnicate", "--Top", "3", "stray"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, banner("", "", 2, 10) + "Cannot open the text file!!\n" + kClosing);
}

TEST(CommandLine, LongFileNamesReachTheDriverUnchanged) {
  const std::string dir = makeTempDir();
  // Longer than 254 characters in all, each directory within the file system's limit.
  const std::string deep = dir + "/" + std::string(200, 'a') + "/" + std::string(200, 'b');
  ASSERT_EQ(system(("mkdir -p " + deep).c_str()), 0);
  const std::string name = deep + "/data.txt";
  writeFile(name, "Class\tm0\n1\t0\n0\t1\n");
  const std::string report = deep + "/" + std::string(100, 'r');
  const ProgramResult run = runGorva({"--in", name, "--out", report, "--order", "1"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("# input file : " + name + "\n"), std::string::npos);
  EXPECT_TRUE(fileExists(report));
}

}  // namespace
