// The stratified fast path (pairs counted in one walk over every stratum's
// rows, or each stratum from its own bit-planes; combinations ruled out by
// the weighted sum of the strata's IG bounds)
// against counting each table on its own and ranking every combination
// exactly, batch by batch: the same best rows with bit-identical measure
// pairs and keys, where the strata's bit-planes are awkward: strata that end
// inside a word or are smaller than one, classes on either side of a
// vector's 256 bits, a stratum holding one class (a class segment of no
// words),
// missing genotypes beside complete markers, on every SIMD path this CPU
// runs, orders 2 and 3, IG, RIG and p-values, several K, every method with
// a fast path (em's tables completed from the strata's four-level planes).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "core/search_constants.h"
#include "engine/count/bitplanes.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/count/unrank.h"
#include "engine/search/strata.h"
#include "engine/search/stratified_scorer.h"
#include "support/oracle.h"
#include "support/simd_paths.h"

namespace {

struct StrataCase {
  const char* name;
  unsigned seed;
  int markers;
  int samples;
  double missing;
  int strata;
  bool one_class_stratum;  // the last stratum holds cases only
  bool complete_markers;   // every third marker misses nothing
  bool planted = false;    // markers 0 and 1 decide most phenotypes
};

void PrintTo(const StrataCase& c, std::ostream* out) { *out << c.name; }

const StrataCase kCases[] = {
    {"partialwords", 11, 14, 150, 0.04, 3, false, false},
    {"belowaword", 12, 12, 40, 0.05, 4, false, false},
    {"oneclass", 13, 13, 130, 0.03, 3, true, false},
    {"complete", 14, 17, 140, 0.0, 2, false, false},
    {"mixed", 15, 16, 200, 0.05, 3, false, true},
    // Classes of about 256 samples a stratum: rows of one and of two vectors.
    {"vectorblocks", 16, 8, 1540, 0.02, 3, false, false},
    // Classes of over 31 words a stratum: byte counts folded inside a class.
    {"longclasses", 17, 6, 8200, 0.02, 2, false, false},
    // Strata of a few samples (matched designs): tied measures rank batches
    // in full from the joint rows.
    {"tinystrata", 18, 10, 150, 0.03, 60, false, false},
};

struct StratifiedSetup {
  std::vector<unsigned char> genotypes, phenotypes;
  std::vector<double> scores;
  std::vector<int> stratum_of;
  SearchContext context;
  BitPlanes planes;
  StrataParts fast, plain;
  SearchContext fast_context, plain_context;

