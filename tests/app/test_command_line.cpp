// The program's console contract, checked on the built executable: banner,
// options summary, closing lines, the command-line error and exit statuses;
// the driver's checks, in their fixed order, and what each leaves behind;
// --help, --version, the man page and the progress line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <regex>
#include <set>

#include "app/usage.h"
#include "support/run_program.h"
#include "engine/count/kernel_dispatch.h"

namespace {

const std::string kRule = "----------------------------------------------------\n";
const std::string kClosing = kRule + "# GORVA complete\n" + kRule;

std::string banner(const std::string& input, const std::string& output, int order, int top) {
  return kRule + "# GORVA ver. 1.5 @ ZURL\n# Release date 04/19/2017\n" + kRule + "# options\n" +
         kRule + "# input file : " + input + "\n# result file : " + output +
         "\n# combination order : " + std::to_string(order) +
         "\n# K=number of final significant snps for presentation : " + std::to_string(top) +
         "\n" + kRule;
}

// The console stays the classic one; what the user evidently meant otherwise
// is said on the error stream, once per word.
TEST(CommandLine, ExactConsoleOutputOfRunsWithoutADataFile) {
  const std::string w = "gorva: warning: ";
  const std::string read_as = " (its leading digits, within the range of int): write a whole number\n";
  const std::string empty_blocks = " keeps no combination: every block of the report is empty\n";
  const struct { std::vector<std::string> args; std::string input, output; int order, top; std::string err; } cases[] = {
      {{}, "", "", 2, 10, ""},
      // The first occurrence wins, and a later bare repeat is no error.
      {{"--top", "5", "--top", "7", "--in", "none.txt"}, "none.txt", "", 2, 5,
       w + "--top is given 2 times: the first, --top 5, is used\n"},
      {{"--top", "5", "--in", "none.txt", "--top"}, "none.txt", "", 2, 5,
       w + "--top is given 2 times: the first, --top 5, is used\n"},
      // A value that is an option name is taken as the value.
      {{"--out", "--top", "5"}, "", "--top", 2, 5,
       w + "--out takes the option name --top as its value: give --out a value of its own\n"},
      {{"--frobnicate", "--Top", "3", "stray", "--order=3"}, "", "", 2, 10,  // unknown words are ignored
       w + "--frobnicate is not an option and is ignored\n" + w +
           "--Top 3 is not an option and is ignored; did you mean --top 3?\n" + w +
           "the word \"stray\" is neither an option nor an option's value, and is ignored\n" + w +
           "--order=3 is not an option and is ignored; did you mean --order 3?\n"},
      // Dashes a document turned into an en or em dash, and dashes left out.
      {{"\u2013top", "3", "\u2014order", "3", "missing", "mc", "\u2014", "x"}, "", "", 2, 10,
       w + "\u2013top 3 is not an option and is ignored; did you mean --top 3?\n" + w +
           "\u2014order 3 is not an option and is ignored; did you mean --order 3?\n" + w +
           "missing mc is not an option and is ignored; did you mean --missing mc?\n" + w +
           "the word \"\u2014\" is neither an option nor an option's value, and is ignored\n" + w +
           "the word \"x\" is neither an option nor an option's value, and is ignored\n"},
      // --bfile would not read a PLINK 2 set either.
      {{"--pfile", "x"}, "", "", 2, 10,
       w + "--pfile x is not an option and is ignored: PLINK 2's .pgen, .pvar and .psam are not read (plink2 "
           "--pfile PREFIX --make-bed --out NEWPREFIX writes a set for --bfile NEWPREFIX)\n"},
      // The summary shows the highest order, and numbers read like atoi.
      {{"--order", "2-4"}, "", "", 4, 10, ""},
      {{"--order", "3"}, "", "", 3, 10, ""},
      {{"--order", "2.5"}, "", "", 2, 10, w + "--order 2.5 is read as 2-2: write an order (2) or a range (2-3)\n"},
      {{"--top", "12abc"}, "", "", 2, 12, w + "--top 12abc is read as 12" + read_as},
      {{"--top", "1e3"}, "", "", 2, 1, w + "--top 1e3 is read as 1" + read_as},
      {{"--top", "abc"}, "", "", 2, 0, w + "--top abc is read as 0" + read_as + w + "--top abc" + empty_blocks},
      {{"--top", "-3"}, "", "", 2, -3, w + "--top -3" + empty_blocks},
      // Found by fuzzing: beyond the int range numbers saturate (this one wrapped to -1).
      {{"--top", "4294967295"}, "", "", 2, 2147483647, w + "--top 4294967295 is read as 2147483647" + read_as},
      {{"--top", "-" + std::string(40, '9')}, "", "", 2, -2147483647 - 1,
       w + "--top -" + std::string(40, '9') + " is read as -2147483648" + read_as + w + "--top -" +
           std::string(40, '9') + empty_blocks},
      // Unknown words of the word options keep the default, and say so.
      {{"--missing", "imputaton", "--tie", "LOW", "--save_all", "yes"}, "", "", 2, 10,
       w + "--missing imputaton is not one of none, mc, complete, available, imputation, em; available is used "
           "(did you mean imputation?)\n" +
           w + "--tie LOW is not one of high, low, ignore; high is used\n" + w +
           "--save_all yes is read as 0 (off): only a value that reads as 1 turns it on\n"},
      // An empty word (an unset shell variable) is no typo of a near one.
      {{"--missing", ""}, "", "", 2, 10,
       w + "--missing  is not one of none, mc, complete, available, imputation, em; available is used\n"},
  };
  for (const auto& c : cases) {
    const ProgramResult run = runGorva(c.args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, banner(c.input, c.output, c.order, c.top) + "Cannot open the text file!!\n" + kClosing);
  }
}

// An extension option's value is read whole or refused before any file exists.
TEST(CommandLine, UnreadableExtensionValuesAreRefused) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/data.txt", "Class\tm0\tm1\tm2\n1\t0\t1\t2\n0\t1\t2\t0\n1\t2\t0\t1\n0\t0\t0\t1\n");
  const struct { std::vector<std::string> args; std::string err; } cases[] = {
      {{"--engine", "fastest"}, "--engine fastest: not one of fast, plain"},
      {{"--threads", "2x"}, "--threads 2x: not a whole number from 0 to 4096 (0 = every hardware thread)"},
      {{"--permutations", "1e3"}, "--permutations 1e3: not a whole number from 0 to 2147483647"},
      {{"--seed", "-1"}, "--seed -1: not a whole number from 0 to 4294967295"},
      {{"--max-p", "0.05x", "--table", "t.tsv"}, "--max-p 0.05x: not a probability in (0, 1]"},
      {{"--max-p", "1e-400", "--table", "t.tsv"},
       "--max-p 1e-400: below the least number above 0 a double holds (4.9E-324), which --max-p takes and which "
       "lists every smaller p_chisq too"},
      {{"--max-p", "0e5", "--table", "t.tsv"}, "--max-p 0e5: not a probability in (0, 1]"},
      {{"--plot", "yes"}, "--plot yes: write 0 or 1"},
      {{"--strata", ""}, "--strata is given an empty value: give it one, or leave the option out"},
      {{"--table", ""}, "--table is given an empty value: give it one, or leave the option out"},
      // A forgotten value: no table named --order, no --keep file of that name read.
      {{"--table", "--order", "2"},
       "--table takes the option name --order as its value: give --table a value of its own (./--order names a "
       "file of that name)"},
      {{"--keep", "--threads", "1"},
       "--keep takes the option name --threads as its value: give --keep a value of its own (./--threads names a "
       "file of that name)"},
      {{"--table", "-"}, "--table -: write /dev/stdout for standard output (./- names a file called -)"},
      {{"--top", "-5", "--table", "t.tsv"},
       "--top -5: not a whole number from 1 to 2147483647 (the rows each order lists in --table t.tsv)"},
      {{"--order", "2-4", "--threads", "1"}, "--order 2-4: the orders must lie from 1 to 3, the number of markers"},
      {{"--order", "2147483648"}, "--order 2147483648: the orders must lie from 1 to 3, the number of markers"},
      // Orders 2 and 3 meant, order 2 alone run: the table would look whole.
      {{"--order", "2,3", "--table", "t.tsv"}, "--order 2,3: write an order (2) or a range (2-3)"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--in", "data.txt", "--out", "report.txt"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProgramResult run = runGorva(args, dir);
    EXPECT_EQ(run.status, 2) << c.err;
    EXPECT_NE(run.err.find("gorva: " + c.err + "\n"), std::string::npos) << run.err;
    EXPECT_FALSE(fileExists(dir + "/report.txt"));
    EXPECT_FALSE(fileExists(dir + "/t.tsv"));
    EXPECT_FALSE(fileExists(dir + "/-"));
  }
  // A report named - as well; a classic run writes the file it always wrote, and is told so.
  const ProgramResult dash = runGorva({"--in", "data.txt", "--out", "-", "--threads", "1"}, dir);
  EXPECT_EQ(dash.status, 2);
  EXPECT_NE(dash.err.find("gorva: --out -: write /dev/stdout for standard output (./- names a file called -)\n"),
            std::string::npos)
      << dash.err;
  EXPECT_FALSE(fileExists(dir + "/-"));
  const ProgramResult classic_dash = runGorva({"--in", "data.txt", "--out", "-"}, dir);
  EXPECT_EQ(classic_dash.status, 0);
  EXPECT_NE(classic_dash.err.find("gorva: warning: --out - writes the report to a file named -: write /dev/stdout "
                                  "for standard output\n"),
            std::string::npos)
      << classic_dash.err;
  EXPECT_TRUE(fileExists(dir + "/-"));
  // A header naming no marker: the orders' range "from 1 to 0" said it only in passing.
  writeFile(dir + "/none.txt", "Class\n1\n0\n1\n0\n");
  const ProgramResult none = runGorva({"--in", "none.txt", "--out", "report.txt", "--order", "1", "--threads", "1"}, dir);
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("gorva: --order 1: the data hold no marker, so there is no combination of any order\n"),
            std::string::npos)
      << none.err;
  // A classic run may still ask for orders above the markers: empty blocks.
  const ProgramResult above = runGorva({"--in", "data.txt", "--out", "report.txt", "--order", "3-4"}, dir);
  EXPECT_EQ(above.status, 0);
  EXPECT_EQ(above.err, "gorva: warning: --order 3-4: the data have 3 markers, so orders above 3 have no "
                       "combination and their blocks of the report are empty\n");
}

