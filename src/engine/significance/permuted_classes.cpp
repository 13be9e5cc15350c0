#include "engine/significance/permuted_classes.h"

#include <algorithm>

#include "core/search_constants.h"
#include "engine/count/information_gain_bound.h"

void preparePermuted(const SearchContext& context, const unsigned char* phenotype,
                     Permuted& permuted) {
  SearchContext& own = permuted.context;
  own = context;
  own.phenotypes = const_cast<unsigned char*>(phenotype);
  own.not_a_number_last = true;
  own.listing = nullptr;
  own.running_maximum = nullptr;
  recountClasses(own);
  permuted.counted_class = own.cases <= own.controls ? 1 : 0;
  if (own.N > 0) {
    permuted.q = roundedFraction(static_cast<double>(own.cases) / own.N);
    permuted.divergence_factor = divergenceFactor(permuted.q);
  }
}

namespace {

// Plans the planes of a group (its permutations two by two) and sizes them.
bool prepareCountedPlanes(const SearchContext& context,
                          std::vector<std::unique_ptr<Permuted>>& group,
                          std::vector<std::unique_ptr<CountedPlanes>>& counted) {
  const int levels = genotypeLevels(context.missing_code);
  std::vector<unsigned char> classes;
  std::vector<int> positions;
  for (std::size_t g = 0; g < group.size(); g += 2) {
    counted.push_back(std::make_unique<CountedPlanes>());
    CountedPlanes& planes = *counted.back();
    const bool paired = g + 1 < group.size();
    classes.clear();
    for (int member = 0; member < (paired ? 2 : 1); ++member) {
      Permuted& permuted = *group[g + member];
      planes.members[member] = &permuted;
      for (const int s : context.samples) {
        if ((permuted.context.phenotypes[s] == 1 ? 1 : 0) != permuted.counted_class) continue;
        classes.push_back(static_cast<unsigned char>(paired ? member : planes.samples.size() % 2));
        planes.samples.push_back(s);
      }
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

bool buildCountedPlanes(const SearchContext& context, int order,
                        std::vector<std::unique_ptr<Permuted>>& group, int threads,
                        std::vector<std::unique_ptr<CountedPlanes>>& counted) {
  if (!prepareCountedPlanes(context, group, counted)) return false;
  const int levels = genotypeLevels(context.missing_code);
  std::vector<PlanesAtSamples> targets;
  for (const auto& planes : counted) {
    if (!planes->empty()) targets.push_back({&planes->samples, &planes->planes});
  }
  fillPlanesAtSamples(context, targets, threads);
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
