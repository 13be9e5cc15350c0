// The permutations of a group as the maxima count them: each one's
// phenotype, classes and running maximum, and planes holding only the
// samples of each one's smaller class (the class that is counted; the other
// follows from the cell totals).
#ifndef GORVA_ENGINE_SIGNIFICANCE_PERMUTED_CLASSES_H
#define GORVA_ENGINE_SIGNIFICANCE_PERMUTED_CLASSES_H

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "engine/count/bitplanes.h"
#include "engine/count/worker_threads.h"
#include "engine/rank/search_context.h"
#include "engine/significance/pair_class_counter.h"

// Markers decoded at a time while the planes are built.
constexpr int kDecodedPlaneMarkers = 256;

// Permutations held at once as a group: their planes share one count of
// the cell totals, so a larger group spreads that count thinner; 128 MB
// of planes and counters at most, and a group of fewer than three is
// searched in full instead.
constexpr double kGroupBytes = 128.0 * 1024 * 1024;
constexpr int kMaxGroupPermutations = 64;
constexpr int kMinGroupPermutations = 3;

// Scores the combinations [0, total) of a group's permutations in blocks of
// `block` on `workers` workers, each with its own worker from
// make_worker(): false when memory ran out or the run was asked to stop.
template <class MakeWorker>
bool scoreBlocksOnWorkers(const SearchContext& context, long long total, long long block, int workers,
                          MakeWorker make_worker) {
  std::atomic<long long> next_block{0};
  std::atomic<bool> failed{false};
  runWorkers(workers, [&](int) {
    try {
      auto worker = make_worker();
      for (;;) {
        if (failed.load(std::memory_order_relaxed) || stopRequested(context)) return;
        const long long first = next_block.fetch_add(1) * block;
        if (first >= total) return;
        worker.scoreBlock(first, static_cast<int>(std::min(block, total - first)));
      }
    } catch (const std::bad_alloc&) {
      failed = true;
    }
  });
  return !failed && !stopRequested(context);
}

// Planes to fill with the run's genotypes at `samples` (the run's sample
// behind each of the planes' samples).
struct PlanesAtSamples {
  const std::vector<int>* samples = nullptr;
  BitPlanes* planes = nullptr;
};

// Fills every target's planes, the run's codes decoded a block of markers
// at a time, once for all of them.
void fillPlanesAtSamples(const SearchContext& context, const std::vector<PlanesAtSamples>& targets,
                         int threads);

// One permutation of a group: its phenotype and classes, and its running
// maximum.
struct Permuted {
  SearchContext context;
  int counted_class = 1;  // 1: the cases are counted, 0: the controls
  std::vector<double> single_gains;
  double q = 0.5;
  double divergence_factor = std::numeric_limits<double>::infinity();
  std::atomic<double> maximum{-std::numeric_limits<double>::infinity()};

  void raise(double key) {
    double seen = maximum.load(std::memory_order_relaxed);
    while (key > seen && !maximum.compare_exchange_weak(seen, key, std::memory_order_relaxed)) {
    }
  }
};

// A permutation's own context over the run's: its phenotypes, its classes
// recounted, nothing listed or shared.
void permutedContext(const SearchContext& context, const unsigned char* phenotype, SearchContext& own);

// Sets up a permutation of the context with `phenotype` (held by the
// caller): its classes, the class it counts (the smaller) and the fraction
// its IG bound is taken at.
void preparePermuted(const SearchContext& context, const unsigned char* phenotype,
                     Permuted& permuted);

// Where a permutation's counted samples are in the entries of a table of
// its planes.
enum class CountedEntries { kControls, kCases, kBoth };

// Planes of the counted classes of one or two permutations: the first one's
// samples in the control words, the second one's in the case words. A
// permutation alone has its samples split over both (a cell's count is then
// the sum of both entries): two classes of about equal size are the shape
// the counting kernels are fastest at, and a pair is counted in one walk.
struct CountedPlanes {
  BitPlanes planes;
  Permuted* members[2] = {nullptr, nullptr};
  std::vector<int> samples;  // the run's sample behind each planes' sample
  std::vector<unsigned char> entries;  // and the entry (0 controls, 1 cases) it is in
  std::unique_ptr<LevelGaps> gaps;  // when pairs are counted from them
  std::vector<std::uint64_t> gap_entries;  // gapEntryMasks, when pairs count from masks
  AlignedWords wide_groups;  // packAllWideGroups, when pairs are counted wide
  bool empty() const { return samples.empty(); }
};

// Builds the planes of every permutation's counted class, the permutations
// two by two, the run's codes decoded once for the whole group, and for an
// order of pairs their gaps; false when memory is short.
bool buildCountedPlanes(const SearchContext& context, int order,
                        std::vector<std::unique_ptr<Permuted>>& group, int threads,
                        std::vector<std::unique_ptr<CountedPlanes>>& counted);

// Ranking by synergy: the single-marker gains of the set's permutations,
// each marker's table being its counted class per level (the planes'
// marginals) beside the run's count of the level, scored as order 1 is.
void singleGainsFromCountedPlanes(const SearchContext& context, const CountedPlanes& counted);

#endif  // GORVA_ENGINE_SIGNIFICANCE_PERMUTED_CLASSES_H