TEST(CommandLine, OptionWithoutValueStopsBeforeAnyOutput) {
  for (const std::string option : {"--top", "--in", "--order", "--missing", "--perm", "--save_all"}) {
    const ProgramResult run = runGorva({"--out", "r.txt", option});
    EXPECT_EQ(run.status, 1) << option;
    EXPECT_EQ(run.out, "") << option;
    EXPECT_EQ(run.err, "\nERROR: Missing an argument for " + option + "\n") << option;
  }
}

TEST(CommandLine, LongFileNamesReachTheDriverUnchanged) {
  const std::string dir = makeTempDir();
  // Longer than 254 characters in all, each directory within the file system's limit.
  const std::string deep = dir + "/" + std::string(200, 'a') + "/" + std::string(200, 'b');
  ASSERT_EQ(system(("mkdir -p " + deep).c_str()), 0);
  const std::string name = deep + "/data.txt";
  writeFile(name, "Class\tm0\n1\t0\n0\t1\n");
  const std::string report = deep + "/" + std::string(100, 'r');
  const ProgramResult run = runGorva({"--in", name, "--out", report, "--order", "1"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("# input file : " + name + "\n"), std::string::npos);
  EXPECT_TRUE(fileExists(report));
}

// A line end in a file name is written \n in the report and on the console,
// so the name cannot start a line that reads as a result row of its own.
TEST(CommandLine, FileNamesHoldingLineEndsStayOnTheirLines) {
  const std::string dir = makeTempDir();
  const std::string data = "d\n1,M0,1.000000,1.000000,0.000000E+00\r.txt";
  writeFile(dir + "/" + data, "Class\tm0\tm1\n1\t0\t1\n0\t1\t1\n1\t2\t0\n0\t0\t2\n");
  for (const bool newer : {false, true}) {
    std::vector<std::string> args = {"--in", data, "--out", "r\nR.txt", "--order", "1"};
    if (newer) args.insert(args.end(), {"--table", "t.tsv"});
    const ProgramResult run = runGorva(args, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string escaped = "d\\n1,M0,1.000000,1.000000,0.000000E+00\\r.txt";
    const std::string summary = "# input file : " + escaped + "\n# result file : r\\nR.txt\n";
    EXPECT_NE(run.out.find(summary), std::string::npos) << run.out;
    const std::string report = readFile(dir + "/r\nR.txt");
    EXPECT_NE(report.find("Command : " + std::string(GORVA_EXE) + " --in " + escaped + " --out r\\nR.txt --order 1 "),
              std::string::npos)
        << report;
    EXPECT_NE(report.find(summary), std::string::npos) << report;
    EXPECT_EQ(report.find("\n1,M0,1.000000,1.000000,0.000000E+00"), std::string::npos) << report;
  }
}

// What the driver printed between the banner's last rule and the closing lines.
std::string driverOutput(const std::string& out) {
  const std::string end_of_banner = "presentation : 10\n" + kRule;
  const std::size_t start = out.find(end_of_banner);
  if (start == std::string::npos) return "<no banner>";
  std::string rest = out.substr(start + end_of_banner.size());
  if (rest.size() >= kClosing.size() && rest.substr(rest.size() - kClosing.size()) == kClosing)
    rest.resize(rest.size() - kClosing.size());
  return rest;
}

TEST(DriverPaths, EachFailureIsOneFixedLineAndLeavesOnlyItsTrace) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/data.txt", "Class\tA\tB\n1\t0\t1\n0\t1\t1\n1\t2\t0\n");
  writeFile(dir + "/report.txt", "old content\n");
  ASSERT_EQ(mkdir((dir + "/report.txt.all").c_str(), 0755), 0);
  const struct { std::vector<std::string> args; std::string output; } cases[] = {
      {{"--in", "absent.txt", "--out", "fresh.txt"}, "Cannot open the text file!!\n"},
      {{"--in", "data.txt", "--out", "nodir/report.txt"}, "Cannot save the text file!!\n"},
      // The report is created (emptied) before the all-results file fails.
      {{"--in", "data.txt", "--out", "report.txt", "--save_all", "1"}, "Cannot save the text file!!\n"},
  };
  for (const auto& c : cases) {
    const ProgramResult run = runGorva(c.args, dir);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(driverOutput(run.out), c.output);
  }
  EXPECT_FALSE(fileExists(dir + "/fresh.txt"));
  EXPECT_EQ(readFile(dir + "/report.txt"), "");
  EXPECT_EQ(runGorva({"--in", "data.txt", "--out", "new.txt", "--save_all", "1"}, dir).status, 0);
  EXPECT_TRUE(fileExists(dir + "/new.txt.all"));
}

TEST(DriverPaths, ARunWithMoreOptionsSaysWhyAFileFailedAndEndsWithItsStatus) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/data.txt", "Class\tA\tB\n1\t0\t1\n0\t1\t1\n1\t2\t0\n0\t0\t0\n");
  writeFile(dir + "/report.txt", "old content\n");
  const struct { std::vector<std::string> args; int status; std::string err; } cases[] = {
      {{"--in", "absent.txt", "--out", "fresh.txt", "--table", "t.tsv"}, 2,
       "gorva: absent.txt: cannot open: No such file or directory\n"},
      {{"--in", "data.txt", "--out", "nodir/fresh.txt", "--table", "t.tsv"}, 4,
       "gorva: nodir/fresh.txt: cannot write: No such file or directory\n"},
      // Told before the search, not after it.
      {{"--in", "data.txt", "--out", "report.txt", "--table", "nodir/t.tsv"}, 4,
       "gorva: nodir/t.tsv: cannot write: No such file or directory\n"},
      // A forgotten --out is named as such, not as a file called "".
      {{"--in", "data.txt", "--table", "t.tsv"}, 4,
       "gorva: no --out: give the report a file (--out FILE), which every run writes\n"},
  };
  for (const auto& c : cases) {
    const ProgramResult run = runGorva(c.args, dir);
    EXPECT_EQ(run.status, c.status) << c.err;
    EXPECT_EQ(run.err, c.err);
  }
  EXPECT_FALSE(fileExists(dir + "/fresh.txt"));
  EXPECT_FALSE(fileExists(dir + "/t.tsv"));
  EXPECT_EQ(readFile(dir + "/report.txt"), "old content\n");
}

