// --help, --version, the man page and the progress line, as a user meets them.
#include <gtest/gtest.h>

#include <array>
#include <regex>
#include <set>
#include <string>

#include "app/usage.h"
#include "support/run_program.h"

namespace {

// Every "--name" that the option parsers look up, read from their source,
// so an option added there and forgotten in the help fails here.
std::set<std::string> parsedOptionNames() {
  const std::string source = readFile(std::string(GORVA_SOURCE_DIR) + "/src/app/options.cpp");
  std::set<std::string> names;
  static const std::regex quoted_option("\"(--[a-z_-]+)\"");
  for (auto it = std::sregex_iterator(source.begin(), source.end(), quoted_option);
       it != std::sregex_iterator(); ++it) {
    names.insert((*it)[1]);
  }
  return names;
}

// The help entry of an option, its wrapped lines joined by single blanks;
// empty when no line of the option list starts with it.
std::string entryOf(const std::string& usage, const std::string& name) {
  const std::size_t at = usage.find("\n  " + name + " ");
  if (at == std::string::npos) return "";
  const std::size_t next = usage.find("\n  -", at + 1);
  std::string entry;
  for (const char c : usage.substr(at + 3, next - at - 3)) {
    const char blank_or_c = c == '\n' ? ' ' : c;
    if (!(blank_or_c == ' ' && !entry.empty() && entry.back() == ' ')) entry += blank_or_c;
  }
  return entry;
}

TEST(Usage, HelpListsEveryOptionWithItsDefaultAndRunsNothing) {
  const std::set<std::string> names = parsedOptionNames();
  ASSERT_GE(names.size(), 16u);  // the twelve classic options and the extensions
  for (const std::string word : {"--help", "-h"}) {
    const std::string dir = makeTempDir();
    const ProgramResult run = runGorva({word, "--out", "report.txt"}, dir);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, usageText());
    EXPECT_FALSE(fileExists(dir + "/report.txt"));
  }
  const std::string usage = usageText();
  for (const std::string& name : names) {
    EXPECT_NE(entryOf(usage, name).find("(default: "), std::string::npos) << name;
  }
  for (std::size_t start = 0, end; (end = usage.find('\n', start)) != std::string::npos;
       start = end + 1) {
    EXPECT_LE(end - start, 79u) << usage.substr(start, end - start);
  }
}

TEST(Usage, DefaultsShownAreTheOnesARunUses) {
  // A run without options prints its order and K in the summary.
  const ProgramResult run = runGorva({}, makeTempDir());
  EXPECT_NE(run.out.find("# combination order : 2\n"), std::string::npos);
  EXPECT_NE(run.out.find("presentation : 10\n"), std::string::npos);
  const std::string usage = usageText();
  EXPECT_NE(entryOf(usage, "--order").find("(default: 2)"), std::string::npos) << usage;
  EXPECT_NE(entryOf(usage, "--top").find("(default: 10)"), std::string::npos) << usage;
  EXPECT_NE(entryOf(usage, "--missing").find("(default: available)"), std::string::npos) << usage;
}

TEST(Usage, VersionMatchesTheBanner) {
  const ProgramResult version = runGorva({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "GORVA 1.5\n");
  const ProgramResult banner = runGorva({}, makeTempDir());
  EXPECT_NE(banner.out.find("# GORVA ver. 1.5 @"), std::string::npos);
}

TEST(Usage, AHelpWordThatIsAnOptionValueAsksForNothing) {
  EXPECT_EQ(findHelpRequest(3, std::array<const char*, 3>{"gorva", "--out", "--help"}.data()),
            HelpRequest::kNone);
  EXPECT_EQ(findHelpRequest(4, std::array<const char*, 4>{"gorva", "--in", "x", "-h"}.data()),
            HelpRequest::kUsage);
  EXPECT_EQ(findHelpRequest(3, std::array<const char*, 3>{"gorva", "--version", "--help"}.data()),
            HelpRequest::kVersion);
  EXPECT_EQ(findHelpRequest(2, std::array<const char*, 2>{"gorva", "help"}.data()),
            HelpRequest::kNone);
}

TEST(ManPage, DocumentsEveryOptionAndTheExitStatuses) {
  const std::string page = readFile(std::string(GORVA_SOURCE_DIR) + "/doc/gorva.1");
  ASSERT_FALSE(page.empty());
  EXPECT_EQ(page.rfind(".TH GORVA 1", 0), 0u);
  for (const std::string& name : parsedOptionNames()) {
    // roff writes a dash as "\-".
    std::string escaped;
    for (const char c : name) escaped += c == '-' ? std::string("\\-") : std::string(1, c);
    EXPECT_NE(page.find(".B " + escaped), std::string::npos) << name;
  }
  for (const std::string section : {".SH EXIT STATUS", ".SH FILES", ".SH EXAMPLES"}) {
    EXPECT_NE(page.find(section), std::string::npos) << section;
  }
}

const std::string kData = "Class\tA\tB\tC\n1\t0\t1\t2\n0\t1\t1\t0\n1\t2\t0\t1\n0\t0\t2\t2\n";

TEST(ProgressLine, ShownWhenForcedAndNeverInALogByDefault) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/d.txt", kData);
  const ProgramResult forced =
      runGorva({"--in", "d.txt", "--out", "r.txt", "--order", "2-3", "--progress", "1"}, dir);
  EXPECT_EQ(forced.status, 0);
  EXPECT_NE(forced.err.find("order 2:"), std::string::npos) << forced.err;
  EXPECT_NE(forced.err.find("order 3:"), std::string::npos) << forced.err;
  // Here the error stream is a file, not a terminal.
  const ProgramResult quiet = runGorva({"--in", "d.txt", "--out", "r.txt", "--order", "2-3"}, dir);
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
}

}  // namespace
