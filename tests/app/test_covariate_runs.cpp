// Runs with --covar whose adjusted p-values cannot be had say which
// covariate is to blame.
#include <gtest/gtest.h>

#include <string>

#include "support/run_program.h"

namespace {

TEST(CovariateRuns, ACovariateThatSeparatesTheClassesIsNamedBesideItsNARows) {
  const std::string dir = makeTempDir();
  ASSERT_EQ(runSimulator({"--out", "data.txt", "--markers", "6", "--samples", "80", "--seed", "3"}, dir).status, 0);
  const std::vector<std::string> lines = splitOn(readFile(dir + "/data.txt"), '\n');
  // BATCH is 1 for the first case alone, NOISE varies in both classes.
  std::string covariates = "FID IID BATCH NOISE\n";
  bool marked = false;
  for (std::size_t line = 1; line < lines.size(); ++line) {
    const bool first_case = !marked && lines[line][0] == '1';
    marked = marked || first_case;
    covariates += "F" + std::to_string(line) + " " + std::to_string(line) + (first_case ? " 1 " : " 0 ") +
                  std::to_string(line % 7) + "\n";
  }
  writeFile(dir + "/c.cov", covariates);
  const std::vector<std::string> args = {"--in", "data.txt", "--out", "r.txt", "--order", "1", "--table", "t.tsv",
                                         "--covar", "c.cov"};
  const ProgramResult run = runGorva(args, dir);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("gorva: warning: covariate BATCH separates the classes over the run's samples: no control "
                         "lies above 0 and no case below it"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find("covariate NOISE separates"), std::string::npos) << run.err;
  // Without it every row is fitted, and nothing is said.
  std::vector<std::string> without = args;
  without.insert(without.end(), {"--covar-name", "NOISE"});
  const ProgramResult fitted = runGorva(without, dir);
  ASSERT_EQ(fitted.status, 0) << fitted.err;
  EXPECT_EQ(fitted.err.find("separates"), std::string::npos) << fitted.err;
}

// A text file is read whole and cut to the samples of the run: the warning
// reads the covariates of those samples alone, never past them.
TEST(CovariateRuns, TheSeparationWarningOfATextSubsetReadsItsOwnSamples) {
  const std::string dir = makeTempDir();
  ASSERT_EQ(runSimulator({"--out", "data.txt", "--markers", "6", "--samples", "80", "--seed", "3"}, dir).status, 0);
  const std::vector<std::string> lines = splitOn(readFile(dir + "/data.txt"), '\n');
  // SPLIT is 5 for every case and 2 for every control; samples past 50 have none.
  std::string covariates = "FID IID SPLIT\n";
  for (std::size_t line = 1; line <= 50; ++line)
    covariates += "F" + std::to_string(line) + " " + std::to_string(line) + (lines[line][0] == '1' ? " 5\n" : " 2\n");
  writeFile(dir + "/c.cov", covariates);
  writeFile(dir + "/remove.txt", "1\n2\n");
  for (const char* subset : {"--covar-name", "--remove"}) {
    std::vector<std::string> args = {"--in", "data.txt", "--out", "r.txt", "--order", "1", "--table", "t.tsv",
                                     "--covar", "c.cov", subset, subset == std::string("--remove") ? "remove.txt"
                                                                                                    : "SPLIT"};
    const ProgramResult run = runGorva(args, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("gorva: warning: covariate SPLIT separates the classes over the run's samples: no "
                           "control lies above 5 and no case below it"),
              std::string::npos)
        << subset << ": " << run.err;
  }
}

}  // namespace
