#include "engine/significance/permutation_maxima.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>

#include "core/gorva.h"
#include "core/search_constants.h"
#include "engine/count/bitplanes.h"
#include "engine/count/cell_counter.h"
#include "engine/count/path_kernels.h"
#include "engine/count/unrank.h"
#include "engine/count/worker_threads.h"
#include "engine/count/information_gain_bound.h"
#include "engine/count/information_gain_bound_finish.h"
#include "engine/significance/maxima_worker.h"
#include "engine/significance/pair_class_counter.h"
#include "engine/significance/pair_wide_counts.h"
#include "engine/significance/permuted_classes.h"

namespace {

// Cell totals of one block per worker at most, and the runs (combinations
// that differ in the last marker only) a block should hold, so that each
// walk serves many runs from a block of last markers in cache; several
// blocks per worker keep the workers evenly busy.
constexpr long kBlockTotalInts = 1L << 22;
constexpr long kRunsPerBlock = 64;
constexpr int kBlocksPerWorker = 8;

constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();

int cellsOf(int levels, int order) {
  int cells = 1;
  for (int j = 0; j < order; ++j) cells *= levels;
  return cells;
}

long blockCombinations(int cells, double marker_count) {
  const double runs = kRunsPerBlock * (marker_count / 2 + 1);
  return std::max(1L, static_cast<long>(std::min<double>(kBlockTotalInts / cells, runs)));
}

// Words per row of planes over at most `samples` samples (padding to whole
// vectors included).
double rowWords(double samples) { return samples / 64 + 16; }

// Every marker's levels 0 and 1 packed eight to a group (packAllWideGroups).
double wideGroupsBytes(double marker_count, double sample_count) {
  return (marker_count + 2 * kWideLanes) * kWideLevels * rowWords(sample_count) * sizeof(std::uint64_t);
}

// Whether the pair walks over `planes` count wide (as MaximaWorker sets
// them up), so that their groups are packed once for every block.
bool countsWide(const SearchContext& context, const BitPlanes& planes) {
  const SimdPath path = context.settings.simd;
  return !pathKernels(path).walk_nibbles && countsShape(path, planes.shape()) &&
         wideCountKernel(path) != nullptr;
}

// One set of counted planes, at most: it holds the counted classes of two
// permutations (or one), over at most every sample, with their gaps and
// gap entries when pairs are counted, and a counter of them per worker.
double countedSetBytes(double marker_count, double sample_count, int levels, int order,
                       int workers) {
  const double planes = BitPlanes::bytesBound(static_cast<long long>(marker_count),
                                              static_cast<long long>(sample_count), levels, 1);
  double counter = 0;
  double gaps = 0;
  if (PairClassCounter::serves(levels, order)) {
    counter = PairClassCounter::bytesBound(rowWords(sample_count), marker_count);
    gaps = LevelGaps::bytesBound(marker_count, rowWords(sample_count)) +
           2 * (marker_count + kPairBlock) * sizeof(std::uint64_t) +
           wideGroupsBytes(marker_count, sample_count);
  } else {
    counter = CellCounter::bytesBound(
        levels, order, rowWords(sample_count), marker_count,
        static_cast<double>(blockCombinations(cellsOf(levels, order), marker_count)));
  }
  return planes + gaps + workers * counter;
}

// A group of `group` permutations, at most: a set of counted planes per two
// of them, and each one's context (phenotype, sample lists) and gains.
double groupBytes(int group, double marker_count, double sample_count, int levels, int order,
                  int workers) {
  const double own = sample_count * (2 + 2 * sizeof(int)) + marker_count * sizeof(double);
  return (group + 1) / 2 * countedSetBytes(marker_count, sample_count, levels, order, workers) +
         group * own;
}


}  // namespace

bool countsPermutationsFromTotals(const SearchContext& context, int order, int permutations) {
  // Strata shuffle within themselves, which cell totals of the whole run
  // cannot follow: each permutation is searched in full.
  if (!context.settings.use_planes || context.planes == nullptr || context.strata != nullptr ||
      context.missing_code == kMethodEm ||
      !CellCounter::servesOrder(context.planes->levels(), order) ||
      combinationCount(context.marker_count, order) <= 0 || context.cases <= 0 ||
      context.controls <= 0)
    return false;
  // A group's totals cost one plain walk: with fewer permutations to share
  // them, searching each one in full costs no more.
  const int group = permutationGroupSize(context.marker_count, context.sample_count,
                                         context.planes->levels(), order,
                                         workerCount(context.settings.requested_threads),
                                         permutations);
  return std::min(group, permutations) >= kMinGroupPermutations;
}

