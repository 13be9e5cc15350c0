// Whole runs on PLINK file sets: the same report as the equivalent text
// file, and refusals that leave everything as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/plink_writer.h"
#include "support/report_text.h"
#include "support/run_program.h"

namespace {

// 7 markers x 48 samples with about one missing genotype in ten and a
// phenotype that follows markers m0 and m3 part of the time.
std::string smallDataSet() {
  std::string text = "Class";
  for (int m = 0; m < 7; ++m) text += "\tm" + std::to_string(m);
  text += "\n";
  for (int s = 0; s < 48; ++s) {
    std::vector<int> codes;
    for (int m = 0; m < 7; ++m) {
      const int draw = (s * 31 + m * 17 + (s * m) % 7) % 10;
      codes.push_back(draw == 9 ? 3 : draw / 3);
    }
    const bool is_case = (codes[0] + codes[3]) % 3 == 1 || s % 5 == 0;
    text += is_case ? "1" : "0";
    for (const int code : codes) text += "\t" + std::to_string(code);
    text += "\n";
  }
  return text;
}

// The report or console text without the lines that name the input or the
// command, and with the whole-second timings masked.
std::string withoutInputLines(const std::string& text) {
  std::istringstream lines(maskTimes(text));
  std::string line;
  std::string kept;
  while (std::getline(lines, line)) {
    if (line.rfind("Command : ", 0) == 0 || line.rfind("# input file : ", 0) == 0) continue;
    kept += line + "\n";
  }
  return kept;
}

class PlinkRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = makeTempDir();
    table_ = tableFromText(smallDataSet());
    // Two samples without a case/control phenotype, which a text run cannot
    // hold: the equivalent text file leaves them out.
    table_.fam_phenotypes[5] = "-9";
    table_.fam_phenotypes[20] = "0";
    writePlinkFiles(dir_ + "/set", table_);
    writeFile(dir_ + "/set.txt", textFromTable(table_));
  }
  std::string dir_;
  GenotypeTable table_;
};

TEST_F(PlinkRun, ReportEqualsTheTextRunForEveryMissingDataMethod) {
  // Each run in its own directory, so that the report names are the same.
  ASSERT_EQ(mkdir((dir_ + "/text").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir_ + "/plink").c_str(), 0755), 0);
  for (const std::string method : {"available", "complete", "mc", "imputation", "em"}) {
    const std::vector<std::string> common = {"--out", "report.txt", "--order",   "1-3",
                                             "--top", "6",          "--missing", method};
    std::vector<std::string> text_args = {"--in", "../set.txt"};
    std::vector<std::string> plink_args = {"--bfile", "../set"};
    text_args.insert(text_args.end(), common.begin(), common.end());
    plink_args.insert(plink_args.end(), common.begin(), common.end());

    const ProgramResult text_run = runGorva(text_args, dir_ + "/text");
    const ProgramResult plink_run = runGorva(plink_args, dir_ + "/plink");
    ASSERT_EQ(text_run.status, 0) << text_run.err;
    ASSERT_EQ(plink_run.status, 0) << plink_run.err;
    const std::string text_report = readFile(dir_ + "/text/report.txt");
    ASSERT_NE(text_report.find("<<3-Order Best Combination Sets>>\nRank,Best Combination,IG,RIG,"
                               "p-value(IG)\n1,m"),
              std::string::npos)
        << text_report;
    EXPECT_EQ(withoutInputLines(readFile(dir_ + "/plink/report.txt")),
              withoutInputLines(text_report))
        << method;
    EXPECT_EQ(withoutInputLines(plink_run.out), withoutInputLines(text_run.out)) << method;
    EXPECT_EQ(text_run.err, "");
    EXPECT_EQ(plink_run.err,
              "gorva: warning: 2 samples of ../set.fam have a missing phenotype "
              "and were left out\n");
  }
}

