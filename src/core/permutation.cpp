// permutation.cpp: shuffles, random or exhaustive combination lists, the
// permutation null distribution of the measures, and quantiles and empirical
// p-values read off a null distribution.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <utility>
#include <vector>

#include "core/gorva.h"
#include "core/mt19937.h"
#include "core/search_constants.h"

namespace {

// A random index below m, taken as the plain remainder (its slight bias
// towards small values is accepted so that every draw costs one number).
unsigned int drawBelow(int m) { return int32_rand() % static_cast<unsigned int>(m); }

// Ascending, NaN values first: cmp_double calls a NaN equal to everything,
// which is no order, and a sort by it could leave a NaN anywhere, with the
// numbers around it out of order.
void sortAscending(double* values, int n) {
  if (n > 0) {
    std::sort(values, values + n, [](double a, double b) { return std::isnan(a) ? !std::isnan(b) : a < b; });
  }
}

}  // namespace

void permuteValues(unsigned char* values, int n) { shuffleFromTop(values, n, int32_rand); }

void permuteValuesByIndex(unsigned char* values, int* positions, int n) {
  for (int i = n; i >= 2; --i) std::swap(values[positions[drawBelow(i)]], values[positions[i - 1]]);
}

void permuteIndex(int* values, int n, int k) {
  if (k > n || k < 1) return;
  for (int i = 0; i < k; ++i) std::swap(values[i], values[i + static_cast<int>(drawBelow(n - i))]);
}

void makeIndex(int* multipliers, int* offsets, int k, unsigned char* genotypes, int S, int* out) {
  // Unsigned sums wrap instead of overflowing for absurd multipliers.
  for (int s = 0; s < S; ++s) {
    std::uint32_t cell = 0;
    for (int j = 0; j < k; ++j) {
      cell += static_cast<std::uint32_t>(genotypes[s + offsets[j]]) *
              static_cast<std::uint32_t>(multipliers[j]);
    }
    out[s] = static_cast<int>(cell);
  }
}

// An order below 1 names no combination and an order above n has none, so
// both hand out nothing (the enumeration would report 0 for the latter too).
void sampleCombSNP(int* k, int* n, int* requested, int* count, int* out) {
  const int order = *k;
  const int markers = *n;
  const int wanted = *requested;
  *count = 0;
  if (order < 1 || order > markers) return;

  if (wanted > combinationsOf(markers, order)) {
    std::vector<int> state(static_cast<std::size_t>(order), -1);
    combSNP(k, n, requested, state.data(), count, out);
    return;
  }

  std::vector<int> index(static_cast<std::size_t>(markers));
  for (int i = 0; i < markers; ++i) index[i] = i;
  for (int t = 0; t < wanted; ++t) {
    // Each draw starts from the arrangement the previous one left.
    permuteIndex(index.data(), markers, order);
    for (int j = 0; j < order; ++j) out[t * order + j] = index[j];
  }
  *count = wanted > 0 ? wanted : 0;
}

