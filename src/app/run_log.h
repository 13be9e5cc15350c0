// The run log, REPORT.log beside the report: what a run read, how it read
// its options, what it left out and warned about, what each order tested,
// how long it took and how much memory it held. The driver fills it as the
// run goes; anything else worth recording adds a line with addRunLogLine().
#ifndef GORVA_APP_RUN_LOG_H
#define GORVA_APP_RUN_LOG_H

#include <string>
#include <vector>

#include "io/file_safety.h"

// Appends one line (without its line end) to the log's body, in the order
// lines are added, e.g. "order 2: lambda_gc = 1.0123 from 190 combinations".
void addRunLogLine(const std::string& line);

// The body so far.
const std::vector<std::string>& runLogLines();

// Whether this run writes its log: --log 1, or any option beyond the classic
// twelve unless --log 0. A classic run leaves only the classic files.
bool runLogWanted();

// Removes the log of an earlier run on this report's name, when it is a
// file of its own (not a link, a device or a pipe, which the new log is
// written through), not one of this run's `inputs` (a data or selection
// file that bears the name, which --log 0 must leave alone) and not one of
// the result files it has just written (`written`: a --table named so).
void dropPreviousRunLog(const std::string& report, const std::vector<std::string>& written,
                        const std::vector<RunFile>& inputs);

// The whole log text: the version and command, the body, every warning
// given (io/messages), the wall-clock time since the options were read and
// the peak resident memory.
std::string runLogText(double seconds);

// Writes runLogText() to `path` like every result file (beside it, then
// renamed); false with `error` ("gorva: PATH: cannot write: ...") on failure.
bool writeRunLog(const std::string& path, double seconds, std::string& error);

#endif  // GORVA_APP_RUN_LOG_H
