#include "engine/search/strata.h"

#include <cmath>
#include <limits>

#include "core/gorva.h"
#include "core/search_constants.h"
#include "engine/count/information_gain_bound.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/count/path_kernels.h"
#include "engine/rank/combination_table.h"

namespace {

// The joint rows cost at most twice the strata's own (two nibble words for
// each word of a level, padding dropped); without them the search is only
// slower, so memory short of them is no failure.
void packSegmentedPlanes(StrataParts& parts, SimdPath path) {
  parts.segmented.reset();
  std::vector<const BitPlanes*> planes;
  double bytes = 0;
  for (const std::unique_ptr<BitPlanes>& stratum : parts.planes) {
    if (!stratum) return;
    planes.push_back(stratum.get());
    bytes += 8.0 * static_cast<double>(stratum->markerCount()) * static_cast<double>(stratum->markerStrideWords());
  }
  auto segmented = std::make_unique<SegmentedPlanes>();
  if (buildSegmentedPlanes(planes, 2 * bytes + (1 << 20), pathKernels(path).segmented_nibbles, *segmented))
    parts.segmented = std::move(segmented);
}

}  // namespace

bool splitByStrata(const SearchContext& context, int threads, StrataParts& parts) {
  const int strata = context.stratum_count;
  parts.contexts.assign(strata, context);
  parts.planes.clear();
  parts.planes.resize(strata);
  for (SearchContext& part : parts.contexts) {
    part.stratum_of = nullptr;
    part.stratum_count = 0;
    part.strata = nullptr;
    part.samples.clear();
    part.listing = nullptr;
    part.running_maximum = nullptr;
  }
  for (const int s : context.samples) parts.contexts[context.stratum_of[s]].samples.push_back(s);
  for (int stratum = 0; stratum < strata; ++stratum) {
    SearchContext& part = parts.contexts[stratum];
    recountClasses(part);
    if (context.planes == nullptr) continue;
    // Codes held only in the run's planes are read back from them.
    part.planes = context.planes;
    parts.planes[stratum] = std::make_unique<BitPlanes>();
    // A stratum's rows are short: padding them to the widest vector would
    // count several times their words.
    if (!buildSearchPlanesFor(part, *parts.planes[stratum], threads, rowWordMultiple(context.settings.simd))) {
      if (context.genotypes == nullptr && context.source.first == nullptr) return false;
      parts.planes[stratum].reset();
      part.planes = nullptr;
      continue;
    }
    part.planes = parts.planes[stratum].get();
  }
  packSegmentedPlanes(parts, context.settings.simd);
  return true;
}

void countStratifiedTables(const StrataParts& parts, const int* combination, int k, std::vector<int>& tables) {
  std::vector<int> table;
  tables.clear();
  for (const SearchContext& part : parts.contexts) {
    countCombinationTable(part, combination, k, table);
    tables.insert(tables.end(), table.begin(), table.end());
  }
}

void stratumTotals(const StrataParts& parts, int stratum, const int* table, int table_ints, int& cases,
                   int& controls) {
  const SearchContext& part = parts.contexts[stratum];
  cases = part.cases;
  controls = part.controls;
  if (part.missing_code != kMethodAvailable) return;
  cases = 0;
  controls = 0;
  for (int i = 0; i < table_ints; i += 2) {
    controls += table[i];
    cases += table[i + 1];
  }
}

namespace {

// The phenotype entropy of one stratum, in calculateMeasuresAll's order of
// operations (so that one stratum gives the unstratified RIG bit for bit).
double classEntropy(int cases, int controls) {
  const double n = cases + controls;
  return -(cases / n) * std::log2(cases / n) - (controls / n) * std::log2(controls / n);
}

}  // namespace

StratifiedCounts stratifiedCounts(const StrataParts& parts, const int* tables, int table_ints) {
  StratifiedCounts counts;
  const int strata = static_cast<int>(parts.contexts.size());
  std::vector<int> cases(strata);
  std::vector<int> controls(strata);
  for (int s = 0; s < strata; ++s) {
    stratumTotals(parts, s, tables + static_cast<long>(s) * table_ints, table_ints, cases[s], controls[s]);
    counts.cases += cases[s];
    counts.controls += controls[s];
  }
  const double N = counts.cases + counts.controls;
  for (int s = 0; s < strata; ++s) {
    if (cases[s] == 0 || controls[s] == 0) continue;
    const double term = (cases[s] + controls[s]) / N * classEntropy(cases[s], controls[s]);
    counts.conditional_entropy = counts.informative ? counts.conditional_entropy + term : term;
    counts.informative = true;
  }
  return counts;
}

