// The hidden temporaries of result files: a name that fits whatever the
// report is called, a report written in place where none can be made beside
// it, and none left behind by runs that are gone.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "io/temporary_files.h"
#include "support/run_program.h"

namespace {

std::string simulate(const std::string& dir) {
  EXPECT_EQ(runSimulator({"--out", "data.txt", "--markers", "6", "--samples", "40"}, dir).status, 0);
  return readFile(dir + "/data.txt");
}

std::vector<std::string> hiddenFiles(const std::string& dir) {
  std::vector<std::string> names;
  DIR* folder = opendir(dir.c_str());
  while (const dirent* entry = folder != nullptr ? readdir(folder) : nullptr) {
    const std::string name = entry->d_name;
    if (name[0] == '.' && name != "." && name != "..") names.push_back(name);
  }
  if (folder != nullptr) closedir(folder);
  return names;
}

bool isWholeReport(const std::string& text) {
  return text.find("<<2-Order Best Combination Sets>>") != std::string::npos &&
         text.rfind("=====\n") == text.size() - 6;
}

TEST(Temporaries, AReportIsWrittenWhateverItsNameAndWhereNoneCanBeMadeBesideIt) {
  const std::string dir = makeTempDir();
  simulate(dir);
  const std::string longest(255, 'r');  // the file system's limit: no hidden name can be longer
  writeFile(dir + "/" + longest, "old report\n");
  const ProgramResult fits = runGorva({"--in", "data.txt", "--out", longest}, dir);
  EXPECT_EQ(fits.status, 0) << fits.err;
  EXPECT_TRUE(isWholeReport(readFile(dir + "/" + longest)));
  EXPECT_TRUE(hiddenFiles(dir).empty());

  // A folder that takes no new file, even from root: the report and the
  // table are rewritten in place after the search.
  writeFile(dir + "/t.tsv", "old table\n");
  if (runProgram("/usr/bin/chattr", {"+i", dir}).status != 0) GTEST_SKIP() << "chattr +i is not available here";
  const ProgramResult fixed = runGorva({"--in", "data.txt", "--out", longest, "--table", "t.tsv"}, dir);
  const std::string table = readFile(dir + "/t.tsv");
  EXPECT_EQ(runProgram("/usr/bin/chattr", {"-i", dir}).status, 0);
  EXPECT_EQ(fixed.status, 0) << fixed.err;
  EXPECT_NE(fixed.err.find("gorva: warning: no run log: "), std::string::npos) << fixed.err;
  EXPECT_TRUE(isWholeReport(readFile(dir + "/" + longest)));
  EXPECT_EQ(table.rfind("# ", 0), 0u) << table;
}

// A process id tells whether a run is gone only on the machine (and in the
// container) that gave it: another's temporary in a shared folder stays,
// whatever its number.
TEST(Temporaries, ALaterRunRemovesTheTemporariesOfRunsThatAreGoneFromThisMachineOnly) {
  const std::string dir = makeTempDir();
  simulate(dir);
  long pid_max = 4194304;
  std::ifstream("/proc/sys/kernel/pid_max") >> pid_max;
  const std::string here = temporaryMachineTag() + "-";
  const std::string elsewhere = (here[0] == '0' ? "1" : "0") + here.substr(1);
  const std::string dead = ".r.txt.tmp." + here + std::to_string(pid_max + 1) + ".0";
  const std::string dead_all = ".r.txt.all.tmp." + here + std::to_string(pid_max + 1) + ".3";
  const std::string alive = ".r.txt.tmp." + here + std::to_string(getpid()) + ".0";
  const std::string other_machine = ".r.txt.tmp." + elsewhere + std::to_string(pid_max + 1) + ".0";
  const std::string older_form = ".r.txt.tmp." + std::to_string(pid_max + 1) + ".0";
  const std::string not_ours = ".r.txt.tmp.notes";
  for (const std::string& name : {dead, dead_all, alive, other_machine, older_form, not_ours})
    writeFile(dir + "/" + name, "left\n");
  ASSERT_EQ(runGorva({"--in", "data.txt", "--out", "r.txt", "--save_all", "1"}, dir).status, 0);
  std::vector<std::string> left = hiddenFiles(dir);
  std::sort(left.begin(), left.end());
  std::vector<std::string> expected{alive, other_machine, older_form, not_ours};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
}

// A run stopped while its result files wait, written, for their folder (held
// here as another run's publication holds it) ends by the signal and takes
// its temporaries with it. SIGQUIT (Ctrl-\\) left them for the next run on
// the same name to find; it still ends the run as its default does.
TEST(Temporaries, ASignalThatEndsARunRemovesItsTemporaries) {
  const std::string dir = makeTempDir();
  simulate(dir);
  // SIGPIPE is left out: a caller that ignores it (as a shell may) passes
  // that on to the run, which then keeps ignoring it.
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXCPU, SIGUSR1, SIGUSR2, SIGALRM}) {
    SCOPED_TRACE(strsignal(signal_number));
    // What a failed round left must not name the next round's process.
    for (const std::string& name : hiddenFiles(dir)) ::unlink((dir + "/" + name).c_str());
    ::unlink((dir + "/t.tsv").c_str());
    const int folder = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(::flock(folder, LOCK_EX), 0);
    ProgramResult run;
    std::thread runner(
        [&] { run = runGorva({"--in", "data.txt", "--out", "r.txt", "--save_all", "1", "--table", "t.tsv"}, dir); });
    // The process id is the temporary's name's: .r.txt.tmp.TAG-PID.N
    pid_t pid = 0;
    for (int wait = 0; wait < 400 && pid == 0; ++wait) {
      for (const std::string& name : hiddenFiles(dir)) {
        if (name.rfind(".r.txt.tmp.", 0) == 0) pid = std::atoi(name.c_str() + name.find('-') + 1);
      }
      if (pid == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GT(pid, 0);
    if (pid > 0) ::kill(pid, signal_number);
    runner.join();
    ::close(folder);
    EXPECT_EQ(run.status, 128 + signal_number) << run.err;
    EXPECT_EQ(hiddenFiles(dir), std::vector<std::string>{});
    EXPECT_FALSE(fileExists(dir + "/t.tsv"));
  }
}

}  // namespace
