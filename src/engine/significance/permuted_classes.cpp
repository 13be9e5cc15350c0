#include "engine/significance/permuted_classes.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <utility>

#include <immintrin.h>

#include "core/search_constants.h"
#include "engine/count/information_gain_bound.h"
#include "engine/count/worker_threads.h"

void permutedContext(const SearchContext& context, const unsigned char* phenotype, SearchContext& own) {
  own = context;
  own.phenotypes = const_cast<unsigned char*>(phenotype);
  own.not_a_number_last = true;
  own.listing = nullptr;
  own.running_maximum = nullptr;
  recountClasses(own);
}

void preparePermuted(const SearchContext& context, const unsigned char* phenotype,
                     Permuted& permuted) {
  SearchContext& own = permuted.context;
  permutedContext(context, phenotype, own);
  permuted.counted_class = own.cases <= own.controls ? 1 : 0;
  if (own.N > 0) {
    permuted.q = roundedFraction(static_cast<double>(own.cases) / own.N);
    permuted.divergence_factor = divergenceFactor(permuted.q);
  }
}

namespace {

// The run planes' bit position of each sample (-1 for none).
std::vector<int> runPositions(const BitPlanes& run, int sample_count) {
  std::vector<int> positions(static_cast<std::size_t>(sample_count), -1);
  const int row_words = run.shape().rowWords();
  for (int w = 0; w < row_words; ++w) {
    for (std::uint64_t bits = run.everyone()[w]; bits != 0; bits &= bits - 1) {
      const int bit = 64 * w + std::countr_zero(bits);
      positions[static_cast<std::size_t>(run.sampleAtBit(bit))] = bit;
    }
  }
  return positions;
}

// Whether a set's planes are taken from the run's planes' bits (fillFromRunPlanes).
bool fillsFromRunPlanes(const SearchContext& context) {
  return context.settings.simd == SimdPath::kAvx512 && context.planes != nullptr &&
         __builtin_cpu_supports("bmi2");
}

// Plans the planes of a group (its permutations two by two) and sizes them.
bool prepareCountedPlanes(const SearchContext& context,
                          std::vector<std::unique_ptr<Permuted>>& group,
                          std::vector<std::unique_ptr<CountedPlanes>>& counted,
                          const std::vector<int>& run_positions) {
  const int levels = genotypeLevels(context.missing_code);
  std::vector<unsigned char> classes;
  std::vector<int> positions;
  // With the run's positions (the planes taken from the run's), each
  // entry's samples are in the order of their bits there, so that an
  // entry's row is the run's row with the other samples' bits squeezed out.
  const auto in_run_order = [&](int a, int b) { return run_positions[a] < run_positions[b]; };
  for (std::size_t g = 0; g < group.size(); g += 2) {
    counted.push_back(std::make_unique<CountedPlanes>());
    CountedPlanes& planes = *counted.back();
    const bool paired = g + 1 < group.size();
    classes.clear();
    for (int member = 0; member < (paired ? 2 : 1); ++member) {
      Permuted& permuted = *group[g + member];
      planes.members[member] = &permuted;
      const std::size_t begin = planes.samples.size();
      for (const int s : context.samples) {
        if ((permuted.context.phenotypes[s] == 1 ? 1 : 0) != permuted.counted_class) continue;
        planes.samples.push_back(s);
      }
      if (!run_positions.empty())
        std::stable_sort(planes.samples.begin() + static_cast<long>(begin), planes.samples.end(), in_run_order);
      for (std::size_t v = begin; v < planes.samples.size(); ++v)
        classes.push_back(static_cast<unsigned char>(paired ? member : v % 2));
    }
    planes.entries = classes;
    if (planes.empty()) continue;
    const int length = static_cast<int>(planes.samples.size());
    positions.resize(length);
    for (int v = 0; v < length; ++v) positions[v] = v;
    if (!planes.planes.prepare(context.marker_count, positions.data(), length, classes.data(),
                               levels))
      return false;
  }
  return true;
}

}  // namespace

