// Stratified runs end to end: every input kind matches its samples to
// strata alike, one stratum gives the unstratified numbers byte for byte,
// the fast engine gives the plain engine's rows under every missing-data
// method and ranking, and each bad strata file is refused before anything
// is created. The measures themselves are checked against a model in
// tests/python/test_strata.py.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "support/oracle.h"
#include "support/plink_writer.h"
#include "support/run_program.h"
#include "support/table_model.h"
#include "support/vcf_writer.h"

namespace {

// The lines of `text` that do not start with `prefix`.
std::string withoutLinesStarting(const std::string& text, const std::vector<std::string>& prefixes) {
  std::string kept;
  for (const std::string& line : splitOn(text, '\n')) {
    bool dropped = false;
    for (const std::string& prefix : prefixes) dropped |= line.rfind(prefix, 0) == 0;
    if (!dropped) kept += line + "\n";
  }
  return kept;
}

std::string comparableReport(const std::string& report) {
  return withoutLinesStarting(report, {"# stratified", "Command : ", "Total time", "# input file", "# result file"});
}

class StrataRuns : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = makeTempDir();
    table_ = tableFromText(randomDataset(29, 12, 90, 0.06).text());
    writeFile(dir_ + "/set.txt", textFromTable(table_));
  }
  // Runs gorva in a fresh DIR/NAME with `args` and a report and table there.
  ProgramResult run(const std::string& name, std::vector<std::string> args) {
    EXPECT_EQ(mkdir((dir_ + "/" + name).c_str(), 0755), 0);
    args.insert(args.end(), {"--out", "report.txt", "--table", "table.tsv", "--order", "1-3", "--top", "6",
                             "--threads", "2"});
    return runGorva(args, dir_ + "/" + name);
  }
  std::string table(const std::string& name) { return readFile(dir_ + "/" + name + "/table.tsv"); }
  // The table without its positions column, which only PLINK and VCF input fill.
  std::string withoutPositions(const std::string& name) {
    std::string kept;
    long column = -1;
    for (const std::string& line : splitOn(table(name), '\n')) {
      std::vector<std::string> fields = splitOn(line + "\t", '\t');
      if (line.rfind("order\t", 0) == 0)
        column = std::find(fields.begin(), fields.end(), "positions") - fields.begin();
      if (line[0] != '#' && column >= 0 && column < static_cast<long>(fields.size())) fields.erase(fields.begin() + column);
      for (std::size_t f = 0; f < fields.size(); ++f) kept += (f > 0 ? "\t" : "") + fields[f];
      kept += "\n";
    }
    return kept;
  }
  // A strata file naming sample s as `id(s)`: three strata of unequal
  // sizes, sample 5 without one (NA, as PLINK marks it).
  std::string strataFile(const std::function<std::string(int)>& id) const {
    std::string text = "#FID IID STRATUM\n";
    for (int s = 0; s < static_cast<int>(table_.genotypes.size()); ++s)
      text += id(s) + " " + (s == 5 ? "NA" : s % 4 == 0 ? "east" : s % 3 == 0 ? "west" : "north") + "\n";
    return text;
  }
  std::string dir_;
  GenotypeTable table_;
};