TEST(DriverPaths, InvalidOrderRangesAreRefusedBeforeTheReportExists) {
  const std::string dir = makeTempDir();
  for (const std::string range : {"0-2", "3-2", "abc", "-2"}) {
    const ProgramResult run = runOnData(dir, "Class\tA\tB\n1\t0\t1\n0\t1\t1\n1\t2\t0\n", "--order " + range);
    EXPECT_EQ(run.status, 2) << range;
    EXPECT_NE(run.err.find("gorva: the order range"), std::string::npos) << run.err;
    EXPECT_EQ(driverOutput(run.out), "") << range;
    EXPECT_FALSE(fileExists(dir + "/report.txt")) << range;
  }
}

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
  // The defaults a run without options uses (its summary shows order 2 and
  // K 10; the missing-data word is checked with the option globals).
  EXPECT_NE(entryOf(usage, "--order").find("(default: 2)"), std::string::npos) << usage;
  EXPECT_NE(entryOf(usage, "--top").find("(default: 10)"), std::string::npos) << usage;
  EXPECT_NE(entryOf(usage, "--missing").find("(default: available)"), std::string::npos) << usage;
  for (std::size_t start = 0, end; (end = usage.find('\n', start)) != std::string::npos;
       start = end + 1) {
    EXPECT_LE(end - start, 79u) << usage.substr(start, end - start);
  }
  // The version is the banner's ("# GORVA ver. 1.5 @", checked with the console output).
  const ProgramResult version = runGorva({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "GORVA 1.5\n");
  // Verbose, it also names the instruction set searches take here, as the
  // help text says.
  EXPECT_NE(entryOf(usage, "--version").find("--verbose"), std::string::npos) << usage;
  const ProgramResult verbose = runGorva({"--version", "--verbose"});
  EXPECT_EQ(verbose.status, 0);
  EXPECT_EQ(verbose.out, std::string("GORVA 1.5\nSIMD path: ") + simdPathName(activeSimdPath()) +
                             (simdPathSupported(SimdPath::kAvx512) ? " (this CPU lacks: none)\n"
                              : simdPathSupported(SimdPath::kAvx2) ? " (this CPU lacks: avx512)\n"
                                                                   : " (this CPU lacks: avx2, avx512)\n"));
}

