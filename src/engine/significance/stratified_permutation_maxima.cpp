#include "engine/significance/stratified_permutation_maxima.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <new>

#include "core/gorva.h"
#include "core/search_constants.h"
#include "engine/count/bitplanes.h"
#include "engine/count/cell_counter.h"
#include "engine/count/information_gain_bound.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/count/path_kernels.h"
#include "engine/count/unrank.h"
#include "engine/count/worker_threads.h"
#include "engine/rank/table_test.h"
#include "engine/search/strata.h"
#include "engine/significance/class_tables.h"
#include "engine/significance/permuted_classes.h"
#include "engine/significance/stratified_pair_maxima.h"

namespace {

// Every stratum's totals and counted class of a block, per worker: kept
// small enough to stay in L2 while each permutation of the group scores it.
constexpr long kBlockInts = 1L << 18;
constexpr int kBlocksPerWorker = 8;
// Tables bounded at a time.
constexpr int kChunk = 256;
constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Far above the rounding of sums of a few gains of at most a few bits.
constexpr double kScreenSlack = 1e-9;

int cellsOf(int levels, int order) {
  int cells = 1;
  for (int j = 0; j < order; ++j) cells *= levels;
  return cells;
}

long blockCombinations(int cells, int strata) {
  return std::max(1L, kBlockInts / (2L * cells * std::max(strata, 1)));
}

// The counted classes of two strata (2 p, 2 p + 1) of one permutation:
// the first one's samples in the control words, the second one's in the
// case words.
struct StratumPairPlanes {
  BitPlanes planes;
  std::vector<int> samples;             // the run's sample behind each planes' sample
  std::vector<unsigned char> entries;   // and its entry: the stratum's place in the pair
  bool empty() const { return samples.empty(); }
};

// One permutation within strata: its stratified context (the strata's
// contexts with the permuted classes, no planes), counted planes, gains and
// running maximum.
struct StratifiedPermuted {
  SearchContext context;
  StrataParts parts;
  std::vector<int> counted_class;  // per stratum: 1 cases, 0 controls (the smaller)
  std::vector<std::unique_ptr<StratumPairPlanes>> sets;
  std::vector<double> single_gains;
  std::atomic<double> maximum{kMinusInfinity};

