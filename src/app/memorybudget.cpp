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

#include "engine/batch_pool.h"
#include "engine/mdrresult.h"
#include "io/FileIO.h"
#include "search_constants.h"

namespace {

// What the allocator itself keeps beside each small block (size word and
// alignment): the records and names are many small blocks.
constexpr double kAllocationOverhead = 16;
constexpr int kGenotypeLevels = 4;  // 0, 1, 2 and missing
constexpr int kPhenotypeClasses = 2;
constexpr double kMebibyte = 1048576.0;

// Each part of a need is capped far above any machine, so that the six
// parts add up without overflow.
constexpr double kMaxPartBytes = 1e18;

std::uint64_t cappedBytes(double bytes) {
  return static_cast<std::uint64_t>(std::min(std::ceil(bytes), kMaxPartBytes));
}

// Calls visit(C(m, k)) for every order k of the run that has a combination,
// in one pass: C(m, k) = C(m, k - 1) (m - k + 1) / k.
template <typename Visit>
void forEachOrderCount(long long marker_count, int init_order, int order, Visit visit) {
  double count = 1;
  for (long long k = 1; k <= order && k <= marker_count; ++k) {
    count = count * static_cast<double>(marker_count - k + 1) / static_cast<double>(k);
    if (k >= init_order) visit(count);
  }
}

// The most rows any order can fill: the largest number of combinations of
// one order of the run, as the driver caps its records.
double reachableRows(long long marker_count, int init_order, int order) {
  double largest = 0;
  forEachOrderCount(marker_count, init_order, order,
                    [&](double count) { largest = std::max(largest, count); });
  return largest;
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
  forEachOrderCount(marker_count, init_order, order, [&](double count) {
    if (count >= 9.2e18) return;
    const double batches = std::ceil(count / static_cast<double>(BATCH_SIZE));
    workers = std::max(workers, batches < requested ? static_cast<int>(batches) : requested);
  });
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

  need.genotypes = cappedBytes(markers * samples);
  const double words_per_plane = std::ceil(samples / 64);
  need.bit_planes = cappedBytes(markers * kGenotypeLevels * kPhenotypeClasses * words_per_plane * 8);

  // Per worker: the combinations of a batch (ints), IG and RIG plus the
  // ranking key (doubles), and the sort index (ints). Orders above the
  // marker count have no combination and start no batch.
  const double batch_order = std::max(1.0, std::min(highest_order, markers));
  const double batch_size = static_cast<double>(BATCH_SIZE);
  const double batch = batch_size * (batch_order * sizeof(int) + 3 * sizeof(double) + sizeof(int));

  const double rows = std::min(static_cast<double>(std::max(shape.top_k, 0)),
                               reachableRows(shape.marker_count, shape.init_order, shape.order));
  // As combinationTextCapacity sizes it: ",i1,...,ik," and its terminator,
  // never below the fixed minimum.
  const double digits = std::floor(std::log10(std::max(markers, 1.0))) + 1;
  const double text_bytes = std::max(2 + highest_order * (digits + 1),
                                     static_cast<double>(kCombinationTextBytes));
  // The rows a worker ranks on the side (markers, IG, RIG and key): its own
  // best of a batch, up to 4 finished batches waiting to be merged, the kept
  // best of the order and the merge of both.
  constexpr double kRankedRowSets = 8;
  const double ranked_row = batch_order * sizeof(int) + 3 * sizeof(double);
  // The plain counting's table (an int counter and a double score sum per
  // entry, 2 * base^k entries) at the highest order that has combinations.
  const bool counts_anything = shape.init_order <= markers;
  const double table = counts_anything
                           ? 2 * std::pow(std::max(shape.base, 3), batch_order) * (sizeof(int) + sizeof(double))
                           : 0;
  need.batches = cappedBytes(workers * (batch + table + kRankedRowSets * rows * ranked_row));

  // One record per order: IG and RIG per row, a combination text per row
  // behind a pointer, the decoded marker indices, and p-value, RIG and IG.
  const double record_row = 2 * sizeof(double) + sizeof(char*) + text_bytes +
                            kAllocationOverhead + (highest_order + 1) * sizeof(int) +
                            3 * sizeof(double);
  need.records = cappedBytes(order_count * (rows * record_row + 16 * kAllocationOverhead));

  need.samples_and_names =
      cappedBytes(samples * (sizeof(unsigned char) + sizeof(double) + sizeof(int)) +
                  markers * (kFieldTextBuffer + sizeof(char*) + kAllocationOverhead));
  need.loaded_file = cappedBytes(static_cast<double>(std::max(shape.file_bytes, 0LL)));
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
         megabytesUp(need.bit_planes) + " MB, the data file " + megabytesUp(need.loaded_file) +
         " MB, search buffers of " + workers + " " + megabytesUp(need.batches) +
         " MB, results " + megabytesUp(need.records) + " MB, names and samples " +
         megabytesUp(need.samples_and_names) +
         " MB; free memory, or use fewer --threads, a smaller --top, a narrower --order range "
         "or fewer markers)";
}