TEST_F(StrataRuns, TextPlinkAndVcfMatchTheirSamplesToTheSameStrata) {
  writePlinkFiles(dir_ + "/set", table_);
  writeFile(dir_ + "/set.vcf", vcfFromTable(table_));
  writeFile(dir_ + "/set.pheno", phenoFromTable(table_));
  writeFile(dir_ + "/by_line.strata", strataFile([](int s) { return "x " + std::to_string(s + 1); }));
  writeFile(dir_ + "/by_id.strata",
            strataFile([](int s) { return "fam" + std::to_string(s) + " id" + std::to_string(s); }));
  const ProgramResult text = run("text", {"--in", "../set.txt", "--strata", "../by_line.strata"});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.err.find("gorva: warning: 1 samples of ../by_line.strata have the stratum NA (first: line 7), "
                          "which marks a sample of no stratum, as in PLINK\ngorva: warning: 1 samples of ../set.txt "
                          "have no stratum in ../by_line.strata"),
            std::string::npos)
      << text.err;
  const std::string expected = withoutPositions("text");
  ASSERT_EQ(expected.rfind("# stratified: every measure conditional on the stratum; 3 strata (east 23 samples, "
                           "north 44 samples, west 22 samples)\n",
                           0),
            0u)
      << expected;
  EXPECT_EQ(readFile(dir_ + "/text/report.txt").rfind("# stratified: ", 0), 0u);
  const ProgramResult plink = run("plink", {"--bfile", "../set", "--strata", "../by_id.strata"});
  ASSERT_EQ(plink.status, 0) << plink.err;
  EXPECT_EQ(withoutPositions("plink"), expected);
  const ProgramResult vcf = run("vcf", {"--vcf", "../set.vcf", "--pheno", "../set.pheno", "--strata", "../by_id.strata"});
  ASSERT_EQ(vcf.status, 0) << vcf.err;
  EXPECT_EQ(withoutPositions("vcf"), expected);
  // plink2's files of samples without FID, "#IID STRATUM", name a VCF's samples.
  std::string by_iid = strataFile([](int s) { return "id" + std::to_string(s); });
  by_iid.replace(0, by_iid.find('\n'), "#IID STRATUM");
  writeFile(dir_ + "/by_iid.strata", by_iid);
  const ProgramResult iid = run("iid", {"--vcf", "../set.vcf", "--pheno", "../set.pheno", "--strata", "../by_iid.strata"});
  ASSERT_EQ(iid.status, 0) << iid.err;
  EXPECT_EQ(withoutPositions("iid"), expected);
  const ProgramResult refused = run("iid-plink", {"--bfile", "../set", "--strata", "../by_iid.strata"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("by_iid.strata line 1: the file names its samples by IID alone (#IID)"), std::string::npos)
      << refused.err;
}

TEST_F(StrataRuns, OneStratumGivesTheUnstratifiedNumbersByteForByte) {
  std::string one = "FID IID STRATUM\n";
  for (int s = 0; s < static_cast<int>(table_.genotypes.size()); ++s) one += "x " + std::to_string(s + 1) + " all\n";
  writeFile(dir_ + "/one.strata", one);
  for (const char* rank : {"ig", "rig", "synergy", "p"}) {
    const std::string plain = std::string("plain-") + rank;
    const std::string stratified = std::string("one-") + rank;
    const ProgramResult reference =
        run(plain, {"--in", "../set.txt", "--rank", rank, "--permutations", "9", "--save_all", "1"});
    const ProgramResult with_strata = run(stratified, {"--in", "../set.txt", "--rank", rank, "--permutations", "9",
                                                       "--save_all", "1", "--strata", "../one.strata"});
    ASSERT_EQ(reference.status, 0) << reference.err;
    ASSERT_EQ(with_strata.status, 0) << with_strata.err;
    EXPECT_EQ(withoutLinesStarting(table(stratified), {"# stratified"}), table(plain)) << rank;
    EXPECT_EQ(comparableReport(readFile(dir_ + "/" + stratified + "/report.txt")),
              comparableReport(readFile(dir_ + "/" + plain + "/report.txt")))
        << rank;
    EXPECT_EQ(readFile(dir_ + "/" + stratified + "/report.txt.all"), readFile(dir_ + "/" + plain + "/report.txt.all"))
        << rank;
  }
  // A stratum that --remove empties (a cluster file of the whole cohort) is
  // not part of the run.
  writeFile(dir_ + "/remove.txt", "x 1\n");
  writeFile(dir_ + "/gone.strata", "x 1 gone\n" + one.substr(one.find("x 2 ")));
  const ProgramResult reference = run("plain-removed", {"--in", "../set.txt", "--remove", "../remove.txt"});
  const ProgramResult emptied =
      run("one-removed", {"--in", "../set.txt", "--remove", "../remove.txt", "--strata", "../gone.strata"});
  ASSERT_EQ(reference.status, 0) << reference.err;
  ASSERT_EQ(emptied.status, 0) << emptied.err;
  EXPECT_NE(emptied.err.find("gorva: warning: 1 stratum of ../gone.strata has no sample left by the other sample "
                             "options and is not part of the run (first: line 1, stratum gone)\n"),
            std::string::npos)
      << emptied.err;
  EXPECT_EQ(withoutLinesStarting(table("one-removed"), {"# stratified"}), table("plain-removed"));
}

