#include "engine/significance/population_structure.h"

#include <Rmath.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <random>
#include <utility>

#include "engine/count/pair_free_counts.h"
#include "engine/count/unrank.h"
#include "engine/count/worker_threads.h"
#include "engine/search/joint_pair_tables.h"
#include "engine/search/progress.h"
#include "engine/significance/combination_listing.h"
#include "engine/significance/covariate_columns.h"
#include "engine/significance/significance.h"

namespace {

// The median of the chi-square distribution with one degree of freedom.
constexpr double kChiSquareMedian = 0.4549364231195724;
// Combinations a worker takes from the common counter at a time.
constexpr long kChunk = 256;
// Ranks apart that a sampled combination is stepped to from the one before
// rather than unranked (a few steps cost less than one unranking).
constexpr long long kMostSteps = 64;

// Sorts ranks below `bound` (at most 2^63) by their bits, 16 at a time
// from the lowest: a million draws in a few passes over them, where a
// comparison sort took a tenth of a second, alone, before the threads
// could start.
void sortRanks(std::vector<long long>& ranks, long long bound) {
  constexpr int kDigitBits = 16;
  constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;
  std::vector<long long> other(ranks.size());
  std::vector<std::size_t> start(kDigits);
  for (int shift = 0; shift < 64 && (static_cast<unsigned long long>(bound - 1) >> shift) != 0; shift += kDigitBits) {
    std::fill(start.begin(), start.end(), 0);
    for (const long long rank : ranks) ++start[(static_cast<unsigned long long>(rank) >> shift) & (kDigits - 1)];
    std::size_t at = 0;
    for (std::size_t& first : start) at += std::exchange(first, at);
    for (const long long rank : ranks) other[start[(static_cast<unsigned long long>(rank) >> shift) & (kDigits - 1)]++] = rank;
    ranks.swap(other);
  }
}

// The next combination of k out of n in lexicographic order.
void advanceCombination(int* combination, int k, int n) {
  int j = k - 1;
  while (j > 0 && combination[j] == n - k + j) --j;
  ++combination[j];
  for (int i = j + 1; i < k; ++i) combination[i] = combination[i - 1] + 1;
}

}  // namespace

GenomicControl lambdaOf(const std::vector<double>& p_values) {
  std::vector<double> kept;
  kept.reserve(p_values.size());
  for (const double p : p_values) {
    if (!std::isnan(p)) kept.push_back(p);
  }
  GenomicControl control;
  control.combinations = static_cast<long long>(kept.size());
  if (kept.empty()) {
    control.lambda = std::numeric_limits<double>::quiet_NaN();
    return control;
  }
  // The upper-tail quantile falls as p rises, so the median statistic is
  // the quantile of the median p: two quantiles instead of a million.
  const std::size_t middle = kept.size() / 2;
  const bool even = kept.size() % 2 == 0;
  const std::size_t lower = even ? middle - 1 : middle;
  std::nth_element(kept.begin(), kept.begin() + lower, kept.end());
  const auto quantile = [](double p) { return qchisq(p, 1, /*lower_tail=*/0, /*log_p=*/0); };
  double median = quantile(kept[lower]);
  if (even) median = (median + quantile(*std::min_element(kept.begin() + middle, kept.end()))) / 2;
  control.lambda = median / kChiSquareMedian;
  return control;
}

std::vector<int> combinationsBehindLambda(int marker_count, int k, long long most, unsigned long seed,
                                          int threads, bool& sampled) {
  std::vector<int> combinations;
  const long long total = combinationCount(marker_count, k);
  if (total == 0) return combinations;
  sampled = total < 0 || total > most;
  if (!sampled) {
    combinations.resize(static_cast<std::size_t>(total) * k);
    for (int j = 0; j < k; ++j) combinations[j] = j;
    for (long long r = 1; r < total; ++r) {
      std::copy_n(&combinations[(r - 1) * k], k, &combinations[r * k]);
      advanceCombination(&combinations[r * k], k, marker_count);
    }
    return combinations;
  }
  combinations.resize(static_cast<std::size_t>(most) * k);
  std::mt19937_64 generator(seed);
  if (total > 0) {
    // The draws follow the one generator in turn; unranking them, most of
    // the cost, is shared by the workers.
    std::vector<long long> positions(static_cast<std::size_t>(most));
    std::uniform_int_distribution<long long> position(0, total - 1);
    for (long long& drawn : positions) drawn = position(generator);
    // Only the sample as a whole counts (lambda is a median, the p-values
    // are sorted), so it is taken in rank order: a combination a few ranks
    // after the last is reached by stepping, and neighbours share markers.
    sortRanks(positions, total);
    std::atomic<long long> next{0};
    runWorkers(std::max(1, threads), [&](int) {
      for (long long first = next.fetch_add(kChunk); first < most; first = next.fetch_add(kChunk)) {
        for (long long r = first; r < std::min(most, first + kChunk); ++r) {
          int* combination = &combinations[r * k];
          const long long gap = r > first ? positions[r] - positions[r - 1] : kMostSteps + 1;
          if (gap > kMostSteps) {
            unrankCombination(positions[r], marker_count, k, combination);
            continue;
          }
          std::copy_n(combination - k, k, combination);
          for (long long step = 0; step < gap; ++step) advanceCombination(combination, k, marker_count);
        }
      }
    });
    return combinations;
  }
  for (long long r = 0; r < most; ++r) {
    // Beyond the ranked range: k distinct markers, sorted.
    std::uniform_int_distribution<int> marker(0, marker_count - 1);
    int* combination = &combinations[r * k];
    for (int j = 0; j < k; ++j) {
      do combination[j] = marker(generator);
      while (std::find(combination, combination + j, combination[j]) != combination + j);
    }
    std::sort(combination, combination + k);
  }
  return combinations;
}

