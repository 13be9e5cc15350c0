// file_safety.h: the checks that keep a run from reading what it cannot read
// twice and from writing over what it reads. Both run before any result file
// is created; each returns the refusal text (no program prefix), or "" when
// the run may go on.
#ifndef GORVA_IO_FILESAFETY_H
#define GORVA_IO_FILESAFETY_H

#include <string>
#include <vector>

// A file the run reads or writes, with what it is to the run ("the data
// file", "the report") and the option that names it, for messages.
struct RunFile {
  std::string path;
  std::string role;
  std::string option = "--out";
};

// Every input that exists must be a regular file: the data are read in two
// passes, which a FIFO, a pipe, a terminal or a directory cannot give. An
// input that does not exist passes; its reader says so in its own words.
std::string refuseIrregularInputs(const std::vector<RunFile>& inputs);

// No output may be an input: the same device and inode, or the same path
// once symbolic links and ".." are resolved. Names both files.
std::string refuseOutputOverInput(const std::vector<RunFile>& inputs,
                                  const std::vector<RunFile>& outputs);

#endif  // GORVA_IO_FILESAFETY_H
