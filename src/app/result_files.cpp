#include "app/result_files.h"

#include "app/plot.h"
#include "app/qq_plot.h"
#include "app/run_log.h"

std::vector<RunFile> runResultFiles(const ResultFileRequest& request) {
  std::vector<RunFile> files = {{request.report, "the report", "--out"}};
  if (request.save_all) files.push_back({request.report + ".all", "the all-results file", "--save_all"});
  for (int k = request.first_order; request.plot && k <= request.last_order; ++k) {
    files.push_back({cellChartPath(request.report, k), "the order " + std::to_string(k) + " chart", "--plot"});
    if (!request.table.empty()) {
      files.push_back({qqPlotPath(request.report, k), "the order " + std::to_string(k) + " QQ plot", "--plot"});
    }
  }
  if (!request.table.empty()) files.push_back({request.table, "the results table", "--table"});
  if (request.log) files.push_back({runLogPath(request.report), "the run log", "--log"});
  return files;
}
