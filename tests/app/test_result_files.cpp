// Nothing a run reads is written, nothing it writes is left half-written or
// claimed when it failed, and memory limits end a run with exit status 3
// and a message, never with a crash or a report of unfilled data.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "engine/run_memory.h"
#include "io/system_memory.h"
#include "io/plink_reader.h"
#include "support/run_program.h"

namespace {

// DIR/NAME (and with a prefix, DIR/PREFIX.bed/.bim/.fam) simulated.
void simulateData(const std::string& dir, int markers, int samples,
                  const std::string& bfile_prefix = "") {
  std::vector<std::string> args = {"--out", "data.txt", "--markers", std::to_string(markers),
                                   "--samples", std::to_string(samples)};
  if (!bfile_prefix.empty()) args.insert(args.end(), {"--bfile-out", bfile_prefix});
  ASSERT_EQ(runSimulator(args, dir).status, 0);
}

// The report without its time line, which differs from run to run.
std::string withoutTime(const std::string& report) {
  const std::size_t first = report.find('\n');
  const std::size_t second = first == std::string::npos ? first : report.find('\n', first + 1);
  return second == std::string::npos ? report : report.substr(0, first) + report.substr(second);
}

struct OverwriteCase {
  const char* what;
  std::vector<std::string> args;
  const char* victim;  // the input the run must leave alone
};

TEST(ResultFiles, NoResultFileMayBeAnInputAndTheRefusalCreatesNothing) {
  const std::vector<OverwriteCase> cases = {
      {"report", {"--in", "data.txt", "--out", "data.txt"}, "data.txt"},
      {"report through a link", {"--in", "data.txt", "--out", "link.txt"}, "data.txt"},
      {"report through ..", {"--in", "data.txt", "--out", "sub/../data.txt"}, "data.txt"},
      {"all-results file", {"--in", "r.all", "--out", "r", "--save_all", "1"}, "r.all"},
      {"chart", {"--in", "r.order2.svg", "--out", "r", "--plot", "1"}, "r.order2.svg"},
      {"PLINK .fam", {"--bfile", "p", "--out", "p.fam"}, "p.fam"},
      {"PLINK .bed", {"--bfile", "p", "--out", "p.bed"}, "p.bed"},
      // Not read beside --bfile, but named as data all the same.
      {"ignored --in", {"--bfile", "p", "--in", "data.txt", "--out", "data.txt"}, "data.txt"},
      // A repeated option's later values are ignored with a warning; a
      // classic run too must not write over the file the user named.
      {"second --in", {"--in", "p.txt", "--in", "data.txt", "--out", "data.txt"}, "data.txt"},
      {"second --strata", {"--in", "data.txt", "--strata", "s.txt", "--strata", "t.txt", "--out", "t.txt"}, "t.txt"},
      {"second --bfile", {"--in", "data.txt", "--bfile", "p", "--bfile", "q", "--out", "q.bim"}, "q.bim"},
      {"--score", {"--in", "data.txt", "--score", "data.txt", "--out", "data.txt"}, "data.txt"},
      // A misspelt input option is warned about and not read; its file is
      // still the one the user meant to read.
      {"misspelt --strata", {"--in", "data.txt", "--stratta", "t.txt", "--out", "t.txt"}, "t.txt"},
      {"misspelt --pheno=", {"--in", "data.txt", "--phenoo=t.txt", "--out", "t.txt"}, "t.txt"},
      // So is one written with a word processor's dash, or without its dashes.
      {"--strata with an em dash", {"--in", "data.txt", "\u2014strata", "t.txt", "--out", "t.txt"}, "t.txt"},
      {"--strata without dashes", {"--in", "data.txt", "strata", "t.txt", "--out", "t.txt"}, "t.txt"},
  };
  const std::string dir = makeTempDir();
  simulateData(dir, 6, 40, "p");
  for (const char* copy : {"r.all", "r.order2.svg", "p.txt", "t.txt", "q.bim"})
    writeFile(dir + "/" + copy, readFile(dir + "/data.txt"));
  std::string strata;
  for (int sample = 1; sample <= 40; ++sample) strata += std::to_string(sample) + " " + std::to_string(sample) + " A\n";
  writeFile(dir + "/s.txt", strata);
  ASSERT_EQ(symlink("data.txt", (dir + "/link.txt").c_str()), 0);
  ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
  for (const OverwriteCase& entry : cases) {
    const std::string before = readFile(dir + "/" + entry.victim);
    const ProgramResult run = runGorva(entry.args, dir);
    EXPECT_EQ(run.status, 2) << entry.what;
    EXPECT_NE(run.err.find(std::string("is the same file as ")), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(entry.victim), std::string::npos) << run.err;
    const bool named_after_report = std::string(entry.victim).rfind("r.", 0) == 0;
    EXPECT_NE(run.err.find(named_after_report ? "choose another --out (" : "choose another --out\n"), std::string::npos)
        << run.err;
    EXPECT_EQ(readFile(dir + "/" + entry.victim), before) << entry.what;
    EXPECT_FALSE(fileExists(dir + "/r")) << entry.what;
  }
}

// A console appended to an input would put the banner into the data before
// they are read, and the run would count its own lines as samples.
TEST(ResultFiles, AConsoleSavedIntoAnInputIsRefusedBeforeAnythingIsWritten) {
  const std::string dir = makeTempDir();
  simulateData(dir, 6, 40, "p");
  writeFile(dir + "/keep.txt", "F1 S1\nF2 S2\nF3 S3\nF4 S4\nF5 S5\nF6 S6\nF7 S7\nF8 S8\n");
  struct ConsoleCase {
    const char* options;
    const char* redirections;
    const char* victim;
    const char* told_out;  // expected on standard output ("" = nothing)
    const char* told_err;  // expected on the error stream
  };
  const std::vector<ConsoleCase> cases = {
      {"--in data.txt", ">> data.txt", "data.txt", "",
       "gorva: standard output is the same file as data.txt (the data file); a run never writes into its "
       "input, so send standard output to another file\n"},
      {"--in data.txt --table t.tsv", "2>> data.txt > out.txt", "data.txt",
       "gorva: the error stream is the same file as data.txt (the data file); a run never writes into its "
       "input, so send the error stream to another file\n",
       ""},
      {"--bfile p --keep keep.txt", ">> keep.txt", "keep.txt", "",
       "gorva: standard output is the same file as keep.txt (the --keep file); a run never writes into its "
       "input, so send standard output to another file\n"},
      // Nowhere to say it without writing into the data.
      {"--in data.txt", ">> data.txt 2>&1", "data.txt", "", ""},
  };
  for (const ConsoleCase& entry : cases) {
    const std::string before = readFile(dir + "/" + entry.victim);
    std::remove((dir + "/out.txt").c_str());
    const ProgramResult run = runProgram(
        "/bin/sh",
        {"-c", std::string("exec ") + GORVA_EXE + " " + entry.options + " --out r " + entry.redirections}, dir);
    EXPECT_EQ(run.status, 2) << entry.redirections;
    EXPECT_EQ(readFile(dir + "/" + entry.victim), before) << entry.redirections;
    const std::string out = fileExists(dir + "/out.txt") ? readFile(dir + "/out.txt") : run.out;
    EXPECT_EQ(out, entry.told_out) << entry.redirections;
    EXPECT_EQ(run.err, entry.told_err) << entry.redirections;
    EXPECT_FALSE(fileExists(dir + "/r")) << entry.redirections;
  }
}

TEST(ResultFiles, NoTwoResultFilesMayBeOneFileAndTheRefusalCreatesNothing) {
  const std::string dir = makeTempDir();
  simulateData(dir, 6, 40);
  ASSERT_EQ(symlink("r", (dir + "/s.all").c_str()), 0);
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--out", "r", "--table", "r"}, "r (--table, the results table) is the same file as r (--out, the report)"},
      {{"--out", "r", "--save_all", "1", "--table", "sub/../r.all"},
       "(--table, the results table) is the same file as r.all (--save_all, the all-results file)"},
      {{"--out", "r", "--plot", "1", "--table", "r.order2.svg"},
       "(--table, the results table) is the same file as r.order2.svg (--plot, the order 2 chart)"},
      {{"--out", "r", "--table", "s.all"}, "s.all (--table, the results table) is the same file as r (--out"},
      // The log is named after the report: the advice names the option that can move.
      {{"--out", "r", "--table", "r.log"},
       "r.log (--log, the run log) is the same file as r.log (--table, the results table); one would replace "
       "the other, so give --table a name of its own"},
  };
  ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
  for (const auto& [outputs, clash] : cases) {
    writeFile(dir + "/r", "old report\n");
    std::vector<std::string> args = {"--in", "data.txt"};
    args.insert(args.end(), outputs.begin(), outputs.end());
    const ProgramResult run = runGorva(args, dir);
    EXPECT_EQ(run.status, 2) << clash;
    EXPECT_NE(run.err.find(clash), std::string::npos) << run.err;
    EXPECT_EQ(readFile(dir + "/r"), "old report\n") << clash;
    for (const char* created : {"r.all", "r.order2.svg"}) EXPECT_FALSE(fileExists(dir + "/" + created));
  }
}

