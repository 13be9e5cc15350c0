// Runs the built gorva executable and captures what it writes.
#ifndef GORVA_TESTS_SUPPORT_RUN_PROGRAM_H
#define GORVA_TESTS_SUPPORT_RUN_PROGRAM_H

#include <string>
#include <vector>

struct ProgramResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal
  long max_rss_kb = 0;  // the program's peak resident memory
};

// Runs program with args (argv[0] is the program path itself) in directory
// `cwd` (empty: the current one).
ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::string& cwd = "");

// runProgram on the gorva executable of this build.
ProgramResult runGorva(const std::vector<std::string>& args, const std::string& cwd = "");

// runProgram on the gorva-simulate executable built beside it.
ProgramResult runSimulator(const std::vector<std::string>& args, const std::string& cwd = "");

// The sanitizers' shadow memory, not the program, fills an address space or
// a memory limit: tests that measure them skip themselves in that build.
#ifdef GORVA_SANITIZED_BUILD
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif

// Writes `data` to DIR/data.txt and runs gorva in DIR with --in data.txt
// --out report.txt and the blank-separated words of `options`.
ProgramResult runOnData(const std::string& dir, const std::string& data, const std::string& options = "");

// The command line a report of runOnData records.
std::string runOnDataCommand(const std::string& options);

// A fresh empty directory under the test temp dir.
std::string makeTempDir();

std::string readFile(const std::string& path);
// The parts of `text` between separators (none after a final separator).
std::vector<std::string> splitOn(const std::string& text, char separator);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);

#endif  // GORVA_TESTS_SUPPORT_RUN_PROGRAM_H