// A stratified IG adds up one table per stratum, and G = 2 N ln2 IG read
// with all their degrees of freedom called null combinations of a run with
// many small strata significant (with those of one table, at p = 0): such a
// run's report gives the association test within the strata, the table's
// p_chisq, row for row.
TEST_F(StrataRuns, TheReportsPValueIsTheAssociationTestWithinTheStrata) {
  const int samples = static_cast<int>(table_.genotypes.size());
  // Two strata of about 45 samples, and strata of 6, where no stratum holds
  // two groups the test can use: the report then says NAN as the table NA.
  for (const int size : {(samples + 1) / 2, 6}) {
    const std::string name = "strata-of-" + std::to_string(size);
    std::string text = "FID IID STRATUM\n";
    for (int s = 0; s < samples; ++s) text += "x " + std::to_string(s + 1) + " s" + std::to_string(s / size) + "\n";
    writeFile(dir_ + "/" + name + ".strata", text);
    const ProgramResult result =
        run(name, {"--in", "../set.txt", "--strata", "../" + name + ".strata", "--missing", "imputation"});
    ASSERT_EQ(result.status, 0) << result.err;
    // The table's p_chisq in the report's order, by order.
    std::vector<std::vector<std::string>> p_chisq(4);
    for (const std::string& line : splitOn(table(name), '\n')) {
      const std::vector<std::string> fields = splitOn(line, '\t');
      if (line.empty() || line[0] == '#' || fields[0] == "order") continue;
      p_chisq[static_cast<std::size_t>(std::stoi(fields[0]))].push_back(fields[10]);
    }
    int order = 0;
    int rows = 0;
    int numbers = 0;
    for (const std::string& line : splitOn(readFile(dir_ + "/" + name + "/report.txt"), '\n')) {
      if (line.rfind("<<", 0) == 0) order = std::stoi(line.substr(2));
      const std::vector<std::string> fields = splitOn(line, ',');
      if (order == 0 || fields.size() != 5 || fields[0] == "Rank") continue;
      const std::string& expected =
          p_chisq[static_cast<std::size_t>(order)].at(static_cast<std::size_t>(std::stoi(fields[0]) - 1));
      ++rows;
      if (expected == "NA") {
        EXPECT_EQ(fields[4], "NAN") << line;
        continue;
      }
      ++numbers;
      const double p = std::stod(expected);
      EXPECT_NEAR(std::stod(fields[4]), p, 1e-6 * p) << line;
    }
    EXPECT_EQ(rows, 6 * 3) << name;
    EXPECT_EQ(numbers > 0, size > 6) << name;
  }
}

