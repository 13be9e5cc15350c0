// The strata's tables of single pairs from the joint rows, as the lambda
// sample tests them: every stratum's table of every pair, on every SIMD
// path this CPU runs, equals the one counted from the stratum's own
// bit-planes; and no table is had from the joint rows where they do not
// count what the test reads.
#include <gtest/gtest.h>

#include <vector>

#include "core/search_constants.h"
#include "engine/count/bitplanes.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/search/joint_pair_tables.h"
#include "engine/search/strata.h"
#include "support/oracle.h"
#include "support/simd_paths.h"

namespace {

struct JointSetup {
  std::vector<unsigned char> genotypes, phenotypes;
  std::vector<double> scores;
  std::vector<int> stratum_of;
  SearchContext context;
  BitPlanes planes;
  StrataParts parts;

  JointSetup(SimdPath path, int method, int markers, int samples, int strata) {
    const Dataset data = randomDataset(31, markers, samples, 0.02);
    for (int s = 0; s < samples; ++s) stratum_of.push_back((s * s + s / 3) % strata);
    genotypes = data.genotypeBytes();
    phenotypes = data.phenotypeBytes();
    scores.assign(samples, 0.0);
    prepareSearchContext(genotypes.data(), {phenotypes.data(), scores.data(), samples, markers, 1, method}, context);
    context.settings.simd = path;
    context.stratum_of = stratum_of.data();
    context.stratum_count = strata;
    // "em" has no bit-planes: its tables are counted from the genotypes.
    if (buildPlanesFor(context, planes)) context.planes = &planes;
    EXPECT_TRUE(splitByStrata(context, 1, parts));
    context.strata = &parts;
  }
};

class JointPairTablesOnPath : public ::testing::TestWithParam<SimdPath> {};

TEST_P(JointPairTablesOnPath, EveryPairsTablesAreTheStrataOwn) {
  const SimdPath path = GetParam();
  GORVA_SKIP_UNLESS_SIMD_PATH_RUNS(path, simdPathSupported(path));
  for (const int method : {kMethodAvailable, kMethodComplete}) {
    // 21 markers: pairs in every lane of both groups a walk counts, and a
    // last group past the markers.
    JointSetup setup(path, method, 21, 700, 4);
    JointPairTables joint(setup.context);
    ASSERT_TRUE(joint.serves());
    std::vector<int> expected;
    for (int first = 0; first < 21; ++first) {
      for (int second = first + 1; second < 21; ++second) {
        SCOPED_TRACE("method " + std::to_string(method) + " pair " + std::to_string(first) + " " +
                     std::to_string(second));
        const int pair[2] = {first, second};
        countStratifiedTables(setup.parts, pair, 2, expected);
        const int* tables = joint.tables(first, second);
        ASSERT_EQ(std::vector<int>(tables, tables + expected.size()), expected);
      }
    }
  }
  // "em" tests the observed samples and "mc" counts a fourth level: neither
  // is what the joint rows hold.
  for (const int method : {kMethodEm, kMethodMc}) {
    JointSetup setup(path, method, 8, 200, 3);
    EXPECT_FALSE(JointPairTables(setup.context).serves()) << "method " << method;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryPath, JointPairTablesOnPath,
                         ::testing::Values(SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512),
                         [](const auto& info) { return std::string(simdPathName(info.param)); });

}  // namespace