void fillPlanesAtSamples(const SearchContext& context, const std::vector<PlanesAtSamples>& targets,
                         int threads) {
  const int S = context.sample_count;
  std::vector<int> block;
  std::vector<unsigned char> gathered;
  for (int first = 0; first < context.marker_count; first += kDecodedPlaneMarkers) {
    const int count = std::min(kDecodedPlaneMarkers, context.marker_count - first);
    block.resize(count);
    for (int j = 0; j < count; ++j) block[j] = first + j;
    const std::vector<unsigned char> codes = contextColumns(context, block.data(), count);
    for (const PlanesAtSamples& target : targets) {
      const std::vector<int>& samples = *target.samples;
      const std::size_t length = samples.size();
      gathered.resize(length * count);
      for (int j = 0; j < count; ++j) {
        const unsigned char* column = codes.data() + static_cast<std::size_t>(j) * S;
        unsigned char* out = gathered.data() + j * length;
        for (std::size_t v = 0; v < length; ++v) out[v] = column[samples[v]];
      }
      target.planes->fillMarkers(GenotypeView::markerMajor(gathered.data(), static_cast<int>(length)), first,
                                 count, threads);
    }
  }
}

namespace {

// Where a set's samples are in the run's planes: per entry and run word,
// the bits of that entry's samples.
struct RunSelection {
  std::vector<std::uint64_t> words[2];
};

// Appends the `count` low bits of `bits` to a row being written a word at
// a time.
struct BitAppender {
  std::uint64_t* out;
  std::uint64_t word = 0;
  int filled = 0;

  void add(std::uint64_t bits, int count) {
    word |= bits << filled;
    if (filled + count < 64) {
      filled += count;
      return;
    }
    *out++ = word;
    word = filled == 0 ? 0 : bits >> (64 - filled);
    filled += count - 64;
  }
  void finish() {
    if (filled > 0) *out = word;
  }
};

// Markers [first, end) of a set's planes from the run's: each row of an
// entry is the run's row at that entry's samples (PEXT squeezes out the
// rest), the marginals counted as it goes. The planes' arrays are those
// forEachArray hands out, as a receiver of finished planes fills them.
__attribute__((target("bmi2,popcnt"))) void fillMarkersFromRun(
    const BitPlanes& run, const RunSelection& selection, const BitPlanes& planes, std::uint64_t* words,
    int* marginals, unsigned char* complete, int first, int end) {
  const int levels = planes.levels();
  const int run_words = run.shape().rowWords();
  const int row_words = planes.shape().rowWords();
  const int begins[2] = {0, planes.shape().control_words};
  const long sample_len = static_cast<long>(planes.everyoneCounts()[0]) + planes.everyoneCounts()[1];
  for (int m = first; m < end; ++m) {
    const std::uint64_t* source = run.marker(m);
    std::uint64_t* rows = words + m * planes.markerStrideWords();
    int* counts = marginals + 2L * levels * m;
    long counted = 0;
    for (int level = 0; level < levels; ++level) {
      const std::uint64_t* from = source + static_cast<long>(level) * run_words;
      for (int c = 0; c < 2; ++c) {
        const std::uint64_t* select = selection.words[c].data();
        BitAppender row{rows + static_cast<long>(level) * row_words + begins[c]};
        int ones = 0;
        for (int w = 0; w < run_words; ++w) {
          if (select[w] == 0) continue;
          const std::uint64_t bits = _pext_u64(from[w], select[w]);
          ones += std::popcount(bits);
          row.add(bits, std::popcount(select[w]));
        }
        row.finish();
        counts[2 * level + c] = ones;
        counted += ones;
      }
    }
    complete[m] = counted == sample_len ? 1 : 0;
  }
}

// Fills a set's planes (prepared over its samples in the order
// prepareCountedPlanes gives them) from the run's planes: false when they
// do not hold every sample or the arrays are not laid out as expected, and
// the planes are left to be filled from the codes.
bool fillFromRunPlanes(const SearchContext& context, const std::vector<int>& run_positions,
                       CountedPlanes& set, int threads) {
  const BitPlanes& run = *context.planes;
  BitPlanes& planes = set.planes;
  if (run.levels() != planes.levels() || run.markerCount() != planes.markerCount()) return false;
  RunSelection selection;
  for (auto& words : selection.words) words.assign(static_cast<std::size_t>(run.shape().rowWords()), 0);
  int previous[2] = {-1, -1};
  for (std::size_t v = 0; v < set.samples.size(); ++v) {
    const int bit = run_positions[static_cast<std::size_t>(set.samples[v])];
    const int entry = set.entries[v];
    // Each entry's samples must come in the run's bit order.
    if (bit < 0 || bit <= previous[entry]) return false;
    previous[entry] = bit;
    selection.words[entry][static_cast<std::size_t>(bit / 64)] |= std::uint64_t{1} << (bit % 64);
  }
  std::vector<std::pair<unsigned char*, long>> arrays;
  planes.forEachArray([&](unsigned char* bytes, long size) { arrays.emplace_back(bytes, size); });
  const long markers = planes.markerCount();
  if (arrays.size() < 4 || arrays[0].second != markers * planes.markerStrideWords() * 8 ||
      arrays[2].second != 2 * planes.levels() * markers * static_cast<long>(sizeof(int)) ||
      arrays[3].second != markers)
    return false;
  auto* const words = reinterpret_cast<std::uint64_t*>(arrays[0].first);
  auto* const marginals = reinterpret_cast<int*>(arrays[2].first);
  unsigned char* const complete = arrays[3].first;
  constexpr int kChunk = kDecodedPlaneMarkers;
  const int workers = std::max(1, std::min(threads, static_cast<int>(markers / kChunk)));
  std::atomic<int> next{0};
  runWorkers(workers, [&](int) {
    for (;;) {
      const int first = next.fetch_add(kChunk);
      if (first >= markers) return;
      fillMarkersFromRun(run, selection, planes, words, marginals, complete, first,
                         std::min<int>(first + kChunk, static_cast<int>(markers)));
    }
  });
  return true;
}

}  // namespace

