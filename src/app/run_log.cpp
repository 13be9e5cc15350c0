#include "app/run_log.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "app/options.h"
#include "app/result_files.h"
#include "io/messages.h"
#include "io/output_file.h"
#include "core/search_constants.h"

namespace {

std::vector<std::string>& lines() {
  static std::vector<std::string> body;
  return body;
}

std::string peakMemory() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return "unknown";
  char text[64];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(usage.ru_maxrss) / 1024.0);
  return text;
}

std::string oneLogLine(const std::string& text) { return withLineEndsEscaped(text) + "\n"; }

}  // namespace

void addRunLogLine(const std::string& line) { lines().push_back(line); }

const std::vector<std::string>& runLogLines() { return lines(); }

bool runLogWanted() {
  if (opt::log == 1) return true;
  if (opt::log >= 0 || !opt::extensions_given) return false;
  // The default log would be a stray file beside such a report in /dev.
  return reportKeptAsAFile(opt::output_file);
}

void dropPreviousRunLog(const std::string& report, const std::vector<std::string>& written,
                        const std::vector<RunFile>& inputs) {
  const std::string path = runLogPath(report);
  std::vector<RunFile> kept = inputs;
  for (const std::string& result : written) kept.push_back({result, "a result file"});
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && !isOneOf(path, kept)) ::unlink(path.c_str());
}

std::string runLogText(double seconds) {
  std::string text = std::string("# GORVA ") + kVersionText + " run log\n";
  // The command as the report records it, without the trailing blank.
  std::string command = opt::all_opt;
  if (!command.empty() && command.back() == ' ') command.pop_back();
  text += oneLogLine("command: " + command);
  for (const std::string& line : lines()) text += oneLogLine(line);
  const std::vector<std::string>& warnings = warningsGiven();
  text += "warnings: " + std::to_string(warnings.size()) + "\n";
  for (const std::string& warning : warnings) text += oneLogLine("  " + warning);
  char time[64];
  std::snprintf(time, sizeof time, "%.3f s", seconds);
  text += std::string("time: ") + time + " (wall clock, from the first check of the input to this log)\n";
  text += "peak memory: " + peakMemory() + " resident\n";
  return text;
}

bool writeRunLog(const std::string& path, double seconds, std::string& error) {
  OutputFile file;
  if (!file.open(path) || !file.write(runLogText(seconds)) || !file.commit()) {
    error = file.error();
    return false;
  }
  return true;
}
