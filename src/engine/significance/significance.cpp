#include "engine/significance/significance.h"


#include <Rmath.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <numeric>

#include "core/gorva.h"
#include "core/mt19937.h"
#include "core/search_constants.h"
#include "engine/count/bitplanes.h"
#include "engine/count/worker_threads.h"
#include "engine/search/batch_pool.h"
#include "engine/rank/combination_table.h"
#include "engine/search/single_marker_gains.h"
#include "engine/search/strata.h"
#include "engine/significance/interaction_test.h"
#include "engine/significance/permutation_maxima.h"
#include "engine/significance/stratified_permutation_maxima.h"
#include "engine/rank/table_test.h"

namespace {

constexpr double kNotANumber = std::numeric_limits<double>::quiet_NaN();

}  // namespace

bool rankingMeasureOfWord(const std::string& word, int& rank) {
  constexpr const char* kWords[] = {"ig", "rig", "synergy", "p"};
  constexpr int kRanks[] = {kRankByIG, kRankByRIG, kRankBySynergy, kRankByP};
  for (int i = 0; i < 4; ++i) {
    if (word != kWords[i]) continue;
    rank = kRanks[i];
    return true;
  }
  return false;
}

std::string rankWordProblem(const std::string& word, int& rank) {
  return rankingMeasureOfWord(word, rank) ? "" : "unknown measure (use ig, rig, synergy or p)";
}

std::string maxPProblem(double p) { return p > 0 && p <= 1 ? "" : "not a probability in (0, 1]"; }

void rankForSignificance(int rank, SearchContext& context, std::vector<double>& single_gains) {
  context.measure = rank;
  context.not_a_number_last = true;
  single_gains = singleMarkerGains(context);
  context.single_gains = single_gains.data();
}

void dropNotANumberRows(RankedRows& kept) {
  int size = kept.size();
  while (size > 0 && !(kept.keys[size - 1] > -HUGE_VAL)) --size;
  kept.keys.resize(size);
  kept.pairs.resize(2 * static_cast<std::size_t>(size));
  kept.markers.resize(static_cast<std::size_t>(size) * kept.order);
}

std::vector<int> testableStrata(const SearchContext& context) {
  std::vector<int> testable;
  if (context.strata == nullptr) return testable;
  for (int s = 0; s < context.stratum_count; ++s) {
    // Two groups of cells each expecting 5 of the rarer class take at least
    // 10 of it: a stratum short of that is never tested, whatever its table.
    const SearchContext& part = context.strata->contexts[s];
    if (std::min(part.cases, part.controls) >= 10) testable.push_back(s);
  }
  return testable;
}

TableTest testCombinationIn(const SearchContext& context, const std::vector<int>& strata, const int* combination,
                            int k, std::vector<int>& table, std::vector<int>& stratum_table) {
  table.clear();
  for (const int s : strata) {
    countTestedTable(context.strata->contexts[s], combination, k, stratum_table);
    table.insert(table.end(), stratum_table.begin(), stratum_table.end());
  }
  int cells = 1;
  for (int j = 0; j < k; ++j) cells *= genotypeLevels(context.missing_code);
  return associationTest(table.data(), static_cast<int>(strata.size()), cells);
}

TableTest testCombination(const SearchContext& context, const int* combination, int k,
                          std::vector<int>& table) {
  if (context.strata == nullptr) {
    countTestedTable(context, combination, k, table);
    return associationTest(table.data(), 1, static_cast<int>(table.size() / 2));
  }
  // Stratified: the strata's tables one after another, their tests summed.
  table.clear();
  std::vector<int> stratum_table;
  for (const SearchContext& part : context.strata->contexts) {
    countTestedTable(part, combination, k, stratum_table);
    table.insert(table.end(), stratum_table.begin(), stratum_table.end());
  }
  return associationTest(table.data(), context.stratum_count,
                         static_cast<int>(table.size()) / context.stratum_count / 2);
}

