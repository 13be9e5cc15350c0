// The table's effect columns, `positions` and `cells`, against tables
// counted by hand, and names those columns cannot carry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/plink_writer.h"
#include "support/run_program.h"

namespace {

// Markers a and b; the last sample misses a's genotype.
const std::string kData =
    "P\ta\tb\n1\t0\t0\n1\t0\t0\n0\t0\t1\n1\t1\t1\n0\t2\t2\n0\t2\t2\n1\t2\t0\n0\t3\t1\n";

// The last two fields of the table's one data line.
std::vector<std::string> effectColumns(const std::string& table) {
  std::vector<std::string> lines;
  for (const std::string& line : splitOn(table, '\n')) {
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  EXPECT_EQ(lines.size(), 2u) << table;
  if (lines.size() != 2) return {};
  const std::vector<std::string> header = splitOn(lines[0] + "\t", '\t');
  const std::vector<std::string> row = splitOn(lines[1] + "\t", '\t');
  EXPECT_EQ(header.size(), row.size());
  EXPECT_EQ(std::vector<std::string>(header.end() - 2, header.end()), (std::vector<std::string>{"positions", "cells"}));
  return {row.end() - 2, row.end()};
}

TEST(TableEffectColumns, CellsInEnumerationOrderFirstMarkerSlowest) {
  const std::string dir = makeTempDir();
  // Cells (a, b) = (0,0) .. (2,2): a's level changes every third cell.
  ProgramResult run = runOnData(dir, kData, "--top 1 --table t.tsv");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(effectColumns(readFile(dir + "/t.tsv")),
            (std::vector<std::string>{"NA", "2:0,0:1,.,.,1:0,.,1:0,.,0:2"}));
  // Under mc a missing genotype is a fourth level: cell (3, 1) holds the
  // last sample's control.
  run = runOnData(dir, kData, "--top 1 --table t.tsv --missing mc");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(effectColumns(readFile(dir + "/t.tsv")),
            (std::vector<std::string>{"NA", "2:0,0:1,.,.,.,1:0,.,.,1:0,.,0:2,.,.,0:1,.,."}));
}

// Each listed marker's CHR:BP, also after markers were left out.
TEST(TableEffectColumns, PositionsFromThePlinkMap) {
  const std::string dir = makeTempDir();
  // The writer puts marker m on chromosome 1 at 100 * (m + 1).
  writePlinkFiles(dir + "/set", tableFromText(
      "P\ta\tb\tc\n1\t0\t0\t1\n1\t0\t0\t1\n0\t0\t1\t2\n1\t1\t1\t0\n0\t2\t2\t2\n0\t2\t2\t1\n1\t2\t0\t0\n"));
  writeFile(dir + "/ex.txt", "b\n");
  const ProgramResult cut = runGorva({"--bfile", "set", "--out", "r.txt", "--top", "1", "--table", "t.tsv",
                                      "--exclude", "ex.txt"},
                                     dir);
  ASSERT_EQ(cut.status, 0) << cut.err;
  EXPECT_EQ(effectColumns(readFile(dir + "/t.tsv"))[0], "1:100,1:300");
}

// R and pandas read the table with "#" as the comment character, which ends
// a row wherever it stands: a marker named rs#9 turned its row's later
// fields into NA without an error. A run with a table says so; a classic
// run, which writes none, prints what it always printed.
TEST(TableEffectColumns, NamesThatTableReadersMisreadAreWarnedAboutWithATable) {
  const std::string dir = makeTempDir();
  const std::string data = "P\ta#1\tb\n1\t0\t0\n1\t0\t0\n0\t2\t1\n0\t2\t2\n";
  const ProgramResult table = runOnData(dir, data, "--order 1 --table t.tsv");
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_NE(table.err.find("gorva: warning: 1 marker name of the run holds a # (first: a#1); R's read.delim(comment.char "
                           "= \"#\") and pandas' read_csv(comment=\"#\") end the table's row there, leaving its later "
                           "fields NA: rename such markers\n"),
            std::string::npos)
      << table.err;
  // A name starting with a double quote opens a quoted field for both, which
  // runs on past tabs and lines to the next quote: pandas read 2 rows of 6.
  const ProgramResult quoted = runOnData(dir, "P\t\"a\tb\n1\t0\t0\n1\t0\t0\n0\t2\t1\n0\t2\t2\n",
                                         "--order 1 --table t.tsv");
  ASSERT_EQ(quoted.status, 0) << quoted.err;
  EXPECT_NE(quoted.err.find("gorva: warning: 1 marker name of the run starts with a double quote (first: \"a); R's "
                            "read.delim and pandas' read_csv take it for a quoted field, which runs on past tabs and "
                            "line ends to the next quote and joins rows: rename such markers\n"),
            std::string::npos)
      << quoted.err;
  const ProgramResult classic = runOnData(dir, data, "--order 1");
  ASSERT_EQ(classic.status, 0) << classic.err;
  EXPECT_EQ(classic.err.find('#'), std::string::npos) << classic.err;
  // A chromosome name in the positions column likewise.
  writePlinkFiles(dir + "/set", tableFromText("P\ta\tb\n1\t0\t0\n1\t0\t0\n0\t2\t1\n0\t2\t2\n"));
  writeFile(dir + "/set.bim", "chr#1\ta\t0\t100\tA\tG\n1\tb\t0\t200\tA\tG\n");
  const ProgramResult plink = runGorva({"--bfile", "set", "--out", "p.txt", "--order", "1", "--table", "p.tsv"}, dir);
  ASSERT_EQ(plink.status, 0) << plink.err;
  EXPECT_NE(plink.err.find("gorva: warning: 1 marker position of the run holds a # (first: chr#1:100)"),
            std::string::npos)
      << plink.err;
}

}  // namespace
