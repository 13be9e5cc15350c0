// Exit statuses of the programs (gorva, gorva-mpi), documented in the README.
#ifndef GORVA_IO_EXIT_STATUS_H
#define GORVA_IO_EXIT_STATUS_H

enum ExitStatus {
  kExitOk = 0,           // a run, including the fixed "Cannot ..." file messages
  kExitCommandLine = 1,  // an option without its value
  kExitBadInput = 2,     // data or option values outside what the program accepts
  kExitNoMemory = 3,     // an allocation could not be satisfied
  kExitWriteFailed = 4,  // a result file could not be written completely
};

#endif  // GORVA_IO_EXIT_STATUS_H
