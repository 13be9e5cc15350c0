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

// Whether a report of this name is kept as a file: not one sent to a
// device, a pipe or a descriptor's name (/dev/null, /dev/stdout), beside
// which files named after it would be strays in /dev.
bool reportKeptAsAFile(const std::string& report);

#endif  // GORVA_APP_RESULT_FILES_H
