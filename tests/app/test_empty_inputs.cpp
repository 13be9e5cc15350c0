// Data with no sample or no marker is a run with nothing to count: a run of
// the classic options (fast counting, em) ends normally and says that nothing
// could be counted; a run with newer options (plain counting, the table's
// columns, charts) is refused, saying the file has no data line.
// Under the sanitizers any undefined step on the way ends the run instead.
#include <gtest/gtest.h>

#include "support/run_program.h"

namespace {

TEST(EmptyInputs, NoSampleOrNoMarkerEndsNormallyOnEveryRoad) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/no-sample.txt", "Class\tm1\tm2\tm3\n");
  writeFile(dir + "/no-marker.txt", "Class\n1\n0\n");
  const std::vector<std::string> roads = {"", "--order 1-2 --table t.tsv", "--engine plain", "--missing em",
                                          "--plot 1", "--missing complete --permutations 2 --table t.tsv"};
  for (const std::string& road : roads) {
    std::vector<std::string> args = {"--in", "no-sample.txt", "--out", "r.txt"};
    for (const std::string& word : splitOn(road + " ", ' ')) {
      if (!word.empty()) args.push_back(word);
    }
    const ProgramResult run = runGorva(args, dir);
    const bool classic = road.empty() || road == "--missing em";
    EXPECT_EQ(run.status, classic ? 0 : 2) << road << ": " << run.err;
    if (!classic) {
      EXPECT_NE(run.err.find("no-sample.txt: the file has no data line after its header"), std::string::npos)
          << road << ": " << run.err;
      continue;
    }
    EXPECT_NE(run.err.find("no sample can be counted"), std::string::npos) << road << ": " << run.err;
    EXPECT_NE(readFile(dir + "/r.txt").find("<<2-Order Best Combination Sets>>"), std::string::npos) << road;
  }
  // A header naming no marker either: the missing samples are what to tell.
  writeFile(dir + "/header-only.txt", "Class\n");
  const ProgramResult header_only = runGorva({"--in", "header-only.txt", "--out", "r.txt", "--order", "1", "--log", "0"}, dir);
  EXPECT_EQ(header_only.status, 2);
  EXPECT_EQ(header_only.err,
            "gorva: header-only.txt: the file has no data line after its header, so there is no sample to analyse\n");
  const ProgramResult no_marker = runGorva({"--in", "no-marker.txt", "--out", "r.txt"}, dir);
  EXPECT_EQ(no_marker.status, 0) << no_marker.err;
  EXPECT_NE(no_marker.out.find("GORVA Analysis finished!!"), std::string::npos);
}

}  // namespace
