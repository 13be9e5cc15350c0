#include "io/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <initializer_list>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "io/messages.h"
#include "io/temporary_files.h"

namespace {

// The file a rename must replace: the end of a chain of links, or the name
// itself when it does not exist yet (or its directory cannot be resolved).
std::string resolvedTarget(const std::string& path) {
  struct stat link_info;
  if (::lstat(path.c_str(), &link_info) != 0 || !S_ISLNK(link_info.st_mode)) return path;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;  // a dangling link: create beside it, replace it
  std::string target(resolved);
  std::free(resolved);
  return target;
}

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether `target` is mounted over (a file bound into a container, say):
// a rename onto it fails with EBUSY, only writing into it reaches it.
bool isMountedOver(const std::string& target) {
  struct statx file {};
  struct statx folder {};
  if (::statx(AT_FDCWD, target.c_str(), 0, STATX_MNT_ID, &file) != 0 ||
      ::statx(AT_FDCWD, directoryOf(target).c_str(), 0, STATX_MNT_ID, &folder) != 0)
    return false;
  if ((file.stx_mask & folder.stx_mask & STATX_MNT_ID) != 0) return file.stx_mnt_id != folder.stx_mnt_id;
  return file.stx_dev_major != folder.stx_dev_major || file.stx_dev_minor != folder.stx_dev_minor;
}

// A name beside `target` that no other run uses: hidden, with the process id
// and a counter, created exclusively. Temporaries of the same name whose
// runs are gone are removed first.
std::atomic<unsigned> temporary_counter{0};

std::string nextTemporaryName(const std::string& target) {
  const std::string directory = directoryOf(target);
  return directory + "/" + temporaryLeafPrefix(directory, baseNameOf(target)) + temporaryMachineTag() + "-" +
         std::to_string(::getpid()) + "." +
         std::to_string(temporary_counter++);
}

// `slot` is its place in the record the signal handlers read. The name is
// recorded before the file exists: a signal between the creation and the
// record left the file behind. The name holds this process's id, so no
// live process's file is under it.
int createTemporary(const std::string& target, std::string& name, int& slot) {
  const std::string directory = directoryOf(target);
  removeStaleTemporaries(directory, temporaryLeafPrefix(directory, baseNameOf(target)));
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = nextTemporaryName(target);
    slot = rememberTemporary(name);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    const int error_number = errno;
    forgetTemporary(slot);
    slot = -1;
    if (error_number != EEXIST) return errno = error_number, -1;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

int descriptorNamed(const std::string& path) {
  if (path == "/dev/stdin") return 0;
  if (path == "/dev/stdout") return 1;
  if (path == "/dev/stderr") return 2;
  for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    const std::size_t length = std::strlen(prefix);
    if (path.compare(0, length, prefix) != 0 || path.size() == length || path.size() > length + 9) continue;
    int number = 0;
    for (std::size_t i = length; i < path.size(); ++i) {
      if (path[i] < '0' || path[i] > '9') return -1;
      number = number * 10 + (path[i] - '0');
    }
    return number;
  }
  return -1;
}

OutputFile::~OutputFile() { abandon(); }

// Where the rename happens: a name that is a link is replaced at its file.
std::string OutputFile::folder() const { return directoryOf(target_.empty() ? path_ : target_); }

bool OutputFile::fail(int error_number) {
  if (error_.empty()) {
    error_ = programMessage(path_ + ": cannot write: " + std::strerror(error_number));
  }
  return false;
}

bool OutputFile::open(const std::string& path) {
  abandon();
  path_ = path;
  error_.clear();
  // A temporary beside "" would be made in the working folder, and only its
  // rename fail, after the whole run.
  if (path.empty()) {
    error_ = programMessage("\"\" (an empty file name): cannot write: " + std::string(std::strerror(ENOENT)));
    return false;
  }
  // A console saved to a file keeps its lines before and after the
  // content: the shared descriptor writes at the console's own offset,
  // where reopening the name would write from the start or replace it.
  if (const int descriptor = descriptorNamed(path); descriptor >= 0) {
    target_ = path;
    temporary_.clear();
    std::fflush(nullptr);
    const int fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
    stream_ = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
    if (stream_ != nullptr) return true;
    const int error_number = errno;
    if (fd >= 0) ::close(fd);
    return fail(error_number);
  }
  target_ = resolvedTarget(path);
  // The temporary's name is cut to fit, so a final name longer than the
  // folder takes would fail only at the rename: after the run, and after the
  // other files of its set had replaced theirs.
  const long name_max = ::pathconf(directoryOf(target_).c_str(), _PC_NAME_MAX);
  if (name_max > 0 && static_cast<long>(baseNameOf(target_).size()) > name_max) return fail(ENAMETOOLONG);
  struct stat info;
  const bool exists = ::stat(target_.c_str(), &info) == 0;
  if (exists && !S_ISREG(info.st_mode)) {
    temporary_.clear();
    stream_ = std::fopen(target_.c_str(), "w");
    return stream_ != nullptr || fail(errno);
  }
  // A rename would replace a file its owner made read-only, which opening it
  // for writing (the classic run's way) refuses: refused here as well.
  if (exists && S_ISREG(info.st_mode) && ::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0)
    return fail(errno);
  if (exists && isMountedOver(target_)) return openStaged(EBUSY);
  const int fd = createTemporary(target_, temporary_, temporary_slot_);
  if (fd < 0) {
    const int beside_error = errno;
    temporary_.clear();
    return exists ? openStaged(beside_error) : fail(beside_error);
  }
  // Keep the permissions of the file being replaced, not the temporary's.
  if (exists) (void)::fchmod(fd, info.st_mode & 07777);
  stream_ = ::fdopen(fd, "w");
  if (stream_ == nullptr) {
    const int error_number = errno;
    ::close(fd);
    ::unlink(temporary_.c_str());
    temporary_.clear();
    forgetTemporary(temporary_slot_);
    temporary_slot_ = -1;
    return fail(error_number);
  }
  return true;
}

bool OutputFile::openStaged(int beside_error) {
  // Opened now, so a target that cannot be written is known before the run;
  // not truncated, so it keeps its content until commit.
  target_fd_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC);
  if (target_fd_ < 0) return fail(beside_error);
  const int fd = namelessTemporaryFile("gorva-staged");
  stream_ = fd >= 0 ? ::fdopen(fd, "w+") : nullptr;
  if (stream_ != nullptr) return true;
  const int error_number = errno;
  if (fd >= 0) ::close(fd);
  ::close(target_fd_);
  target_fd_ = -1;
  return fail(error_number);
}