TEST(Usage, AHelpWordThatIsAnOptionValueAsksForNothing) {
  const std::pair<std::vector<const char*>, HelpRequest> cases[] = {
      {{"gorva", "--out", "--help"}, HelpRequest::kNone},
      {{"gorva", "--in", "x", "-h"}, HelpRequest::kUsage},
      {{"gorva", "--version", "--help"}, HelpRequest::kVersion},
      {{"gorva", "help"}, HelpRequest::kNone}};
  for (auto [argv, request] : cases)
    EXPECT_EQ(findHelpRequest(static_cast<int>(argv.size()), argv.data()), request);
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
  const ProgramResult forced = runOnData(dir, kData, "--order 2-3 --progress 1");
  EXPECT_EQ(forced.status, 0);
  EXPECT_NE(forced.err.find("order 2:"), std::string::npos) << forced.err;
  EXPECT_NE(forced.err.find("order 3:"), std::string::npos) << forced.err;
  // Here the error stream is a file, not a terminal.
  const ProgramResult quiet = runOnData(dir, kData, "--order 2-3");
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
}

// Two markers, four samples; marker a separates cases from controls.
const std::string kTwoMarkers = "P\ta\tb\n1\t0\t1\n0\t1\t1\n1\t0\t2\n0\t2\t0\n";