SignificanceRow describeCombination(const SearchContext& context, const ScoredCombination& scored,
                                    double tests) {
  const int* combination = scored.markers;
  const int k = scored.k;
  const double* pair = scored.pair;
  SignificanceRow row;
  row.markers.assign(combination, combination + k);
  row.ig = pair[0];
  row.rig = pair[1];
  row.key = scored.key;
  std::vector<int> table;
  const TableTest test = testCombination(context, combination, k, table);
  const int strata = context.strata != nullptr ? context.stratum_count : 1;
  // Strata holding one class tell nothing about an interaction; when no
  // stratum holds both, every stratum counts (as one table would).
  const int table_ints = static_cast<int>(table.size()) / strata;
  std::vector<bool> counted(strata, false);
  bool any_informative = false;
  for (int s = 0; s < strata; ++s) {
    int cases = 0;
    int controls = 0;
    for (int i = 0; i < table_ints; i += 2) {
      controls += table[static_cast<std::size_t>(s) * table_ints + i];
      cases += table[static_cast<std::size_t>(s) * table_ints + i + 1];
    }
    row.controls += controls;
    row.cases += cases;
    counted[s] = cases > 0 && controls > 0;
    any_informative |= counted[s];
  }
  row.df = test.df;
  double interaction = 0;
  int interaction_df = 0;
  for (int s = 0; s < strata && k == 2; ++s) {
    if (any_informative && !counted[s]) continue;
    const int* stratum_table = table.data() + static_cast<std::size_t>(s) * table_ints;
    const InteractionTest within = pairInteractionTest(stratum_table, genotypeLevels(context.missing_code));
    interaction += within.statistic;
    interaction_df += within.df;
    if (strata == 1) {
      row.p_interaction = within.p_value;
      row.log_p_interaction = logPBelowRange({within.statistic, within.df, within.p_value});
    }
  }
  row.synergy = synergyOf(row.ig, combination, k, context.single_gains);
  row.p_chisq = test.p_value;
  row.log_p_chisq = logPBelowRange(test);
  if (context.measure == kRankByP) {
    row.key = pValueKey(test);
    if (std::isnan(row.key)) row.key = -HUGE_VAL;
  }
  row.p_bonferroni = std::isnan(row.p_chisq) ? kNotANumber : std::fmin(1.0, row.p_chisq * tests);
  row.p_permutation = kNotANumber;
  if (k != 2) {
    row.p_interaction = kNotANumber;
  } else if (strata > 1) {
    row.p_interaction = chiSquareUpperTail(interaction, interaction_df);
    row.log_p_interaction = logPBelowRange({interaction, interaction_df, row.p_interaction});
  }
  // The combination's cells over every stratum.
  for (int s = 1; s < strata; ++s)
    for (int i = 0; i < table_ints; ++i) table[i] += table[static_cast<std::size_t>(s) * table_ints + i];
  table.resize(table_ints);
  row.cells = std::move(table);
  return row;
}

std::string cellCountsText(const std::vector<int>& cells) {
  if (cells.empty()) return "NA";
  const std::size_t count = cells.size() / 2;
  // The table's first marker varies fastest; a reader expects it slowest.
  std::size_t levels = 1;
  for (std::size_t base = 3; base <= 4; ++base) {
    std::size_t power = 1;
    while (power < count) power *= base;
    if (power == count) levels = base;
  }
  std::size_t k = 0;
  for (std::size_t power = 1; power < count; power *= levels) ++k;
  std::string text;
  for (std::size_t cell = 0; cell < count; ++cell) {
    // `cell` spells the levels with the first marker most significant;
    // the table's index spells them the other way round.
    std::size_t index = 0;
    std::size_t rest = cell;
    for (std::size_t j = 0; j < k; ++j) {
      index = index * levels + rest % levels;
      rest /= levels;
    }
    const int controls = cells[2 * index];
    const int cases = cells[2 * index + 1];
    if (cell > 0) text += ',';
    text += controls == 0 && cases == 0 ? "." : std::to_string(cases) + ":" + std::to_string(controls);
  }
  return text;
}

double permutationPValue(double key, const std::vector<double>& maxima) {
  if (maxima.empty() || std::isnan(key)) return kNotANumber;
  long at_least = 0;
  for (const double maximum : maxima) at_least += maximum >= key ? 1 : 0;
  return (1.0 + static_cast<double>(at_least)) / (static_cast<double>(maxima.size()) + 1.0);
}