TEST_F(PlinkRun, RefusalsLeaveTheOldReportAndCreateNothing) {
  writeFile(dir_ + "/old.report", "old report\n");
  const std::string bed = readFile(dir_ + "/set.bed");
  struct Case {
    std::string what;
    std::string file;
    std::string bytes;
    std::string message;
  };
  // 48 .fam samples need 12 bytes per marker: 3 + 7 x 12 = 87.
  const std::vector<Case> cases = {
      {"short .bed", "set.bed", bed.substr(0, bed.size() - 1),
       "gorva: set.bed: the file has 86 bytes, but set.bim (7 markers) and set.fam (48 samples) "
       "need 3 + 7 x 12 = 87 bytes"},
      {"individual-major .bed", "set.bed", std::string("\x6c\x1b\x00", 3) + bed.substr(3),
       "gorva: set.bed bytes 1-3: 6c 1b 00 marks the individual-major layout"},
      {"short .fam line", "set.fam", "a a 0 0 1 2\nb b 0 0 2\n",
       "gorva: set.fam line 2: 5 columns, but a line of this file has 6"},
  };
  for (const Case& bad : cases) {
    const std::string good = readFile(dir_ + "/" + bad.file);
    writeFile(dir_ + "/" + bad.file, bad.bytes);
    const ProgramResult run =
        runGorva({"--bfile", "set", "--out", "old.report", "--save_all", "1", "--plot", "1"}, dir_);
    EXPECT_EQ(run.status, 2) << bad.what;
    EXPECT_EQ(run.err.rfind(bad.message, 0), 0u) << bad.what << ": " << run.err;
    EXPECT_EQ(run.out.find("GORVA Analysis finished"), std::string::npos) << bad.what;
    EXPECT_EQ(readFile(dir_ + "/old.report"), "old report\n") << bad.what;
    EXPECT_FALSE(fileExists(dir_ + "/old.report.all")) << bad.what;
    EXPECT_FALSE(fileExists(dir_ + "/old.report.order2.svg")) << bad.what;
    writeFile(dir_ + "/" + bad.file, good);
  }
  const ProgramResult missing_prefix =
      runGorva({"--bfile", "nothere", "--out", "old.report"}, dir_);
  EXPECT_EQ(missing_prefix.status, 2);
  EXPECT_EQ(missing_prefix.err.rfind("gorva: cannot open nothere.fam", 0), 0u)
      << missing_prefix.err;
  EXPECT_EQ(readFile(dir_ + "/old.report"), "old report\n");
}

TEST_F(PlinkRun, MissingNoneRefusesAMissingGenotypeOfASampleThatTakesPart) {
  const ProgramResult run =
      runGorva({"--bfile", "set", "--out", "none.report", "--missing", "none"}, dir_);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("but --missing none counts no missing data"), std::string::npos)
      << run.err;
  EXPECT_FALSE(fileExists(dir_ + "/none.report"));

  // Without missing genotypes both inputs give the same report under "none".
  for (std::vector<int>& sample : table_.genotypes) {
    for (int& code : sample) code = code == 3 ? 1 : code;
  }
  writePlinkFiles(dir_ + "/full", table_);
  writeFile(dir_ + "/full.txt", textFromTable(table_));
  const ProgramResult plink_run =
      runGorva({"--bfile", "full", "--out", "plink.report", "--missing", "none"}, dir_);
  const ProgramResult text_run =
      runGorva({"--in", "full.txt", "--out", "text.report", "--missing", "none"}, dir_);
  ASSERT_EQ(plink_run.status, 0) << plink_run.err;
  ASSERT_EQ(text_run.status, 0) << text_run.err;
  const auto results = [](const std::string& report) {
    return maskTimes(report.substr(report.find("====  Results  ====")));
  };
  EXPECT_EQ(results(readFile(dir_ + "/plink.report")), results(readFile(dir_ + "/text.report")));
}

TEST_F(PlinkRun, InIsIgnoredWithAWarningWhenBfileIsGiven) {
  const ProgramResult run =
      runGorva({"--in", "absent.txt", "--bfile", "set", "--out", "r.txt"}, dir_);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("gorva: warning: --in absent.txt is ignored: --bfile set gives the data"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.out.find("Cannot open the text file!!"), std::string::npos);
}

}  // namespace
