// The table's chi-square p-value means what its name says: on data without
// any effect, about 5 % of all pairs have p_chisq <= 0.05, whatever the
// missing genotypes do to the counts (the report's classic formula gives 13 %
// under "available" and over 40 % under "mc" on such data).
#include <gtest/gtest.h>

#include <string>

#include "support/oracle.h"
#include "support/run_program.h"

namespace {

int listedRows(const std::string& table) {
  int rows = 0;
  for (const std::string& line : splitOn(table, '\n')) rows += !line.empty() && line[0] != '#' && line[0] != 'o';
  return rows;
}

TEST(Calibration, AboutOnePairInTwentyHasPChisqAtMost005OnNullData) {
  const Dataset null_data = randomDataset(77, 80, 600, 0.1);  // 3,160 pairs, 10 % missing
  for (const std::string method : {"available", "mc"}) {
    const std::string dir = makeTempDir();
    const ProgramResult run =
        runOnData(dir, null_data.text(), "--order 2 --missing " + method + " --table t.tsv --max-p 0.05");
    ASSERT_EQ(run.status, 0) << run.err;
    const double share = listedRows(readFile(dir + "/t.tsv")) / 3160.0;
    EXPECT_GT(share, 0.03) << method;
    EXPECT_LT(share, 0.08) << method;
  }
}

}  // namespace
