// The permutation toolkit: shuffles (draw order and uniformity), combination
// lists, the null distribution of the measures (replayed here with a table
// counted independently), quantiles and empirical p-values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "core/gorva.h"

namespace {

constexpr int kS = 16, kMarkers = 4;

// A small data set, marker-major, with an optional sprinkling of missing
// codes. Samples 5 and 12 are left out of the list, so it is shorter than S.
struct DataSet {
  std::vector<unsigned char> genotypes, phenotypes;
  std::vector<double> scores;
  std::vector<int> samples;

  explicit DataSet(bool with_missing) {
    std::mt19937 gen(with_missing ? 2 : 1);
    for (int i = 0; i < kS * kMarkers; ++i) {
      const bool missing = with_missing && gen() % 9 == 0;
      genotypes.push_back(static_cast<unsigned char>(missing ? 3 : gen() % 3));
    }
    for (int s = 0; s < kS; ++s) {
      phenotypes.push_back(s % 7 < 3 ? 1 : 0);
      scores.push_back(0.25 * s);
      if (s != 5 && s != 12) samples.push_back(s);
    }
  }
};

struct Totals { int N, cases, controls; };

// What generateNull must produce, rebuilt from the same shuffles: the table
// is counted here directly, skipping samples with a missing code under
// "available" (4), which also recounts the totals; other codes keep `given`.
std::vector<double> replayNull(const DataSet& d, const std::vector<int>& combs, int k, int P,
                               Totals given, int missing) {
  std::vector<unsigned char> pheno = d.phenotypes;
  const int base = missing == 2 ? 4 : 3;
  const int table_len = 2 * static_cast<int>(std::lround(std::pow(base, k)));
  std::vector<double> out;
  for (std::size_t c = 0; c < combs.size() / k; ++c) {
    for (int p = 0; p < P; ++p) {
      permuteValues(pheno.data(), kS);
      std::vector<int> table(table_len, 0);
      std::vector<double> sums(table_len, 0.0);
      Totals t = missing == 4 ? Totals{0, 0, 0} : given;
      for (int s : d.samples) {
        int entry = pheno[s], multiplier = 2;
        bool skip = false;
        for (int j = 0; j < k; ++j, multiplier *= base) {
          const int code = d.genotypes[combs[c * k + j] * kS + s];
          skip = skip || (missing == 4 && code == 3);
          entry += code * multiplier;
        }
        if (skip) continue;
        ++table[entry];
        if (missing == 4) ++t.N, ++(pheno[s] == 1 ? t.cases : t.controls);
      }
      double pair[2];
      calculateMeasuresAll(t.N, t.cases, t.controls, table.data(), sums.data(), table_len, 0.0, 1, pair);
      out.insert(out.end(), pair, pair + 2);
    }
  }
  return out;
}

// generateNull's output (4 spare entries at -99) and count.
std::pair<std::vector<double>, int> runNull(DataSet& d, std::vector<int> combs, int k, int P,
                                            Totals given, int missing) {
  int combination_count = static_cast<int>(combs.size()) / k, markers = kMarkers, S = kS;
  int N = given.N, cases = given.cases, controls = given.controls, option = 1, count = -1;
  double ratio = 0.5;
  std::vector<double> out(2 * combination_count * P + 4, -99.0);
  generateNull(combs.data(), &k, &combination_count, d.genotypes.data(), &markers,
               d.phenotypes.data(), d.scores.data(), &S, d.samples.data(), &N, &cases, &controls,
               &ratio, &option, &missing, &P, &count, out.data());
  return {out, count};
}

}  // namespace