TEST(ResultFiles, InputsThatAreNotRegularFilesAreRefusedBeforeTheReportIsTouched) {
  const std::string dir = makeTempDir();
  simulateData(dir, 6, 40);
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0644), 0);
  const std::vector<std::pair<std::string, std::string>> kinds = {
      {"fifo", "a FIFO or pipe"}, {".", "a directory"}, {"/dev/null", "a character device"}};
  const auto refusedWithOldReport = [&](const std::vector<std::string>& args, const std::string& message) {
    writeFile(dir + "/r.txt", "old report\n");
    std::vector<std::string> line = args;
    line.insert(line.end(), {"--out", "r.txt"});
    const ProgramResult run = runGorva(line, dir);
    EXPECT_EQ(run.status, 2) << args[1];
    EXPECT_EQ(run.err, "gorva: " + message + "\n");
    EXPECT_EQ(readFile(dir + "/r.txt"), "old report\n");
  };
  for (const auto& [input, kind] : kinds) {
    refusedWithOldReport({"--in", input}, input + ": the data file is " + kind +
                                              ", not a regular file; it is read twice, so give the path of a "
                                              "file on disk");
  }
  for (const char* option : {"--pheno", "--keep", "--remove", "--extract", "--exclude"}) {
    for (const auto& [input, kind] : kinds) {
      refusedWithOldReport({"--in", "data.txt", option, input},
                           input + ": the " + option + " file is " + kind +
                               ", not a regular file; give the path of a file on disk");
    }
    refusedWithOldReport({"--in", "data.txt", option, "-"},
                         std::string("- (") + option + "): the " + option +
                             " file cannot be standard input, which a run never reads; give the path of a file "
                             "on disk (./- for a file named -)");
  }
}