  void raise(double key) {
    double seen = maximum.load(std::memory_order_relaxed);
    while (key > seen && !maximum.compare_exchange_weak(seen, key, std::memory_order_relaxed)) {
    }
  }
};

int setCount(int strata) { return (strata + 1) / 2; }

// Words per row of planes over `samples` samples, padding included.
double rowWords(double samples) { return samples / 64 + 16; }

// One permutation of a group, at most, over `samples` samples in `strata`
// strata: its sets' planes and each worker's counters of them, its
// strata's contexts and sample lists, its single-marker gains.
double permutationBytes(double markers, double samples, int strata, int levels, int order, int workers) {
  // Each stratum's smaller class: at most half of it, over the sets.
  double bytes = 0;
  const double half = samples / 2.0 + 1;
  const int sets = setCount(strata);
  const double per_set = std::min<double>(half, samples);
  bytes += sets * BitPlanes::bytesBound(static_cast<long long>(markers), static_cast<long long>(per_set), levels, 1);
  bytes += workers * sets *
           CellCounter::bytesBound(levels, order, rowWords(per_set), markers,
                                   static_cast<double>(blockCombinations(cellsOf(levels, order), strata)));
  bytes += strata * (sizeof(SearchContext) + samples * sizeof(int)) + markers * sizeof(double);
  return bytes + samples * (1 + sizeof(int));
}

int groupSize(double markers, double samples, int strata, int levels, int order, int workers, int permutations) {
  const double each = permutationBytes(markers, samples, strata, levels, order, workers);
  int group = std::max(1, std::min(kMaxGroupPermutations, permutations));
  while (group > 1 && group * each > kGroupBytes) --group;
  return group;
}

void preparePermutation(const SearchContext& context, const unsigned char* phenotype, StratifiedPermuted& own) {
  preparePermutedStrata(context, phenotype, own.context, own.parts);
  for (const SearchContext& part : own.parts.contexts)
    own.counted_class.push_back(part.cases <= part.controls ? 1 : 0);
}

bool prepareSets(const SearchContext& context, StratifiedPermuted& own) {
  const int levels = genotypeLevels(context.missing_code);
  const int strata = context.stratum_count;
  std::vector<int> positions;
  for (int p = 0; p < setCount(strata); ++p) {
    own.sets.push_back(std::make_unique<StratumPairPlanes>());
    StratumPairPlanes& set = *own.sets.back();
    for (int member = 0; member < 2 && 2 * p + member < strata; ++member) {
      const int s = 2 * p + member;
      for (const int sample : own.parts.contexts[s].samples) {
        if ((own.context.phenotypes[sample] == 1 ? 1 : 0) != own.counted_class[s]) continue;
        set.samples.push_back(sample);
        set.entries.push_back(static_cast<unsigned char>(member));
      }
    }
    if (set.empty()) continue;
    const int length = static_cast<int>(set.samples.size());
    positions.resize(length);
    for (int v = 0; v < length; ++v) positions[v] = v;
    if (!set.planes.prepare(context.marker_count, positions.data(), length, set.entries.data(), levels))
      return false;
  }
  return true;
}

// The planes of every permutation's counted classes, the run's codes
// decoded once for the whole group.
bool buildSets(const SearchContext& context, std::vector<std::unique_ptr<StratifiedPermuted>>& group,
               int threads) {
  for (auto& own : group)
    if (!prepareSets(context, *own)) return false;
  std::vector<PlanesAtSamples> targets;
  for (auto& own : group) {
    for (auto& set : own->sets) {
      if (!set->empty()) targets.push_back({&set->samples, &set->planes});
    }
  }
  fillPlanesAtSamples(context, targets, threads);
  return true;
}

// Ranking by synergy: each marker's stratified gain, its strata's tables
// being the counted class per level (the sets' marginals) beside the
// stratum's count of the level, scored as the stratified search scores
// order 1.
void singleGains(const SearchContext& context, StratifiedPermuted& own) {
  const int levels = genotypeLevels(context.missing_code);
  const int strata = context.stratum_count;
  const int table_ints = 2 * levels;
  std::vector<int> tables(static_cast<std::size_t>(strata) * table_ints);
  own.single_gains.assign(context.marker_count, 0.0);
  for (int m = 0; m < context.marker_count; ++m) {
    for (int s = 0; s < strata; ++s) {
      const StratumPairPlanes& set = *own.sets[s / 2];
      const int* run = context.strata->contexts[s].planes->marginals(m);
      const int* mine = set.empty() ? nullptr : set.planes.marginals(m);
      const int c = own.counted_class[s];
      int* table = tables.data() + static_cast<long>(s) * table_ints;
      for (int l = 0; l < levels; ++l) {
        const int count = mine != nullptr ? mine[2 * l + s % 2] : 0;
        table[2 * l + c] = count;
        table[2 * l + 1 - c] = run[2 * l] + run[2 * l + 1] - count;
      }
    }
    double pair[2];
    stratifiedMeasurePair(own.parts, tables.data(), table_ints, pair);
    own.single_gains[m] = pair[0];
  }
  own.context.single_gains = own.single_gains.data();
}

void nextCombination(int* combination, int n, int k) {
  int i = k - 1;
  while (i > 0 && combination[i] == n - k + i) --i;
  ++combination[i];
  for (int t = i + 1; t < k; ++t) combination[t] = combination[t - 1] + 1;
}

class StratifiedMaximaWorker {
 public:
  StratifiedMaximaWorker(const SearchContext& context, int order,
                         const std::vector<std::unique_ptr<StratifiedPermuted>>& group)
      : context_(context), order_(order), strata_(context.stratum_count), group_(group) {
    const PathKernels& kernels = pathKernels(context.settings.simd);
    bounds_ = kernels.table_bounds;
    for (int s = 0; s < strata_; ++s) {
      const BitPlanes& planes = *context.strata->contexts[s].planes;
      // Planes padded for a narrower path are counted word by word.
      const SimdPath path = countsShape(context.settings.simd, planes.shape()) ? context.settings.simd
                                                                              : SimdPath::kScalar;
      totals_counters_.push_back(std::make_unique<CellCounter>(planes, order, pathKernels(path).count_cells));
    }
    cells_ = totals_counters_[0]->cells();
    table_ints_ = 2 * cells_;
    for (const auto& own : group) {
      for (const auto& set : own->sets)
        counters_.push_back(set->empty() ? nullptr
                                         : std::make_unique<CellCounter>(set->planes, order, kernels.count_cells));
    }
    for (const SearchContext& part : group.front()->context.strata->contexts) {
      const double q = roundedFraction(part.N > 0 ? static_cast<double>(part.cases) / part.N : 0.5);
      fractions_.push_back(q);
      factors_.push_back(divergenceFactor(q));
    }
    first_.resize(order);
  }