// Each shuffle draws its numbers in the documented order: replayed here
// with std::mt19937, an independent generator of the same sequence.
TEST(ShuffleTest, ShufflesFollowTheDocumentedDrawOrder) {
  init_rng(11);
  std::mt19937 reference(11);
  std::vector<unsigned char> values = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, expected = values;
  for (unsigned i = 10; i >= 2; --i) std::swap(expected[reference() % i], expected[i - 1]);
  permuteValues(values.data(), 10);
  EXPECT_EQ(values, expected);
  EXPECT_EQ(int32_rand(), reference()) << "exactly n - 1 numbers are drawn";
  unsigned char single = 7;
  permuteValues(&single, 1);
  permuteValues(&single, 0);
  EXPECT_EQ(single, 7);
  EXPECT_EQ(int32_rand(), reference()) << "nothing is drawn for n <= 1";
  // By index: the same walk over the listed positions only.
  std::vector<int> positions = {1, 3, 4, 6};
  for (unsigned i = 4; i >= 2; --i) std::swap(expected[positions[reference() % i]], expected[positions[i - 1]]);
  permuteValuesByIndex(values.data(), positions.data(), 4);
  EXPECT_EQ(values, expected);
  // permuteIndex moves a random selection of k entries to the front, one draw each.
  std::vector<int> index = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, expected_index = index;
  for (unsigned i = 0; i < 4; ++i) std::swap(expected_index[i], expected_index[i + reference() % (10 - i)]);
  permuteIndex(index.data(), 10, 4);
  EXPECT_EQ(index, expected_index);
  EXPECT_EQ(int32_rand(), reference()) << "exactly k numbers are drawn";
  // Outside its range it changes nothing and draws nothing.
  for (int picks : {11, 0, -1}) permuteIndex(index.data(), 10, picks);
  EXPECT_EQ(index, expected_index);
  EXPECT_EQ(int32_rand(), reference());
}

TEST(MakeIndexTest, WeightedSumOfCodes) {
  // Marker 0: 0 1 2, marker 1: 2 0 1, marker 2: 1 1 0 (three samples).
  unsigned char genotypes[] = {0, 1, 2, 2, 0, 1, 1, 1, 0};
  int multipliers[] = {1, 3};
  int offsets[] = {2 * 3, 0};  // marker 2 is the low digit, then marker 0
  int out[3] = {-1, -1, -1};
  makeIndex(multipliers, offsets, 2, genotypes, 3, out);
  EXPECT_EQ(std::vector<int>(out, out + 3), (std::vector<int>{1 + 0 * 3, 1 + 1 * 3, 0 + 2 * 3}));
}

TEST(SampleCombTest, SamplesWhenTheRequestFitsElseEnumeratesOrHandsOutNothing) {
  for (auto [markers, order, request] : {std::tuple{4, 2, 6}, std::tuple{30, 3, 500}}) {
    int n = markers, k = order, requested = request, count = -1;
    init_rng(3);
    std::vector<int> out(k * requested, -1);
    sampleCombSNP(&k, &n, &requested, &count, out.data());
    ASSERT_EQ(count, requested);
    // Replay: one index array, reshuffled cumulatively by permuteIndex.
    init_rng(3);
    std::vector<int> index(n);
    for (int i = 0; i < n; ++i) index[i] = i;
    for (int t = 0; t < requested; ++t) {
      permuteIndex(index.data(), n, k);
      const std::vector<int> draw(out.begin() + t * k, out.begin() + (t + 1) * k);
      EXPECT_EQ(draw, std::vector<int>(index.begin(), index.begin() + k));
      EXPECT_EQ(std::set<int>(draw.begin(), draw.end()).size(), static_cast<std::size_t>(k));
    }
  }
  int k = 2, n = 4, requested = 7, count = -1;
  std::vector<int> out(14, -1);
  sampleCombSNP(&k, &n, &requested, &count, out.data());
  EXPECT_EQ(count, 6);
  EXPECT_EQ(std::vector<int>(out.begin(), out.begin() + 12),
            (std::vector<int>{0, 1, 0, 2, 0, 3, 1, 2, 1, 3, 2, 3}));
  for (auto [order, markers, request] : {std::tuple{5, 4, 3}, std::tuple{2, 4, 0}, std::tuple{0, 4, 2}}) {
    k = order, n = markers, requested = request, count = -1;
    sampleCombSNP(&k, &n, &requested, &count, out.data());
    EXPECT_EQ(count, 0) << k << " of " << n << ", request " << requested;
  }
}

