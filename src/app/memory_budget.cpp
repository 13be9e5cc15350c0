// memory_budget.cpp: the peak memory of a run from its counts, and the
// memory the machine has left for it.
#include "app/memory_budget.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "app/planes_road.h"
#include "engine/count/bitplanes.h"
#include "engine/count/cell_counter.h"
#include "engine/mdrresult.h"
#include "engine/search/batch_pool.h"
#include "engine/significance/permutation_maxima.h"
#include "io/FileIO.h"
#include "search_constants.h"

namespace {

// What the allocator itself keeps beside each small block (size word and
// alignment): the records and names are many small blocks.
constexpr double kAllocationOverhead = 16;
constexpr double kMebibyte = 1048576.0;

// Each part of a need is capped far above any machine, so that the six
// parts add up without overflow.
constexpr double kMaxPartBytes = 1e18;

std::uint64_t cappedBytes(double bytes) {
  return static_cast<std::uint64_t>(std::min(std::ceil(bytes), kMaxPartBytes));
}

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

std::string megabytesUp(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", std::ceil(static_cast<double>(bytes) / kMebibyte));
  return text;
}

std::string megabytesDown(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", std::floor(static_cast<double>(bytes) / kMebibyte));
  return text;
}

// Workers the search really starts: never more than the batches of the
// largest order, and one alone for an order too large to count.
int activeWorkers(int requested, long long marker_count, int init_order, int order) {
  int workers = 1;
  for (long long k = std::max(init_order, 1); k <= order && k <= marker_count; ++k) {
    const double count = combinationsOf(marker_count, k);
    if (count >= 9.2e18) continue;
    const double batches = std::ceil(count / static_cast<double>(BATCH_SIZE));
    workers = std::max(workers, batches < requested ? static_cast<int>(batches) : requested);
  }
  return workers;
}

}  // namespace

int highestCountableOrder(int base) {
  int order = 0;
  double cells = 2 * base;
  while (cells <= kMaxIndexedCount) {
    ++order;
    cells *= base;
  }
  return order;
}

MemoryNeed estimateRunMemory(const RunShape& shape) {
  // Worked in doubles: an absurd shape (--order 2-2147483647 with a huge
  // --top) must give a huge need, never a product that wraps around.
  const double markers = static_cast<double>(std::max(shape.marker_count, 0LL));
  const double samples = static_cast<double>(std::max(shape.sample_count, 0LL));
  const double highest_order = std::max(shape.order, 0);
  const double order_count = std::max(static_cast<double>(shape.order) - shape.init_order + 1, 0.0);
  MemoryNeed need;
  need.workers = activeWorkers(workerCount(shape.threads), shape.marker_count,
                               shape.init_order, shape.order);
  const double workers = need.workers;

  need.genotypes = cappedBytes(shape.planes_road ? std::max(planesBlockBytes(shape.sample_count, shape.marker_count),
                                                                    planesBlockBytes(shape.marker_count, shape.sample_count)) : markers * samples);
  need.bit_planes = cappedBytes(BitPlanes::bytesBound(shape.marker_count, shape.sample_count,
                                                      shape.base, need.workers));

  const double highest_counted = std::min(highest_order, markers);
  const double rows = std::max(keptRowCapacity(shape.marker_count, shape.init_order, shape.order, shape.top_k), 0);
  // As combinationTextCapacity sizes it: ",i1,...,ik," and its terminator,
  // never below the fixed minimum.
  const double digits = std::floor(std::log10(std::max(markers, 1.0))) + 1;
  const double text_bytes = std::max(2 + highest_order * (digits + 1),
                                     static_cast<double>(kCombinationTextBytes));
  // The search of the hungriest order. Orders whose tables an int cannot
  // index are refused before this, so the walk over orders stays short.
  const double row_words = planeRowWordsBound(samples);
  const int last_order = static_cast<int>(
      std::min<double>(highest_counted, highestCountableOrder(std::max(shape.base, 3)) + 1));
  double search = 0;
  for (int k = std::max(shape.init_order, 1); k <= last_order; ++k) {
    // The plain counting's table per worker: an int counter and a double
    // score sum per entry, 2 * base^k entries.
    const double table = 2 * std::pow(std::max(shape.base, 3), k) * (sizeof(int) + sizeof(double));
    search = std::max(search, workers * table +
                                  orderSearchBytesBound({static_cast<int>(markers), samples, k,
                                                         shape.top_k, need.workers, BATCH_SIZE,
                                                         shape.base, row_words}));
  }
  need.batches = cappedBytes(search);

  // Permutations of the hungriest order counted from cell totals (an order
  // whose tables the counter does not serve is searched as the run is).
  double permuted = 0;
  for (int k = std::max(shape.init_order, 1); k <= last_order; ++k) {
    if (!CellCounter::servesOrder(std::max(shape.base, 3), k)) break;
    permuted = std::max(permuted, permutationMaximaBytesBound(markers, samples, std::max(shape.base, 3), k,
                                                              workerCount(shape.threads),
                                                              shape.permutations));
  }
  need.permutations = cappedBytes(permuted);

  // One record per order: IG and RIG per row, a combination text per row
  // behind a pointer, the decoded marker indices, and p-value, RIG and IG.
  const double record_row = 2 * sizeof(double) + sizeof(char*) + text_bytes +
                            kAllocationOverhead + (highest_order + 1) * sizeof(int) +
                            3 * sizeof(double);
  need.records = cappedBytes(order_count * (rows * record_row + 16 * kAllocationOverhead));

  need.samples_and_names =
      cappedBytes(samples * (sizeof(unsigned char) + sizeof(double) + sizeof(int)) +
                  markers * (kFieldTextBuffer + sizeof(char*) + kAllocationOverhead));
  need.loaded_file = cappedBytes(static_cast<double>(std::max(shape.file_bytes, 0LL)) +
                                 std::max(shape.reader_bytes, 0.0));
  return need;
}

namespace {

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

std::string memoryRefusal(const std::string& input_name, const RunShape& shape,
                          const MemoryNeed& need, std::uint64_t available) {
  const std::string orders = shape.init_order == shape.order
                                 ? "order " + std::to_string(shape.order)
                                 : "orders " + std::to_string(shape.init_order) + "-" +
                                       std::to_string(shape.order);
  const std::string workers =
      std::to_string(need.workers) + (need.workers == 1 ? " thread" : " threads");
  return input_name + ": " + std::to_string(shape.marker_count) + " markers x " +
         std::to_string(shape.sample_count) + " samples at " + orders + " needs " +
         megabytesUp(need.total()) + " MB, " + megabytesDown(available) +
         " MB available (genotypes " + megabytesUp(need.genotypes) + " MB, bit-planes " +
         megabytesUp(need.bit_planes) + " MB, the data file " + megabytesUp(need.loaded_file) +
         " MB, search buffers of " + workers + " " + megabytesUp(need.batches) +
         " MB, results " + megabytesUp(need.records) + " MB, names and samples " +
         megabytesUp(need.samples_and_names) +
         (need.permutations > 0 ? " MB, permutations " + megabytesUp(need.permutations) : std::string()) +
         " MB; free memory, or use fewer --threads, a smaller --top, a narrower --order range "
         "or fewer markers)";
}