  void scoreBlock(long long first_rank, int count) {
    unrankCombination(first_rank, context_.marker_count, order_, first_.data());
    combinations_.resize(static_cast<std::size_t>(count) * order_);
    std::copy(first_.begin(), first_.end(), combinations_.begin());
    for (int j = 1; j < count; ++j) {
      int* at = &combinations_[static_cast<std::size_t>(j) * order_];
      std::copy(at - order_, at, at);
      nextCombination(at, context_.marker_count, order_);
    }
    const long stratum_ints = static_cast<long>(count) * cells_;
    totals_.resize(strata_ * stratum_ints);
    for (int s = 0; s < strata_; ++s) {
      int* totals = totals_.data() + s * stratum_ints;
      totals_counters_[s]->forEachFrom(first_.data(), count, [&](int at, int n, int* tables) {
        cellTotals(tables, static_cast<long>(n) * cells_, totals + static_cast<long>(at) * cells_);
        return true;
      });
    }
    const int sets = setCount(strata_);
    const long set_ints = static_cast<long>(count) * table_ints_;
    if (sets > 1) counted_.resize(static_cast<std::size_t>(sets) * set_ints);
    std::size_t counter = 0;
    for (const auto& own : group_) {
      // One set holds every stratum: each stretch is scored as it is
      // counted, while its tables are in cache.
      if (sets == 1) {
        const int* counted[1] = {nullptr};
        if (counters_[counter]) {
          counters_[counter]->forEachFrom(first_.data(), count, [&](int at, int n, int* tables) {
            counted[0] = tables;
            scoreRange(*own, count, at, n, counted);
            return true;
          });
        } else {
          scoreRange(*own, count, 0, count, counted);
        }
        ++counter;
        continue;
      }
      counted_rows_.assign(static_cast<std::size_t>(sets), nullptr);
      for (int p = 0; p < sets; ++p, ++counter) {
        if (!counters_[counter]) continue;
        int* const rows = counted_.data() + p * set_ints;
        counters_[counter]->forEachFrom(first_.data(), count, [&](int at, int n, int* tables) {
          std::copy_n(tables, static_cast<long>(n) * table_ints_, rows + static_cast<long>(at) * table_ints_);
          return true;
        });
        counted_rows_[p] = rows;
      }
      scoreRange(*own, count, 0, count, counted_rows_.data());
    }
  }