TEST(GenerateNullTest, MatchesMeasuresOfTablesCountedAfterTheSameShuffles) {
  DataSet d(false);
  const std::vector<unsigned char> phenotype_before = d.phenotypes;
  const auto [out, count] = runNull(d, {0, 1, 2, 3, 1, 3}, 2, 4, {14, 5, 9}, 1);
  EXPECT_EQ(count, 3 * 4);
  EXPECT_EQ(d.phenotypes, phenotype_before);
  EXPECT_EQ(out[2 * 12], -99.0) << "nothing written past the last pair";
  for (int P : {0, 3}) {
    const auto none = runNull(d, P == 0 ? std::vector<int>{0, 1} : std::vector<int>{}, 2, P, {14, 5, 9}, 1);
    EXPECT_EQ(none.second, 0);
    EXPECT_EQ(none.first, std::vector<double>(none.first.size(), -99.0));
  }
  // The caller's totals are deliberately not the real ones: they must reach
  // the measures unchanged, except under "available", which recounts them.
  DataSet with_missing(true);
  const std::vector<int> combs = {0, 1, 1, 2, 0, 3};
  for (const auto& [data, missing, given] :
       {std::tuple{&d, 1, Totals{14, 5, 9}}, std::tuple{&d, 6, Totals{14, 6, 8}},
        std::tuple{&with_missing, 2, Totals{14, 4, 10}}, std::tuple{&with_missing, 4, Totals{14, 99, 1}}}) {
    DataSet copy = *data;
    for (int k : {1, 2}) {
      init_rng(17);
      const auto run = runNull(copy, combs, k, 5, given, missing);
      init_rng(17);
      const std::vector<double> expected = replayNull(copy, combs, k, 5, given, missing);
      ASSERT_EQ(run.second * 2, static_cast<int>(expected.size()));
      for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE((std::isnan(run.first[i]) && std::isnan(expected[i])) || run.first[i] == expected[i])
            << "method " << missing << ", k " << k << ", entry " << i << ": " << run.first[i]
            << " vs " << expected[i];
      }
    }
  }
}

TEST(QuantileAndPValueTest, OrderStatisticsAndShareOfNullValuesAtLeastAsLarge) {
  std::vector<double> v = {40, 10, 30, 20};
  EXPECT_DOUBLE_EQ(quantile(v.data(), 4, 0.5), 25.0);
  EXPECT_EQ(v, (std::vector<double>{10, 20, 30, 40}));
  v = {40, 10, 30, 20};
  EXPECT_DOUBLE_EQ(quantile(v.data(), 4, 0.25), 17.5);
  EXPECT_DOUBLE_EQ(quantile(v.data(), 4, 0.0), 10.0);
  EXPECT_DOUBLE_EQ(quantile(v.data(), 4, 1.0), 40.0);
  double single = 3.5;
  EXPECT_DOUBLE_EQ(quantile(&single, 1, 0.7), 3.5);

  std::vector<double> null_values = {3, 1, 4, 2};
  EXPECT_EQ(pvalue(null_values.data(), 4, 5.0, 0), 0.0);
  EXPECT_EQ(null_values, (std::vector<double>{1, 2, 3, 4}));
  EXPECT_EQ(pvalue(null_values.data(), 4, 4.0, 1), 0.25);
  EXPECT_EQ(pvalue(null_values.data(), 4, 3.0, 1), 0.5);
  EXPECT_EQ(pvalue(null_values.data(), 4, 0.5, 1), 1.0);
  EXPECT_TRUE(std::isnan(pvalue(null_values.data(), 0, 1.0, 0)));
  std::vector<double> descending = {4, 3, 2, 1};
  pvalue(descending.data(), 4, 2.0, 1);
  EXPECT_EQ(descending, (std::vector<double>{4, 3, 2, 1})) << "a sorted flag skips the sort";
}

