// A result file written beside its final name and renamed into place when
// complete, so that no reader ever sees a half-written file and two runs on
// one name leave one whole file. Every write is checked.
//
// A target that exists and is not a regular file (a device such as
// /dev/full, a FIFO) cannot be replaced by a rename and is written in place.
// A name of an open descriptor (/dev/stdout, /dev/stderr, /dev/fd/N,
// /proc/self/fd/N) is written through that descriptor, after what the
// program wrote there: a console saved to a file keeps its lines, and the
// file is not replaced.
// A symbolic link is followed: the file it points to is replaced, the link
// stays. A writable target whose directory takes no new file, or that is
// mounted over (bound into a container), is written in place too, but only
// at commit: until then the content goes to an unnamed
// file in the temporary directory, and the target keeps what it held; a
// copy that fails part-way leaves the target empty, never cut.
// Temporaries left by runs that were killed are removed by the next open
// on the same name; those of this run go with it on SIGINT, SIGTERM, SIGHUP, SIGPIPE.
#ifndef GORVA_IO_OUTPUTFILE_H
#define GORVA_IO_OUTPUTFILE_H

#include <cstddef>
#include <cstdio>
#include <string>

// The descriptor that `path` names (/dev/stdout is 1), or -1.
int descriptorNamed(const std::string& path);

class OutputFile {
 public:
  OutputFile() = default;
  // Abandons the file unless it was committed.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary beside `path`; false (and error()) on failure.
  // Nothing at `path` changes before commit().
  bool open(const std::string& path);
  bool write(const void* data, std::size_t bytes);
  bool write(const std::string& text);
  bool printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Flushes, syncs to disk and closes the content, the final name still
  // untouched (a device or FIFO written in place has had it); false (and
  // error()) when any of it failed, and then the file is abandoned.
  bool finish();
  // Puts a finished file under its final name: a rename, or the copy of
  // staged content into the target; false (and error()) on failure, and
  // then the final name is untouched (or holds what could be copied).
  bool publish();
  // Content staged elsewhere makes sure its target has room for it (a
  // reservation) before any file of its set is published; false (and
  // error()) when it has not, and then the file is abandoned, the target as
  // it was. True at once for a file renamed into place.
  bool reserve();
  bool commit() { return finish() && reserve() && publish(); }
  // Closes and removes the temporary; the final name is untouched.
  void abandon();

  // Around the publication of a set: a file that a rename will publish keeps
  // what its name holds now under a hidden link beside it, which
  // restorePrevious() puts back after the set failed part-way and
  // dropPrevious() removes. Where no link can be made (a file system
  // without them) nothing can be put back.
  void keepPrevious();
  void restorePrevious();
  void dropPrevious();
  // Whether publish() copies staged content rather than renaming.
  bool staged() const { return staged_ != nullptr; }

  // For writers that need a stream; their writes are checked by commit(),
  // which sees the stream's error flag.
  std::FILE* stream() { return stream_; }
  bool isOpen() const { return stream_ != nullptr; }
  bool finished() const { return finished_; }
  // "gorva: PATH: cannot write: REASON" after a failure, else empty.
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }
  // The folder the file is published into: that of the file path() links
  // to, when it is a link.
  std::string folder() const;

 private:
  bool fail(int error_number);
  // The fallback: stage in the temporary directory, copy at commit.
  bool openStaged(int beside_error);
  bool copyStagedIntoTarget(std::FILE* staged);

  std::string path_;       // the name the user gave
  std::string target_;     // what a rename replaces (links followed)
  std::string temporary_;  // empty when written in place
  std::string previous_;   // the link keepPrevious() made, or empty
  bool had_previous_ = false;  // the name held a file before publication
  bool published_ = false;  // renamed into place since keepPrevious()
  int temporary_slot_ = -1;  // its place in the record a signal handler reads
  int target_fd_ = -1;       // open on the target while staged elsewhere
  std::FILE* stream_ = nullptr;
  std::FILE* staged_ = nullptr;  // finished content waiting to be copied
  bool finished_ = false;
  std::string error_;
};

#endif  // GORVA_IO_OUTPUTFILE_H
