// The result files of one run, each written in full before any of them
// replaces its final name: a run that fails part-way (a full disk, a chart
// that cannot be written) leaves the files of the run before as they were,
// never this run's report beside the last run's table.
#ifndef GORVA_IO_OUTPUT_FILE_SET_H
#define GORVA_IO_OUTPUT_FILE_SET_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "io/output_file.h"

class OutputFileSet {
 public:
  // A new member to open, write and finish(); it lives as long as the set,
  // and an unpublished one is abandoned with it.
  OutputFile& add();
  // Publishes the members, once every one of them has been finished: those
  // renamed into place in the order they were added, then those copied into
  // place; false (and error()) when one was not finished, or when a
  // publication failed (the members after it stay unpublished, and the
  // names already renamed get their previous files back). After a
  // whole publication, and before the folders' locks are let go, calls
  // `then` (when given): a file it writes and commits beside the set (the
  // run log) joins the same publication, so another run's set cannot come
  // between them. `settle` (when given) runs first, before a signal that
  // ends the run is let through: what must not outlive the set's previous
  // files goes there (it must not block).
  bool publishAll(const std::function<void()>& then = {}, const std::function<void()>& settle = {});
  const std::string& error() const { return error_; }
  // The names its members were opened on, in the order they were added.
  std::vector<std::string> paths() const;

 private:
  std::vector<std::unique_ptr<OutputFile>> files_;
  std::string error_;
};

#endif  // GORVA_IO_OUTPUT_FILE_SET_H
