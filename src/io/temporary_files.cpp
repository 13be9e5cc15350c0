#include "io/temporary_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kTagDigits = 8;
// Room for ".tmp.", the machine's tag and its dash, a process id and a
// counter of 32 bits, with their dot.
constexpr std::size_t kSuffixRoom = 5 + kTagDigits + 1 + 10 + 1 + 10;
constexpr std::size_t kHashDigits = 16;

std::uint64_t fnv1a(const std::string& text) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (const unsigned char byte : text) hash = (hash ^ byte) * 1099511628211ULL;
  return hash;
}

// The record that the signal handler reads: fixed buffers and lock-free
// states, since a handler may neither lock nor allocate.
constexpr int kSlots = 64;
enum SlotState : int { kFree = 0, kFilling = 1, kHeld = 2 };
char slot_paths[kSlots][PATH_MAX];
std::atomic<int> slot_states[kSlots];
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void removeTemporariesAndDie(int signal_number) {
  const int saved_errno = errno;
  for (int slot = 0; slot < kSlots; ++slot) {
    if (slot_states[slot].load() == kHeld) ::unlink(slot_paths[slot]);
  }
  errno = saved_errno;
  // SA_RESETHAND has put back the default action: the process ends by the
  // signal itself, as its parent expects.
  ::raise(signal_number);
}

std::string firstLineOf(const char* path) {
  std::FILE* file = std::fopen(path, "re");
  if (file == nullptr) return "";
  char line[256] = {};
  if (std::fgets(line, sizeof line, file) == nullptr) line[0] = '\0';
  std::fclose(file);
  return line;
}

bool allDigits(const char* begin, const char* end) {
  if (begin == end) return false;
  for (const char* c = begin; c < end; ++c) {
    if (*c < '0' || *c > '9') return false;
  }
  return true;
}

}  // namespace

std::string temporaryLeafPrefix(const std::string& directory, const std::string& base_name) {
  long name_max = ::pathconf(directory.c_str(), _PC_NAME_MAX);
  if (name_max <= 0) name_max = NAME_MAX;
  if (name_max < static_cast<long>(kSuffixRoom + kHashDigits + 8)) name_max = NAME_MAX;
  const std::size_t room = static_cast<std::size_t>(name_max) - kSuffixRoom - 1;  // the leading dot
  std::string kept = base_name;
  if (kept.size() > room) {
    char hash[kHashDigits + 2];
    std::snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(fnv1a(base_name)));
    kept = base_name.substr(0, room - (kHashDigits + 1)) + hash;
  }
  return "." + kept + ".tmp.";
}

const std::string& temporaryMachineTag() {
  static const std::string tag = [] {
    std::string identity = firstLineOf("/proc/sys/kernel/random/boot_id");
    char target[PATH_MAX] = {};
    const ssize_t length = ::readlink("/proc/self/ns/pid", target, sizeof target - 1);
    identity += ":" + std::string(target, length > 0 ? static_cast<std::size_t>(length) : 0);
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) == 0) identity += ":" + std::string(host);
    char digits[kTagDigits + 1];
    std::snprintf(digits, sizeof digits, "%08llx",
                  static_cast<unsigned long long>(fnv1a(identity) & 0xFFFFFFFFULL));
    return std::string(digits);
  }();
  return tag;
}

int rememberTemporary(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  for (int slot = 0; slot < kSlots; ++slot) {
    int expected = kFree;
    if (!slot_states[slot].compare_exchange_strong(expected, kFilling)) continue;
    std::memcpy(slot_paths[slot], path.c_str(), path.size() + 1);
    slot_states[slot].store(kHeld);
    return slot;
  }
  return -1;
}

void forgetTemporary(int slot) {
  if (slot >= 0 && slot < kSlots) slot_states[slot].store(kFree);
}

void removeTemporariesOnSignals() {
  struct sigaction action {};
  action.sa_handler = removeTemporariesAndDie;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : kEndingSignals) sigaddset(&action.sa_mask, signal_number);
  action.sa_flags = SA_RESETHAND;
  for (const int signal_number : kEndingSignals) {
    struct sigaction previous {};
    // A signal the caller chose to ignore (nohup) stays ignored.
    if (::sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    ::sigaction(signal_number, &action, nullptr);
  }
  ::signal(SIGXFSZ, SIG_IGN);
}

std::string temporaryFolder() {
  const char* folder = std::getenv("TMPDIR");
  return folder != nullptr && folder[0] != '\0' ? folder : "/tmp";
}

int namelessTemporaryFile(const char* stem) {
  const std::string folder = temporaryFolder();
  // A name made and unlinked stands for a moment, long enough for a signal
  // that ends the run to leave it behind; O_TMPFILE never gives one.
  const int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  std::string name = folder + "/" + stem + "-XXXXXX";
  const int named = ::mkostemp(name.data(), O_CLOEXEC);
  if (named >= 0) ::unlink(name.c_str());
  return named;
}

void removeStaleTemporaries(const std::string& directory, const std::string& leaf_prefix) {
  DIR* folder = ::opendir(directory.c_str());
  if (folder == nullptr) return;
  while (const dirent* entry = ::readdir(folder)) {
    const char* name = entry->d_name;
    if (std::strncmp(name, leaf_prefix.c_str(), leaf_prefix.size()) != 0) continue;
    const char* tag = name + leaf_prefix.size();
    if (std::strncmp(tag, temporaryMachineTag().c_str(), kTagDigits) != 0 || tag[kTagDigits] != '-') continue;
    const char* pid_text = tag + kTagDigits + 1;
    const char* dot = std::strchr(pid_text, '.');
    if (dot == nullptr || !allDigits(pid_text, dot) || !allDigits(dot + 1, name + std::strlen(name))) continue;
    if (dot - pid_text > 9) continue;
    const long pid = std::strtol(pid_text, nullptr, 10);
    if (pid <= 0 || pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    ::unlink((directory + "/" + name).c_str());
  }
  ::closedir(folder);
}
