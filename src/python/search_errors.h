// What the module's C++ side throws; the binding turns each into the Python
// exception named beside it.
#ifndef GORVA_PYTHON_SEARCH_ERRORS_H
#define GORVA_PYTHON_SEARCH_ERRORS_H

#include <stdexcept>

// Input the search or a reader cannot take (a ValueError in Python).
class BadSearchInput : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The search would not fit in memory (a MemoryError in Python).
class SearchOutOfMemory : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file that cannot be opened or read (an OSError in Python).
class DataFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The search was stopped from outside (the caller's Python raised, e.g. on
// Ctrl-C); the binding raises that pending Python exception instead.
class SearchStopped : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

#endif  // GORVA_PYTHON_SEARCH_ERRORS_H
