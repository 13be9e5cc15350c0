#include "app/result_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include "app/plot.h"
#include "app/qq_plot.h"
#include "engine/run_memory.h"
#include "io/output_file.h"

std::string runLogPath(const std::string& report) { return report + ".log"; }

std::vector<RunFile> runResultFiles(const ResultFileRequest& request) {
  std::vector<RunFile> files = {{request.report, "the report", "--out"}};
  // Files named after the report: asked for by their own options, renamed
  // by --out.
  const auto named_after_report = [&files](std::string path, std::string role, std::string option) {
    files.push_back({std::move(path), std::move(role), std::move(option), false, "--out"});
  };
  if (request.save_all) named_after_report(request.report + ".all", "the all-results file", "--save_all");
  for (int k = request.first_order; request.plot && k <= request.last_order; ++k) {
    named_after_report(cellChartPath(request.report, k), "the order " + std::to_string(k) + " chart", "--plot");
    if (!request.table.empty()) {
      named_after_report(qqPlotPath(request.report, k), "the order " + std::to_string(k) + " QQ plot", "--plot");
    }
  }
  if (!request.table.empty()) files.push_back({request.table, "the results table", "--table"});
  if (request.log) named_after_report(runLogPath(request.report), "the run log", "--log");
  return files;
}

void dropPreviousResultFiles(const std::string& report, const std::vector<std::string>& written,
                             const std::vector<RunFile>& inputs) {
  std::vector<std::string> names = {report + ".all"};
  // Base 3 reaches the highest order of any missing-data method.
  for (int k = 1; k <= highestCountableOrder(3); ++k) {
    names.push_back(cellChartPath(report, k));
    names.push_back(qqPlotPath(report, k));
  }
  std::vector<RunFile> kept = inputs;
  for (const std::string& path : written) kept.push_back({path, "a result file"});
  for (const std::string& name : names) {
    struct stat info {};
    if (::lstat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || isOneOf(name, kept)) continue;
    ::unlink(name.c_str());
  }
}

bool reportKeptAsAFile(const std::string& report) {
  if (descriptorNamed(report) >= 0) return false;
  struct stat info {};
  return !(::stat(report.c_str(), &info) == 0 && !S_ISREG(info.st_mode));
}
