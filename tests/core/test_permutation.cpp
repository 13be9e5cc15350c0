// The permutation toolkit: shuffles (draw order and uniformity), combination
// lists, the null distribution of the measures (replayed here with a table
// counted independently), quantiles and empirical p-values.
#include <gtest/gtest.h>

#include <Rmath.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "core/gorva.h"

namespace {

bool sameDouble(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

// A small data set, marker-major, with an optional sprinkling of missing codes.
struct DataSet {
  int S = 16;
  int markers = 4;
  std::vector<unsigned char> genotypes;
  std::vector<unsigned char> phenotypes;
  std::vector<double> scores;
  std::vector<int> samples;
};

DataSet makeData(bool with_missing) {
  DataSet d;
  std::mt19937 gen(with_missing ? 2 : 1);
  for (int i = 0; i < d.S * d.markers; ++i) {
    const bool missing = with_missing && gen() % 9 == 0;
    d.genotypes.push_back(static_cast<unsigned char>(missing ? 3 : gen() % 3));
  }
  for (int s = 0; s < d.S; ++s) {
    d.phenotypes.push_back(s % 7 < 3 ? 1 : 0);
    d.scores.push_back(0.25 * s);
  }
  // Samples 5 and 12 are left out of the list, so it is shorter than S.
  for (int s = 0; s < d.S; ++s) {
    if (s != 5 && s != 12) d.samples.push_back(s);
  }
  return d;
}

struct Totals {
  int N, cases, controls;
};

// What generateNull must produce, rebuilt from the same shuffles: the table
// is counted here directly, skipping samples with a missing code under
// "available" (4), which also recounts the totals; other codes keep `given`.
std::vector<double> replayNull(const DataSet& d, const std::vector<int>& combs, int k, int P,
                               Totals given, int missing, unsigned long seed) {
  init_rng(seed);
  std::vector<unsigned char> pheno = d.phenotypes;
  const int base = missing == 2 ? 4 : 3;
  int table_len = 2;
  for (int j = 0; j < k; ++j) table_len *= base;
  std::vector<double> out;
  for (std::size_t c = 0; c < combs.size() / k; ++c) {
    for (int p = 0; p < P; ++p) {
      permuteValues(pheno.data(), d.S);
      std::vector<int> table(table_len, 0);
      std::vector<double> sums(table_len, 0.0);
      Totals t = given;
      if (missing == 4) t = {0, 0, 0};
      for (int s : d.samples) {
        int entry = pheno[s], multiplier = 2;
        bool skip = false;
        for (int j = 0; j < k; ++j) {
          const int code = d.genotypes[combs[c * k + j] * d.S + s];
          skip = skip || (missing == 4 && code == 3);
          entry += code * multiplier;
          multiplier *= base;
        }
        if (skip) continue;
        ++table[entry];
        if (missing == 4) ++(pheno[s] == 1 ? t.cases : t.controls);
      }
      if (missing == 4) t.N = t.cases + t.controls;
      double pair[2];
      calculateMeasuresAll(t.N, t.cases, t.controls, table.data(), sums.data(), table_len, 0.0, 1,
                           pair);
      out.insert(out.end(), pair, pair + 2);
    }
  }
  return out;
}

struct NullRun {
  std::vector<double> out;
  int count;
};

NullRun runNull(DataSet& d, std::vector<int> combs, int k, int P, Totals given, int missing,
                unsigned long seed) {
  init_rng(seed);
  int combination_count = static_cast<int>(combs.size()) / k;
  int markers = d.markers, S = d.S, N = given.N, cases = given.cases, controls = given.controls;
  int option = 1, out_count = -1;
  double ratio = 0.5;
  NullRun run{std::vector<double>(2 * combination_count * P + 4, -99.0), -1};
  generateNull(combs.data(), &k, &combination_count, d.genotypes.data(), &markers,
               d.phenotypes.data(), d.scores.data(), &S, d.samples.data(), &N, &cases, &controls,
               &ratio, &option, &missing, &P, &out_count, run.out.data());
  run.count = out_count;
  return run;
}

}  // namespace

TEST(ShuffleTest, PermuteValuesFollowsTheDocumentedDrawOrder) {
  init_rng(11);
  std::mt19937 reference(11);
  std::vector<unsigned char> values = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  std::vector<unsigned char> expected = values;
  for (unsigned i = 10; i >= 2; --i) std::swap(expected[reference() % i], expected[i - 1]);
  permuteValues(values.data(), 10);
  EXPECT_EQ(values, expected);
  EXPECT_EQ(int32_rand(), reference()) << "exactly n - 1 numbers are drawn";

  unsigned char single = 7;
  permuteValues(&single, 1);
  permuteValues(&single, 0);
  EXPECT_EQ(single, 7);
  EXPECT_EQ(int32_rand(), reference()) << "nothing is drawn for n <= 1";
}

TEST(ShuffleTest, PermuteValuesByIndexTouchesOnlyListedPositions) {
  init_rng(4);
  std::vector<unsigned char> values = {10, 11, 12, 13, 14, 15, 16, 17};
  std::vector<int> positions = {1, 3, 4, 6};
  for (int round = 0; round < 20; ++round) permuteValuesByIndex(values.data(), positions.data(), 4);
  EXPECT_EQ(values[0], 10);
  EXPECT_EQ(values[2], 12);
  EXPECT_EQ(values[5], 15);
  EXPECT_EQ(values[7], 17);
  std::multiset<int> listed = {values[1], values[3], values[4], values[6]};
  EXPECT_EQ(listed, (std::multiset<int>{11, 13, 14, 16}));
}

TEST(ShuffleTest, PermuteIndexPicksEveryOrderedPairUniformly) {
  init_rng(2024);
  constexpr int trials = 60000;
  std::map<std::pair<int, int>, int> seen;
  for (int t = 0; t < trials; ++t) {
    int values[3] = {0, 1, 2};
    permuteIndex(values, 3, 2);
    ASSERT_NE(values[0], values[1]);
    ASSERT_EQ(values[0] + values[1] + values[2], 3) << "the left-out entry stays at position 2";
    ++seen[{values[0], values[1]}];
  }
  ASSERT_EQ(seen.size(), 6u);
  const double expected = trials / 6.0;
  double chi_square = 0.0;
  for (const auto& [pair, observed] : seen) {
    chi_square += (observed - expected) * (observed - expected) / expected;
  }
  // A uniform draw exceeds this upper 1e-6 quantile of chi-square with 5
  // degrees of freedom (about 35.9) once in a million runs.
  EXPECT_LT(chi_square, qchisq(1e-6, 5, /*lower_tail=*/0, /*log_p=*/0));
}

TEST(ShuffleTest, PermuteIndexOutsideItsRangeChangesNothing) {
  init_rng(8);
  const unsigned int first = int32_rand();
  init_rng(8);
  int values[3] = {4, 5, 6};
  permuteIndex(values, 3, 4);
  permuteIndex(values, 3, 0);
  permuteIndex(values, 3, -1);
  EXPECT_EQ(values[0], 4);
  EXPECT_EQ(values[1], 5);
  EXPECT_EQ(values[2], 6);
  EXPECT_EQ(int32_rand(), first) << "the generator is not touched";
}

TEST(MakeIndexTest, WeightedSumOfCodes) {
  // Marker 0: 0 1 2, marker 1: 2 0 1, marker 2: 1 1 0 (three samples).
  unsigned char genotypes[] = {0, 1, 2, 2, 0, 1, 1, 1, 0};
  int multipliers[] = {1, 3};
  int offsets[] = {2 * 3, 0};  // marker 2 is the low digit, then marker 0
  int out[3] = {-1, -1, -1};
  makeIndex(multipliers, offsets, 2, genotypes, 3, out);
  EXPECT_EQ(out[0], 1 + 0 * 3);
  EXPECT_EQ(out[1], 1 + 1 * 3);
  EXPECT_EQ(out[2], 0 + 2 * 3);
}

TEST(SampleCombTest, EnumeratesWhenTheRequestExceedsTheCount) {
  int k = 2, n = 4, requested = 7, count = -1;
  std::vector<int> out(14, -1);
  sampleCombSNP(&k, &n, &requested, &count, out.data());
  EXPECT_EQ(count, 6);
  EXPECT_EQ(std::vector<int>(out.begin(), out.begin() + 12),
            (std::vector<int>{0, 1, 0, 2, 0, 3, 1, 2, 1, 3, 2, 3}));
}

TEST(SampleCombTest, SamplesWhenTheRequestFitsEvenAtEquality) {
  for (auto [markers, order, request] : {std::tuple{4, 2, 6}, std::tuple{30, 3, 500}}) {
    int n = markers, k = order, requested = request;
    init_rng(3);
    int count = -1;
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
      EXPECT_TRUE(std::all_of(draw.begin(), draw.end(), [n](int m) { return m >= 0 && m < n; }));
    }
  }
}

