// memorybudget.cpp: the peak memory of a run from its counts, and the
// memory the machine has left for it.
#include "app/memorybudget.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "engine/mdrresult.h"
#include "io/FileIO.h"

namespace {

// What the allocator itself keeps beside each small block (size word and
// alignment): the records and names are many small blocks.
constexpr std::uint64_t kAllocationOverhead = 16;
constexpr int kGenotypeLevels = 4;  // 0, 1, 2 and missing
constexpr int kPhenotypeClasses = 2;
constexpr double kMebibyte = 1048576.0;

std::uint64_t atLeastZero(long long value) { return value > 0 ? static_cast<std::uint64_t>(value) : 0; }

// The most rows any order can fill: the largest number of combinations of
// one order of the run, as the driver caps its records.
std::uint64_t reachableRows(long long marker_count, int init_order, int order) {
  double largest = 0;
  for (int k = std::max(init_order, 1); k <= order && k <= marker_count; ++k) {
    double count = 1;
    for (int i = 1; i <= k; ++i) count = count * static_cast<double>(marker_count - k + i) / i;
    largest = std::max(largest, count);
  }
  return largest >= 1e18 ? static_cast<std::uint64_t>(1e18) : static_cast<std::uint64_t>(largest);
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
  for (int k = std::max(init_order, 1); k <= order && k <= marker_count; ++k) {
    double count = 1;
    for (int i = 1; i <= k; ++i) count = count * static_cast<double>(marker_count - k + i) / i;
    if (count >= 9.2e18) continue;
    const double batches = std::ceil(count / static_cast<double>(kSearchBatchSize));
    workers = std::max(workers, batches < requested ? static_cast<int>(batches) : requested);
  }
  return workers;
}

}  // namespace

int resolveWorkerCount(int threads) {
  if (threads > 0) return threads;
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? static_cast<int>(hardware) : 1;
}

MemoryNeed estimateRunMemory(const RunShape& shape) {
  MemoryNeed need;
  const std::uint64_t markers = atLeastZero(shape.marker_count);
  const std::uint64_t samples = atLeastZero(shape.sample_count);
  const std::uint64_t highest_order = atLeastZero(shape.order);
  const std::uint64_t order_count = atLeastZero(static_cast<long long>(shape.order) - shape.init_order + 1);
  need.workers = activeWorkers(resolveWorkerCount(shape.threads), shape.marker_count,
                               shape.init_order, shape.order);
  const std::uint64_t workers = static_cast<std::uint64_t>(need.workers);

  need.genotypes = markers * samples;
  const std::uint64_t words_per_plane = (samples + 63) / 64;
  need.bit_planes = markers * kGenotypeLevels * kPhenotypeClasses * words_per_plane * 8;

  // Per worker: the combinations of a batch (ints), IG and RIG plus the
  // ranking key (doubles), and the sort index (ints).
  const std::uint64_t batch = kSearchBatchSize * highest_order * sizeof(int) +
                              kSearchBatchSize * (2 + 1) * sizeof(double) +
                              kSearchBatchSize * sizeof(int);

  const std::uint64_t rows =
      std::min<std::uint64_t>(atLeastZero(shape.top_k),
                              reachableRows(shape.marker_count, shape.init_order, shape.order));
  const int text_bytes = combinationTextCapacity(shape.order, static_cast<int>(
      std::min<long long>(shape.marker_count, 2147483647)));
  // The rows a worker ranks on the side (markers, IG, RIG and key): its own
  // best of a batch, up to 4 finished batches waiting to be merged, the kept
  // best of the order and the merge of both.
  constexpr std::uint64_t kRankedRowSets = 8;
  const std::uint64_t ranked_row = highest_order * sizeof(int) + 3 * sizeof(double);
  need.batches = workers * (batch + kRankedRowSets * rows * ranked_row);

  // One record per order: IG and RIG per row, a combination text per row
  // behind a pointer, the decoded marker indices, and p-value, RIG and IG.
  const std::uint64_t record_row = 2 * sizeof(double) + sizeof(char*) +
                                   static_cast<std::uint64_t>(text_bytes) + kAllocationOverhead +
                                   (highest_order + 1) * sizeof(int) + 3 * sizeof(double);
  need.records = order_count * (rows * record_row + 16 * kAllocationOverhead);

  need.samples_and_names = samples * (sizeof(unsigned char) + sizeof(double) + sizeof(int)) +
                           markers * (kFieldTextBuffer + sizeof(char*) + kAllocationOverhead);
  need.loaded_file = atLeastZero(shape.file_bytes);
  return need;
}

std::uint64_t availableMemoryBytes() {
  std::uint64_t bytes = 0;
  if (parseByteCount(std::getenv("GORVA_TEST_MEMORY_LIMIT"), bytes)) return bytes;
  std::uint64_t kilobytes = 0;
  if (meminfoKilobytes("MemAvailable:", kilobytes)) return kilobytes * 1024;
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page_size > 0) {
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
  }
  // Nothing to go by: do not refuse a run on a guess.
  return UINT64_MAX;
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
         megabytesUp(need.bit_planes) + " MB, search buffers of " + workers + " " +
         megabytesUp(need.batches) + " MB, results " + megabytesUp(need.records) +
         " MB; free memory, use fewer --threads, a smaller --top or fewer markers)";
}
