// Every file a run writes, in one list: the checks against the inputs and
// against each other, and the sweep of temporaries left by dead runs, all
// take it from here, so a new kind of result file is added in one place.
#ifndef GORVA_APP_RESULT_FILES_H
#define GORVA_APP_RESULT_FILES_H

#include <string>
#include <vector>

#include "io/file_safety.h"

struct ResultFileRequest {
  std::string report;
  bool save_all = false;
  bool plot = false;
  // The orders that can have a combination (charts are drawn for those).
  int first_order = 0;
  int last_order = -1;
  std::string table;
  bool log = false;  // REPORT.log
};

// The run log's name for a report.
std::string runLogPath(const std::string& report);

// The report first, then the files derived from its name, then those named
// by options of their own.
std::vector<RunFile> runResultFiles(const ResultFileRequest& request);

// Removes what an earlier run on this report's name left under the names a
// run makes from it (REPORT.all, and the chart and QQ plot of every order a
// search can count) and this run did not write (`written`, the paths of its
// result files): beside a newer report they would pass for its own. Only a
// file of its own goes: a link, a folder or a device under such a name is
// its user's, and so is an input of this run. REPORT.log has its own rule
// (dropPreviousRunLog).
void dropPreviousResultFiles(const std::string& report, const std::vector<std::string>& written,
                             const std::vector<RunFile>& inputs);

// Whether a report of this name is kept as a file: not one sent to a
// device, a pipe or a descriptor's name (/dev/null, /dev/stdout), beside
// which files named after it would be strays in /dev.
bool reportKeptAsAFile(const std::string& report);

#endif  // GORVA_APP_RESULT_FILES_H
