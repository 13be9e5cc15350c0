#include "engine/run_memory.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "engine/count/plane_blocks.h"
#include "engine/count/bitplanes.h"
#include "engine/count/cell_counter.h"
#include "engine/mdrresult.h"
#include "engine/search/batch_pool.h"
#include "engine/search/stratified_scorer.h"
#include "engine/significance/permutation_maxima.h"
#include "engine/significance/stratified_pair_maxima.h"
#include "engine/significance/stratified_permutation_maxima.h"
#include "io/FileIO.h"
#include "core/search_constants.h"

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
  const int counted_base = shape.counted_base > 0 ? shape.counted_base : shape.base;
  need.bit_planes = cappedBytes(BitPlanes::bytesBound(shape.marker_count, shape.sample_count,
                                                      counted_base, need.workers));

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
                                                         counted_base, row_words}));
  }
  need.batches = cappedBytes(search);

  // Permutations of the hungriest order counted from cell totals (an order
  // whose tables the counter does not serve is searched as the run is).
  // Strata count theirs apart, except pairs, which are walked over the
  // strata's joint rows, and groups too small to share their totals.
  const int levels = std::max(shape.base, 3);
  const int strata = static_cast<int>(shape.stratum_samples.size());
  double permuted = 0;
  for (int k = std::max(shape.init_order, 1); k <= last_order; ++k) {
    if (!CellCounter::servesOrder(levels, k)) break;
    const int threads = workerCount(shape.threads);
    const bool stratified_totals =
        strata > 0 && !(k == 2 && levels == 3) &&
        stratifiedPermutationsFitGroups(markers, samples, strata, levels, k, threads, shape.permutations);
    permuted = std::max(permuted, stratified_totals
                                      ? stratifiedPermutationMaximaBytesBound(markers, samples, shape.stratum_samples,
                                                                              levels, k, threads, shape.permutations)
                                      : permutationMaximaBytesBound(markers, samples, levels, k, threads,
                                                                    shape.permutations));
    // Stratified pairs over the joint rows: their counted classes' rows.
    if (strata > 0 && k == 2 && levels == 3)
      permuted = std::max(permuted, stratifiedPairMaximaBytesBound(markers, samples, shape.stratum_samples, threads,
                                                                   shape.permutations));
  }
  need.permutations = cappedBytes(permuted);

  StratifiedSearchShape stratified;
  stratified.stratum_samples = shape.stratum_samples;
  stratified.marker_count = shape.marker_count;
  stratified.levels = std::max(shape.base, 3);
  stratified.counted_levels = counted_base;
  stratified.threads = workerCount(shape.threads);
  stratified.workers = need.workers;
  stratified.first_order = shape.init_order;
  stratified.last_order = last_order;
  stratified.batch_size = BATCH_SIZE;
  need.strata = cappedBytes(StratifiedScorer::bytesBound(stratified));

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

std::vector<long long> samplesPerStratum(const std::vector<int>& stratum_of, int stratum_count) {
  std::vector<long long> samples(static_cast<std::size_t>(std::max(stratum_count, 0)), 0);
  for (const int s : stratum_of) {
    if (s >= 0 && s < stratum_count) ++samples[s];
  }
  return samples;
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
         (need.strata > 0 ? " MB, strata " + megabytesUp(need.strata) : std::string()) +
         " MB; free memory, or use fewer --threads, a smaller --top, a narrower --order range "
         "or fewer markers)";
}