 private:
  // Combinations at .. at + n - 1 of the block (of `count`), set p's
  // tables of its counted classes from counted[p] (its table for
  // combination `at` first; null: none counted).
  void scoreRange(StratifiedPermuted& own, int count, int at, int n_all, const int* const* counted_sets) {
    const long stratum_ints = static_cast<long>(count) * cells_;
    const bool by_p = own.context.measure == kRankByP;
    const bool available = own.context.missing_code == kMethodAvailable;
    tables_.resize(static_cast<std::size_t>(strata_) * (kChunk + 8) * table_ints_);
    bounds_buffer_.resize(static_cast<std::size_t>(strata_) * (kChunk + 8));
    gathered_.resize(static_cast<std::size_t>(strata_) * table_ints_);
    double maximum = own.maximum.load(std::memory_order_relaxed);
    for (int offset = 0; offset < n_all; offset += kChunk) {
      const int n = std::min(kChunk, n_all - offset);
      const int first = at + offset;
      for (int s = 0; s < strata_; ++s) {
        int* tables = tables_.data() + static_cast<long>(s) * (kChunk + 8) * table_ints_;
        // Stratum 2 p is in set p's control entries, 2 p + 1 in its case entries.
        const int* set = counted_sets[s / 2];
        const int* counted = set != nullptr ? set + static_cast<long>(offset) * table_ints_ : nullptr;
        assembleClassTables(totals_.data() + s * stratum_ints + static_cast<long>(first) * cells_, counted,
                            s % 2 == 0 ? CountedEntries::kControls : CountedEntries::kCases, own.counted_class[s],
                            static_cast<long>(n) * cells_, tables);
        double* bounds = bounds_buffer_.data() + static_cast<long>(s) * (kChunk + 8);
        if (by_p || !std::isfinite(factors_[s])) {
          std::fill_n(bounds, n, kInfinity);
          continue;
        }
        const SearchContext& part = own.parts.contexts[s];
        BoundRequest request;
        request.tables = tables;
        request.count = n;
        request.stride = table_ints_;
        request.cells = cells_;
        request.fixed_controls = available ? -1 : part.controls;
        request.fixed_cases = available ? -1 : part.cases;
        request.q = fractions_[s];
        request.divergence_factor = factors_[s];
        bounds_(request, bounds);
      }
      // The strata's largest IG bound bounds their weighted sum, the weights
      // summing to at most 1: most tables are ruled out by it, before their
      // totals are summed. The slack covers rounding, which the sum does
      // not share with this maximum.
      const bool screened = !by_p && own.context.measure != kRankByRIG;
      if (screened) {
        largest_.assign(static_cast<std::size_t>(n), 0.0);
        for (int s = 0; s < strata_; ++s) {
          const double* bounds = bounds_buffer_.data() + static_cast<long>(s) * (kChunk + 8);
          // A bound that is not a number bounds nothing.
          for (int j = 0; j < n; ++j) largest_[j] = std::max(largest_[j], bounds[j] < kInfinity ? bounds[j] : kInfinity);
        }
      }
      for (int j = 0; j < n; ++j) {
        const int* combination = &combinations_[static_cast<std::size_t>(first + j) * order_];
        if (screened) {
          double largest = largest_[j];
          if (own.context.measure == kRankBySynergy)
            largest -= singleGainSum(combination, order_, own.single_gains.data());
          if (largest + kScreenSlack < maximum) continue;
        }
        gather(j);
        if (!by_p) {
          for (int s = 0; s < strata_; ++s) {
            stratumTotals(own.parts, s, tableOf(s, j), table_ints_, cases_[s], controls_[s]);
            gains_[s] = bounds_buffer_[static_cast<long>(s) * (kChunk + 8) + j];
          }
          const double bound = keyBound(own, combination);
          // A bound that is not a number: no stratum holds both classes, and
          // the key is not a number either.
          if (std::isnan(bound) || bound < maximum) continue;
        }
        offerExact(own, combination, maximum);
      }
    }
  }

  const int* tableOf(int s, int j) const {
    return tables_.data() + (static_cast<long>(s) * (kChunk + 8) + j) * table_ints_;
  }

  void gather(int j) {
    for (int s = 0; s < strata_; ++s) std::copy_n(tableOf(s, j), table_ints_, gathered_.data() + s * table_ints_);
  }

