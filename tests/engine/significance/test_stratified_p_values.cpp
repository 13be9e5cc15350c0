// The p-values behind a stratified run's lambda_gc leave out the strata too
// small to be tested (matched pairs, mostly): each must still be the
// combination's own test, bit for bit, under every counting method.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/search_constants.h"
#include "engine/count/bitplanes.h"
#include "engine/search/strata.h"
#include "engine/significance/population_structure.h"
#include "engine/significance/significance.h"
#include "support/oracle.h"

namespace {

TEST(StratifiedPValues, LambdasPValuesAreEachCombinationsOwnTest) {
  constexpr int kMarkers = 9;
  constexpr int kSamples = 460;
  const Dataset data = randomDataset(21, kMarkers, kSamples, 0.04);
  std::vector<unsigned char> genotypes = data.genotypeBytes();
  std::vector<unsigned char> phenotypes = data.phenotypeBytes();
  std::vector<double> scores(kSamples, 0.0);
  // Three strata large enough to test, then pairs; the all-pairs design
  // tests nothing.
  std::vector<int> mixed(kSamples), pairs(kSamples);
  for (int s = 0; s < kSamples; ++s) {
    mixed[s] = s < 300 ? s % 3 : 3 + (s - 300) / 2;
    pairs[s] = s / 2;
  }
  for (const int method : {kMethodAvailable, kMethodComplete, kMethodMc, kMethodEm}) {
    for (const std::vector<int>* stratum_of : {&mixed, &pairs}) {
      SCOPED_TRACE("method " + std::to_string(method) + (stratum_of == &pairs ? " pairs" : " mixed"));
      SearchContext context;
      prepareSearchContext(genotypes.data(), {phenotypes.data(), scores.data(), kSamples, kMarkers, 1, method},
                           context);
      BitPlanes planes;
      // "em" imputes: its tables are counted from the codes.
      ASSERT_EQ(buildPlanesFor(context, planes), method != kMethodEm);
      if (method != kMethodEm) context.planes = &planes;
      context.stratum_of = stratum_of->data();
      context.stratum_count = *std::max_element(stratum_of->begin(), stratum_of->end()) + 1;
      StrataParts parts;
      ASSERT_TRUE(splitByStrata(context, 1, parts));
      context.strata = &parts;
      bool sampled = false;
      const std::vector<int> combinations = combinationsBehindLambda(kMarkers, 2, 1000, 1, 1, sampled);
      const std::vector<double> p_values = combinationPValues(context, combinations, 2, 2);
      ASSERT_EQ(p_values.size(), combinations.size() / 2);
      int numbers = 0;
      std::vector<int> table;
      for (std::size_t r = 0; r < p_values.size(); ++r) {
        const double own = testCombination(context, &combinations[2 * r], 2, table).p_value;
        EXPECT_EQ(std::memcmp(&own, &p_values[r], sizeof own), 0) << r << ": " << own << " " << p_values[r];
        numbers += std::isnan(own) ? 0 : 1;
      }
      EXPECT_EQ(numbers > 0, stratum_of == &mixed);
    }
  }
}

}  // namespace
