// The warnings an order's search calls for, as the program prints them.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/oracle.h"
#include "support/run_program.h"

namespace {

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
  // Four samples: every pair's cells pool into one group, so no pair has a
  // test, whether the table ranks by p or lists what a p-value bound keeps.
  for (const char* options : {"--order 2 --rank p --table t.tsv", "--order 2 --table t.tsv --max-p 1"}) {
    const std::string dir = makeTempDir();
    const ProgramResult run = runOnData(dir, "P\ta\tb\n1\t0\t1\n0\t1\t1\n1\t0\t2\n0\t2\t0\n", options);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.err.find("order 2: no combination is listed: no combination has a test"), std::string::npos)
        << options << ": " << run.err;
  }
}

}  // namespace
