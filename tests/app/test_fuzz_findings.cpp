// Regressions of what fuzzing found in the command line: numbers beyond the
// range of int wrapped around ("--top 4294967295" became -1, "--order
// 2-4294967298" became order 2); they now saturate at the int range.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "app/helper.h"
#include "support/run_program.h"

namespace {

TEST(CommandLineNumbers, ReadLikeAtoiWithinTheIntRange) {
  EXPECT_EQ(textToInt("12"), 12);
  EXPECT_EQ(textToInt("  -7"), -7);
  EXPECT_EQ(textToInt("+5x"), 5);
  EXPECT_EQ(textToInt("12abc"), 12);
  EXPECT_EQ(textToInt("abc"), 0);
  EXPECT_EQ(textToInt(""), 0);
  EXPECT_EQ(textToInt("2147483647"), INT_MAX);
  EXPECT_EQ(textToInt("-2147483648"), INT_MIN);
}

TEST(CommandLineNumbers, SaturateBeyondTheIntRange) {
  EXPECT_EQ(textToInt("2147483648"), INT_MAX);
  EXPECT_EQ(textToInt("4294967295"), INT_MAX);  // wrapped to -1 before
  EXPECT_EQ(textToInt("4294967298"), INT_MAX);  // wrapped to 2 before
  EXPECT_EQ(textToInt("-2147483649"), INT_MIN);
  EXPECT_EQ(textToInt(std::string(400, '9')), INT_MAX);
  EXPECT_EQ(textToInt("-" + std::string(400, '9')), INT_MIN);
}

TEST(CommandLineNumbers, TheProgramShowsTheSaturatedValue) {
  const ProgramResult run = runGorva({"--top", "4294967295", "--in", "absent.txt"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("presentation : 2147483647\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Cannot open the text file!!\n"), std::string::npos);
}

}  // namespace