namespace {

// Entries a memo keeps at most: a search of large strata finds few repeats.
constexpr std::size_t kMostMemoTerms = 1 << 16;

// The key of a stratum's terms, or false for a table it cannot name: totals
// n < 512, cases and controls < 256, at most three cells holding both
// classes with fewer than 64 of each.
bool memoKey(const int* table, int table_ints, int n, int cases, int controls, std::uint64_t& key) {
  if (n >= 512 || cases >= 256 || controls >= 256 || n < 0) return false;
  key = static_cast<std::uint64_t>(n) | static_cast<std::uint64_t>(cases) << 9 |
        static_cast<std::uint64_t>(controls) << 17;
  int mixed = 0;
  for (int i = 0; i < table_ints; i += 2) {
    const int a = table[i];
    const int b = table[i + 1];
    if (a <= 0 || b <= 0) continue;
    if (mixed == 3 || a >= 64 || b >= 64) return false;
    key |= static_cast<std::uint64_t>(a | b << 6) << (25 + 12 * mixed);
    ++mixed;
  }
  key |= static_cast<std::uint64_t>(mixed) << 61;
  return true;
}

}  // namespace

double StratumMeasureMemo::bytesBound() {
  // A node (key, terms, link) with the allocator's header, and a bucket.
  return static_cast<double>(kMostMemoTerms) * (sizeof(std::uint64_t) + sizeof(Terms) + 3 * sizeof(void*) + 8);
}

void stratifiedMeasurePair(const StrataParts& parts, int* tables, int table_ints, double* pair,
                           StratumMeasureMemo* memo) {
  const int strata = static_cast<int>(parts.contexts.size());
  std::vector<double> score_sums(table_ints, 0.0);
  int counted = 0;
  for (int s = 0; s < strata; ++s) {
    int cases = 0;
    int controls = 0;
    stratumTotals(parts, s, tables + static_cast<long>(s) * table_ints, table_ints, cases, controls);
    counted += cases + controls;
  }
  const double N = counted;
  double ig = 0;
  double entropy = 0;
  bool informative = false;
  for (int s = 0; s < strata; ++s) {
    int* table = tables + static_cast<long>(s) * table_ints;
    int cases = 0;
    int controls = 0;
    stratumTotals(parts, s, table, table_ints, cases, controls);
    if (cases == 0 || controls == 0) continue;
    const SearchContext& part = parts.contexts[s];
    // The totals the stratum's measures take (exactMeasurePair's).
    const int n = part.missing_code == kMethodAvailable ? cases + controls : part.N;
    std::uint64_t key = 0;
    StratumMeasureMemo::Terms terms{};
    const bool named = memo != nullptr && memoKey(table, table_ints, n, cases, controls, key);
    const auto found = named ? memo->terms.find(key) : std::unordered_map<std::uint64_t, StratumMeasureMemo::Terms>::iterator{};
    if (named && found != memo->terms.end()) {
      terms = found->second;
    } else {
      double own[2];
      exactMeasurePair(part, table, table_ints, score_sums.data(), own);
      terms = {own[0], classEntropy(cases, controls)};
      if (named && memo->terms.size() < kMostMemoTerms) memo->terms.emplace(key, terms);
    }
    const double weight = (cases + controls) / N;
    const double gain = weight * terms.gain;
    const double spread = weight * terms.entropy;
    ig = informative ? ig + gain : gain;
    entropy = informative ? entropy + spread : spread;
    informative = true;
  }
  if (!informative) {
    pair[0] = pair[1] = std::numeric_limits<double>::quiet_NaN();
    return;
  }
  pair[0] = ig;
  pair[1] = ig / entropy;
}

void permuteWithinStrata(unsigned char* phenotypes, int sample_count, const int* stratum_of, int stratum_count,
                         Mt19937& generator) {
  std::vector<std::vector<int>> members(stratum_count);
  for (int s = 0; s < sample_count; ++s) members[stratum_of[s]].push_back(s);
  std::vector<unsigned char> values;
  for (const std::vector<int>& stratum : members) {
    values.clear();
    for (const int s : stratum) values.push_back(phenotypes[s]);
    shuffleFromTop(values.data(), static_cast<int>(values.size()), [&] { return generator.next(); });
    for (std::size_t j = 0; j < stratum.size(); ++j) phenotypes[stratum[j]] = values[j];
  }
}

bool stratumChordBound(const SearchContext& part, ChordBound& chord) {
  const double q = roundedFraction(part.N > 0 ? static_cast<double>(part.cases) / part.N : 0.5);
  const bool bounded = std::isfinite(divergenceFactor(q)) && chordBoundFor(q, chord);
  if (!bounded) chordBoundFor(0.5, chord);
  const bool fixed = part.missing_code != kMethodAvailable;
  chord.fixed_controls = fixed ? part.controls : -1;
  chord.fixed_cases = fixed ? part.cases : -1;
  return bounded;
}