int permutationGroupSize(double marker_count, double sample_count, int levels, int order,
                         int workers, int permutations) {
  int group = std::max(1, std::min(kMaxGroupPermutations, permutations));
  while (group > 1 &&
         groupBytes(group, marker_count, sample_count, levels, order, workers) > kGroupBytes)
    --group;
  return group;
}

double permutationMaximaBytesBound(double marker_count, double sample_count, int levels, int order,
                                   int workers, int permutations) {
  if (permutations < 1) return 0;
  const int group =
      permutationGroupSize(marker_count, sample_count, levels, order, workers, permutations);
  const double cells = std::pow(levels, order);
  const double block =
      static_cast<double>(blockCombinations(static_cast<int>(std::min(cells, 1e9)), marker_count));
  // Per worker: the totals' counters, a block's totals and a stretch of
  // combined tables with their bounds (a stretch is at most a block), and
  // for pairs a block's gap masks, its totals by cell with their inverses and sums and
  // the run counter's class bits. Once,
  // for pairs: the gaps of the run's planes.
  const bool pairs = PairClassCounter::serves(levels, order);
  const double worker =
      CellCounter::bytesBound(levels, order, rowWords(sample_count), marker_count, block) +
      (pairs ? PairClassCounter::bytesBound(rowWords(sample_count), marker_count) : 0) +
      block * cells * sizeof(int) + block * (2 * cells * sizeof(int) + sizeof(double)) +
      (pairs ? block * (2 * cells + 3) * sizeof(int) : 0) +
      (pairs ? (block + 2 * PairGapMaskRows::kMargin) * sizeof(PairGapMasks) +
                   2 * marker_count * sizeof(std::uint64_t)
             : 0);
  const double run_gaps = pairs ? LevelGaps::bytesBound(marker_count, rowWords(sample_count)) +
                                      wideGroupsBytes(marker_count, sample_count)
                                : 0;
  // The group's phenotypes are held beside it, and a block of decoded and
  // gathered codes while its planes are built.
  return groupBytes(group, marker_count, sample_count, levels, order, workers) +
         group * sample_count +
         workers * worker + run_gaps + 2 * kDecodedPlaneMarkers * sample_count;
}

bool maximaFromCellTotals(const SearchContext& context, int order,
                          const std::vector<std::vector<unsigned char>>& phenotypes,
                          std::vector<double>& maxima) {
  const int workers = workerCount(context.settings.requested_threads);
  const int count = static_cast<int>(phenotypes.size());
  maxima.assign(count, kMinusInfinity);
  const InformationGainBounds bounds = pathKernels(context.settings.simd).table_bounds;
  std::vector<std::unique_ptr<Permuted>> group;
  std::vector<std::unique_ptr<CountedPlanes>> counted;
  std::unique_ptr<LevelGaps> run_gaps;
  AlignedWords run_wide_groups;
  try {
    for (int r = 0; r < count; ++r) {
      group.push_back(std::make_unique<Permuted>());
      preparePermuted(context, phenotypes[r].data(), *group.back());
    }
    if (!buildCountedPlanes(context, order, group, workers, counted)) return false;
    if (context.measure == kRankBySynergy)
      for (const auto& planes : counted) singleGainsFromCountedPlanes(context, *planes);
    if (PairClassCounter::serves(context.planes->levels(), order)) {
      run_gaps = std::make_unique<LevelGaps>(*context.planes);
      if (run_gaps->fitMasks()) {
        for (const auto& planes : counted) {
          if (planes->gaps == nullptr) continue;
          planes->gap_entries = gapEntryMasks(*context.planes, *run_gaps, context.sample_count,
                                              planes->samples, planes->entries);
          if (countsWide(context, planes->planes) && !packAllWideGroups(planes->planes, planes->wide_groups))
            return false;
        }
        if (countsWide(context, *context.planes) && !packAllWideGroups(*context.planes, run_wide_groups))
          return false;
      }
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  const long long total = combinationCount(context.marker_count, order);
  const int cells = cellsOf(context.planes->levels(), order);
  const long long spread = (total + kBlocksPerWorker * workers - 1) / (kBlocksPerWorker * workers);
  const long long block = std::max(1LL, std::min<long long>(blockCombinations(cells, context.marker_count), spread));
  const auto make_worker = [&] { return MaximaWorker(context, order, counted, run_gaps.get(),
                                                  run_wide_groups.size() > 0 ? run_wide_groups.data() : nullptr,
                                                  bounds); };
  if (!scoreBlocksOnWorkers(context, total, block, workers, make_worker)) return false;
  for (int r = 0; r < count; ++r) maxima[r] = group[r]->maximum.load();
  return true;
}