bool OutputFile::reserve() {
  if (staged_ == nullptr) return true;
  struct stat staged_info;
  struct stat target_info;
  if (::fstat(::fileno(staged_), &staged_info) != 0 || ::fstat(target_fd_, &target_info) != 0) return fail(errno);
  if (staged_info.st_size <= target_info.st_size) return true;
  // Room past the target's end, its size kept: the copy then overwrites the
  // old content without running out of space half-way.
  if (::fallocate(target_fd_, FALLOC_FL_KEEP_SIZE, 0, staged_info.st_size) == 0) return true;
  const int error_number = errno;
  // A file system that cannot reserve (NFS) is copied into unreserved.
  if (error_number == EOPNOTSUPP || error_number == ENOSYS) return true;
  (void)::ftruncate(target_fd_, target_info.st_size);  // gives back what was reserved
  abandon();
  return fail(error_number);
}

bool OutputFile::copyStagedIntoTarget(std::FILE* staged) {
  const int from = ::fileno(staged);
  if (::lseek(from, 0, SEEK_SET) != 0 || ::lseek(target_fd_, 0, SEEK_SET) != 0) return fail(errno);
  // A copy that fails part-way empties the target: old and new content cut
  // together would read as a whole file.
  const auto failed = [&](int error_number) {
    (void)::ftruncate(target_fd_, 0);
    return fail(error_number);
  };
  std::vector<char> block(1 << 20);
  off_t copied = 0;
  for (;;) {
    const ssize_t got = ::read(from, block.data(), block.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return failed(errno);
    if (got == 0) break;
    for (ssize_t put = 0; put < got;) {
      const ssize_t done = ::write(target_fd_, block.data() + put, static_cast<std::size_t>(got - put));
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) return failed(done < 0 ? errno : ENOSPC);
      put += done;
    }
    copied += got;
  }
  if (::ftruncate(target_fd_, copied) != 0) return failed(errno);
  return ::fsync(target_fd_) == 0 || failed(errno);
}