bool buildCountedPlanes(const SearchContext& context, int order,
                        std::vector<std::unique_ptr<Permuted>>& group, int threads,
                        std::vector<std::unique_ptr<CountedPlanes>>& counted) {
  const std::vector<int> run_positions =
      fillsFromRunPlanes(context) ? runPositions(*context.planes, context.sample_count) : std::vector<int>();
  if (!prepareCountedPlanes(context, group, counted, run_positions)) return false;
  const int levels = genotypeLevels(context.missing_code);
  std::vector<PlanesAtSamples> targets;
  for (const auto& planes : counted) {
    if (planes->empty()) continue;
    if (!run_positions.empty() && fillFromRunPlanes(context, run_positions, *planes, threads)) continue;
    targets.push_back({&planes->samples, &planes->planes});
  }
  if (!targets.empty()) fillPlanesAtSamples(context, targets, threads);
  if (PairClassCounter::serves(levels, order)) {
    for (const auto& planes : counted) {
      if (!planes->empty()) planes->gaps = std::make_unique<LevelGaps>(planes->planes);
    }
  }
  return true;
}

void singleGainsFromCountedPlanes(const SearchContext& context, const CountedPlanes& counted) {
  const int levels = context.planes->levels();
  const int table_ints = 2 * levels;
  std::vector<int> table(static_cast<std::size_t>(table_ints));
  std::vector<double> score_sums(static_cast<std::size_t>(table_ints));
  for (int member = 0; member < 2 && counted.members[member] != nullptr; ++member) {
    Permuted& permuted = *counted.members[member];
    const bool alone = counted.members[1] == nullptr;
    const int own = permuted.counted_class;
    permuted.single_gains.assign(static_cast<std::size_t>(context.marker_count), 0.0);
    for (int m = 0; m < context.marker_count; ++m) {
      const int* run = context.planes->marginals(m);
      const int* mine = counted.empty() ? nullptr : counted.planes.marginals(m);
      for (int l = 0; l < levels; ++l) {
        // A permutation alone has its class split over both entries.
        int count = 0;
        if (mine != nullptr) count = alone ? mine[2 * l] + mine[2 * l + 1] : mine[2 * l + member];
        table[2 * l + own] = count;
        table[2 * l + 1 - own] = run[2 * l] + run[2 * l + 1] - count;
      }
      double pair[2];
      exactMeasurePair(permuted.context, table.data(), table_ints, score_sums.data(), pair);
      permuted.single_gains[static_cast<std::size_t>(m)] = pair[0];
    }
    permuted.context.single_gains = permuted.single_gains.data();
  }
}