TEST(CommandLine, AnExtensionNameAsTheValueOfAClassicOptionIsOnlyThatValue) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/d.txt", kTwoMarkers);

  // The report file is named --threads; nothing is missing a value.
  const ProgramResult last = runGorva({"--in", "d.txt", "--out", "--threads"}, dir);
  EXPECT_EQ(last.status, 0);
  EXPECT_EQ(last.err, "gorva: warning: --out takes the option name --threads as its value: give --out a value of its own\n");
  EXPECT_NE(last.out.find("# result file : --threads\n"), std::string::npos);
  EXPECT_NE(readFile(dir + "/--threads").find("\n1,a b,1.000000,1.000000,"), std::string::npos);

  // The data still come from --in, not from a PLINK file set named --top;
  // N = 4 and IG = 1 at order 1 give the p-value 2^-4.
  const ProgramResult bfile =
      runGorva({"--in", "d.txt", "--out", "--bfile", "--top", "1", "--order", "1"}, dir);
  EXPECT_EQ(bfile.status, 0);
  EXPECT_EQ(bfile.err, "gorva: warning: --out takes the option name --bfile as its value: give --out a value of its own\n");
  const std::string report = readFile(dir + "/--bfile");
  EXPECT_NE(report.find("<<1-Order Best Combination Sets>>\nRank,Best Combination,IG,RIG,"
                        "p-value(IG)\n1,a,1.000000,1.000000,6.250000E-02\n====="),
            std::string::npos);
}