  StratifiedSetup(const StrataCase& c, SimdPath path, int method, int measure, int K) {
    Dataset data = randomDataset(c.seed, c.markers, c.samples, c.missing);
    for (int s = 0; c.planted && s < c.samples; ++s) {
      const int a = data.genotype[0][s];
      const int b = data.genotype[1][s];
      if (a != 3 && b != 3 && s % 8 != 0) data.phenotype[s] = (a + b) % 3 == 1 ? 1 : 0;
    }
    for (int m = 0; c.complete_markers && m < c.markers; m += 3) {
      for (int& g : data.genotype[m]) g = g == 3 ? 1 : g;
    }
    // Unequal strata: sample s goes to stratum (s * s) % strata.
    for (int s = 0; s < c.samples; ++s) stratum_of.push_back((s * s + s / 7) % c.strata);
    for (int s = 0; c.one_class_stratum && s < c.samples; ++s) {
      if (stratum_of[s] == c.strata - 1) data.phenotype[s] = 1;
    }
    genotypes = data.genotypeBytes();
    phenotypes = data.phenotypeBytes();
    scores.assign(c.samples, 0.0);
    prepareSearchContext(genotypes.data(), {phenotypes.data(), scores.data(), c.samples, c.markers, 1, method},
                         context);
    context.K = K;
    context.measure = measure;
    context.option_code = 1;
    context.settings.simd = path;
    context.stratum_of = stratum_of.data();
    context.stratum_count = c.strata;
    // The reference counts each table on its own and ranks every
    // combination by its exact measures.
    plain_context = context;
    plain_context.all_pairs = true;
    EXPECT_TRUE(splitByStrata(plain_context, 1, plain));
    plain_context.strata = &plain;
    EXPECT_TRUE(buildSearchPlanesFor(context, planes));
    fast_context = context;
    fast_context.planes = &planes;
    EXPECT_TRUE(splitByStrata(fast_context, 2, fast));
    fast_context.strata = &fast;
  }
};

void expectSameRows(const RankedRows& expected, const RankedRows& actual) {
  ASSERT_EQ(actual.size(), expected.size());
  EXPECT_EQ(actual.markers, expected.markers);
  EXPECT_EQ(std::memcmp(actual.pairs.data(), expected.pairs.data(), expected.pairs.size() * sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(actual.keys.data(), expected.keys.data(), expected.keys.size() * sizeof(double)), 0);
}

class StratifiedBatches : public ::testing::TestWithParam<std::tuple<SimdPath, StrataCase>> {};

TEST_P(StratifiedBatches, BestRowsEqualThePlainPathsBatchByBatch) {
  const auto [path, strata_case] = GetParam();
  GORVA_SKIP_UNLESS_SIMD_PATH_RUNS(path, simdPathSupported(path));
  long long screened = 0;
  for (int method : {kMethodAvailable, kMethodComplete, kMethodMc, kMethodEm}) {
    for (int measure : {kRankByIG, kRankByRIG, kRankByP}) {
      for (int K : {1, 5, 40}) {
        StratifiedSetup setup(strata_case, path, method, measure, K);
        // Pairs take the walk over every stratum's rows at once, but for
        // em's tables, completed from counts with a missing level.
        EXPECT_EQ(setup.fast.segmented != nullptr, method != kMethodMc && method != kMethodEm);
        for (int order : {2, 3}) {
          StratifiedScorer plain(setup.plain_context, order), fast(setup.fast_context, order);
          const long long total = combinationCount(strata_case.markers, order);
          const int capacity = 60;
          std::vector<int> combinations(static_cast<std::size_t>(capacity) * order);
          std::vector<RankedRows> plain_bests;
          for (long long first = 0; first < total; first += capacity) {
            const int count = static_cast<int>(std::min<long long>(capacity, total - first));
            for (int j = 0; j < count; ++j)
              unrankCombination(first + j, strata_case.markers, order, &combinations[j * order]);
            SCOPED_TRACE("method " + std::to_string(method) + " measure " + std::to_string(measure) + " K " +
                         std::to_string(K) + " order " + std::to_string(order) + " from " + std::to_string(first));
            RankedRows plain_best, fast_best;
            plain.score(combinations.data(), count, plain_best);
            fast.score(combinations.data(), count, fast_best);
            expectSameRows(plain_best, fast_best);
            plain_bests.push_back(plain_best);
          }
          screened += fast.stats().screened;
          // The same batches walked as one unit (pairs on the joint rows).
          StratifiedScorer unit(setup.fast_context, order);
          EXPECT_EQ(unit.scoresRanges(), order == 2 && setup.fast.segmented != nullptr);
          if (!unit.scoresRanges()) continue;
          std::vector<RankedRows> unit_bests(plain_bests.size());
          unit.scoreRanges(0, static_cast<int>(total), capacity, unit_bests.data());
          for (std::size_t b = 0; b < plain_bests.size(); ++b) {
            SCOPED_TRACE("unit batch " + std::to_string(b));
            expectSameRows(plain_bests[b], unit_bests[b]);
          }
          EXPECT_EQ(unit.stats().batches, static_cast<long long>(plain_bests.size()));
          // Screening picks the batches' rows in the unit as batch by batch.
          EXPECT_EQ(unit.stats().screened > 0, fast.stats().screened > 0);
        }
      }
    }
  }
  EXPECT_GT(screened, 0);  // the bounds were taken, not only the full ranking
}

INSTANTIATE_TEST_SUITE_P(EveryPathAndShape, StratifiedBatches,
                         ::testing::Combine(::testing::Values(SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512),
                                            ::testing::ValuesIn(kCases)),
                         [](const auto& info) {
                           return std::string(simdPathName(std::get<0>(info.param))) + "_" +
                                  std::get<1>(info.param).name;
                         });

// A path picks instructions, never an algorithm: each vector path walks,
// bounds and prunes exactly the pairs the portable path does (their chord
// bounds have the same bits).
TEST(StratifiedPaths, EveryPathWalksAndPrunesThePairsThePortableOneDoes) {
  const StrataCase& c = kCases[4];  // complete markers beside incomplete ones
  auto statsOn = [&](SimdPath path) {
    ScorerStats stats;
    for (int method : {kMethodAvailable, kMethodComplete}) {
      StratifiedSetup setup(c, path, method, kRankByIG, 5);
      StratifiedScorer scorer(setup.fast_context, 2);
      const long long total = combinationCount(c.markers, 2);
      std::vector<int> combinations(2 * total);
      for (long long i = 0; i < total; ++i) unrankCombination(i, c.markers, 2, &combinations[2 * i]);
      RankedRows best;
      scorer.score(combinations.data(), static_cast<int>(total), best);
      stats.add(scorer.stats());
    }
    return stats;
  };
  const ScorerStats portable = statsOn(SimdPath::kScalar);
  EXPECT_EQ(portable.bounded_in_walk, 2 * combinationCount(c.markers, 2));
  EXPECT_GT(portable.ruled_out, 0);
  for (SimdPath path : {SimdPath::kAvx2, SimdPath::kAvx512}) {
    if (!simdPathSupported(path)) continue;
    SCOPED_TRACE(simdPathName(path));
    const ScorerStats vector = statsOn(path);
    EXPECT_EQ(vector.bounded_in_walk, portable.bounded_in_walk);
    EXPECT_EQ(vector.screened, portable.screened);
    EXPECT_EQ(vector.fallbacks, portable.fallbacks);
    EXPECT_EQ(vector.ruled_out, portable.ruled_out);
    EXPECT_EQ(vector.candidates, portable.candidates);
  }
}

// Ranked by p-value, pairs whose conditional IG bound leaves their test
// short of the K-th best key are ruled out (most of them where a planted
// pair sets a high key), and every batch keeps the rows of ranking all.
TEST(StratifiedPaths, PValueRankingRulesOutByTheGainBoundsAndKeepsTheBestRows) {
  const StrataCase planted{"planted", 19, 40, 1200, 0.02, 3, false, false, true};
  for (int method : {kMethodAvailable, kMethodComplete}) {
    SCOPED_TRACE("method " + std::to_string(method));
    StratifiedSetup setup(planted, SimdPath::kScalar, method, kRankByP, 3);
    ASSERT_NE(setup.fast.segmented, nullptr);
    StratifiedScorer plain(setup.plain_context, 2), unit(setup.fast_context, 2);
    const long long total = combinationCount(planted.markers, 2);
    const int capacity = 100;
    std::vector<int> combinations(2 * capacity);
    std::vector<RankedRows> plain_bests;
    for (long long first = 0; first < total; first += capacity) {
      const int count = static_cast<int>(std::min<long long>(capacity, total - first));
      for (int j = 0; j < count; ++j) unrankCombination(first + j, planted.markers, 2, &combinations[2 * j]);
      plain_bests.emplace_back();
      plain.score(combinations.data(), count, plain_bests.back());
    }
    std::vector<RankedRows> unit_bests(plain_bests.size());
    unit.scoreRanges(0, static_cast<int>(total), capacity, unit_bests.data());
    for (std::size_t b = 0; b < plain_bests.size(); ++b) {
      SCOPED_TRACE("batch " + std::to_string(b));
      expectSameRows(plain_bests[b], unit_bests[b]);
    }
    EXPECT_GT(unit.stats().ruled_out, total / 8);
  }
}

// Joint rows packed for the AVX-512 kernel (whole words) are not what the
// portable kernel reads (nibble rows): a search on that path counts its
// strata apart, with the same rows.
TEST(StratifiedPaths, JointRowsOfAnotherLayoutAreCountedApart) {
  GORVA_SKIP_UNLESS_SIMD_PATH_RUNS(SimdPath::kAvx512, simdPathSupported(SimdPath::kAvx512));
  const StrataCase& c = kCases[0];
  StratifiedSetup setup(c, SimdPath::kAvx512, kMethodAvailable, kRankByIG, 5);
  ASSERT_NE(setup.fast.segmented, nullptr);
  setup.fast_context.settings.simd = SimdPath::kScalar;
  setup.plain_context.settings.simd = SimdPath::kScalar;
  StratifiedScorer plain(setup.plain_context, 2), fast(setup.fast_context, 2);
  const long long total = combinationCount(c.markers, 2);
  std::vector<int> combinations(2 * total);
  for (long long i = 0; i < total; ++i) unrankCombination(i, c.markers, 2, &combinations[2 * i]);
  RankedRows plain_best, fast_best;
  plain.score(combinations.data(), static_cast<int>(total), plain_best);
  fast.score(combinations.data(), static_cast<int>(total), fast_best);
  expectSameRows(plain_best, fast_best);
  EXPECT_EQ(fast.stats().bounded_in_walk, 0);
  EXPECT_EQ(fast.stats().screened, 1);
}

// Small strata's terms looked up in a memo are the bits computed afresh,
// under every counting method (strata of 2 to 5 samples and larger ones).
TEST(StratumMeasureMemo, LookedUpTermsAreTheComputedOnes) {
  const StrataCase c{"memo", 19, 8, 300, 0.05, 70, false, false};
  for (int method : {kMethodAvailable, kMethodComplete, kMethodMc}) {
    StratifiedSetup setup(c, SimdPath::kScalar, method, kRankByIG, 5);
    StratumMeasureMemo memo;
    std::vector<int> tables;
    for (int order : {1, 2, 3}) {
      for (long long r = 0; r < combinationCount(c.markers, order); ++r) {
        int combination[3];
        unrankCombination(r, c.markers, order, combination);
        countStratifiedTables(setup.plain, combination, order, tables);
        const int table_ints = static_cast<int>(tables.size()) / c.strata;
        double fresh[2], remembered[2];
        stratifiedMeasurePair(setup.plain, tables.data(), table_ints, fresh);
        stratifiedMeasurePair(setup.plain, tables.data(), table_ints, remembered, &memo);
        EXPECT_EQ(std::memcmp(fresh, remembered, sizeof fresh), 0) << method << " " << order << " " << r;
      }
    }
    EXPECT_FALSE(memo.terms.empty());
  }
}

}  // namespace