TEST(SampleCombTest, NothingToHandOut) {
  int out[8] = {};
  for (auto [order, markers, request] :
       {std::tuple{5, 4, 3}, std::tuple{2, 4, 0}, std::tuple{0, 4, 2}}) {
    int k = order, n = markers, requested = request, count = -1;
    sampleCombSNP(&k, &n, &requested, &count, out);
    EXPECT_EQ(count, 0) << k << " of " << n << ", request " << requested;
  }
}

TEST(GenerateNullTest, LeavesPhenotypeAloneAndCountsEveryPermutation) {
  DataSet d = makeData(false);
  const std::vector<unsigned char> phenotype_before = d.phenotypes;
  const NullRun run = runNull(d, {0, 1, 2, 3, 1, 3}, 2, 4, {14, 5, 9}, 1, 99);
  EXPECT_EQ(run.count, 3 * 4);
  EXPECT_EQ(d.phenotypes, phenotype_before);
  EXPECT_EQ(run.out[2 * 12], -99.0) << "nothing written past the last pair";

  for (int P : {0, 3}) {
    const NullRun none = runNull(d, P == 0 ? std::vector<int>{0, 1} : std::vector<int>{}, 2, P,
                                 {14, 5, 9}, 1, 99);
    EXPECT_EQ(none.count, 0);
    EXPECT_TRUE(std::all_of(none.out.begin(), none.out.end(), [](double v) { return v == -99.0; }));
  }
}