bool OutputFile::write(const void* data, std::size_t bytes) {
  if (stream_ == nullptr) return fail(EBADF);
  if (bytes == 0) return true;
  return std::fwrite(data, 1, bytes, stream_) == bytes || fail(errno);
}

bool OutputFile::write(const std::string& text) { return write(text.data(), text.size()); }

bool OutputFile::printf(const char* format, ...) {
  if (stream_ == nullptr) return fail(EBADF);
  std::va_list args;
  va_start(args, format);
  const int written = std::vfprintf(stream_, format, args);
  va_end(args);
  return written >= 0 || fail(errno);
}

bool OutputFile::finish() {
  if (stream_ == nullptr) return fail(EBADF);
  std::FILE* stream = stream_;
  stream_ = nullptr;
  // The console's own lines come first where the content shares its file.
  if (temporary_.empty() && target_fd_ < 0) (void)std::fflush(stdout);
  errno = 0;
  bool ok = std::ferror(stream) == 0 && std::fflush(stream) == 0;
  int error_number = errno != 0 ? errno : EIO;
  // A device or a FIFO cannot be synced; only a regular file must reach the disk.
  if (ok && !temporary_.empty() && ::fsync(::fileno(stream)) != 0) {
    ok = false;
    error_number = errno;
  }
  if (ok && target_fd_ >= 0) {
    staged_ = stream;  // copied into the target when published
    finished_ = true;
    return true;
  }
  if (std::fclose(stream) != 0 && ok) {
    ok = false;
    error_number = errno;
  }
  if (!ok) {
    abandon();
    return fail(error_number);
  }
  finished_ = true;
  return true;
}

void OutputFile::keepPrevious() {
  published_ = false;
  struct stat info;
  had_previous_ = ::lstat(target_.c_str(), &info) == 0;
  if (temporary_.empty() || !had_previous_ || !S_ISREG(info.st_mode)) return;
  // Named as a temporary of this run: one left by a run killed here is
  // swept like the others.
  for (int attempt = 0; attempt < 100; ++attempt) {
    previous_ = nextTemporaryName(target_);
    if (::link(target_.c_str(), previous_.c_str()) == 0) return;
    if (errno != EEXIST) break;
  }
  previous_.clear();
}

void OutputFile::restorePrevious() {
  if (published_) {
    if (!previous_.empty()) {
      (void)::rename(previous_.c_str(), target_.c_str());
    } else if (!had_previous_) {
      (void)::unlink(target_.c_str());
    }
  }
  dropPrevious();
}

void OutputFile::dropPrevious() {
  if (!previous_.empty()) (void)::unlink(previous_.c_str());
  previous_.clear();
  published_ = false;
}

bool OutputFile::publish() {
  if (!finished_) return fail(EBADF);
  finished_ = false;
  bool ok = true;
  int error_number = 0;
  if (staged_ != nullptr) {
    ok = copyStagedIntoTarget(staged_);
    std::fclose(staged_);
    staged_ = nullptr;
    if (::close(target_fd_) != 0 && ok) {
      ok = false;
      error_number = errno;
    }
    target_fd_ = -1;
  }
  if (ok && !temporary_.empty()) {
    published_ = ::rename(temporary_.c_str(), target_.c_str()) == 0;
    if (!published_) {
      ok = false;
      error_number = errno;
    }
  }
  if (!temporary_.empty() && !ok) ::unlink(temporary_.c_str());
  temporary_.clear();
  forgetTemporary(temporary_slot_);
  temporary_slot_ = -1;
  return ok || fail(error_number);
}

void OutputFile::abandon() {
  finished_ = false;
  for (std::FILE** stream : {&stream_, &staged_}) {
    if (*stream == nullptr) continue;
    std::fclose(*stream);
    *stream = nullptr;
  }
  if (target_fd_ >= 0) {
    ::close(target_fd_);
    target_fd_ = -1;
  }
  if (!temporary_.empty()) {
    ::unlink(temporary_.c_str());
    temporary_.clear();
  }
  forgetTemporary(temporary_slot_);
  temporary_slot_ = -1;
}