namespace {

// The best key of one permuted phenotype's order (left as it was when no
// combination has one); false when memory ran out.
bool permutedOrderMaximum(const SearchContext& permuted, int order, int threads,
                          std::atomic<double>& running_maximum, double& maximum) {
  running_maximum = -std::numeric_limits<double>::infinity();
  OrderOutcome outcome;
  OrderRequest search;
  search.order = order;
  search.threads = threads;
  searchOrder(permuted, search, outcome);
  if (outcome.out_of_memory || outcome.stopped) return false;
  if (outcome.kept.size() > 0 && !std::isnan(outcome.kept.keys[0])) maximum = outcome.kept.keys[0];
  return true;
}

// Each permutation searched in full with K = 1, its planes built anew: for
// what cannot be counted from cell totals.
bool maximaBySearch(const SearchContext& context, int order, const PermutationPlan& plan,
                    std::vector<double>& maxima) {
  maxima.assign(plan.count, -std::numeric_limits<double>::infinity());
  const int S = context.sample_count;
  std::vector<unsigned char> phenotype(context.phenotypes, context.phenotypes + S);
  SearchContext permuted = context;
  permuted.phenotypes = phenotype.data();
  permuted.K = 1;
  permuted.all_pairs = false;
  permuted.not_a_number_last = true;
  permuted.listing = nullptr;
  std::atomic<double> running_maximum;
  permuted.running_maximum = &running_maximum;
  std::vector<double> singles;
  const int threads = workerCount(context.settings.requested_threads);
  // The search's own generator: searches side by side never share one.
  Mt19937 generator(static_cast<std::uint32_t>(plan.seed));
  const bool stratified = context.strata != nullptr;
  StrataParts parts;
  for (int r = 0; r < plan.count; ++r) {
    if (stopRequested(context)) return false;
    if (stratified) {
      permuteWithinStrata(phenotype.data(), S, context.stratum_of, context.stratum_count, generator);
    } else {
      shuffleFromTop(phenotype.data(), S, [&] { return generator.next(); });
    }
    recountClasses(permuted);
    // Codes held only in the planes are read from the run's own planes.
    permuted.planes = context.planes;
    if (stratified) {
      permuted.strata = nullptr;
      if (!splitByStrata(permuted, threads, parts)) return false;
      permuted.strata = &parts;
    }
    if (permuted.measure == kRankBySynergy) {
      singles = singleMarkerGains(permuted);
      permuted.single_gains = singles.data();
    }
    BitPlanes planes;
    // A stratified search counts from the strata's planes alone.
    const bool fast = !stratified && permuted.settings.use_planes && buildSearchPlanesFor(permuted, planes, threads);
    if (stratified) {
      if (!permutedOrderMaximum(permuted, order, threads, running_maximum, maxima[r])) return false;
      continue;
    }
    // Without a byte matrix the plain path has nothing to count.
    if (!fast && permuted.genotypes == nullptr && permuted.source.first == nullptr) return false;
    permuted.planes = fast ? &planes : nullptr;
    if (!permutedOrderMaximum(permuted, order, threads, running_maximum, maxima[r])) return false;
  }
  return true;
}

// The same from cell totals, a group of permutations at a time, in the
// sequence maximaBySearch draws them; false when memory ran out.
bool maximaByGroups(const SearchContext& context, int order, const PermutationPlan& plan,
                    std::vector<double>& maxima) {
  maxima.clear();
  const int S = context.sample_count;
  const bool stratified = context.strata != nullptr;
  const int group_size =
      stratified ? stratifiedPermutationGroupSize(context, order, plan.count)
                 : permutationGroupSize(context.marker_count, S, genotypeLevels(context.missing_code), order,
                                        workerCount(context.settings.requested_threads), plan.count);
  std::vector<unsigned char> phenotype(context.phenotypes, context.phenotypes + S);
  std::vector<std::vector<unsigned char>> group;
  std::vector<double> group_maxima;
  // The search's own generator: searches side by side never share one.
  Mt19937 generator(static_cast<std::uint32_t>(plan.seed));
  for (int first = 0; first < plan.count; first += group_size) {
    group.clear();
    for (int r = first; r < plan.count && r < first + group_size; ++r) {
      if (stratified) {
        permuteWithinStrata(phenotype.data(), S, context.stratum_of, context.stratum_count, generator);
      } else {
        shuffleFromTop(phenotype.data(), S, [&] { return generator.next(); });
      }
      group.push_back(phenotype);
    }
    const bool counted = stratified ? stratifiedMaximaFromCellTotals(context, order, group, group_maxima)
                                    : maximaFromCellTotals(context, order, group, group_maxima);
    if (!counted) return false;
    maxima.insert(maxima.end(), group_maxima.begin(), group_maxima.end());
  }
  return true;
}

}  // namespace

bool permutationMaxima(const SearchContext& context, int order, const PermutationPlan& plan,
                       std::vector<double>& maxima) {
  if (countsPermutationsFromTotals(context, order, plan.count) ||
      countsStratifiedPermutationsFromTotals(context, order, plan.count)) {
    try {
      if (maximaByGroups(context, order, plan, maxima)) return true;
    } catch (const std::bad_alloc&) {
      // Short of memory for a group: each permutation is searched instead.
    }
    if (stopRequested(context)) return false;
  }
  return maximaBySearch(context, order, plan, maxima);
}

bool assessOrder(const SearchContext& context, const RankedRows& kept, const PermutationPlan& plan,
                 OrderSignificance& outcome) {
  const int k = kept.order;
  outcome.order = k;
  outcome.tests = combinationsOf(context.marker_count, k);
  outcome.rows.clear();
  // Synergy is 0 for every single marker: each permutation's maximum would
  // equal every key, and p_permutation 1 would pass for a test of nothing.
  // Those rows say NA instead, and no permutation is searched for them.
  const bool permuted = plan.count > 0 && !(k == 1 && context.measure == kRankBySynergy);
  if (permuted && !permutationMaxima(context, k, plan, outcome.maxima)) return false;
  for (int j = 0; j < kept.size(); ++j) {
    const ScoredCombination scored{&kept.markers[static_cast<std::size_t>(j) * k], k,
                                   &kept.pairs[2 * static_cast<std::size_t>(j)], kept.keys[j]};
    SignificanceRow row = describeCombination(context, scored, outcome.tests);
    if (permuted) row.p_permutation = permutationPValue(row.key, outcome.maxima);
    outcome.rows.push_back(std::move(row));
  }
  return true;
}
