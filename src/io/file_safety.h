// file_safety.h: the checks that keep a run from reading what it cannot read
// twice and from writing over what it reads or over its own results. All run
// before any result file is created; each returns the refusal text (no
// program prefix), or "" when the run may go on.
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
  // The text data file is read in two passes; other inputs are read once.
  bool read_twice = false;
  // The option whose value names the file, when that is not `option`: the
  // files named after the report are asked for by their own options.
  std::string named_by = {};
};

// Every input that exists must be a regular file: a FIFO, a pipe, a terminal
// or a directory gives its bytes once or not at all, and a device never ends.
// "-" names no file here: standard input is never read. An input that does
// not exist passes; its reader says so in its own words.
std::string refuseIrregularInputs(const std::vector<RunFile>& inputs);

// No output may be an input: the same device and inode, or the same path
// once symbolic links and ".." are resolved. Names both files.
std::string refuseOutputOverInput(const std::vector<RunFile>& inputs,
                                  const std::vector<RunFile>& outputs);

// A standard stream (fd) that is a regular file must not be an input: a
// console appended to the data (">> data.txt") would put the banner and the
// warnings into the file before and while it is read. "" when it is not;
// else the refusal, naming the stream as `stream` and the input.
std::string refuseStreamOverInput(const std::vector<RunFile>& inputs, int fd, const std::string& stream);

// Whether `path` is one of `files`, by the same test.
bool isOneOf(const std::string& path, const std::vector<RunFile>& files);

// No two outputs may be one file, by the same test: the later would replace
// the earlier. Names both files and their options.
std::string refuseClashingOutputs(const std::vector<RunFile>& outputs);

// What tells a file read twice from one replaced or written to between the
// readings: its device, inode, size and time of last modification.
struct FileStamp {
  bool taken = false;
  unsigned long long device = 0, inode = 0;
  long long size = 0, modified_seconds = 0, modified_nanoseconds = 0;
  bool operator==(const FileStamp&) const = default;
};
FileStamp stampOf(const std::string& path);
// "PATH: the file changed during the run ...": a refusal of such a file.
std::string changedMessage(const std::string& path);

#endif  // GORVA_IO_FILESAFETY_H
