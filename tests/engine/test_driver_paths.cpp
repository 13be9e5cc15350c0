// The driver's checks, in their fixed order, and what each leaves behind.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "support/run_program.h"

namespace {

const std::string kData = "Class\tA\tB\n1\t0\t1\n0\t1\t1\n1\t2\t0\n";
const std::string kRule = "----------------------------------------------------\n";
const std::string kClosing = kRule + "# GORVA complete\n" + kRule;

// What the driver printed between the banner's last rule and the closing lines.
std::string driverOutput(const std::string& out) {
  const std::string end_of_banner = "presentation : 10\n" + kRule;
  const std::size_t start = out.find(end_of_banner);
  if (start == std::string::npos) return "<no banner>";
  std::string rest = out.substr(start + end_of_banner.size());
  if (rest.size() >= kClosing.size() && rest.compare(rest.size() - kClosing.size(), kClosing.size(), kClosing) == 0)
    rest.resize(rest.size() - kClosing.size());
  return rest;
}

class DriverPaths : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = makeTempDir();
    writeFile(dir_ + "/data.txt", kData);
  }
  std::string dir_;
};

TEST_F(DriverPaths, MissingDataFileCreatesNothing) {
  const ProgramResult run = runGorva({"--in", "absent.txt", "--out", "report.txt"}, dir_);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(driverOutput(run.out), "Cannot open the text file!!\n");
  EXPECT_FALSE(fileExists(dir_ + "/report.txt"));
}

TEST_F(DriverPaths, ReportInAMissingDirectory) {
  const ProgramResult run = runGorva({"--in", "data.txt", "--out", "nodir/report.txt"}, dir_);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(driverOutput(run.out), "Cannot save the text file!!\n");
}

TEST_F(DriverPaths, UnwritableAllResultsFileLeavesTheReportEmpty) {
  writeFile(dir_ + "/report.txt", "old content\n");
  ASSERT_EQ(mkdir((dir_ + "/report.txt.all").c_str(), 0755), 0);
  const ProgramResult run =
      runGorva({"--in", "data.txt", "--out", "report.txt", "--save_all", "1"}, dir_);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(driverOutput(run.out), "Cannot save the text file!!\n");
  EXPECT_EQ(readFile(dir_ + "/report.txt"), "");
}

TEST_F(DriverPaths, SaveAllCreatesTheAllResultsFile) {
  const ProgramResult run =
      runGorva({"--in", "data.txt", "--out", "report.txt", "--save_all", "1"}, dir_);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(fileExists(dir_ + "/report.txt.all"));
}

TEST_F(DriverPaths, InvalidOrderRangesAreRefusedBeforeTheReportExists) {
  for (const std::string range : {"0-2", "3-2", "abc", "-2"}) {
    const ProgramResult run = runGorva({"--in", "data.txt", "--out", "report.txt", "--order", range}, dir_);
    EXPECT_EQ(run.status, 2) << range;
    EXPECT_NE(run.err.find("gorva: the order range"), std::string::npos) << run.err;
    EXPECT_EQ(driverOutput(run.out), "") << range;
    EXPECT_FALSE(fileExists(dir_ + "/report.txt")) << range;
  }
}

TEST_F(DriverPaths, OrdersAboveTheMarkerCountAreNoError) {
  const ProgramResult run = runGorva({"--in", "data.txt", "--out", "report.txt", "--order", "3"}, dir_);
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string report = readFile(dir_ + "/report.txt");
  EXPECT_NE(report.find("<<3-Order Best Combination Sets>>\nRank,Best Combination,IG,RIG,p-value(IG)\n" +
                        std::string(79, '=') + "\n"),
            std::string::npos);
}

}  // namespace