  // The bound of the table's ranking key that the stratified search takes:
  // the strata's IG bounds (gains_) weighted by their samples (cases_,
  // controls_) and summed as its exact measure sums the gains, then as the
  // key follows from the gain (RIG's entropy from the tables in gathered_).
  double keyBound(StratifiedPermuted& own, const int* combination) {
    int counted = 0;
    for (int s = 0; s < strata_; ++s) counted += cases_[s] + controls_[s];
    const double N = counted;
    double bound = 0;
    bool informative = false;
    for (int s = 0; s < strata_; ++s) {
      if (cases_[s] == 0 || controls_[s] == 0) continue;
      const double gain = gains_[s];
      if (!(gain < kInfinity)) return kInfinity;
      const double term = (cases_[s] + controls_[s]) / N * gain;
      bound = informative ? bound + term : term;
      informative = true;
    }
    if (!informative) return std::numeric_limits<double>::quiet_NaN();
    if (own.context.measure == kRankByRIG)
      return bound / stratifiedCounts(own.parts, gathered_.data(), table_ints_).conditional_entropy;
    if (own.context.measure == kRankBySynergy) return bound - singleGainSum(combination, order_, own.single_gains.data());
    return bound;
  }

  // Scores a combination whose bound may reach the maximum: its exact key
  // from the strata's tables in gathered_.
  void offerExact(StratifiedPermuted& own, const int* combination, double& maximum) {
    double key = 0;
    if (own.context.measure == kRankByP) {
      key = pValueKey(associationTest(gathered_.data(), strata_, cells_));
      if (std::isnan(key)) key = kMinusInfinity;
    } else {
      double pair[2];
      stratifiedMeasurePair(own.parts, gathered_.data(), table_ints_, pair);
      key = rankingKey(own.context, pair, combination, order_);
    }
    if (key > maximum) {
      own.raise(key);
      maximum = own.maximum.load(std::memory_order_relaxed);
    }
  }

  const SearchContext& context_;
  int order_;
  int strata_;
  const std::vector<std::unique_ptr<StratifiedPermuted>>& group_;
  InformationGainBounds bounds_ = nullptr;
  std::vector<std::unique_ptr<CellCounter>> totals_counters_;
  std::vector<std::unique_ptr<CellCounter>> counters_;  // per permutation and set, null when empty
  std::vector<double> fractions_;
  std::vector<double> factors_;
  int cells_ = 0;
  int table_ints_ = 0;
  std::vector<int> first_;
  std::vector<int> combinations_;
  std::vector<int> totals_;   // stratum-major, the block's cell totals
  std::vector<int> counted_;  // per set, the block's tables of its counted classes
  std::vector<const int*> counted_rows_;
  std::vector<int> tables_;   // stratum-major, a chunk's tables
  std::vector<double> bounds_buffer_;
  std::vector<double> largest_;
  std::vector<int> gathered_;
  std::vector<int> cases_ = std::vector<int>(static_cast<std::size_t>(strata_));
  std::vector<int> controls_ = std::vector<int>(static_cast<std::size_t>(strata_));
  std::vector<double> gains_ = std::vector<double>(static_cast<std::size_t>(strata_));
};

}  // namespace

int stratifiedPermutationGroupSize(const SearchContext& context, int order, int permutations) {
  if (stratifiedPairsServe(context, order)) return stratifiedPairGroupSize(context, permutations);
  return groupSize(context.marker_count, context.sample_count, context.stratum_count,
                   genotypeLevels(context.missing_code), order, workerCount(context.settings.requested_threads),
                   permutations);
}

bool stratifiedPermutationsFitGroups(double marker_count, double sample_count, int strata, int levels, int order,
                                     int workers, int permutations) {
  return std::min(groupSize(marker_count, sample_count, strata, levels, order, workers, permutations),
                  permutations) >= kMinGroupPermutations;
}

