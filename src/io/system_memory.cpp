// What the machine, the process's cgroups and its resource limits leave a
// run to allocate.
#include "io/system_memory.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The first whole number in a /proc/meminfo line that starts with `key`,
// in kB; false when the file or the line is not there.
bool meminfoKilobytes(const char* key, std::uint64_t& kilobytes) {
  std::FILE* file = std::fopen("/proc/meminfo", "r");
  if (file == nullptr) return false;
  char line[256];
  bool found = false;
  const std::size_t key_length = std::strlen(key);
  while (!found && std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, key, key_length) != 0) continue;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(line + key_length, &end, 10);
    found = end != line + key_length && errno == 0;
    kilobytes = value;
  }
  std::fclose(file);
  return found;
}

// A plain decimal byte count, nothing else on the line; false otherwise.
bool parseByteCount(const char* text, std::uint64_t& bytes) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  bytes = value;
  return true;
}

// The first whole number of a file (a cgroup value); false for "max", a
// missing file or anything else.
bool fileNumber(const std::string& path, std::uint64_t& value) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return false;
  unsigned long long number = 0;
  const bool found = std::fscanf(file, "%llu", &number) == 1;
  std::fclose(file);
  value = number;
  return found;
}

// The value of `key` in a "key value" file such as memory.stat, 0 if absent.
std::uint64_t statValue(const std::string& path, const char* key) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return 0;
  char name[128];
  unsigned long long number = 0;
  std::uint64_t value = 0;
  while (std::fscanf(file, "%127s %llu", name, &number) == 2) {
    if (std::strcmp(name, key) == 0) value = number;
  }
  std::fclose(file);
  return value;
}

// Room under one cgroup directory's limit, UINT64_MAX without one.
std::uint64_t levelHeadroom(const std::string& directory, bool v2) {
  std::uint64_t limit = 0;
  std::uint64_t usage = 0;
  if (!fileNumber(directory + (v2 ? "/memory.max" : "/memory.limit_in_bytes"), limit) ||
      !fileNumber(directory + (v2 ? "/memory.current" : "/memory.usage_in_bytes"), usage)) {
    return UINT64_MAX;
  }
  // A v1 group without a limit shows a number near 2^63.
  if (limit >= (std::uint64_t{1} << 62)) return UINT64_MAX;
  const std::uint64_t reclaimable =
      statValue(directory + "/memory.stat", v2 ? "inactive_file" : "total_inactive_file");
  usage = usage > reclaimable ? usage - reclaimable : 0;
  return limit > usage ? limit - usage : 0;
}

// The smallest room from `path` (a cgroup path, "/..." ) up to the root of
// the hierarchy mounted at `mount`; a path that is not there (a cgroup
// namespace shows its own root as "/") is read from the mount itself.
std::uint64_t hierarchyHeadroom(const std::string& mount, std::string path, bool v2) {
  std::uint64_t room = UINT64_MAX;
  while (!path.empty() && path.back() == '/') path.pop_back();
  for (;;) {
    room = std::min(room, levelHeadroom(mount + path, v2));
    if (path.empty()) break;
    path.erase(path.rfind('/'));
  }
  return room;
}

// Bytes of a "Key:   1234 kB" line of /proc/self/status.
std::uint64_t statusBytes(const char* key) {
  std::FILE* file = std::fopen("/proc/self/status", "r");
  if (file == nullptr) return 0;
  char line[256];
  std::uint64_t bytes = 0;
  const std::size_t key_length = std::strlen(key);
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, key, key_length) == 0) bytes = std::strtoull(line + key_length, nullptr, 10) * 1024;
  }
  std::fclose(file);
  return bytes;
}

// Room under a resource limit for what the process already holds.
std::uint64_t rlimitHeadroom(int resource, const char* status_key) {
  struct rlimit limit {};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  const std::uint64_t used = statusBytes(status_key);
  return limit.rlim_cur > used ? limit.rlim_cur - used : 0;
}

std::string readWhole(const char* path) {
  std::string text;
  if (std::FILE* file = std::fopen(path, "r")) {
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, got);
    std::fclose(file);
  }
  return text;
}

}  // namespace

std::uint64_t cgroupHeadroomBytes(const std::string& proc_cgroup, const std::string& cgroup_root) {
  std::uint64_t room = UINT64_MAX;
  std::size_t start = 0;
  while (start < proc_cgroup.size()) {
    std::size_t end = proc_cgroup.find('\n', start);
    if (end == std::string::npos) end = proc_cgroup.size();
    const std::string line = proc_cgroup.substr(start, end - start);
    start = end + 1;
    // "ID:CONTROLLERS:PATH"; v2 has ID 0 and no controllers.
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
    const std::string path = line.substr(second + 1);
    if (line.compare(0, first, "0") == 0 && controllers == ",,") {
      room = std::min(room, hierarchyHeadroom(cgroup_root, path, true));
    } else if (controllers.find(",memory,") != std::string::npos) {
      room = std::min(room, hierarchyHeadroom(cgroup_root + "/memory", path, false));
    }
  }
  return room;
}

std::uint64_t availableMemoryBytes() {
  std::uint64_t bytes = 0;
  if (parseByteCount(std::getenv("GORVA_TEST_MEMORY_LIMIT"), bytes)) return bytes;
  // Nothing to go by: do not refuse a run on a guess.
  std::uint64_t room = UINT64_MAX;
  std::uint64_t kilobytes = 0;
  if (meminfoKilobytes("MemAvailable:", kilobytes)) {
    room = kilobytes * 1024;
  } else {
    const long pages = sysconf(_SC_AVPHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0) {
      room = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
    }
  }
  room = std::min(room, cgroupHeadroomBytes(readWhole("/proc/self/cgroup"), "/sys/fs/cgroup"));
  room = std::min(room, rlimitHeadroom(RLIMIT_AS, "VmSize:"));
  room = std::min(room, rlimitHeadroom(RLIMIT_DATA, "VmData:"));
  return room;
}