TEST(CommandLine, FewerThanTwoOfAClassRefuseARunWithNewerOptionsAndWarnAClassicOne) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/d.txt", "P\ta\tb\n1\t0\t1\n0\t1\t1\n0\t0\t2\n0\t2\t0\n");
  const std::string counts = "the run's samples hold 1 case and 3 controls after the sample options; "
                             "a case/control search needs at least 2 of each\n";
  const ProgramResult classic = runGorva({"--in", "d.txt", "--out", "r.txt"}, dir);
  EXPECT_EQ(classic.status, 0);
  EXPECT_EQ(classic.err, "gorva: warning: " + counts);
  // Refused once the data are read: the classic run's report keeps its content.
  const std::string old_report = readFile(dir + "/r.txt");
  const ProgramResult table = runGorva({"--in", "d.txt", "--out", "r.txt", "--table", "t.tsv"}, dir);
  EXPECT_EQ(table.status, 2);
  EXPECT_EQ(table.err, "gorva: " + counts);
  EXPECT_FALSE(fileExists(dir + "/t.tsv"));
  EXPECT_EQ(readFile(dir + "/r.txt"), old_report);

  // Three of each, but "complete" counts 1 case and 3 controls (this once
  // ended a stratified search on a division by zero).
  writeFile(dir + "/m.txt", "P\ta\tb\n1\t0\t3\n0\t1\t1\n1\t0\t3\n0\t2\t0\n1\t1\t1\n0\t0\t2\n");
  writeFile(dir + "/m.strata", "x 1 u\nx 2 u\nx 3 u\nx 4 v\nx 5 v\nx 6 v\n");
  const ProgramResult complete = runGorva(
      {"--in", "m.txt", "--out", "r.txt", "--order", "2", "--missing", "complete", "--strata", "m.strata"}, dir);
  EXPECT_EQ(complete.status, 2);
  EXPECT_EQ(complete.err,
            "gorva: under --missing complete only the 4 samples without a missing genotype at any marker are "
            "counted, and they hold 1 case and 3 controls; a case/control search needs at least 2 of each (use "
            "--missing available, or --exclude the markers missing most often)\n");
  EXPECT_EQ(readFile(dir + "/r.txt"), old_report);
}

}  // namespace
