// Without covariates the adjusted test's likelihood ratio is the association
// test's G over the same pooled genotype groups, per stratum and summed when
// strata enter the models, divided by the strata's Williams divisors
// averaged with their degrees of freedom as weights (one stratum: p_chisq
// itself); for pairs the adjusted interaction test is the log-linear
// interaction test, summed and divided over the strata likewise.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/significance/covariate_columns.h"
#include "engine/significance/covariate_tests.h"
#include "engine/significance/interaction_test.h"
#include "engine/significance/significance.h"
#include "engine/rank/table_test.h"
#include "support/oracle.h"
#include "support/search_data.h"

namespace {

std::vector<int> countTable(const Dataset& data, const std::vector<int>& combination, int cells) {
  std::vector<int> table(2 * cells, 0);
  for (const auto& [codes, counts] : oracleCells(data, combination, Method::kAvailable)) {
    int cell = 0;
    for (int j = static_cast<int>(codes.size()) - 1; j >= 0; --j) cell = cell * 3 + codes[j];
    table[2 * cell] = static_cast<int>(counts.first);
    table[2 * cell + 1] = static_cast<int>(counts.second);
  }
  return table;
}

// The expected p of a combination: each stratum's G (G / q times q) summed,
// over the strata's q averaged with their df as weights.
double pooledGPValue(const std::vector<Dataset>& strata, const std::vector<int>& combination) {
  int cells = 1;
  for (std::size_t j = 0; j < combination.size(); ++j) cells *= 3;
  double g = 0;
  double weighted_divisors = 0;
  int df = 0;
  for (const Dataset& stratum : strata) {
    const std::vector<int> table = countTable(stratum, combination, cells);
    const TableTest test = associationTest(table.data(), 1, cells);
    if (test.df < 1) continue;
    const double divisor = associationShape(table.data(), cells).divisor;
    g += test.statistic * divisor;
    weighted_divisors += test.df * divisor;
    df += test.df;
  }
  return chiSquareUpperTail(g * df / weighted_divisors, df);
}

// The expected interaction p of a pair: the log-linear G^2 and df, strata
// summed, over the strata's divisors averaged with their df as weights.
double interactionPValue(const std::vector<Dataset>& strata, const std::vector<int>& pair) {
  double g = 0;
  double weighted_divisors = 0;
  int df = 0;
  for (const Dataset& stratum : strata) {
    const std::vector<int> table = countTable(stratum, pair, 9);
    const InteractionTest test = pairInteractionTest(table.data(), 3);
    const double divisor = interactionShape(interactionTable(table.data(), 3).data(), 3).divisor;
    g += test.statistic * divisor;
    weighted_divisors += test.df * divisor;
    df += test.df;
  }
  return chiSquareUpperTail(g * df / weighted_divisors, df);
}

Dataset samplesOf(const Dataset& data, const std::vector<int>& stratum, int wanted) {
  Dataset out;
  out.names = data.names;
  out.genotype.resize(data.genotype.size());
  for (int s = 0; s < data.samples(); ++s) {
    if (stratum[s] != wanted) continue;
    out.phenotype.push_back(data.phenotype[s]);
    for (int m = 0; m < data.markers(); ++m) out.genotype[m].push_back(data.genotype[m][s]);
  }
  return out;
}

// The unstratified models run on the best instruction set, the stratified
// ones on the scalar path: both paths meet the exact answer.
TEST(AdjustedPValues, WithoutCovariatesTheTestIsThePooledGOverWilliamsDivisors) {
  const Dataset data = randomDataset(23, 5, 240, 0.03);
  SearchData prepared(data, kMethodAvailable);
  std::vector<int> stratum(data.samples());
  for (int s = 0; s < data.samples(); ++s) stratum[s] = (s * 7) % 3 == 0 ? 1 : 0;
  for (const bool stratified : {false, true}) {
    prepared.context.settings.simd = stratified ? SimdPath::kScalar : activeSimdPath();
    const SearchContext& context = prepared.context;
    CovariateModel model;
    std::vector<Dataset> strata = {data};
    if (stratified) {
      model.strata = stratum;
      model.stratum_count = 2;
      strata = {samplesOf(data, stratum, 0), samplesOf(data, stratum, 1)};
    }
    for (int k = 1; k <= 2; ++k) {
      std::vector<int> flat;
      std::vector<std::vector<int>> combinations;
      for (int a = 0; a < data.markers(); ++a) {
        if (k == 1) combinations.push_back({a});
        for (int b = a + 1; k == 2 && b < data.markers(); ++b) combinations.push_back({a, b});
      }
      for (const auto& c : combinations) flat.insert(flat.end(), c.begin(), c.end());
      const std::vector<AdjustedPValues> found = adjustedPValues(context, model, flat, k, 2);
      ASSERT_EQ(found.size(), combinations.size());
      for (std::size_t r = 0; r < combinations.size(); ++r) {
        const double expected = pooledGPValue(strata, combinations[r]);
        ASSERT_FALSE(found[r].not_fitted) << stratified << " " << k << " " << r;
        EXPECT_NEAR(std::log(found[r].p_adjusted), std::log(expected), 1e-6) << stratified << " " << k << " " << r;
        if (k == 2) {
          const double interaction = interactionPValue(strata, combinations[r]);
          ASSERT_EQ(std::isnan(found[r].p_interaction_adjusted), std::isnan(interaction)) << stratified << " " << r;
          if (!std::isnan(interaction)) {
            EXPECT_NEAR(std::log(found[r].p_interaction_adjusted), std::log(interaction), 1e-6) << stratified << " " << r;
          }
        }
      }
    }
  }
}

// Rows share null models when they leave out the same samples: a listing
// in one call (one thread, so one cache) gives each row exactly what the
// row gets alone, with and without strata.
TEST(AdjustedPValues, RowsSharingNullModelsGetTheirOwnFits) {
  const Dataset data = randomDataset(31, 6, 900, 0.05);
  SearchData prepared(data, kMethodAvailable);
  const SearchContext& context = prepared.context;
  for (const int strata : {1, 3}) {
    CovariateModel model;
    model.count = 2;
    for (int s = 0; s < data.samples(); ++s) {
      model.values.push_back(std::sin(s * 0.7) + 0.4 * data.phenotype[s]);
      model.values.push_back(std::cos(s * 1.3));
      if (strata > 1) model.strata.push_back(s % strata);
    }
    model.stratum_count = strata;
    for (int k = 1; k <= 2; ++k) {
      const std::vector<int> listing = k == 1 ? std::vector<int>{0, 1, 0, 2, 1} : std::vector<int>{0, 1, 0, 2, 1, 2, 0, 1};
      const std::vector<AdjustedPValues> together = adjustedPValues(context, model, listing, k, 1);
      for (std::size_t r = 0; r < together.size(); ++r) {
        const std::vector<int> row(listing.begin() + static_cast<long>(r) * k, listing.begin() + static_cast<long>(r + 1) * k);
        const AdjustedPValues alone = adjustedPValues(context, model, row, k, 1)[0];
        ASSERT_FALSE(alone.not_fitted);
        EXPECT_EQ(together[r].p_adjusted, alone.p_adjusted) << strata << " " << k << " " << r;
        if (k == 2) {
          EXPECT_EQ(together[r].p_interaction_adjusted, alone.p_interaction_adjusted) << strata << " " << r;
        }
      }
    }
  }
}

// A covariate repeated, constant, or a linear combination of others adds nothing to the column space of
// any model: every p-value is that of the model without it, whichever step
// (the shared start, a kept X'WX, a fresh one) meets the dependence first.
TEST(AdjustedPValues, RedundantCovariatesChangeNothing) {
  const Dataset data = randomDataset(37, 5, 260, 0.05);
  SearchData prepared(data, kMethodAvailable);
  const SearchContext& context = prepared.context;
  CovariateModel plain, redundant;
  plain.count = 2;
  redundant.count = 5;
  for (int s = 0; s < data.samples(); ++s) {
    const double first = std::sin(s * 0.9) + 0.5 * data.phenotype[s];
    const double second = std::cos(s * 0.4);
    plain.values.insert(plain.values.end(), {first, second});
    redundant.values.insert(redundant.values.end(), {first, 1.0, second, first, 2 * first - second});
  }
  const std::vector<int> pairs = {0, 1, 0, 2, 1, 3, 2, 4, 3, 4};
  const std::vector<AdjustedPValues> expected = adjustedPValues(context, plain, pairs, 2, 1);
  const std::vector<AdjustedPValues> found = adjustedPValues(context, redundant, pairs, 2, 1);
  for (std::size_t r = 0; r < expected.size(); ++r) {
    ASSERT_FALSE(expected[r].not_fitted || found[r].not_fitted) << r;
    EXPECT_NEAR(std::log(found[r].p_adjusted), std::log(expected[r].p_adjusted), 1e-8) << r;
    EXPECT_NEAR(std::log(found[r].p_interaction_adjusted), std::log(expected[r].p_interaction_adjusted), 1e-8) << r;
  }
}

// A covariate taking one value over the samples a model sees is the
// intercept again, whatever the value and whatever it holds on samples left
// out: the run's (here those missing a genotype under the complete method),
// or one row's (those missing at the pair's markers under the available
// method, where the covariate still varies over the run). Alone, it leaves
// p-values those of the model without covariates.
TEST(AdjustedPValues, ACovariateConstantAmongTheSamplesFittedChangesNothing) {
  const Dataset data = randomDataset(43, 4, 220, 0.04);
  const std::vector<int> pairs = {0, 1, 0, 2, 1, 3, 2, 3};
  for (const int method : {kMethodAvailable, kMethodComplete}) {
    SearchData prepared(data, method);
    const SearchContext& context = prepared.context;
    ASSERT_EQ(context.samples.size() < static_cast<std::size_t>(data.samples()), method == kMethodComplete);
    const std::vector<AdjustedPValues> expected = adjustedPValues(context, CovariateModel{}, pairs, 2, 1);
    for (const double value : {0.0, 1.0, 5.0, -3.0e4}) {
      CovariateModel constant;
      constant.count = 1;
      for (int s = 0; s < data.samples(); ++s) constant.values.push_back(std::sin(s * 0.37) + 0.8 * data.phenotype[s]);
      for (const int s : context.samples)
        if (data.genotype[0][s] < 3 && data.genotype[1][s] < 3) constant.values[s] = value;
      const std::vector<AdjustedPValues> found = adjustedPValues(context, constant, pairs, 2, 1);
      // Under the available method only the first pair's samples see one value.
      for (std::size_t r = 0; r < (method == kMethodComplete ? expected.size() : 1); ++r) {
        ASSERT_FALSE(expected[r].not_fitted || found[r].not_fitted) << method << " " << value << " " << r;
        EXPECT_NEAR(std::log(found[r].p_adjusted), std::log(expected[r].p_adjusted), 1e-8) << method << " " << value;
        EXPECT_NEAR(std::log(found[r].p_interaction_adjusted), std::log(expected[r].p_interaction_adjusted), 1e-8)
            << method << " " << value;
      }
    }
  }
}

// The likelihood of a logistic model is unchanged by an affine change of a
// covariate, so every p-value must be too: scales near the largest double
// (whose products overflow) and offsets that dwarf a column's spread
// included, with and without strata.
TEST(AdjustedPValues, AffineChangesOfCovariatesChangeNothing) {
  const Dataset data = randomDataset(47, 4, 260, 0.05);
  SearchData prepared(data, kMethodAvailable);
  const SearchContext& context = prepared.context;
  const std::vector<int> pairs = {0, 1, 0, 3, 1, 2, 2, 3};
  for (const int strata : {1, 2}) {
    CovariateModel plain, changed;
    plain.count = changed.count = 2;
    for (int s = 0; s < data.samples(); ++s) {
      const double first = std::sin(s * 0.9) + 0.6 * data.phenotype[s];
      const double second = std::cos(s * 0.4) - 0.3 * data.phenotype[s];
      plain.values.insert(plain.values.end(), {first, second});
      changed.values.insert(changed.values.end(), {-first * 1e300, 3 * second + 1e8});
      if (strata > 1) plain.strata.push_back(s % 2), changed.strata.push_back(s % 2);
    }
    plain.stratum_count = changed.stratum_count = strata;
    const std::vector<AdjustedPValues> expected = adjustedPValues(context, plain, pairs, 2, 1);
    const std::vector<AdjustedPValues> found = adjustedPValues(context, changed, pairs, 2, 1);
    for (std::size_t r = 0; r < expected.size(); ++r) {
      ASSERT_FALSE(expected[r].not_fitted || found[r].not_fitted) << strata << " " << r;
      EXPECT_NEAR(std::log(found[r].p_adjusted), std::log(expected[r].p_adjusted), 1e-8) << strata << " " << r;
      EXPECT_NEAR(std::log(found[r].p_interaction_adjusted), std::log(expected[r].p_interaction_adjusted), 1e-8)
          << strata << " " << r;
    }
  }
}

// The columns left out, as the run names them: one value over the analysed
// samples, or (within the strata) a combination of the kept ones before it.
TEST(AdjustedPValues, CovariatesAddingNothingAreNamedAsLeftOut) {
  const Dataset data = randomDataset(53, 2, 200, 0.0);
  SearchData prepared(data, kMethodAvailable);
  CovariateModel model;
  model.count = 5;
  model.stratum_count = 2;
  for (int s = 0; s < data.samples(); ++s) {
    const double a = std::sin(s * 0.3);
    const double b = std::cos(s * 0.7);
    model.strata.push_back(s % 2);
    model.values.insert(model.values.end(), {2.0 * (s % 2) + 1, a, 7.5, b, 2 * a - b});
  }
  const CovariateColumns columns = usableCovariates(prepared.context, model);
  EXPECT_EQ(columns.kept, (std::vector<int>{1, 3}));
  EXPECT_EQ(columns.dropped.constant, (std::vector<int>{2}));
  EXPECT_EQ(columns.dropped.dependent, (std::vector<int>{0, 4}));
  for (Eigen::Index c = 0; c < 2; ++c) {
    EXPECT_NEAR(columns.values.col(c).mean(), 0, 1e-12);
    EXPECT_NEAR(columns.values.col(c).squaredNorm(), data.samples() - 1, 1e-9);
  }
}

// A genotype held by cases alone separates the classes: the fit that would
// need infinite coefficients is refused (NA, counted), while the markers
// beside it keep their p-values, as a row alone gets them.
// A genotype group holding cases only has no finite fit; the test takes the
// likelihood's supremum, where its samples are fitted exactly: without
// covariates that is the G of p_chisq, zero term and all, and with one the
// row is a number too, the same in a listing as alone.
TEST(AdjustedPValues, AGroupOfOneClassIsFittedAtTheSupremum) {
  Dataset data = randomDataset(41, 3, 240, 0.02);
  for (int s = 0; s < data.samples(); ++s) {
    const bool held = s % 6 == 0;
    if (held) data.phenotype[s] = 1;
    data.genotype[0][s] = held ? 2 : s % 2;
  }
  SearchData prepared(data, kMethodAvailable);
  const std::vector<int> listing = {0, 1, 2, 0, 1, 2};
  const std::vector<AdjustedPValues> plain = adjustedPValues(prepared.context, CovariateModel{}, listing, 1, 1);
  ASSERT_FALSE(plain[0].not_fitted);
  EXPECT_NEAR(std::log(plain[0].p_adjusted), std::log(pooledGPValue({data}, {0})), 1e-6);
  CovariateModel model;
  model.count = 1;
  for (int s = 0; s < data.samples(); ++s) model.values.push_back(std::sin(s * 0.3));
  const std::vector<AdjustedPValues> found = adjustedPValues(prepared.context, model, listing, 1, 1);
  for (int r = 0; r < 6; ++r) {
    ASSERT_FALSE(found[r].not_fitted) << r;
    EXPECT_EQ(found[r].p_adjusted, adjustedPValues(prepared.context, model, {listing[r]}, 1, 1)[0].p_adjusted) << r;
  }
  EXPECT_LT(found[0].p_adjusted, 1e-10);
}

}  // namespace
