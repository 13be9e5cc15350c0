// gorva-simulate as a user runs it: reproducible files of the asked shape,
// a planted model that shows in the data, PLINK output equal to the text.
#include <gtest/gtest.h>

#include <sstream>

#include "support/report_text.h"
#include "support/run_program.h"

namespace {

// Runs the simulator in `dir` (args start with --out FILE) and returns that
// file's rows as fields; `out` receives what it printed.
std::vector<std::vector<std::string>> simulatedRows(const std::vector<std::string>& args,
                                                    const std::string& dir, std::string* out = nullptr) {
  const ProgramResult run = runSimulator(args, dir);
  EXPECT_EQ(run.status, 0) << run.err;
  if (out != nullptr) *out = run.out;
  std::vector<std::vector<std::string>> table;
  for (const std::string& line : splitOn(readFile(dir + "/" + args[1]), '\n')) table.push_back(splitOn(line, '\t'));
  return table;
}

TEST(Simulator, SameSeedSameFilesOtherSeedOtherDataAndPlinkFilesGiveTheTextsRun) {
  const std::string dir = makeTempDir();
  for (const auto& [name, seed] : {std::pair{"a", "5"}, std::pair{"b", "5"}, std::pair{"c", "6"}}) {
    simulatedRows({"--out", std::string(name) + ".txt", "--bfile-out", name, "--seed", seed, "--markers", "9",
                   "--samples", "300", "--missing-rate", "0.03"},
                  dir);
  }
  for (const std::string suffix : {".txt", ".bed", ".bim", ".fam"}) {
    EXPECT_EQ(readFile(dir + "/a" + suffix), readFile(dir + "/b" + suffix)) << suffix;
  }
  EXPECT_NE(readFile(dir + "/a.txt"), readFile(dir + "/c.txt"));
  const ProgramResult text_run = runGorva({"--in", "a.txt", "--out", "t.report", "--order", "1-2"}, dir);
  const ProgramResult plink_run = runGorva({"--bfile", "a", "--out", "p.report", "--order", "1-2"}, dir);
  ASSERT_EQ(text_run.status, 0) << text_run.err;
  ASSERT_EQ(plink_run.status, 0) << plink_run.err;
  EXPECT_EQ(plink_run.err, "");
  EXPECT_EQ(resultsSection(readFile(dir + "/p.report")), resultsSection(readFile(dir + "/t.report")));
}

TEST(Simulator, FilesHaveTheAskedShapeAndRates) {
  const std::string dir = makeTempDir();
  std::string out;
  const auto table = simulatedRows({"--out", "d.txt", "--markers", "30", "--samples", "1001", "--case-fraction",
                                    "0.3", "--planted", "X,Y", "--planted-at", "4,20", "--missing-rate", "0.05",
                                    "--maf", "0.2-0.3"},
                                   dir, &out);
  EXPECT_NE(out.find("planted X at marker 4, Y at marker 20"), std::string::npos) << out;
  ASSERT_EQ(table.size(), 1002u);
  EXPECT_EQ(table[0], [] {
    std::vector<std::string> header = {"Class"};
    for (int m = 1; m <= 30; ++m) header.push_back(m == 4 ? "X" : m == 20 ? "Y" : "M" + std::to_string(m));
    return header;
  }());
  int cases = 0;
  long missing = 0;
  std::vector<long> minor_alleles(31, 0), observed(31, 0);
  for (std::size_t s = 1; s < table.size(); ++s) {
    ASSERT_EQ(table[s].size(), 31u);
    ASSERT_TRUE(table[s][0] == "1" || table[s][0] == "0");
    cases += table[s][0] == "1";
    for (int m = 1; m <= 30; ++m) {
      const int code = std::stoi(table[s][m]);
      ASSERT_TRUE(code >= 0 && code <= 3);
      missing += code == 3;
      minor_alleles[m] += code == 3 ? 0 : code;
      observed[m] += code == 3 ? 0 : 2;
    }
  }
  EXPECT_EQ(cases, 300);  // round(0.3 x 1001)
  EXPECT_NEAR(missing / 30030.0, 0.05, 0.01);
  for (int m = 1; m <= 30; ++m) {
    if (m == 4 || m == 20) continue;  // planted: their frequencies follow the model
    EXPECT_NEAR(static_cast<double>(minor_alleles[m]) / observed[m], 0.25, 0.05 + 0.06) << m;
  }
}

TEST(Simulator, APenetranceTableOrAnOddsRatioDecidesWhoCanBeACase) {
  const std::string dir = makeTempDir();
  // Only cell (X = 1, Y = 2), the sixth of the table, has cases; it has no controls.
  auto table = simulatedRows({"--out", "d.txt", "--markers", "5", "--samples", "400", "--planted", "X,Y",
                              "--planted-at", "2,5", "--planted-maf", "0.5", "--penetrance", "0,0,0,0,0,1,0,0,0"},
                             dir);
  int cases = 0;
  for (std::size_t s = 1; s < table.size(); ++s) {
    EXPECT_EQ(table[s][0] == "1", table[s][2] == "1" && table[s][5] == "2") << "sample " << s;
    cases += table[s][0] == "1";
  }
  EXPECT_EQ(cases, 200);
  table = simulatedRows({"--out", "o.txt", "--markers", "3", "--samples", "4000", "--planted", "A,B,C",
                         "--planted-at", "1,2,3", "--planted-maf", "0.5", "--odds-ratio", "8", "--risk-cell",
                         "2,2,0", "--seed", "3"},
                        dir);
  double case_share = 0, control_share = 0;
  for (std::size_t s = 1; s < table.size(); ++s) {
    const bool in_cell = table[s][1] == "2" && table[s][2] == "2" && table[s][3] == "0";
    (table[s][0] == "1" ? case_share : control_share) += in_cell / 2000.0;
  }
  // The cell has frequency 1/64 at MAF 0.5 and penetrance 8/17 (odds 8 x 1/9), the
  // others 0.1: P(cell | case) = (1/64)(8/17) / ((1/64)(8/17) + (63/64)(0.1)) = 0.069,
  // P(cell | control) = (1/64)(9/17) / ((1/64)(9/17) + (63/64)(0.9)) = 0.0093.
  EXPECT_NEAR(case_share, 0.069, 0.02);
  EXPECT_NEAR(control_share, 0.0093, 0.008);
}

TEST(Simulator, BadSettingsAreRefusedAndWriteNothing) {
  const std::string dir = makeTempDir();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--maf", "0.4-0.2"}, "--maf 0.4-0.2: expected 0 < LO <= HI <= 0.5"},
      {{"--planted", "A"}, "--planted: give 2 or 3 names"},
      // A frequency above 0.5 is the major allele's: the copies counted would be the other allele's.
      {{"--planted-maf", "0.7"}, "--planted-maf 0.7: expected a minor allele frequency above 0 and at most 0.5"},
      {{"--penetrance", "0.1,0.2"}, "--penetrance: 2 planted markers need 9 values, 2 given"},
      {{"--planted", "A,B,C", "--penetrance", "0,0,0,0,0,0,0,0,1"}, "3 planted markers need 27 values"},
      {{"--missing-rate", "many"}, "--missing-rate many: not a number"},
      {{"--planted-at", "3,3"}, "--planted-at: the positions must differ"},
      {{"--case-fraction", "1"}, "--case-fraction 1: expected a value above 0 and below 1"},
      // One class, or nearly: a file no search takes, written as a data set.
      {{"--case-fraction", "1e-9"}, "--case-fraction of 20 samples gives 0 cases and 20 controls: a case/control "
                                    "search needs at least 2 of each"},
      {{"--case-fraction", "0.96"}, "gives 19 cases and 1 control:"},
      {{"--planted", "M3,B", "--planted-at", "1,2"}, "repeats another marker's name"},
      {{"--penetrance", "0,0,0,0,0,0,0,0,0"}, "no case can be drawn"},
      {{"--bogus", "1"}, "unknown option --bogus"},
      {{"--markers"}, "--markers needs a value"},
      // Settings that used to be dropped unseen, the run drawing another model than asked.
      {{"--odds-ratio", "0"}, "--odds-ratio 0: expected a value above 0"},
      {{"--risk-cell", "2,2"}, "describe the --odds-ratio model: give --odds-ratio R too"},
      {{"--maf-shift", "0.3"}, "describe the second population: give --population-2 F too"},
      {{"--seed", "3", "--seed", "4"}, "--seed is given twice (3 and 4): give it once"},
      // Two outputs on one file: only the last written would be left.
      {{"--population-2", "0.5", "--covar-out", "d.txt"}, "--out and --covar-out both write d.txt"},
      {{"--bfile-out", "d", "--population-2", "0.5", "--strata-out", "d.bed"}, "both write d.bed"},
      // A failure after the data file was written removes it: it would look finished.
      {{"--bfile-out", "no/such/folder/d"}, "cannot create no/such/folder/d.fam"},
  };
  for (const auto& [extra, message] : cases) {
    std::vector<std::string> args = {"--out", "d.txt", "--markers", "5", "--samples", "20"};
    args.insert(args.end(), extra.begin(), extra.end());
    const ProgramResult run = runSimulator(args, dir);
    EXPECT_EQ(run.status, 2) << message;
    EXPECT_NE(run.err.find("gorva-simulate: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    EXPECT_FALSE(fileExists(dir + "/d.txt")) << message;
  }
  const ProgramResult help = runSimulator({"--help"}, dir);
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--bfile-out PREFIX"), std::string::npos);
}

// The command in examples/README.md remakes examples/example.txt, and the
// planted pair is the best pair of the example.
TEST(Simulator, TheBundledExampleIsRemadeByItsDocumentedCommand) {
  const std::string source = GORVA_SOURCE_DIR;
  const std::string readme = readFile(source + "/examples/README.md");
  const std::size_t start = readme.find("gorva-simulate --out examples/example.txt");
  ASSERT_NE(start, std::string::npos) << "the command is not in examples/README.md";
  std::istringstream words(readme.substr(start, readme.find('\n', start) - start));
  std::vector<std::string> args;
  for (std::string word; words >> word;) args.push_back(word == "examples/example.txt" ? "remade.txt" : word);
  args.erase(args.begin());  // the program name
  const std::string dir = makeTempDir();
  ASSERT_EQ(runSimulator(args, dir).status, 0);
  EXPECT_EQ(readFile(dir + "/remade.txt"), readFile(source + "/examples/example.txt"));
  const ProgramResult search =
      runGorva({"--in", source + "/examples/example.txt", "--out", dir + "/r.txt", "--top", "2"});
  ASSERT_EQ(search.status, 0) << search.err;
  EXPECT_NE(readFile(dir + "/r.txt").find("Rank,Best Combination,IG,RIG,p-value(IG)\n1,P1 P2,"), std::string::npos);
}

}  // namespace
