// How far to trust a kept combination: its own counts and degrees of
// freedom, a chi-square p-value calibrated to them, a family-wise bound, the
// synergy of its markers, an interaction test for pairs and the max
// statistic of phenotype permutations.
#ifndef GORVA_ENGINE_SIGNIFICANCE_SIGNIFICANCE_H
#define GORVA_ENGINE_SIGNIFICANCE_SIGNIFICANCE_H

#include <memory>
#include <string>
#include <limits>
#include <vector>

#include "engine/rank/bestrows.h"
#include "engine/rank/search_context.h"
#include "engine/rank/combination_table.h"
#include "engine/significance/structure_results.h"
#include "engine/rank/table_test.h"

// The association test of a combination's tested table (counted into
// `table`; a stratified context's strata one after another, their tests
// summed): every p_chisq of a run comes from here.
TableTest testCombination(const SearchContext& context, const int* combination, int k,
                          std::vector<int>& table);

// The strata of a stratified context whose tables can add to the
// association test (the others hold too few of a class to be tested; none
// without strata).
std::vector<int> testableStrata(const SearchContext& context);

// testCombination's test of a stratified context read from `strata` only
// (testableStrata(): the same test); `stratum_table` is room for one.
TableTest testCombinationIn(const SearchContext& context, const std::vector<int>& strata, const int* combination,
                            int k, std::vector<int>& table, std::vector<int>& stratum_table);

struct SignificanceRow {
  std::vector<int> markers;
  double ig = 0;
  double rig = 0;
  double key = 0;  // the ranking measure
  int cases = 0;   // samples the combination counted
  int controls = 0;
  int df = 0;  // non-empty genotype cells - 1
  double synergy = 0;
  double p_chisq = 0;
  double p_bonferroni = 0;
  double p_permutation = 0;  // NaN without permutations
  double p_interaction = 0;  // NaN but for pairs
  // ln p_chisq and ln p_interaction where those fall below the doubles'
  // normal range (about 2.2E-308: held as 0 or with few digits), else NaN.
  double log_p_chisq = std::numeric_limits<double>::quiet_NaN();
  double log_p_interaction = std::numeric_limits<double>::quiet_NaN();
  // The table the tests read: per genotype cell, the first marker's level
  // varying fastest, its controls then its cases.
  std::vector<int> cells;
};

// A combination the search scored: its k markers, its measure pair and its
// ranking key.
struct ScoredCombination {
  const int* markers = nullptr;
  int k = 0;
  const double* pair = nullptr;
  double key = 0;
};

// Everything of one scored combination but its permutation p-value;
// `tests` is the number of combinations of its order. Synergy reads the
// context's single-marker gains.
SignificanceRow describeCombination(const SearchContext& context, const ScoredCombination& scored,
                                    double tests);

// A row's cells as a reader sees them: "cases:controls" of every genotype
// cell, the first marker's level varying slowest, joined by ','; "." for an
// empty cell; "NA" without a table.
std::string cellCountsText(const std::vector<int>& cells);

// (1 + #{r : maxima[r] >= key}) / (permutations + 1).
double permutationPValue(double key, const std::vector<double>& maxima);

struct PermutationPlan {
  int count = 0;
  unsigned long seed = 1;
};

// The largest ranking key of each permutation r = 1 .. count over every
// combination of `order`, the phenotype being the context's after r
// successive shuffles of all its samples (the generator seeded once with the
// plan's seed), searched with the context's settings. Keys that are not numbers are left out; a permutation with
// none gets -infinity. False when memory ran out.
bool permutationMaxima(const SearchContext& context, int order, const PermutationPlan& plan,
                       std::vector<double>& maxima);

// The ranking measure of a --rank word (ig, rig, synergy, p); false for
// another word.
bool rankingMeasureOfWord(const std::string& word, int& rank);

// The significance settings' rules, one home for the program's options and
// the Python module's keywords: each returns why a value cannot be taken,
// in words that follow the option and its value, or "" when it can.
std::string rankWordProblem(const std::string& word, int& rank);
std::string maxPProblem(double p);
// The generator takes a 32-bit seed; the permutation count is an int.
constexpr long long kMaxSeed = 0xffffffffLL;
constexpr long long kMaxPermutations = 0x7fffffffLL;

// Ranks the context's search by `rank` with measures that are not numbers
// last; `single_gains` receives each marker's own IG (the context points
// to it).
void rankForSignificance(int rank, SearchContext& context, std::vector<double>& single_gains);

// Leaves out the kept rows whose measures are not numbers (ranked last).
void dropNotANumberRows(RankedRows& kept);

// What a run asks beyond its report.
struct SignificanceRequest {
  // Any of the significance options given: measures that are not numbers
  // are left out of the ranking, and every kept row is assessed.
  bool active = false;
  int rank = kRankByIG;
  PermutationPlan permutations;
  // Above 0: list every combination whose p_chisq is at most this.
  double max_p = 0;
  // Genomic control and covariate-adjusted p-values of each order.
  StructureRequest structure;
};

class CombinationListing;

// The outcome of one order of a run.
struct OrderSignificance {
  int order = 0;
  double tests = 0;  // combinations of the order
  long long not_a_number = 0;       // combinations whose measures are not numbers
  std::vector<int> first_not_a_number;  // the first of them
  std::vector<double> first_own_gains;   // the IG of each of its markers alone
  std::vector<SignificanceRow> rows;    // the kept rows (only when assessed)
  std::vector<double> maxima;           // the permutations' largest keys
  // With a p-value bound: every combination within it (the rows above are
  // then the report's only).
  std::shared_ptr<CombinationListing> listing;
  OrderStructure structure;
};

// The kept rows of one order with their significance (and permutation
// p-values when the plan has permutations). False when memory ran out.
bool assessOrder(const SearchContext& context, const RankedRows& kept, const PermutationPlan& plan,
                 OrderSignificance& outcome);

#endif  // GORVA_ENGINE_SIGNIFICANCE_SIGNIFICANCE_H
