#include "io/output_file_set.h"

OutputFile& OutputFileSet::add() {
  files_.push_back(std::make_unique<OutputFile>());
  return *files_.back();
}

bool OutputFileSet::publishAll() {
  for (const auto& file : files_) {
    if (file->finished()) continue;
    // Its writer has reported why; nothing of the set is published.
    error_ = file->error();
    return false;
  }
  for (const auto& file : files_) {
    if (file->publish()) continue;
    error_ = file->error();
    return false;
  }
  return true;
}
