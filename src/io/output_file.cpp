#include "io/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <vector>

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

// A name beside `target` that no other run uses: hidden, with the process id
// and a counter, created exclusively.
int createTemporary(const std::string& target, std::string& name) {
  static unsigned counter = 0;
  const std::string directory = directoryOf(target);
  const std::size_t slash = target.rfind('/');
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = directory + "/." + base + ".tmp." + std::to_string(::getpid()) + "." +
           std::to_string(counter++);
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

OutputFile::~OutputFile() { abandon(); }

bool OutputFile::fail(int error_number) {
  if (error_.empty()) {
    error_ = "gorva: " + path_ + ": cannot write: " + std::strerror(error_number);
  }
  return false;
}

bool OutputFile::open(const std::string& path) {
  abandon();
  path_ = path;
  error_.clear();
  target_ = resolvedTarget(path);
  struct stat info;
  const bool exists = ::stat(target_.c_str(), &info) == 0;
  if (exists && !S_ISREG(info.st_mode)) {
    temporary_.clear();
    stream_ = std::fopen(target_.c_str(), "w");
    return stream_ != nullptr || fail(errno);
  }
  const int fd = createTemporary(target_, temporary_);
  if (fd < 0) {
    temporary_.clear();
    return fail(errno);
  }
  // Keep the permissions of the file being replaced, not the temporary's.
  if (exists) (void)::fchmod(fd, info.st_mode & 07777);
  stream_ = ::fdopen(fd, "w");
  if (stream_ == nullptr) {
    const int error_number = errno;
    ::close(fd);
    ::unlink(temporary_.c_str());
    temporary_.clear();
    return fail(error_number);
  }
  return true;
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

bool OutputFile::commit() {
  if (stream_ == nullptr) return fail(EBADF);
  std::FILE* stream = stream_;
  stream_ = nullptr;
  errno = 0;
  bool ok = std::ferror(stream) == 0 && std::fflush(stream) == 0;
  int error_number = errno != 0 ? errno : EIO;
  // A device or a FIFO cannot be synced; only a regular file must reach the disk.
  if (ok && !temporary_.empty() && ::fsync(::fileno(stream)) != 0) {
    ok = false;
    error_number = errno;
  }
  if (std::fclose(stream) != 0 && ok) {
    ok = false;
    error_number = errno;
  }
  if (ok && !temporary_.empty() && ::rename(temporary_.c_str(), target_.c_str()) != 0) {
    ok = false;
    error_number = errno;
  }
  if (!ok) {
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
    return fail(error_number);
  }
  temporary_.clear();
  return true;
}

void OutputFile::abandon() {
  if (stream_ != nullptr) {
    std::fclose(stream_);
    stream_ = nullptr;
  }
  if (!temporary_.empty()) {
    ::unlink(temporary_.c_str());
    temporary_.clear();
  }
}
