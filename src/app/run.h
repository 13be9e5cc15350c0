// The life of one invocation, in the steps that the MPI program reuses on
// every rank.
#ifndef GORVA_APP_RUN_H
#define GORVA_APP_RUN_H

#include "engine/search/order_search.h"

// A standard stream the caller closed (">&-", "2>&-") is given /dev/null
// opened the other way: writes to it fail as on a closed stream, while no
// file the run opens can take its number (a report opened as descriptor 2
// would receive the progress lines and warnings). First thing in main.
void holdClosedStandardStreams();

// Answers --help or --version (printing only when `print`); returns true when
// the invocation ends there.
bool answerHelpRequest(int argc, char** argv, bool print);

// Reads the command line into the option globals; an option without its
// value ends the process with status 1.
void readOptions(int argc, char** argv);

// Banner, options summary, one analysis, closing lines; returns the exit status.
// `order_search` searches each order (empty: this process alone).
int runAnalysis(const OrderSearch& order_search = {});

// answerHelpRequest, readOptions and runAnalysis in turn.
int runGorva(int argc, char** argv);

#endif  // GORVA_APP_RUN_H