void generateNull(int* combs, int* k, int* count, unsigned char* genotypes, int* marker_count,
                  unsigned char* phenotypes, double* scores, int* S, int* samples, int* N,
                  int* cases, int* controls, double* ratio, int* option, int* missing,
                  int* permutations, int* out_count, double* out) {
  *out_count = 0;
  const int order = *k;
  const int sample_count = *S;
  if (order < 1 || *count < 1 || *permutations < 1) return;

  // The shuffles work on a private copy, each one starting from the
  // arrangement the previous one left.
  const int base = genotypeLevels(*missing);
  if (!tableFitsInt(base, order)) {
    // No table of so many cells can be counted: measures that are no numbers.
    *out_count = *count * *permutations;
    std::fill_n(out, 2 * static_cast<std::size_t>(*out_count), std::numeric_limits<double>::quiet_NaN());
    return;
  }
  std::vector<unsigned char> shuffled(phenotypes, phenotypes + sample_count);

  std::vector<int> multipliers(static_cast<std::size_t>(order));
  const int table_len = fillTableMultipliers(base, order, multipliers.data());
  std::vector<int> offsets(static_cast<std::size_t>(order));
  std::vector<int> table(static_cast<std::size_t>(table_len));
  std::vector<double> score_sums(static_cast<std::size_t>(table_len));
  const CountTableFunction countTable = countTableFor(*missing);
  const bool recount_totals = *missing == kMethodAvailable;

  // N doubles as the length of the sample list; only the totals handed to the
  // measures are recounted under "available".
  const int listed = *N;
  int total = *N;
  int local_cases = *cases;
  int local_controls = *controls;
  double local_ratio = *ratio;

  for (int c = 0; c < *count; ++c) {
    for (int j = 0; j < order; ++j) offsets[j] = combs[c * order + j] * sample_count;
    for (int p = 0; p < *permutations; ++p) {
      std::fill(table.begin(), table.end(), 0);
      permuteValues(shuffled.data(), sample_count);
      countTable(multipliers.data(), offsets.data(), order, base, samples, listed, genotypes,
                 *marker_count, shuffled.data(), sample_count, &local_cases, &local_controls,
                 scores, score_sums.data(), table.data());
      if (recount_totals) {
        total = local_cases + local_controls;
        local_ratio = static_cast<double>(local_cases) / local_controls;
      }
      calculateMeasuresAll(total, local_cases, local_controls, table.data(), score_sums.data(),
                           table_len, local_ratio, *option, out + 2 * *out_count);
      ++*out_count;
    }
  }
}

double quantile(double* values, int n, double q) {
  // Outside 0..1 the order statistics would be read past the array's ends.
  if (n < 1 || !(q >= 0 && q <= 1)) return std::numeric_limits<double>::quiet_NaN();
  const double h = (n - 1) * q;
  const double lo = std::floor(h);
  const double hi = std::ceil(h);
  const double f = h - lo;
  sortAscending(values, n);
  if (std::isnan(values[0])) return values[0];  // a quantile of values not all numbers is none
  // An order statistic itself: 0 * inf would make an infinite one NaN.
  if (f == 0) return values[static_cast<int>(lo)];
  return (1 - f) * values[static_cast<int>(lo)] + f * values[static_cast<int>(hi)];
}

// A NaN null value is at least no statistic, wherever a sort left it (this
// file's sort puts it first, NumPy's last); a NaN statistic has no p-value.
double pvalue(double* null_values, int n, double statistic, int sorted) {
  if (sorted == 0) sortAscending(null_values, n);
  if (n <= 0 || std::isnan(statistic)) return std::numeric_limits<double>::quiet_NaN();
  int at_least = 0;
  for (int i = n - 1; i >= 0; --i) {
    if (std::isnan(null_values[i])) continue;
    if (null_values[i] < statistic) break;
    ++at_least;
  }
  return static_cast<double>(at_least) / n;
}

void pvalueVector(double* null_values, int* n, double* statistics, int* m, int* sorted,
                  double* out) {
  const int null_len = *n;
  const int stat_len = *m;
  if (*sorted == 0) sortAscending(null_values, null_len);
  if (stat_len < 1 || null_len <= 0) return;

  // The statistics that are numbers, from the largest down, against the
  // null from its top: one pass over each.
  std::vector<int> rank;
  rank.reserve(static_cast<std::size_t>(stat_len));
  for (int i = 0; i < stat_len; ++i) {
    if (std::isnan(statistics[i])) {
      out[i] = std::numeric_limits<double>::quiet_NaN();
    } else {
      rank.push_back(i);
    }
  }
  std::sort(rank.begin(), rank.end(), [statistics](int a, int b) { return statistics[a] > statistics[b]; });
  int at_least = 0;
  int next_null = null_len - 1;
  for (const int i : rank) {
    for (; next_null >= 0; --next_null) {
      if (std::isnan(null_values[next_null])) continue;
      if (null_values[next_null] < statistics[i]) break;
      ++at_least;
    }
    out[i] = static_cast<double>(at_least) / null_len;
  }
}