TEST(GenerateNullTest, MatchesMeasuresOfTablesCountedAfterTheSameShuffles) {
  const DataSet complete = makeData(false);
  const DataSet with_missing = makeData(true);
  struct Case {
    const DataSet* data;
    int missing;
    Totals given;
  };
  // The caller's totals are deliberately not the real ones: they must reach
  // the measures unchanged, except under "available", which recounts them.
  for (const Case& c : {Case{&complete, 1, {14, 5, 9}}, Case{&complete, 6, {14, 6, 8}},
                        Case{&with_missing, 2, {14, 4, 10}}, Case{&with_missing, 4, {14, 99, 1}}}) {
    DataSet d = *c.data;
    const std::vector<int> combs = {0, 1, 1, 2, 0, 3};
    for (int k : {1, 2}) {
      const NullRun run = runNull(d, combs, k, 5, c.given, c.missing, 17);
      const std::vector<double> expected = replayNull(d, combs, k, 5, c.given, c.missing, 17);
      ASSERT_EQ(run.count * 2, static_cast<int>(expected.size()));
      for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(sameDouble(run.out[i], expected[i]))
            << "method " << c.missing << ", k " << k << ", entry " << i << ": " << run.out[i]
            << " vs " << expected[i];
      }
    }
  }
}

TEST(QuantileTest, InterpolatesBetweenOrderStatistics) {
  std::vector<double> v = {40, 10, 30, 20};
  EXPECT_DOUBLE_EQ(quantile(v.data(), 4, 0.5), 25.0);
  EXPECT_EQ(v, (std::vector<double>{10, 20, 30, 40}));
  v = {40, 10, 30, 20};
  EXPECT_DOUBLE_EQ(quantile(v.data(), 4, 0.25), 17.5);
  EXPECT_DOUBLE_EQ(quantile(v.data(), 4, 0.0), 10.0);
  EXPECT_DOUBLE_EQ(quantile(v.data(), 4, 1.0), 40.0);
  double single = 3.5;
  EXPECT_DOUBLE_EQ(quantile(&single, 1, 0.7), 3.5);
}

TEST(PValueTest, ShareOfNullValuesAtLeastAsLarge) {
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

TEST(PValueTest, VectorGivesEachStatisticItsOwnPValue) {
  std::vector<double> null_values = {4, 2, 1, 3};
  std::vector<double> stats = {0.5, 3, 5, 4};
  std::vector<double> out(4, -1.0);
  int n = 4, m = 4, sorted = 0;
  pvalueVector(null_values.data(), &n, stats.data(), &m, &sorted, out.data());
  EXPECT_EQ(out, (std::vector<double>{1.0, 0.5, 0.0, 0.25}));
  EXPECT_EQ(stats, (std::vector<double>{0.5, 3, 5, 4})) << "statistics stay in place";

  n = 0;
  std::fill(out.begin(), out.end(), -1.0);
  pvalueVector(null_values.data(), &n, stats.data(), &m, &sorted, out.data());
  EXPECT_EQ(out, std::vector<double>(4, -1.0)) << "an empty null writes nothing";
}

TEST(PValueTest, VectorAgreesWithScalarOnRandomInputsWithTies) {
  std::mt19937 gen(12);
  std::uniform_int_distribution<int> value(-3, 25);
  for (int trial = 0; trial < 20; ++trial) {
    int n = 1 + static_cast<int>(gen() % 60), m = 1 + static_cast<int>(gen() % 40);
    std::vector<double> null_values, stats;
    for (int i = 0; i < n; ++i) null_values.push_back(value(gen) * 0.5 + 3);
    for (int i = 0; i < m; ++i) stats.push_back(value(gen) * 0.5 + 3);
    std::vector<double> out(m, -1.0);
    int sorted = trial % 2;
    if (sorted) std::sort(null_values.begin(), null_values.end());
    pvalueVector(null_values.data(), &n, stats.data(), &m, &sorted, out.data());
    for (int i = 0; i < m; ++i) {
      EXPECT_EQ(out[i], pvalue(null_values.data(), n, stats[i], 1)) << "trial " << trial;
    }
  }
}