std::vector<double> combinationPValues(const SearchContext& context, const std::vector<int>& combinations,
                                       int k, int threads) {
  const long count = static_cast<long>(combinations.size()) / k;
  std::vector<double> p_values(count);
  // Matched designs hold many strata too small to be tested: a
  // combination's tables are counted in the others only.
  const std::vector<int> strata = testableStrata(context);
  if (context.strata != nullptr && strata.empty()) {
    std::fill(p_values.begin(), p_values.end(), std::numeric_limits<double>::quiet_NaN());
    return p_values;
  }
  std::atomic<long> next{0};
  runWorkers(std::max(1, threads), [&](int) {
    std::vector<int> table;
    std::vector<int> stratum_table;
    // Pairs' tables in every stratum from one walk over the joint rows.
    JointPairTables joint(context);
    const bool jointly = k == 2 && joint.serves();
    for (long first = next.fetch_add(kChunk); first < count; first = next.fetch_add(kChunk)) {
      for (long r = first; r < std::min(count, first + kChunk); ++r) {
        const int* combination = &combinations[r * k];
        if (jointly) {
          const int* tables = joint.tables(combination[0], combination[1]);
          table.clear();
          for (const int s : strata) table.insert(table.end(), tables + s * kWholePairCounts, tables + (s + 1) * kWholePairCounts);
          p_values[r] = associationTest(table.data(), static_cast<int>(strata.size()), kWholePairCounts / 2).p_value;
          continue;
        }
        p_values[r] = context.strata == nullptr
                          ? testCombination(context, combination, k, table).p_value
                          : testCombinationIn(context, strata, combination, k, table, stratum_table).p_value;
      }
    }
  });
  return p_values;
}

void assessOrderStructure(const SearchContext& context, const StructureRequest& request, int threads,
                          OrderSignificance& order) {
  OrderStructure& structure = order.structure;
  const int k = order.order;
  const bool adjusting = request.covariates != nullptr && request.covariates->any();
  if (!request.genomic_control && !adjusting) return;
  structure.assessed = true;
  if (request.genomic_control) {
    bool sampled = false;
    const std::vector<int> combinations =
        combinationsBehindLambda(context.marker_count, k, request.lambda_sample, request.seed, threads, sampled);
    std::vector<double> p_values = combinationPValues(context, combinations, k, threads);
    structure.control = lambdaOf(p_values);
    structure.control.sampled = sampled;
    if (request.keep_p_values) {
      std::erase_if(p_values, [](double p) { return std::isnan(p); });
      std::sort(p_values.begin(), p_values.end());
      structure.p_chisq = std::move(p_values);
    }
  }
  if (!adjusting) return;
  structure.adjusted = true;
  std::vector<int> listed;
  if (order.listing) {
    order.listing->rows().forEach([&](const SignificanceRow& row) {
      listed.insert(listed.end(), row.markers.begin(), row.markers.end());
      return true;
    });
  } else {
    for (const SignificanceRow& row : order.rows) listed.insert(listed.end(), row.markers.begin(), row.markers.end());
  }
  structure.dropped = usableCovariates(context, *request.covariates).dropped;
  structure.listed = adjustedPValues(context, *request.covariates, listed, k, threads);
  for (const AdjustedPValues& row : structure.listed) structure.not_fitted += row.not_fitted ? 1 : 0;
  if (request.genomic_control) {
    bool sampled = false;
    // Its own stream, so the sample is not the first part of p_chisq's.
    const std::vector<int> combinations =
        combinationsBehindLambda(context.marker_count, k, request.lambda_sample, request.seed + 1, threads,
                                 sampled);
    // Two model fits each: at a million combinations, minutes, told like the search.
    SearchProgress progress(k, static_cast<double>(combinations.size()) / k, "combinations behind lambda_gc_adjusted",
                            context.settings.show_progress);
    std::vector<double> adjusted;
    for (const AdjustedPValues& row : adjustedPValues(context, *request.covariates, combinations, k, threads,
                                                      AdjustedTests::kAssociationOnly, &progress))
      adjusted.push_back(row.p_adjusted);
    progress.finish();
    structure.adjusted_control = lambdaOf(adjusted);
    structure.adjusted_control.sampled = sampled;
  }
}
