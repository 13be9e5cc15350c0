// The hidden temporaries of result files: their names, which always fit the
// file system's limit, the record of those a run holds, which a signal
// handler removes, and the sweep of those left by runs that no longer exist.
#ifndef GORVA_IO_TEMPORARY_FILES_H
#define GORVA_IO_TEMPORARY_FILES_H

#include <signal.h>

#include <string>

// The start of the name of every temporary of `target` in `directory`
// (".NAME.tmp."); this machine's tag, "-", the process id, "." and a
// counter follow. A NAME too long for the directory's name limit is cut and
// given a hash of its whole text, so two long names sharing a start still
// get different temporaries.
std::string temporaryLeafPrefix(const std::string& directory, const std::string& base_name);

// Eight hex digits naming the process-id space this process lives in: the
// running kernel (its boot id), the pid namespace (a container) and the
// host name. A process id says whether a run is gone only within that
// space: on a folder shared over the network, or between containers, the
// same number is another machine's live run.
const std::string& temporaryMachineTag();

// The signals that end a run after its temporaries are removed: the
// user's and the system's requests to stop, a reader of the console that
// went away (a pipe into `head`), a CPU time limit reached (ulimit -t) and
// the warnings batch schedulers send before they kill a job (SIGUSR1,
// SIGUSR2; an alarm), and Ctrl-\ (SIGQUIT, which still ends the run by
// its default action, a core dump where they are allowed). SIGPROF and
// SIGVTALRM belong to profilers.
inline constexpr int kEndingSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGPIPE,
                                         SIGXCPU, SIGUSR1, SIGUSR2, SIGALRM};

// Records a temporary for removal on one of kEndingSignals; -1 when
// the record is full (the temporary is then only removed by a later run).
int rememberTemporary(const std::string& path);
void forgetTemporary(int slot);

// Installs handlers for kEndingSignals that remove every recorded
// temporary and end the process by the same signal (a shell then sees
// status 128 + the signal). SIGXFSZ is ignored: a result file past the
// file size limit (ulimit -f) then fails its write like one on a full disk,
// instead of the process ending in the middle of it.
void removeTemporariesOnSignals();

// The folder of nameless temporaries: $TMPDIR, else /tmp.
std::string temporaryFolder();

// A file for reading and writing in temporaryFolder() that no name leads
// to, so that nothing is left of it however the run ends: made nameless
// (O_TMPFILE) where the file system can, else made as STEM-XXXXXX and
// unlinked at once. -1 with errno when neither can be made.
int namelessTemporaryFile(const char* stem);

// Removes the files of `directory` named `leaf_prefix` + this machine's
// tag + "-" + PID + "." + N whose process no longer exists (a run killed by
// SIGKILL, a lost MPI rank). Files of live processes, of other machines or
// containers, and anything else are left alone.
void removeStaleTemporaries(const std::string& directory, const std::string& leaf_prefix);

#endif  // GORVA_IO_TEMPORARY_FILES_H