TEST(ResultFiles, AFailedWriteEndsWithStatus4AndNoClosingMessage) {
  const std::string dir = makeTempDir();
  simulateData(dir, 6, 40);
  ASSERT_EQ(symlink("/dev/full", (dir + "/full.all").c_str()), 0);
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--out", "/dev/full"}, "/dev/full"},
      {{"--out", "full", "--save_all", "1"}, "full.all"},
  };
  for (const auto& [args, failed] : cases) {
    std::vector<std::string> line = {"--in", "data.txt"};
    line.insert(line.end(), args.begin(), args.end());
    const ProgramResult run = runGorva(line, dir);
    EXPECT_EQ(run.status, 4) << failed;
    EXPECT_EQ(run.err, "gorva: " + failed + ": cannot write: No space left on device\n");
    EXPECT_EQ(run.out.find("Analysis finished"), std::string::npos);
    EXPECT_EQ(run.out.find("GORVA complete"), std::string::npos);
  }
  // Past the file size limit a write fails as on a full disk: the run is
  // not ended by SIGXFSZ halfway, with its temporaries left behind.
  const ProgramResult limited = runProgram(
      "/bin/sh", {"-c", std::string("ulimit -f 1 && exec ") + GORVA_EXE +
                            " --in data.txt --out limited.txt --order 1-2 --top 100 --table limited.tsv"},
      dir);
  EXPECT_EQ(limited.status, 4) << limited.err;
  EXPECT_NE(limited.err.find(": cannot write: File too large"), std::string::npos) << limited.err;
  EXPECT_EQ(runProgram("/bin/sh", {"-c", "ls -A | grep -c tmp"}, dir).out, "0\n");
}

TEST(ResultFiles, AConsoleThatCannotBeWrittenEndsARunWithNewerOptionsWithStatus4) {
  const std::string dir = makeTempDir();
  simulateData(dir, 6, 40);
  const auto toFullConsole = [&dir](const std::string& options) {
    return runProgram("/bin/sh", {"-c", std::string("exec ") + GORVA_EXE + " --in data.txt --out r.txt " + options +
                                            " > /dev/full"}, dir);
  };
  // The banner cannot be written: nothing is read or created.
  const ProgramResult newer = toFullConsole("--table t.tsv");
  EXPECT_EQ(newer.status, 4);
  EXPECT_EQ(newer.err, "gorva: standard output: cannot write: No space left on device\n");
  EXPECT_FALSE(fileExists(dir + "/t.tsv"));
  EXPECT_EQ(toFullConsole("").status, 0);  // the classic exit statuses stay
  // Closed instead of full: the same refusal, and with the error stream
  // closed, no result file opened under its number takes the progress lines.
  const auto withClosed = [&dir](const std::string& options, const char* closing) {
    return runProgram("/bin/sh", {"-c", std::string("exec ") + GORVA_EXE + " --in data.txt " + options + closing}, dir);
  };
  const ProgramResult closed = withClosed("--out c.txt --table c.tsv", " >&-");
  EXPECT_EQ(closed.status, 4);
  EXPECT_EQ(closed.err, "gorva: standard output: cannot write: Bad file descriptor\n");
  ASSERT_EQ(withClosed("--out quiet.txt --table quiet.tsv --progress 1 --missing imputaton", " 2>&-").status, 0);
  EXPECT_EQ(readFile(dir + "/quiet.txt").rfind("=====", 0), 0u) << readFile(dir + "/quiet.txt");
  EXPECT_EQ(readFile(dir + "/quiet.tsv").rfind("# samples counted", 0), 0u) << readFile(dir + "/quiet.tsv");
}

