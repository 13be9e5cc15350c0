#include "engine/rank/search_context.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <limits>
#include <new>

#include "core/gorva.h"

#include "engine/count/bitplanes.h"
#include "engine/rank/em_tables.h"
#include "engine/rank/missingdata.h"

namespace {

// Markers whose codes are decoded from one set of planes into another at a
// time: a small buffer for any sample count that fits in memory at all.
constexpr int kColumnsPerBlock = 256;

}  // namespace

void prepareSearchContext(unsigned char* genotypes, const SearchInput& input, SearchContext& context) {
  if (input.missing_code == kMethodImputation)
    imputeMarkerModes(genotypes, input.marker_count, input.sample_count);
  prepareSearchContext(GenotypeView::markerMajor(genotypes, input.sample_count), input, context);
  context.genotypes = genotypes;
}

void prepareSearchContext(const GenotypeView& source, const SearchInput& input, SearchContext& context) {
  const auto [phenotypes, scores, sample_count, marker_count, case_value, missing_code] = input;
  context.genotypes = nullptr;
  context.source = source;
  context.phenotypes = phenotypes;
  context.scores = scores;
  context.sample_count = sample_count;
  context.marker_count = marker_count;
  context.missing_code = missing_code;
  context.samples.clear();
  context.samples.reserve(sample_count);
  int cases = 0;
  int controls = 0;
  for (int s = 0; s < sample_count; ++s) {
    phenotypes[s] = phenotypes[s] == case_value ? 1 : 0;
    const bool complete = missing_code != kMethodComplete ||
                          sampleIsComplete(source, marker_count, s);
    if (!complete) continue;
    context.samples.push_back(s);
    if (phenotypes[s] == 1)
      ++cases;
    else
      ++controls;
  }
  context.cases = cases;
  context.controls = controls;
  context.N = cases + controls;
  context.ratio = static_cast<double>(cases) / controls;
}

std::vector<unsigned char> contextColumns(const SearchContext& context, const int* markers, int count) {
  if (context.source.first == nullptr && context.planes != nullptr)
    return context.planes->columns(markers, count, context.sample_count);
  return copyColumns(context.source, markers, count, context.sample_count);
}

void recountClasses(SearchContext& context) {
  int cases = 0;
  for (const int s : context.samples) cases += context.phenotypes[s] == 1 ? 1 : 0;
  context.cases = cases;
  context.controls = static_cast<int>(context.samples.size()) - cases;
  context.N = cases + context.controls;
  context.ratio = static_cast<double>(cases) / context.controls;
}

double singleGainSum(const int* combination, int k, const double* single_gains) {
  double own = 0;
  for (int j = 0; j < k; ++j) own += single_gains[combination[j]];
  return own;
}

double rankingKey(const SearchContext& context, const double* pair, const int* combination, int k) {
  double key = 0;
  if (context.measure == kRankByP) {
    // The pair does not give a p-value: only a table does.
    key = std::numeric_limits<double>::quiet_NaN();
  } else if (context.measure == kRankBySynergy) {
    key = synergyOf(pair[0], combination, k, context.single_gains);
  } else {
    key = pair[context.measure];
  }
  if (context.not_a_number_last && std::isnan(key)) return -std::numeric_limits<double>::infinity();
  return key;
}

namespace {

bool buildPlanesAt(const SearchContext& context, int levels, BitPlanes& planes, int threads, int word_multiple) {
  try {
    if (context.source.first == nullptr) {
      if (context.planes == nullptr) return false;
      if (!planes.prepare(context.marker_count, context.samples.data(), context.N, context.phenotypes,
                          levels, word_multiple))
        return false;
      std::vector<int> block;
      for (int first = 0; first < context.marker_count; first += kColumnsPerBlock) {
        const int count = std::min(kColumnsPerBlock, context.marker_count - first);
        block.resize(count);
        std::iota(block.begin(), block.end(), first);
        const std::vector<unsigned char> codes = context.planes->columns(block.data(), count, context.sample_count);
        planes.fillMarkers(GenotypeView::markerMajor(codes.data(), context.sample_count), first, count,
                           threads);
      }
      return true;
    }
    return planes.build(context.source, context.marker_count,
                        {context.samples.data(), context.N, context.phenotypes, levels, threads, word_multiple});
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace

bool buildPlanesFor(const SearchContext& context, BitPlanes& planes, int threads, int word_multiple) {
  if (context.missing_code == kMethodEm) return false;
  return buildPlanesAt(context, genotypeLevels(context.missing_code), planes, threads, word_multiple);
}

bool buildSearchPlanesFor(const SearchContext& context, BitPlanes& planes, int threads, int word_multiple) {
  if (context.missing_code != kMethodEm) return buildPlanesFor(context, planes, threads, word_multiple);
  return buildPlanesAt(context, kEmCountedLevels, planes, threads, word_multiple);
}

void ScorerStats::add(const ScorerStats& other) {
  batches += other.batches;
  screened += other.screened;
  ranked_in_full += other.ranked_in_full;
  fallbacks += other.fallbacks;
  candidates += other.candidates;
  bound_misses += other.bound_misses;
  keys_computed += other.keys_computed;
  ruled_out += other.ruled_out;
  bounded_in_walk += other.bounded_in_walk;
  not_a_number += other.not_a_number;
  if (!other.first_not_a_number.empty() &&
      (first_not_a_number.empty() || other.first_not_a_number < first_not_a_number))
    first_not_a_number = other.first_not_a_number;
}

void scorePlainly(const SearchContext& context, unsigned char* genotypes, int marker_count,
                  const CombinationList& list, double* pairs) {
  // mdrCombinationAll takes every argument by address and changes none but
  // the output; the sample list is only read.
  int k = list.order;
  int n = list.count;
  int markers = marker_count;
  int samples_per_marker = context.sample_count;
  int N = context.N;
  int cases = context.cases;
  int controls = context.controls;
  double ratio = context.ratio;
  int option = context.option_code;
  int missing = context.missing_code;
  mdrCombinationAll(list.combinations, &k, &n, genotypes, &markers, context.phenotypes, context.scores,
                    &samples_per_marker, const_cast<int*>(context.samples.data()), &N, &cases,
                    &controls, &ratio, &option, &missing, pairs);
}

void exactMeasurePair(const SearchContext& context, int* table, int table_ints, double* score_sums,
                      double* pair) {
  int N = context.N;
  int cases = context.cases;
  int controls = context.controls;
  double ratio = context.ratio;
  if (context.missing_code == kMethodAvailable) {
    cases = 0;
    controls = 0;
    for (int i = 0; i < table_ints; i += 2) {
      controls += table[i];
      cases += table[i + 1];
    }
    N = cases + controls;
    ratio = static_cast<double>(cases) / controls;
  }
  calculateMeasuresAll(N, cases, controls, table, score_sums, table_ints, ratio,
                       context.option_code, pair);
}