double stratifiedPermutationMaximaBytesBound(double marker_count, double samples,
                                            const std::vector<long long>& stratum_samples, int levels, int order,
                                            int workers, int permutations) {
  const int strata = static_cast<int>(stratum_samples.size());
  if (permutations < 1 || strata < 1) return 0;
  const int group = groupSize(marker_count, samples, strata, levels, order, workers, permutations);
  const int sets = setCount(strata);
  const double cells = std::pow(levels, order);
  const double table_ints = 2 * cells;
  const double block = static_cast<double>(blockCombinations(static_cast<int>(std::min(cells, 1e9)), strata));
  // Each set's sample list and entries, over at most every sample.
  const double own = permutationBytes(marker_count, samples, strata, levels, order, workers) +
                     sets * (samples / 2 + 1) * (sizeof(int) + 1);
  // Per worker: a counter of every stratum's totals, a block's
  // combinations, totals and counted tables, and a chunk's tables and
  // bounds in every stratum.
  double worker = static_cast<double>(group) * sets * sizeof(void*) +
                  block * (order * sizeof(int) + strata * cells * sizeof(int) + sets * table_ints * sizeof(int)) +
                  strata * (kChunk + 8) * (table_ints * sizeof(int) + sizeof(double)) +
                  kChunk * sizeof(double) + strata * (table_ints * sizeof(int) + 2 * sizeof(int) + sizeof(double));
  for (const long long n : stratum_samples)
    worker += CellCounter::bytesBound(levels, order, rowWords(static_cast<double>(std::max(n, 0LL))),
                                      marker_count, block);
  // Beside the group: its phenotypes, and while its planes are built a
  // block of decoded and gathered codes and the positions of a set.
  return group * own + (group + 1) * samples + workers * worker + 2 * kDecodedPlaneMarkers * samples +
         (samples / 2 + 1) * sizeof(int);
}

bool countsStratifiedPermutationsFromTotals(const SearchContext& context, int order, int permutations) {
  if (context.strata == nullptr || !context.settings.use_planes || context.planes == nullptr ||
      context.missing_code == kMethodEm || context.stratum_count < 1 ||
      static_cast<int>(context.strata->contexts.size()) != context.stratum_count ||
      combinationCount(context.marker_count, order) <= 0)
    return false;
  const int levels = genotypeLevels(context.missing_code);
  if (!CellCounter::servesOrder(levels, order)) return false;
  // Pairs walked over the strata's joint rows count every stratum in one
  // pass, which costs less than counting each stratum's class apart: they
  // walk joint rows of the counted classes instead, where that serves.
  if (countsStratifiedPairsFromCountedRows(context, order, permutations)) return true;
  if (order == 2 && context.strata->segmented != nullptr) return false;
  for (const SearchContext& part : context.strata->contexts)
    if (part.planes == nullptr || part.planes->levels() != levels) return false;
  return std::min(stratifiedPermutationGroupSize(context, order, permutations), permutations) >=
         kMinGroupPermutations;
}

bool stratifiedMaximaFromCellTotals(const SearchContext& context, int order,
                                    const std::vector<std::vector<unsigned char>>& phenotypes,
                                    std::vector<double>& maxima) {
  if (stratifiedPairsServe(context, order)) return stratifiedPairMaxima(context, phenotypes, maxima);
  const int workers = workerCount(context.settings.requested_threads);
  const int count = static_cast<int>(phenotypes.size());
  maxima.assign(count, kMinusInfinity);
  std::vector<std::unique_ptr<StratifiedPermuted>> group;
  try {
    for (int r = 0; r < count; ++r) {
      group.push_back(std::make_unique<StratifiedPermuted>());
      preparePermutation(context, phenotypes[r].data(), *group.back());
    }
    if (!buildSets(context, group, workers)) return false;
    if (context.measure == kRankBySynergy)
      for (auto& own : group) singleGains(context, *own);
  } catch (const std::bad_alloc&) {
    return false;
  }
  const long long total = combinationCount(context.marker_count, order);
  const int cells = cellsOf(genotypeLevels(context.missing_code), order);
  const long long spread = (total + kBlocksPerWorker * workers - 1) / (kBlocksPerWorker * workers);
  const long long block =
      std::max(1LL, std::min<long long>(blockCombinations(cells, context.stratum_count), spread));
  const auto make_worker = [&] { return StratifiedMaximaWorker(context, order, group); };
  if (!scoreBlocksOnWorkers(context, total, block, workers, make_worker)) return false;
  for (int r = 0; r < count; ++r) maxima[r] = group[r]->maximum.load();
  return true;
}