// An infinite order statistic read 0 * inf = NaN (R's quantile() gives the
// order statistic itself, and inf between a number and inf); a NaN left the
// sort by cmp_double without an order, and a NaN statistic read p = 1.
TEST(QuantileAndPValueTest, InfinitiesAndNaNs) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> v = {inf, 1};
  EXPECT_EQ(quantile(v.data(), 2, 1.0), inf);
  v = {1, -inf};
  EXPECT_EQ(quantile(v.data(), 2, 0.0), -inf);
  v = {1, inf, 3};
  EXPECT_EQ(quantile(v.data(), 3, 0.75), inf);
  v = {3, nan, 1, 2};
  EXPECT_TRUE(std::isnan(quantile(v.data(), 4, 0.5)));
  v = {1, 2};
  EXPECT_TRUE(std::isnan(quantile(v.data(), 2, 1.5)));
  EXPECT_TRUE(std::isnan(quantile(v.data(), 2, nan)));
  EXPECT_TRUE(std::isnan(quantile(v.data(), 0, 0.5)));

  std::vector<double> null_values = {3, nan, 1, 4, nan, 2};
  const struct { double statistic, expected; } cases[] = {
      {0.5, 4.0 / 6}, {2.0, 3.0 / 6}, {4.0, 1.0 / 6}, {5.0, 0.0}, {-inf, 4.0 / 6}, {inf, 0.0}};
  for (const auto& c : cases) {
    std::vector<double> null_copy = null_values;
    EXPECT_EQ(pvalue(null_copy.data(), 6, c.statistic, 0), c.expected) << c.statistic;
  }
  EXPECT_TRUE(std::isnan(pvalue(null_values.data(), 6, nan, 0)));
  // Sorted by NumPy: the NaN values last.
  std::vector<double> numpy_sorted = {1, 2, 3, 4, nan, nan};
  for (const auto& c : cases) EXPECT_EQ(pvalue(numpy_sorted.data(), 6, c.statistic, 1), c.expected) << c.statistic;

  for (const int sorted : {0, 1}) {
    std::vector<double> null_copy = sorted ? numpy_sorted : null_values;
    std::vector<double> stats = {nan, 4.0, 0.5, 5.0, 2.0, -inf, inf};
    std::vector<double> out(stats.size(), -1.0);
    int n = 6, m = static_cast<int>(stats.size()), flag = sorted;
    pvalueVector(null_copy.data(), &n, stats.data(), &m, &flag, out.data());
    EXPECT_TRUE(std::isnan(out[0]));
    const std::vector<double> expected = {1.0 / 6, 4.0 / 6, 0.0, 3.0 / 6, 4.0 / 6, 0.0};
    EXPECT_EQ(std::vector<double>(out.begin() + 1, out.end()), expected) << sorted;
  }
}

TEST(QuantileAndPValueTest, VectorAgreesWithScalarOnRandomInputsWithTies) {
  std::mt19937 gen(12);
  std::uniform_int_distribution<int> value(-3, 25);
  for (int trial = 0; trial < 20; ++trial) {
    int n = 1 + static_cast<int>(gen() % 60), m = 1 + static_cast<int>(gen() % 40);
    std::vector<double> null_values, stats;
    for (int i = 0; i < n; ++i) null_values.push_back(value(gen) * 0.5 + 3);
    for (int i = 0; i < m; ++i) stats.push_back(value(gen) * 0.5 + 3);
    const std::vector<double> stats_before = stats;
    std::vector<double> out(m, -1.0);
    int sorted = trial % 2;
    if (sorted) std::sort(null_values.begin(), null_values.end());
    pvalueVector(null_values.data(), &n, stats.data(), &m, &sorted, out.data());
    EXPECT_EQ(stats, stats_before) << "statistics stay in place";
    for (int i = 0; i < m; ++i) EXPECT_EQ(out[i], pvalue(null_values.data(), n, stats[i], 1)) << trial;
    n = 0;
    std::fill(out.begin(), out.end(), -1.0);
    pvalueVector(null_values.data(), &n, stats.data(), &m, &sorted, out.data());
    EXPECT_EQ(out, std::vector<double>(m, -1.0)) << "an empty null writes nothing";
  }
}
