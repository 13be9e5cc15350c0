// The corpus of malformed inputs (tests/data/bad): the built program is run on
// each, alone in a fresh directory, and must give exactly the status and the
// error stream of MANIFEST.tsv, never crash, and change no file but its
// report - which a refusal must not even create.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cctype>

#include <fstream>
#include <map>
#include <ostream>
#include <set>
#include <sstream>

#include "support/report_text.h"
#include "support/run_program.h"

namespace {

const std::string kBadDir = std::string(GORVA_TEST_DATA) + "/bad";
constexpr const char* kPlinkPrefix = "bfile:";
constexpr int kBadInputStatus = 2;

struct BadInput {
  std::string input;  // a file name, or bfile:PREFIX
  int status = 0;
  std::string error_stream;
  std::vector<std::string> extra_args;

  bool isPlink() const { return input.rfind(kPlinkPrefix, 0) == 0; }
  std::string plinkPrefix() const { return input.substr(std::string(kPlinkPrefix).size()); }
  // The files of the corpus that the case needs.
  std::vector<std::string> files() const {
    if (!isPlink()) return {input};
    return {plinkPrefix() + ".bed", plinkPrefix() + ".bim", plinkPrefix() + ".fam"};
  }
  std::vector<std::string> commandLine() const {
    std::vector<std::string> args = {isPlink() ? "--bfile" : "--in", isPlink() ? plinkPrefix() : input,
                                     "--out", "report.txt"};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    return args;
  }
};

// gtest shows a case by its input, not by its bytes.
void PrintTo(const BadInput& entry, std::ostream* out) { *out << entry.input; }

std::vector<BadInput> loadManifest() {
  std::vector<BadInput> cases;
  std::ifstream in(kBadDir + "/MANIFEST.tsv");
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> columns = splitOn(line + "\t", '\t');
    if (columns.size() < 3) {
      ADD_FAILURE() << "MANIFEST.tsv line without status and error stream: " << line;
      continue;
    }
    BadInput entry{columns[0], std::stoi(columns[1]), "", {}};
    // "\n" in the manifest stands for a line end inside the error stream.
    for (std::size_t i = 0; i < columns[2].size(); ++i) {
      const bool line_end = columns[2].compare(i, 2, "\\n") == 0;
      entry.error_stream += line_end ? '\n' : columns[2][i];
      i += line_end;
    }
    if (!entry.error_stream.empty()) entry.error_stream += "\n";
    std::istringstream words(columns.size() > 3 ? columns[3] : "");
    for (std::string word; words >> word;) entry.extra_args.push_back(word);
    cases.push_back(entry);
  }
  return cases;
}

// Every file of a directory with its bytes.
std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  if (DIR* handle = opendir(dir.c_str())) {
    while (const dirent* entry = readdir(handle)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") files[name] = readFile(dir + "/" + name);
    }
    closedir(handle);
  }
  return files;
}

class BadInputCorpus : public ::testing::TestWithParam<BadInput> {};

TEST_P(BadInputCorpus, ExactAnswerAndNoFileChangedButTheReport) {
  const BadInput& entry = GetParam();
  const std::string dir = makeTempDir();
  for (const std::string& name : entry.files()) {
    ASSERT_TRUE(fileExists(kBadDir + "/" + name)) << name;
    writeFile(dir + "/" + name, readFile(kBadDir + "/" + name));
  }
  const std::map<std::string, std::string> before = snapshot(dir);

  const ProgramResult run = runGorva(entry.commandLine(), dir);

  EXPECT_LT(run.status, 128) << "killed by signal " << run.status - 128;
  EXPECT_EQ(run.status, entry.status);
  EXPECT_EQ(run.err, entry.error_stream);
  std::map<std::string, std::string> after = snapshot(dir);
  if (entry.status == 0) {
    ASSERT_EQ(after.count("report.txt"), 1u) << "no report";
    EXPECT_NE(after["report.txt"].find("<<2-Order Best Combination Sets>>"), std::string::npos);
    EXPECT_NE(run.out.find("GORVA Analysis finished!!"), std::string::npos);
    after.erase("report.txt");
    // Runs beyond the classic options leave their log too.
    if (after.count("report.txt.log") == 1) {
      EXPECT_EQ(after["report.txt.log"].rfind("# GORVA ", 0), 0u);
    }
    after.erase("report.txt.log");
  } else {
    EXPECT_EQ(run.out.find("Analysis finished"), std::string::npos) << run.out;
  }
  EXPECT_EQ(after, before) << "a file other than the report was created or changed";
}

std::string caseName(const ::testing::TestParamInfo<BadInput>& info) {
  std::string name;
  for (const char c : info.param.input) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Manifest, BadInputCorpus, ::testing::ValuesIn(loadManifest()), caseName);

TEST(BadInputManifest, NamesEveryInputOfTheCorpusAndRefusesMostOfThem) {
  std::set<std::string> named;
  int refusals = 0;
  for (const BadInput& entry : loadManifest()) {
    for (const std::string& name : entry.files()) named.insert(name);
    refusals += entry.status == kBadInputStatus;
  }
  for (const auto& [name, bytes] : snapshot(kBadDir)) {
    if (name == "MANIFEST.tsv" || name == "make_bad_inputs.py") continue;
    EXPECT_EQ(named.count(name), 1u) << name << " is in the corpus but not in MANIFEST.tsv";
  }
  EXPECT_GE(refusals, 15);
}

// The byte order mark lands in the phenotype's name, which is not kept, so
// the results are those of the same file without it.
TEST(BadInputCorpusDecisions, ByteOrderMarkChangesNoResult) {
  const std::string dir = makeTempDir();
  const std::string with_mark = readFile(kBadDir + "/utf8-bom.txt");
  ASSERT_EQ(with_mark.substr(0, 3), "\xef\xbb\xbf");
  writeFile(dir + "/bom.txt", with_mark);
  writeFile(dir + "/plain.txt", with_mark.substr(3));
  ASSERT_EQ(runGorva({"--in", "bom.txt", "--out", "bom.report"}, dir).status, 0);
  ASSERT_EQ(runGorva({"--in", "plain.txt", "--out", "plain.report"}, dir).status, 0);
  const std::string bom_results = resultsSection(readFile(dir + "/bom.report"));
  EXPECT_EQ(bom_results, resultsSection(readFile(dir + "/plain.report")));
  EXPECT_NE(bom_results.find("\n1,A B,"), std::string::npos) << bom_results;
}

}  // namespace