// The report's line writer cuts a line past 20479 characters: the first line
// of a run with thousands of strata ended mid-name, the list unclosed. The
// report counts the strata it has no room for; the table lists them all.
TEST(StrataReport, ThousandsOfStrataAreCountedNotCutInTheReportsFirstLine) {
  const std::string dir = makeTempDir();
  const Dataset data = randomDataset(41, 3, 4000, 0.0);
  writeFile(dir + "/data.txt", data.text());
  std::string strata;
  for (int s = 0; s < 4000; ++s) strata += "x " + std::to_string(s + 1) + " stratum" + std::to_string(s / 2) + "\n";
  writeFile(dir + "/many.strata", strata);
  const ProgramResult run = runGorva({"--in", "data.txt", "--out", "report.txt", "--order", "1", "--table", "t.tsv",
                                      "--strata", "many.strata", "--threads", "1"},
                                     dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string report_line = splitOn(readFile(dir + "/report.txt"), '\n')[0];
  const std::string table_line = splitOn(readFile(dir + "/t.tsv"), '\n')[0];
  EXPECT_LE(report_line.size(), 20479u);
  EXPECT_EQ(report_line.rfind("# stratified: every measure conditional on the stratum; 2000 strata (stratum0 2 samples, ",
                              0),
            0u);
  // Whole entries, then the count of the rest: listed and counted make 2000.
  const std::size_t rest = report_line.rfind(", ... and ");
  ASSERT_NE(rest, std::string::npos) << report_line.substr(report_line.size() - 80);
  const long counted = std::stol(report_line.substr(rest + 10));
  // One comma after each listed stratum, the last one's before "... and".
  const long listed = static_cast<long>(std::count(report_line.begin(), report_line.end(), ','));
  EXPECT_EQ(report_line.substr(report_line.size() - 13), " more strata)");
  EXPECT_EQ(listed + counted, 2000);
  const std::string last_stratum = ", stratum1999 2 samples)";
  EXPECT_EQ(table_line.substr(table_line.size() - last_stratum.size()), last_stratum);
  EXPECT_EQ(table_line.substr(0, rest), report_line.substr(0, rest));
}

TEST_F(StrataRuns, FastAndPlainEnginesGiveTheSameRowsUnderEveryMethodAndRanking) {
  writeFile(dir_ + "/set.strata", strataFile([](int s) { return "x " + std::to_string(s + 1); }));
  // The fast engine counts permutations from the strata's cell totals, the
  // plain one searches each: a stratum holding cases only, or every
  // ranking and a missing-data method, must not tell them apart.
  std::string one_class = "FID IID STRATUM\n";
  const std::vector<std::string> lines = splitOn(textFromTable(table_), '\n');
  for (std::size_t s = 0; s + 1 < lines.size() && !lines[s + 1].empty(); ++s) {
    const bool is_case = lines[s + 1].rfind("1", 0) == 0;
    one_class += "x " + std::to_string(s + 1) + (is_case && s % 2 == 0 ? " cases" : s % 3 == 0 ? " a" : " b") + "\n";
  }
  writeFile(dir_ + "/one-class.strata", one_class);
  const std::vector<std::vector<std::string>> settings = {
      {"--missing", "available"}, {"--missing", "mc"},         {"--missing", "complete"},
      {"--missing", "imputation"}, {"--missing", "em"},        {"--rank", "rig"},
      {"--rank", "synergy"},       {"--rank", "p"},            {"--max-p", "0.5"},
      {"--permutations", "5"},     {"--permutations", "7", "--rank", "synergy", "--missing", "mc"},
      {"--permutations", "6", "--rank", "p", "--missing", "complete"},
      {"--permutations", "5", "--rank", "rig", "--strata", "../one-class.strata"}};
  for (std::size_t i = 0; i < settings.size(); ++i) {
    std::vector<std::string> args = {"--in", "../set.txt"};
    if (std::find(settings[i].begin(), settings[i].end(), "--strata") == settings[i].end())
      args.insert(args.end(), {"--strata", "../set.strata"});
    args.insert(args.end(), settings[i].begin(), settings[i].end());
    const std::string name = "setting" + std::to_string(i);
    const ProgramResult fast = run(name + "-fast", args);
    args.insert(args.end(), {"--engine", "plain"});
    const ProgramResult plain = run(name + "-plain", args);
    ASSERT_EQ(fast.status, 0) << settings[i][1] << ": " << fast.err;
    ASSERT_EQ(plain.status, 0) << settings[i][1] << ": " << plain.err;
    EXPECT_EQ(table(name + "-fast"), table(name + "-plain")) << settings[i][0] << " " << settings[i][1];
  }
}

TEST_F(StrataRuns, PairPermutationsOfLargeStrataMatchThePlainEngine) {
  // Strata this large count their pairs' permutations from joint rows of the
  // counted classes, with another class counted in each stratum (326 and
  // 275 samples: segments ending inside words).
  const Dataset data = randomDataset(41, 24, 601, 0.03);
  writeFile(dir_ + "/large.txt", data.text());
  std::string strata;
  for (int s = 0; s < 601; ++s) strata += "x " + std::to_string(s + 1) + (s % 11 < 6 ? " a" : " b") + "\n";
  writeFile(dir_ + "/large.strata", strata);
  const std::vector<std::vector<std::string>> settings = {
      {"--rank", "ig"}, {"--rank", "synergy"}, {"--rank", "ig", "--missing", "complete"}, {"--rank", "rig"}};
  // Every pair is listed, so that a permutation's maximum moved past any
  // pair's key changes its p_permutation.
  const std::vector<std::string> common = {"--in", "../large.txt", "--strata", "../large.strata", "--order", "2",
                                           "--top", "276", "--permutations", "19", "--out", "report.txt",
                                           "--table", "table.tsv", "--threads", "2"};
  for (std::size_t i = 0; i < settings.size(); ++i) {
    const std::string name = "large" + std::to_string(i);
    std::vector<std::string> args = common;
    args.insert(args.end(), settings[i].begin(), settings[i].end());
    ASSERT_EQ(mkdir((dir_ + "/" + name + "-fast").c_str(), 0755), 0);
    const ProgramResult fast = runGorva(args, dir_ + "/" + name + "-fast");
    args.insert(args.end(), {"--engine", "plain"});
    ASSERT_EQ(mkdir((dir_ + "/" + name + "-plain").c_str(), 0755), 0);
    const ProgramResult plain = runGorva(args, dir_ + "/" + name + "-plain");
    ASSERT_EQ(fast.status, 0) << fast.err;
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(table(name + "-fast"), table(name + "-plain")) << settings[i][1];
  }
}

TEST_F(StrataRuns, EachBadStrataFileIsRefusedWithItsPlaceBeforeAnythingIsCreated) {
  writeFile(dir_ + "/remove.txt", "x 1\nx 2\n");
  struct Case {
    std::string strata;
    std::vector<std::string> extra;
    std::string message;
  };
  std::vector<Case> cases = {
      {"x ghost a\nx phantom b\n", {},
       "gorva: ../bad.strata: none of its 2 samples is in ../set.txt (samples are matched by IID; a text file's "
       "samples are named by their data line numbers, 1 to 90)"},
      {"x 1 a\nx 2 b\nx 1 b\n", {}, "gorva: ../bad.strata line 3, field 2: sample 1 was already named on line 1"},
      {"x 1 a\nx 2\n", {}, "gorva: ../bad.strata line 2: 2 fields, but a strata line has 3 (FID IID STRATUM)"},
      {"x 1 NA\nx 2 NA\n", {},
       "gorva: ../bad.strata: every sample of ../set.txt that it names has the stratum NA, which marks a sample of "
       "no stratum"},
  };
  int index = 0;
  std::string by_class;
  for (int s = 0; s < static_cast<int>(table_.genotypes.size()); ++s)
    by_class += "x " + std::to_string(s + 1) + (table_.fam_phenotypes[s] == "2" ? " cases\n" : " controls\n");
  cases.push_back({by_class, {},
                   "gorva: none of the 2 strata holds both a case and a control after the sample options, so a "
                   "search conditional on the stratum has nothing to measure"});
  for (const auto& c : cases) {
    writeFile(dir_ + "/bad.strata", c.strata);
    std::vector<std::string> args = {"--in", "../set.txt", "--strata", "../bad.strata"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const std::string name = "bad" + std::to_string(index++);
    const ProgramResult refused = run(name, args);
    EXPECT_EQ(refused.status, 2) << c.message;
    EXPECT_NE(refused.err.find(c.message + "\n"), std::string::npos) << refused.err;
    EXPECT_FALSE(fileExists(dir_ + "/" + name + "/report.txt")) << c.message;
    EXPECT_FALSE(fileExists(dir_ + "/" + name + "/table.tsv")) << c.message;
  }
}

}  // namespace
