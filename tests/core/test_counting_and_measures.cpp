// Contingency counting and the IG/RIG measures, checked against hand-counted
// tables and against mutual information computed independently (the
// oracle of the whole-run tests).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <utility>

#include "core/gorva.h"
#include "support/oracle.h"

namespace {

constexpr int kNone = 1, kMc = 2, kAvailable = 4, kEm = 6;

// Marker-major genotype block with one phenotype byte per sample.
struct Measures { double ig, rig; };

// Scores each combination through mdrCombinationAll over every sample.
std::vector<Measures> score(const Dataset& data, std::vector<int> combs, int k, int missing) {
  auto genotypes = data.genotypeBytes();
  auto phenotypes = data.phenotypeBytes();
  std::vector<int> samples(static_cast<size_t>(data.samples()));
  std::iota(samples.begin(), samples.end(), 0);
  std::vector<double> scores(samples.size(), 1.0);
  int count = static_cast<int>(combs.size()) / k, markers = data.markers();
  int S = data.samples(), N = S, option = 1;
  int cases = std::accumulate(phenotypes.begin(), phenotypes.end(), 0), controls = N - cases;
  double ratio = static_cast<double>(cases) / controls;
  std::vector<double> out(2 * static_cast<size_t>(count), -1.0);
  mdrCombinationAll(combs.data(), &k, &count, genotypes.data(), &markers, phenotypes.data(),
                    scores.data(), &S, samples.data(), &N, &cases, &controls, &ratio, &option,
                    &missing, out.data());
  EXPECT_EQ(N, data.samples());  // the caller's scalars come back unchanged
  EXPECT_EQ(cases + controls, data.samples());
  std::vector<Measures> pairs;
  for (int i = 0; i < count; ++i) pairs.push_back({out[2 * i], out[2 * i + 1]});
  return pairs;
}

Measures measures_of(std::vector<int> table, int N, int cases, int controls) {
  double out[2];
  calculateMeasuresAll(N, cases, controls, table.data(), nullptr, static_cast<int>(table.size()),
                       0.0, 0, out);
  return {out[0], out[1]};
}

using CountFn = void (*)(int*, int*, int, int, int*, int, unsigned char*, int, unsigned char*, int,
                         int*, int*, double*, double*, int*);

struct Counted { std::vector<int> table; std::vector<double> score_sums; int cases, controls; };

// Calls one counting operation for one combination, all samples listed; the
// case/control outputs start at -7 so an untouched output is visible.
Counted count_with(CountFn fn, const Dataset& data, std::vector<int> comb, int base,
                   std::vector<double> scores = {}) {
  const int k = static_cast<int>(comb.size());
  auto genotypes = data.genotypeBytes();
  auto phenotypes = data.phenotypeBytes();
  std::vector<int> multipliers(comb.size()), offsets(comb.size()),
      samples(static_cast<size_t>(data.samples()));
  std::iota(samples.begin(), samples.end(), 0);
  for (int j = 0; j < k; ++j) {
    multipliers[j] = j == 0 ? 2 : multipliers[j - 1] * base;
    offsets[j] = comb[j] * data.samples();
  }
  int cells = 1;
  for (int j = 0; j < k; ++j) cells *= base;
  if (scores.empty()) scores.assign(samples.size(), 0.0);
  Counted c{std::vector<int>(2 * static_cast<size_t>(cells), 0),
            std::vector<double>(2 * static_cast<size_t>(cells), 0.0), -7, -7};
  fn(multipliers.data(), offsets.data(), k, base, samples.data(), data.samples(), genotypes.data(),
     data.markers(), phenotypes.data(), data.samples(), &c.cases, &c.controls,
     scores.data(), c.score_sums.data(), c.table.data());
  return c;
}

// A count table of `entries` zeros but for the given (entry, count) pairs.
std::vector<int> tableWith(int entries, std::initializer_list<std::pair<int, int>> counts) {
  std::vector<int> table(static_cast<size_t>(entries), 0);
  for (const auto& [entry, count] : counts) table[static_cast<size_t>(entry)] = count;
  return table;
}

TEST(MdrMeasures, FourSampleExamples) {
  // Both controls in cell 0, both cases in cell 1: the cells tell everything.
  const Measures separated = measures_of({2, 0, 0, 2, 0, 0}, 4, 2, 2);
  EXPECT_DOUBLE_EQ(separated.ig, 1.0);
  EXPECT_DOUBLE_EQ(separated.rig, 1.0);
  // One case and one control per cell: nothing.
  const Measures mixed = measures_of({1, 1, 1, 1, 0, 0}, 4, 2, 2);
  EXPECT_DOUBLE_EQ(mixed.ig, 0.0);
  EXPECT_DOUBLE_EQ(mixed.rig, 0.0);
  // The same through the scoring of a one-marker combination.
  const Dataset d{{}, {0, 0, 1, 1}, {{0, 0, 1, 1}, {0, 1, 0, 1}}};
  const auto pairs = score(d, {0, 1}, 1, kNone);
  EXPECT_DOUBLE_EQ(pairs[0].ig, 1.0);
  EXPECT_DOUBLE_EQ(pairs[1].ig, 0.0);
  EXPECT_DOUBLE_EQ(pairs[1].rig, 0.0);
  // A phenotype of one class has no entropy: both measures are not numbers.
  const auto one_class = score({{}, {0, 0, 0, 0}, {{0, 1, 2, 0}}}, {0}, 1, kNone);
  EXPECT_TRUE(std::isnan(one_class[0].ig));
  EXPECT_TRUE(std::isnan(one_class[0].rig));
}

TEST(MdrMeasures, AgreeWithMutualInformationOnRandomTables) {
  std::mt19937 rng(20240611);
  for (int trial = 0; trial < 300; ++trial) {
    const int cells = trial % 2 ? 9 : 27 + trial % 5;
    std::uniform_int_distribution<int> count(0, trial % 3 == 0 ? 3 : 60);
    std::vector<int> table(2 * static_cast<size_t>(cells));
    for (auto& t : table) t = count(rng);
    table[0] += 1;  // both classes present
    table[1] += 1;
    int totals[2] = {0, 0};
    for (size_t e = 0; e < table.size(); ++e) totals[e % 2] += table[e];
    double ig = 0, rig = 0;
    oracleTableMeasures(std::vector<long>(table.begin(), table.end()), ig, rig);
    const Measures m = measures_of(table, totals[0] + totals[1], totals[1], totals[0]);
    EXPECT_NEAR(m.ig, ig, 1e-12) << "trial " << trial;
    EXPECT_NEAR(m.rig, rig, 1e-12) << "trial " << trial;
  }
}

TEST(MdrScoring, ListEqualsSingleCombinationsInAnyMarkerOrder) {
  const Dataset d = randomDataset(11, 4, 120, 0.25);
  const std::vector<int> combs = {0, 1, 0, 3, 2, 3, 1, 2, 1, 0};
  for (int missing : {kNone, kMc, kAvailable, kEm}) {
    const auto all = score(d, combs, 2, missing);
    for (size_t i = 0; i < all.size(); ++i) {
      const auto one = score(d, {combs[2 * i], combs[2 * i + 1]}, 2, missing);
      EXPECT_EQ(std::memcmp(&one[0], &all[i], sizeof(Measures)), 0) << "method " << missing;
    }
    if (missing == kEm) continue;  // EM breaks ties by cell number, so order matters there
    EXPECT_NEAR(all[0].ig, all[4].ig, 1e-12) << "method " << missing;
    EXPECT_NEAR(all[0].rig, all[4].rig, 1e-12) << "method " << missing;
  }
  const Dataset complete = randomDataset(12, 3, 300, 0.0);
  const auto triples = score(complete, {0, 1, 2, 2, 0, 1}, 3, kNone);
  EXPECT_NEAR(triples[0].ig, triples[1].ig, 1e-12);
  EXPECT_GT(triples[0].ig, 0.0);
}

// 2 * 3^19 and 2 * 4^15 entries overflowed the table's int size (undefined,
// then an allocation of the wrapped size): no table, so no measure.
TEST(MdrScoring, AnOrderWhoseTableHasNoIntSizeGetsNaN) {
  const Dataset d = randomDataset(13, 20, 30, 0.0);
  std::vector<int> combs(19);
  std::iota(combs.begin(), combs.end(), 0);
  for (const auto& [k, missing] : {std::pair{19, kNone}, {15, kMc}, {19, kEm}}) {
    const auto pairs = score(d, std::vector<int>(combs.begin(), combs.begin() + k), k, missing);
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_TRUE(std::isnan(pairs[0].ig) && std::isnan(pairs[0].rig)) << k << " " << missing;
  }
  // The permutation null likewise, one NaN pair per permutation.
  auto genotypes = d.genotypeBytes();
  auto phenotypes = d.phenotypeBytes();
  std::vector<int> samples(30);
  std::iota(samples.begin(), samples.end(), 0);
  std::vector<double> scores(30, 1.0), out(8, -1.0);
  int k = 19, count = 1, markers = 20, S = 30, N = 30, cases = 15, controls = 15, option = 1, missing = kNone;
  int permutations = 3, out_count = -1;
  double ratio = 1;
  generateNull(combs.data(), &k, &count, genotypes.data(), &markers, phenotypes.data(), scores.data(), &S,
               samples.data(), &N, &cases, &controls, &ratio, &option, &missing, &permutations, &out_count,
               out.data());
  EXPECT_EQ(out_count, 3);
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(std::isnan(out[i])) << i;
  EXPECT_EQ(out[6], -1.0);
}

TEST(MdrCountNone, SkipsCodesOutsideTheBaseAndUnderMcMissingIsALevel) {
  // Sample 1 has (2, 3): as a base-3 number it would land on entry 23 of 18.
  const Dataset d{{}, {0, 1, 1}, {{0, 2, 1}, {1, 3, 2}}};
  const Counted c = count_with(countTable_none, d, {0, 1}, 3);
  EXPECT_EQ(c.table, tableWith(18, {{2 * (0 + 3 * 1), 1}, {2 * (1 + 3 * 2) + 1, 1}}));
  EXPECT_EQ(c.cases, -7);  // counts are the caller's under this method
  // With 4 levels, 4^2 cells, and the missing code has cells of its own.
  const Dataset m{{}, {0, 1, 1}, {{3, 2, 3}, {2, 3, 3}}};
  EXPECT_EQ(count_with(countTable_none, m, {0, 1}, 4).table,
            tableWith(32, {{2 * (3 + 4 * 2), 1}, {2 * (2 + 4 * 3) + 1, 1}, {2 * (3 + 4 * 3) + 1, 1}}));
}

TEST(MdrCountAvailable, DropsASampleOnlyWhereItsMarkerIsUsed) {
  Dataset d = randomDataset(3, 3, 40, 0.0);
  d.genotype[1][5] = 3;  // sample 5 is missing at marker 1 only
  std::vector<double> scores(40);
  std::iota(scores.begin(), scores.end(), 0.5);

  const Counted touching = count_with(countTable_available, d, {0, 1}, 3, scores);
  const int case5 = d.phenotype[5], all_cases = std::accumulate(d.phenotype.begin(), d.phenotype.end(), 0);
  EXPECT_EQ(touching.cases, all_cases - case5);
  EXPECT_EQ(touching.controls, 40 - all_cases - (1 - case5));
  EXPECT_EQ(std::accumulate(touching.table.begin(), touching.table.end(), 0), 39);
  EXPECT_DOUBLE_EQ(std::accumulate(touching.score_sums.begin(), touching.score_sums.end(), 0.0),
                   40 * 40 / 2.0 - 5.5);
  const int entry0 = d.phenotype[0] + 2 * (d.genotype[0][0] + 3 * d.genotype[1][0]);
  EXPECT_GE(touching.score_sums[static_cast<size_t>(entry0)], 0.5);

  const Counted avoiding = count_with(countTable_available, d, {0, 2}, 3);
  EXPECT_EQ(avoiding.cases + avoiding.controls, 40);
  // The measures of such combinations (N recounted per combination) come
  // from mdrCombinationAll on the plain path, which is compared with the
  // fast path batch by batch; the fast path is compared with the oracle.
}

TEST(MdrCountEm, HandWorkedAssignmentRounds) {
  // Markers m0, m1; cell = g0 + 3*g1. Complete: controls (0,0)x2, (1,0);
  // cases (2,1)x2, (2,2), (0,1). Incomplete (3 = missing):
  //   A control (3,0): cells 0,1,2 hold controls 2,1,0        -> cell 0, stays.
  //   D control (3,2): cells 6,7,8 hold no control (tie)       -> cell 6, stays.
  //   B case (2,3): cells 2,5,8 hold cases 0,2,1               -> cell 5, stays.
  //   E case (0,3): cells 0,3,6 hold cases 0,1,0               -> cell 3 in round 1.
  //   F, G cases (3,0): cells 0,1,2 hold no case (tie)         -> cell 0.
  //   C case (3,3): best of all cells is 5 (2 cases)           -> cell 5, stays.
  // Round 2 sees cases: cell 0 = 2 (F, G), cell 3 = 2 (the complete (0,1) case and E itself):
  // the tie sends E to cell 0. Round 3 moves nothing.
  // Final: controls cell0 = 3, cell1 = 1, cell6 = 1;
  //        cases cell0 = 3, cell3 = 1, cell5 = 4, cell8 = 1.
  const Dataset d{{},
                  {0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1},
                  {{0, 0, 1, 3, 3, 2, 2, 2, 0, 2, 0, 3, 3, 3}, {0, 0, 0, 0, 2, 1, 1, 2, 1, 3, 3, 0, 0, 3}}};
  const Counted c = count_with(countTable_EM, d, {0, 1}, 3);
  const std::vector<int> expected =
      tableWith(18, {{0, 3}, {2, 1}, {12, 1}, {1, 3}, {7, 1}, {11, 4}, {17, 1}});
  EXPECT_EQ(c.table, expected);
  EXPECT_EQ(c.cases, -7);
  EXPECT_EQ(c.controls, -7);

  const auto pairs = score(d, {0, 1}, 2, kEm);
  const Measures m = measures_of(expected, 14, 9, 5);
  EXPECT_DOUBLE_EQ(pairs[0].ig, m.ig);
  EXPECT_DOUBLE_EQ(pairs[0].rig, m.rig);
}

TEST(MdrCountEm, EachRoundReadsTheCountsLeftByThePreviousOne) {
  // Cases only, markers m0, m1: s0 complete (0,1) in cell 3; F (3,0) listed
  // before E (0,3). Round 1 reads complete counts only: F ties over cells
  // 0,1,2 -> cell 0; E sees cells 0,3,6 = 0,1,0 -> cell 3 (not cell 0, which
  // F's choice of the same round would make a tie). Round 2: E sees 1,2,0 and
  // stays; F sees 1,0,0 and stays. Final cases: cell 0 = 1, cell 3 = 2.
  const Dataset d{{}, {1, 1, 1}, {{0, 3, 0}, {1, 0, 3}}};
  EXPECT_EQ(count_with(countTable_EM, d, {0, 1}, 3).table, tableWith(18, {{1, 1}, {7, 2}}));
}

TEST(MdrCountEm, KeepsEverySampleInItsClassAndMatchesNoneOnCompleteData) {
  const Dataset complete = randomDataset(5, 3, 200, 0.0);
  const Counted em = count_with(countTable_EM, complete, {0, 2}, 3);
  EXPECT_EQ(em.table, count_with(countTable_none, complete, {0, 2}, 3).table);

  const Dataset holes = randomDataset(6, 3, 200, 0.25);
  const Counted filled = count_with(countTable_EM, holes, {0, 1, 2}, 3);
  int cases = 0, controls = 0;
  for (size_t e = 0; e < filled.table.size(); ++e) (e % 2 ? cases : controls) += filled.table[e];
  EXPECT_EQ(cases, std::accumulate(holes.phenotype.begin(), holes.phenotype.end(), 0));
  EXPECT_EQ(cases + controls, 200);

  // Pairs take a loop of their own: a third marker at one level, missing
  // nothing, leaves the general loop the pair's table in its first cells.
  Dataset padded = holes;
  padded.genotype[2].assign(200, 0);
  const std::vector<int> pair = count_with(countTable_EM, padded, {0, 1}, 3).table;
  const std::vector<int> triple = count_with(countTable_EM, padded, {0, 1, 2}, 3).table;
  EXPECT_EQ(std::vector<int>(triple.begin(), triple.begin() + 18), pair);
  EXPECT_EQ(std::accumulate(triple.begin() + 18, triple.end(), 0), 0);
}

}  // namespace