// The text file is checked on a first reading and searched on a second.
// Swapped under the run between its valid version and one whose codes no
// check would pass, it must never be searched unchecked: a run either
// refuses or gives the valid file's table.
TEST(ResultFiles, ADataFileReplacedDuringTheRunIsRefusedNeverSearchedUnchecked) {
  const std::string dir = makeTempDir();
  simulateData(dir, 200, 1000);
  const std::vector<std::string> args = {"--in", "data.txt", "--out", "r.txt", "--table", "t.tsv",
                                         "--order", "1", "--threads", "1"};
  ASSERT_EQ(runGorva(args, dir).status, 0);
  const std::string valid = readFile(dir + "/data.txt");
  const std::string expected = readFile(dir + "/t.tsv");
  std::string unchecked = valid.substr(0, valid.find('\n') + 1);
  for (std::size_t at = unchecked.size(); at < valid.size(); ++at) {
    const char c = valid[at];
    unchecked += c >= '0' && c <= '2' && valid[at - 1] == '\t' ? '9' : c;
  }
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    for (int turn = 0; !stop; ++turn) {
      writeFile(dir + "/next.tmp", turn % 2 ? valid : unchecked);
      std::rename((dir + "/next.tmp").c_str(), (dir + "/data.txt").c_str());
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  int changed = 0;
  for (int run = 0; run < 12; ++run) {
    const ProgramResult result = runGorva(args, dir);
    if (result.status == 0) {
      EXPECT_EQ(readFile(dir + "/t.tsv"), expected) << "run " << run << ": a table of neither file";
      continue;
    }
    EXPECT_EQ(result.status, 2) << result.err;
    const bool told = result.err.find("data.txt: the file changed during the run") != std::string::npos;
    changed += told ? 1 : 0;
    EXPECT_TRUE(told || result.err.find("genotype code 9") != std::string::npos) << result.err;
  }
  stop = true;
  swapper.join();
  std::printf("%d of 12 runs saw the file change between their readings\n", changed);
}

TEST(ResultFiles, ARunThatCannotWriteOneResultPublishesNone) {
  const std::string dir = makeTempDir();
  simulateData(dir, 6, 40);
  for (const char* name : {"r.txt", "t.tsv", "r.txt.order1.svg", "r.txt.all"}) writeFile(dir + "/" + name, "old\n");
  ASSERT_EQ(symlink("/dev/full", (dir + "/r.txt.order2.qq.svg").c_str()), 0);
  const ProgramResult run = runGorva(
      {"--in", "data.txt", "--out", "r.txt", "--order", "1-2", "--table", "t.tsv", "--plot", "1"}, dir);
  EXPECT_EQ(run.status, 4);
  EXPECT_NE(run.err.find("r.txt.order2.qq.svg: cannot write: No space left on device"), std::string::npos);
  for (const char* name : {"r.txt", "t.tsv", "r.txt.order1.svg", "r.txt.all"}) EXPECT_EQ(readFile(dir + "/" + name), "old\n") << name;
  EXPECT_FALSE(fileExists(dir + "/r.txt.order1.qq.svg"));
}

// Renaming into place ignores a file's permissions; a result file its owner
// made read-only is refused as opening it for writing refuses it.
TEST(ResultFiles, AReadOnlyResultFileIsRefusedNotReplaced) {
  const std::string dir = makeTempDir();
  simulateData(dir, 6, 40);
  writeFile(dir + "/t.tsv", "old\n");
  ASSERT_EQ(chmod((dir + "/t.tsv").c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
  // Root writes whatever the permissions: the run is made as nobody.
  const bool root = geteuid() == 0;
  if (root && access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is needed to run as another user";
  std::vector<std::string> args = {"--in", "data.txt", "--out", "r.txt", "--order", "1", "--table", "t.tsv"};
  if (root) args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", GORVA_EXE});
  const ProgramResult run = runProgram(root ? "/usr/bin/setpriv" : GORVA_EXE, args, dir);
  EXPECT_EQ(run.status, 4) << run.err;
  EXPECT_EQ(run.err, "gorva: t.tsv: cannot write: Permission denied\n");
  EXPECT_EQ(readFile(dir + "/t.tsv"), "old\n");
  EXPECT_FALSE(fileExists(dir + "/r.txt"));
}

// The report sent to the console saved to a file comes between the
// console's lines there, which neither a rename nor emptying the file loses.
TEST(ResultFiles, AReportSentToStandardOutputFollowsTheConsoleInItsFile) {
  const std::string dir = makeTempDir();
  simulateData(dir, 6, 40);
  for (const bool newer : {false, true}) {
    std::vector<std::string> args = {"--in", "data.txt", "--out", "/dev/stdout", "--order", "1"};
    if (newer) args.insert(args.end(), {"--table", "t.tsv"});
    const ProgramResult run = runGorva(args, dir);  // its standard output is a file
    EXPECT_EQ(run.status, 0) << run.err;
    const std::size_t banner = run.out.find("# GORVA ver.");
    const std::size_t report = run.out.find("Command : ");
    const std::size_t closing = run.out.find("# GORVA complete");
    EXPECT_LT(banner, report) << run.out;
    EXPECT_NE(report, std::string::npos) << run.out;
    EXPECT_LT(report, closing) << run.out;
    EXPECT_NE(closing, std::string::npos) << run.out;
    EXPECT_EQ(run.out.find('\0'), std::string::npos) << newer;
    // Not kept as a file of its own, so no default log beside it in /dev.
    EXPECT_FALSE(fileExists("/dev/stdout.log")) << newer;
    std::remove("/dev/stdout.log");
  }
  // Charts, an .all file or a log named after such a report would be strays
  // in /dev; the search is not run for them.
  for (const char* asked : {"--plot", "--save_all", "--log"}) {
    const ProgramResult run = runGorva({"--in", "data.txt", "--out", "/dev/null", asked, "1", "--threads", "1"}, dir);
    EXPECT_EQ(run.status, 2) << asked;
    EXPECT_NE(run.err.find("/dev/null (--out) is not kept as a file"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(std::string(asked) + " 1 names its"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("Analysis finished"), std::string::npos) << asked;
    for (const char* stray : {"/dev/null.order2.svg", "/dev/null.all", "/dev/null.log"}) {
      EXPECT_FALSE(fileExists(stray)) << stray;
      std::remove(stray);
    }
  }
}

// What an earlier run wrote under the report's name and this run did not
// would be taken for this run's: it goes when the new report is published.
// Only the names the program makes, only files of their own, never an input.
TEST(ResultFiles, APublishedReportTakesAwayTheEarlierRunsFilesItDidNotWrite) {
  const std::string dir = makeTempDir();
  simulateData(dir, 6, 40);
  const auto at = [&dir](const std::string& name) { return dir + "/" + name; };
  const ProgramResult first = runGorva({"--in", "data.txt", "--out", "r.txt", "--order", "1-3", "--plot", "1",
                                        "--save_all", "1", "--table", "t.tsv", "--threads", "1"},
                                       dir);
  ASSERT_EQ(first.status, 0) << first.err;
  ASSERT_TRUE(fileExists(at("r.txt.order3.qq.svg")));
  // A link is its user's: neither it nor what it points to goes.
  ASSERT_EQ(std::remove(at("r.txt.order3.qq.svg").c_str()), 0);
  writeFile(at("mine.svg"), "mine\n");
  ASSERT_EQ(symlink("mine.svg", at("r.txt.order3.qq.svg").c_str()), 0);
  const std::vector<std::string> not_ours = {"r.txt.order03.svg", "r.txt.order3.svg~", "r.txt.order.svg",
                                             "r.txt.order-1.svg", "r.txt.all.old", "xr.txt.order3.svg"};
  for (const std::string& name : not_ours) writeFile(at(name), "kept\n");
  writeFile(at("r.txt.order9.svg"), "an older run's\n");

  const ProgramResult second =
      runGorva({"--in", "data.txt", "--out", "r.txt", "--order", "1-2", "--plot", "1", "--threads", "1"}, dir);
  ASSERT_EQ(second.status, 0) << second.err;
  for (const char* name : {"r.txt.order1.svg", "r.txt.order2.svg", "t.tsv"}) EXPECT_TRUE(fileExists(at(name))) << name;
  EXPECT_NE(readFile(at("r.txt.order2.svg")).find("<svg"), std::string::npos);
  for (const char* name : {"r.txt.order3.svg", "r.txt.order9.svg", "r.txt.order1.qq.svg", "r.txt.order2.qq.svg",
                           "r.txt.all"}) {
    EXPECT_FALSE(fileExists(at(name))) << name;
  }
  struct stat link {};
  EXPECT_EQ(lstat(at("r.txt.order3.qq.svg").c_str(), &link), 0);
  EXPECT_TRUE(S_ISLNK(link.st_mode));
  EXPECT_EQ(readFile(at("mine.svg")), "mine\n");
  for (const std::string& name : not_ours) EXPECT_EQ(readFile(at(name)), "kept\n") << name;

  // An input under such a name is read, not removed.
  writeFile(at("r.txt.all"), readFile(at("data.txt")));
  const ProgramResult on_input = runGorva({"--in", "r.txt.all", "--out", "r.txt", "--order", "1", "--threads", "1"}, dir);
  EXPECT_EQ(on_input.status, 0) << on_input.err;
  EXPECT_EQ(readFile(at("r.txt.all")), readFile(at("data.txt")));
  EXPECT_FALSE(fileExists(at("r.txt.order1.svg")));

  // A run of the classic options leaves the files it always left.
  writeFile(at("r.txt.order2.svg"), "old\n");
  ASSERT_EQ(runGorva({"--in", "data.txt", "--out", "r.txt", "--order", "1"}, dir).status, 0);
  EXPECT_EQ(readFile(at("r.txt.order2.svg")), "old\n");
}

TEST(ResultFiles, RunsOnOneFolderPublishOneAfterTheOther) {
  const std::string dir = makeTempDir();
  simulateData(dir, 6, 40);
  ASSERT_EQ(mkdir((dir + "/side").c_str(), 0755), 0);
  ASSERT_EQ(symlink("../r.txt", (dir + "/side/link.txt").c_str()), 0);
  // The report reached through a link in another folder is renamed in the
  // folder of its file, which is the folder to wait for.
  for (const auto& [report, table] : {std::pair{"r.txt", "t.tsv"}, {"side/link.txt", "side/t.tsv"}}) {
    writeFile(dir + "/r.txt", "old\n");
    // Another run publishing into the folder holds it as this lock does.
    const int folder = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(::flock(folder, LOCK_EX), 0);
    ProgramResult run;
    std::thread runner([&] { run = runGorva({"--in", "data.txt", "--out", report, "--table", table}, dir); });
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(readFile(dir + "/r.txt"), "old\n") << report;
    EXPECT_FALSE(fileExists(dir + "/" + table)) << report;
    ::close(folder);
    runner.join();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(readFile(dir + "/r.txt"), "old\n") << report;
    EXPECT_TRUE(fileExists(dir + "/" + table)) << report;
  }
}

// A report of many rows, so that its writing takes a while.
struct BigReport {
  std::string dir = makeTempDir();
  std::vector<std::string> args = {"--in", "data.txt", "--out", "r.txt", "--top", "40000",
                                   "--threads", "1"};
  std::string complete;

  BigReport() {
    simulateData(dir, 300, 60);
    if (runGorva(args, dir).status == 0) complete = withoutTime(readFile(dir + "/r.txt"));
  }
};

TEST(ResultFiles, AReportKilledAtAnyMomentIsOldEmptyOrComplete) {
  BigReport big;
  ASSERT_GT(big.complete.size(), 1000000u);
  const std::string old_report = "an earlier report\n";
  std::mt19937 random(12345);
  std::vector<std::string> argv = {GORVA_EXE};
  argv.insert(argv.end(), big.args.begin(), big.args.end());
  int seen_empty = 0;
  for (int attempt = 0; attempt < 12; ++attempt) {
    writeFile(big.dir + "/r.txt", old_report);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (chdir(big.dir.c_str()) != 0 || !freopen("/dev/null", "w", stdout)) _exit(126);
      std::vector<char*> words;
      for (std::string& word : argv) words.push_back(word.data());
      words.push_back(nullptr);
      execv(words[0], words.data());
      _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 400000));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    const std::string report = readFile(big.dir + "/r.txt");
    seen_empty += report.empty();
    EXPECT_TRUE(report == old_report || report.empty() || withoutTime(report) == big.complete)
        << "attempt " << attempt << ": " << report.size() << " bytes";
  }
  RecordProperty("killed_with_the_report_empty", seen_empty);
}

TEST(ResultFiles, TwoRunsOnOneReportLeaveOneWholeReport) {
  BigReport big;
  ASSERT_FALSE(big.complete.empty());
  std::thread other([&] { runGorva(big.args, big.dir); });
  const ProgramResult mine = runGorva(big.args, big.dir);
  other.join();
  EXPECT_EQ(mine.status, 0);
  EXPECT_EQ(withoutTime(readFile(big.dir + "/r.txt")), big.complete);
}

// Runs gorva under `ulimit -v kilobytes`, with the budget's own figure set
// out of the way so that the allocations themselves meet the limit.
ProgramResult runUnderAddressLimit(const std::string& dir, long kilobytes, const std::string& args) {
  return runProgram("/bin/sh", {"-c", "ulimit -v " + std::to_string(kilobytes) +
                                          " && GORVA_TEST_MEMORY_LIMIT=999999999999999 exec " +
                                          GORVA_EXE + " " + args},
                    dir);
}

TEST(MemoryLimits, EveryAllocationFailureEndsWithStatus3AndAMessage) {
  if (kSanitizedBuild) GTEST_SKIP() << "the sanitizers' shadow memory, not the program, fills the address space";
  const std::string dir = makeTempDir();
  simulateData(dir, 8, 300000, "p");
  for (const std::string input : {"--in data.txt", "--bfile p"}) {
    int refused = 0;
    int completed = 0;
    // From too little to load the libraries' data up to enough for the run.
    for (long kilobytes = 8000; kilobytes <= 100000; kilobytes += 4000) {
      const ProgramResult run = runUnderAddressLimit(dir, kilobytes, input + " --out r.txt --threads 2");
      // Too little for the loader to map the libraries: the program never ran.
      if (run.status == 127 && run.err.find("error while loading shared libraries") != std::string::npos) continue;
      ASSERT_TRUE(run.status == 0 || run.status == 3) << input << " " << kilobytes << ": " << run.status;
      const std::string report = readFile(dir + "/r.txt");
      if (run.status == 3) {
        ++refused;
        EXPECT_EQ(run.err.rfind("gorva: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find("out of memory"), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find("Analysis finished"), std::string::npos);
      } else {
        ++completed;
        EXPECT_NE(report.find("<<2-Order Best Combination Sets>>"), std::string::npos);
      }
      EXPECT_EQ(run.out.find("Cannot open the text file!!"), std::string::npos);
      EXPECT_EQ(report.find("nan"), std::string::npos) << input << " " << kilobytes;
    }
    EXPECT_GT(refused, 0) << input << ": no limit was low enough";
    EXPECT_GT(completed, 0) << input << ": no limit was high enough";
  }
}

TEST(MemoryLimits, TheAddressSpaceLimitIsPartOfTheBudget) {
  if (kSanitizedBuild) GTEST_SKIP() << "the sanitizers' shadow memory, not the program, fills the address space";
  const std::string dir = makeTempDir();
  simulateData(dir, 8, 300000);
  const ProgramResult run = runProgram(
      "/bin/sh", {"-c", "ulimit -v 60000 && exec " + std::string(GORVA_EXE) + " --in data.txt --out r.txt"},
      dir);
  EXPECT_EQ(run.status, 3);
  EXPECT_NE(run.err.find(" MB available ("), std::string::npos) << run.err;
  EXPECT_FALSE(fileExists(dir + "/r.txt"));
}

// The estimate plus what the program holds before it reads anything bounds
// the measured peak, whatever the shape of the data.
TEST(MemoryLimits, TheEstimateBoundsTheMeasuredPeak) {
  if (kSanitizedBuild) GTEST_SKIP() << "the sanitizers' shadow memory, not the program, fills the address space";
  struct Shape {
    const char* what;
    int markers;
    int samples;
    std::string options;
    int order;
    int top_k;
    int strata = 4;
  };
  const std::vector<Shape> shapes = {
      {"wide, many rows kept", 3000, 100, "--top 20000", 2, 20000},
      {"tall", 10, 400000, "", 2, 10},
      {"tall, order 3 under mc", 12, 200000, "--order 3 --missing mc", 3, 10},
      // em counts the missing genotype as a level, then completes its tables.
      {"tall, order 3 under em", 12, 200000, "--order 3 --missing em", 3, 10},
      {"PLINK, tall", 8, 400000, "", 2, 10},
      {"PLINK, wide, permuted", 6000, 1000, "--table t.tsv --permutations 2", 2, 10},
      // em's strata count from planes of four levels too.
      {"four strata, order 3 under em", 30, 40000, "--strata s.txt --order 3 --missing em", 3, 10},
      // Every permutation of a group holds planes of two strata a set.
      {"four strata, order 3, permuted", 120, 2000, "--strata s.txt --order 3 --table t.tsv --permutations 8", 3, 10},
      // No stratum has a pair counter of its own: the joint rows count them.
      {"1,000 strata of 2, order 2", 200, 2000, "--strata s.txt --table t.tsv", 2, 10, 1000},
  };
  const std::string base_dir = makeTempDir();
  simulateData(base_dir, 4, 20);
  const long baseline_kb = runGorva({"--in", "data.txt", "--out", "r.txt", "--threads", "2"}, base_dir).max_rss_kb;
  for (const Shape& shape : shapes) {
    const std::string dir = makeTempDir();
    const bool plink = std::string(shape.what).rfind("PLINK", 0) == 0;
    simulateData(dir, shape.markers, shape.samples, plink ? "p" : "");
    const bool stratified = shape.options.find("--strata") != std::string::npos;
    if (stratified) {
      std::ofstream strata(dir + "/s.txt");
      for (int n = 1; n <= shape.samples; ++n) strata << "F" << n << " " << n << " S" << n % shape.strata << "\n";
      ASSERT_TRUE(strata.flush());
    }
    std::vector<std::string> args = {plink ? "--bfile" : "--in", plink ? "p" : "data.txt", "--out",
                                     "r.txt", "--threads", "2"};
    for (const std::string& word : splitOn(shape.options, ' ')) {
      if (!word.empty()) args.push_back(word);
    }
    const ProgramResult run = runGorva(args, dir);
    ASSERT_EQ(run.status, 0) << shape.what << run.err;
    RunShape run_shape;
    run_shape.marker_count = shape.markers;
    run_shape.sample_count = shape.samples;
    run_shape.init_order = run_shape.order = shape.order;
    run_shape.top_k = shape.top_k;
    run_shape.threads = 2;
    run_shape.base = shape.options.find("mc") != std::string::npos ? 4 : 3;
    if (shape.options.find("em") != std::string::npos) run_shape.counted_base = 4;
    const std::size_t permutations = shape.options.find("--permutations ");
    run_shape.permutations = permutations == std::string::npos ? 0 : std::stoi(shape.options.substr(permutations + 15));
    if (stratified) run_shape.stratum_samples.assign(shape.strata, shape.samples / shape.strata);
    if (plink) {
      PlinkReader reader;
      ASSERT_TRUE(reader.open(dir + "/p"));
      run_shape.reader_bytes = reader.bytesHeld();
      run_shape.planes_road = true;
    } else {
      run_shape.file_bytes = static_cast<long long>(readFile(dir + "/data.txt").size());
    }
    const double estimate_kb = static_cast<double>(estimateRunMemory(run_shape).total()) / 1024;
    EXPECT_LE(run.max_rss_kb - baseline_kb, estimate_kb) << shape.what;
    RecordProperty(std::string(shape.what) + " peak kB over estimate kB",
                   std::to_string(run.max_rss_kb - baseline_kb) + " / " +
                       std::to_string(static_cast<long>(estimate_kb)));
  }
}

TEST(MemoryLimits, CgroupRoomIsTheSmallestAlongTheHierarchyWithoutTheDroppableCache) {
  const std::string root = makeTempDir();
  const auto group = [&](const std::string& path, const std::string& files) {
    std::string dir = root;
    for (const std::string& part : splitOn(path, '/')) {
      if (part.empty()) continue;
      dir += "/" + part;
      mkdir(dir.c_str(), 0755);
    }
    for (const std::string& entry : splitOn(files, ';')) {
      const std::size_t equals = entry.find('=');
      writeFile(dir + "/" + entry.substr(0, equals), entry.substr(equals + 1) + "\n");
    }
  };
  // v2: the job's own limit is generous, its parent's is not.
  group("/batch", "memory.max=1000000;memory.current=600000");
  group("/batch/job", "memory.max=max;memory.current=100000;memory.stat=anon 5\ninactive_file 50000");
  EXPECT_EQ(cgroupHeadroomBytes("0::/batch/job\n", root), 400000u);
  // v1: the limit minus usage, the inactive page cache given back.
  group("/memory/job1", "memory.limit_in_bytes=800000;memory.usage_in_bytes=500000;memory.stat=total_inactive_file 100000");
  EXPECT_EQ(cgroupHeadroomBytes("4:memory:/job1\n1:cpu:/\n", root), 400000u);
  // No limit anywhere, or only other controllers.
  group("/memory/free", "memory.limit_in_bytes=9223372036854771712;memory.usage_in_bytes=5");
  EXPECT_EQ(cgroupHeadroomBytes("4:memory:/free\n", root), UINT64_MAX);
  EXPECT_EQ(cgroupHeadroomBytes("1:cpu,cpuacct:/x\n", root), UINT64_MAX);
}

}  // namespace
