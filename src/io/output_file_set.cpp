#include "io/output_file_set.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <set>
#include <utility>

#include "io/temporary_files.h"

namespace {

// Another run holds its lock for the few renames of its publication; a
// lock held longer is someone else's (`flock DIR gorva ...` hands its lock
// to the run itself), and waiting on it would never end.
constexpr int kLockWaitMilliseconds = 5000;

// Holds an exclusive lock on each folder the set publishes into, so that
// two runs on one name publish one after the other and their files never
// interleave. A folder is known by its device and inode, not its name: a
// lock is held by one open file, so the same folder named twice ("r.txt"
// and "/home/u/t.tsv") would wait on the set's own lock and be published
// into unlocked. Taken in that order, whatever names reach them, so two sets
// cannot wait on each other. A folder that cannot be locked in time is
// published into unlocked.
class FolderLocks {
 public:
  explicit FolderLocks(const std::set<std::string>& folders) {
    std::map<std::pair<dev_t, ino_t>, int> opened;
    for (const std::string& folder : folders) {
      const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      struct stat info {};
      if (fd < 0) continue;
      if (::fstat(fd, &info) != 0 || !opened.emplace(std::pair{info.st_dev, info.st_ino}, fd).second) ::close(fd);
    }
    for (const auto& [identity, fd] : opened) {
      if (lockWithin(fd, kLockWaitMilliseconds)) {
        fds_.push_back(fd);
      } else {
        ::close(fd);
      }
    }
  }
  ~FolderLocks() {
    for (const int fd : fds_) ::close(fd);
  }
  FolderLocks(const FolderLocks&) = delete;
  FolderLocks& operator=(const FolderLocks&) = delete;

 private:
  static bool lockWithin(int fd, int milliseconds) {
    for (int waited = 0;; waited += 10) {
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
      if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= milliseconds) return false;
      ::usleep(10000);
    }
  }

  std::vector<int> fds_;
};

}  // namespace

OutputFile& OutputFileSet::add() {
  files_.push_back(std::make_unique<OutputFile>());
  return *files_.back();
}

std::vector<std::string> OutputFileSet::paths() const {
  std::vector<std::string> names;
  for (const auto& file : files_) names.push_back(file->path());
  return names;
}

bool OutputFileSet::publishAll(const std::function<void()>& then, const std::function<void()>& settle) {
  std::set<std::string> folders;
  for (const auto& file : files_) {
    if (!file->finished()) {
      // Its writer has reported why; nothing of the set is published.
      error_ = file->error();
      return false;
    }
    folders.insert(file->folder());
  }
  // Room for content copied into place is reserved before any file is
  // published, so a full disk leaves every file of the set as it was.
  for (const auto& file : files_) {
    if (file->reserve()) continue;
    error_ = file->error();
    return false;
  }
  const FolderLocks locks(folders);
  // A signal that ends the run waits for the last rename, so that it never
  // leaves part of the set published.
  sigset_t ending, before;
  sigemptyset(&ending);
  for (const int signal_number : kEndingSignals) sigaddset(&ending, signal_number);
  pthread_sigmask(SIG_BLOCK, &ending, &before);
  // Renames first, each name's previous file kept until all are done, so a
  // rename that fails (a file system's error, a file mounted over the name
  // during the run) puts the earlier names back; content copied into place
  // cannot be taken back, so it comes last, its room reserved above.
  for (const auto& file : files_) file->keepPrevious();
  bool published = true;
  for (const bool staged : {false, true}) {
    for (const auto& file : files_) {
      if (!published || file->staged() != staged || file->publish()) continue;
      error_ = file->error();
      published = false;
    }
  }
  for (const auto& file : files_) {
    if (published) {
      file->dropPrevious();
    } else {
      file->restorePrevious();
    }
  }
  if (published && settle) settle();
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (published && then) then();
  return published;
}
