// Contingency counting and the IG/RIG measures, checked against hand-counted
// tables and against mutual information computed independently.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

#include "core/gorva.h"

namespace {

constexpr int kNone = 1, kMc = 2, kAvailable = 4, kEm = 6;

// Marker-major genotype block with one phenotype byte per sample.
struct Data {
  int S = 0;
  std::vector<std::vector<int>> codes;  // codes[marker][sample]
  std::vector<unsigned char> phenotypes;

  std::vector<unsigned char> block() const {
    std::vector<unsigned char> out;
    for (const auto& marker : codes) out.insert(out.end(), marker.begin(), marker.end());
    return out;
  }
  Data without_sample(int drop) const {
    Data d = *this;
    d.S = S - 1;
    for (auto& marker : d.codes) marker.erase(marker.begin() + drop);
    d.phenotypes.erase(d.phenotypes.begin() + drop);
    return d;
  }
};

struct Measures {
  double ig, rig;
};

// Scores each combination through mdrCombinationAll over every sample.
std::vector<Measures> score(const Data& data, std::vector<int> combs, int k, int missing) {
  auto genotypes = data.block();
  auto phenotypes = data.phenotypes;
  std::vector<int> samples(static_cast<size_t>(data.S));
  std::iota(samples.begin(), samples.end(), 0);
  std::vector<double> scores(samples.size(), 1.0);
  int count = static_cast<int>(combs.size()) / k, markers = static_cast<int>(data.codes.size());
  int S = data.S, N = data.S, option = 1;
  int cases = std::accumulate(phenotypes.begin(), phenotypes.end(), 0), controls = N - cases;
  double ratio = static_cast<double>(cases) / controls;
  std::vector<double> out(2 * static_cast<size_t>(count), -1.0);
  mdrCombinationAll(combs.data(), &k, &count, genotypes.data(), &markers, phenotypes.data(),
                    scores.data(), &S, samples.data(), &N, &cases, &controls, &ratio, &option,
                    &missing, out.data());
  EXPECT_EQ(N, data.S);  // the caller's scalars come back unchanged
  EXPECT_EQ(cases + controls, data.S);
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

struct Counted {
  std::vector<int> table;
  std::vector<double> score_sums;
  int cases, controls;
};

// Calls one counting operation for one combination, all samples listed; the
// case/control outputs start at -7 so an untouched output is visible.
Counted count_with(CountFn fn, const Data& data, std::vector<int> comb, int base,
                   std::vector<double> scores = {}) {
  const int k = static_cast<int>(comb.size());
  auto genotypes = data.block();
  auto phenotypes = data.phenotypes;
  std::vector<int> multipliers(comb.size()), offsets(comb.size()),
      samples(static_cast<size_t>(data.S));
  std::iota(samples.begin(), samples.end(), 0);
  for (int j = 0; j < k; ++j) {
    multipliers[j] = j == 0 ? 2 : multipliers[j - 1] * base;
    offsets[j] = comb[j] * data.S;
  }
  int cells = 1;
  for (int j = 0; j < k; ++j) cells *= base;
  if (scores.empty()) scores.assign(samples.size(), 0.0);
  Counted c{std::vector<int>(2 * static_cast<size_t>(cells), 0),
            std::vector<double>(2 * static_cast<size_t>(cells), 0.0), -7, -7};
  fn(multipliers.data(), offsets.data(), k, base, samples.data(), data.S, genotypes.data(),
     static_cast<int>(data.codes.size()), phenotypes.data(), data.S, &c.cases, &c.controls,
     scores.data(), c.score_sums.data(), c.table.data());
  return c;
}

Data random_data(std::mt19937& rng, int markers, int samples, int max_code) {
  Data d;
  d.S = samples;
  std::uniform_int_distribution<int> code(0, max_code), bit(0, 1);
  d.codes.assign(static_cast<size_t>(markers), std::vector<int>(static_cast<size_t>(samples)));
  for (auto& marker : d.codes) {
    for (auto& g : marker) g = code(rng);
  }
  for (int s = 0; s < samples; ++s)
    d.phenotypes.push_back(static_cast<unsigned char>(s % 2 ? bit(rng) : s % 4 == 0));
  return d;
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
  const Data d{4, {{0, 0, 1, 1}, {0, 1, 0, 1}}, {0, 0, 1, 1}};
  const auto pairs = score(d, {0, 1}, 1, kNone);
  EXPECT_DOUBLE_EQ(pairs[0].ig, 1.0);
  EXPECT_DOUBLE_EQ(pairs[1].ig, 0.0);
  EXPECT_DOUBLE_EQ(pairs[1].rig, 0.0);
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
    int cases = 0, controls = 0;
    for (int c = 0; c < cells; ++c) {
      controls += table[2 * c];
      cases += table[2 * c + 1];
    }
    const double n = cases + controls;
    // I(Y; C) = sum p(c, y) log2(p(c, y) / (p(c) p(y))), H(Y) from the margins.
    double mi = 0.0;
    for (int c = 0; c < cells; ++c) {
      const double pc = (table[2 * c] + table[2 * c + 1]) / n;
      for (int y = 0; y < 2; ++y) {
        const double pcy = table[2 * c + y] / n, py = (y ? cases : controls) / n;
        if (pcy > 0) mi += pcy * std::log2(pcy / (pc * py));
      }
    }
    const double hy =
        -(cases / n) * std::log2(cases / n) - (controls / n) * std::log2(controls / n);
    const Measures m = measures_of(table, cases + controls, cases, controls);
    EXPECT_NEAR(m.ig, mi, 1e-12) << "trial " << trial;
    EXPECT_NEAR(m.rig, mi / hy, 1e-12) << "trial " << trial;
  }
}

TEST(MdrMeasures, OneClassPhenotypeIsNotANumber) {
  const Data d{4, {{0, 1, 2, 0}}, {0, 0, 0, 0}};
  const auto pairs = score(d, {0}, 1, kNone);
  EXPECT_TRUE(std::isnan(pairs[0].ig));
  EXPECT_TRUE(std::isnan(pairs[0].rig));
}

TEST(MdrScoring, MarkerOrderDoesNotChangeTheMeasures) {
  std::mt19937 rng(7);
  const Data d = random_data(rng, 3, 300, 2);
  const auto pairs = score(d, {0, 1, 1, 0, 0, 2, 1, 2, 2, 1}, 2, kNone);
  const auto triples = score(d, {0, 1, 2, 2, 0, 1}, 3, kNone);
  EXPECT_NEAR(pairs[0].ig, pairs[1].ig, 1e-12);
  EXPECT_NEAR(pairs[0].rig, pairs[1].rig, 1e-12);
  EXPECT_NEAR(pairs[3].ig, pairs[4].ig, 1e-12);
  EXPECT_NEAR(triples[0].ig, triples[1].ig, 1e-12);
  EXPECT_GT(pairs[0].ig, 0.0);
}

TEST(MdrScoring, ListGivesTheSameAsSingleCombinations) {
  std::mt19937 rng(11);
  const Data d = random_data(rng, 4, 120, 3);
  for (int missing : {kNone, kMc, kAvailable, kEm}) {
    const std::vector<int> combs = {0, 1, 0, 3, 2, 3, 1, 2};
    const auto all = score(d, combs, 2, missing);
    for (size_t i = 0; i < all.size(); ++i) {
      const auto one = score(d, {combs[2 * i], combs[2 * i + 1]}, 2, missing);
      EXPECT_EQ(std::memcmp(&one[0], &all[i], sizeof(Measures)), 0) << "method " << missing;
    }
  }
}

TEST(MdrCountNone, SkipsCodesOutsideTheBaseWithoutWritingPastTheTable) {
  // Sample 1 has (2, 3): as a base-3 number it would land on entry 23 of 18.
  const Data d{3, {{0, 2, 1}, {1, 3, 2}}, {0, 1, 1}};
  const Counted c = count_with(countTable_none, d, {0, 1}, 3);
  std::vector<int> expected(18, 0);
  expected[2 * (0 + 3 * 1)] = 1;
  expected[2 * (1 + 3 * 2) + 1] = 1;
  EXPECT_EQ(c.table, expected);
  EXPECT_EQ(c.cases, -7);  // counts are the caller's under this method
}

TEST(MdrCountNone, MissingIsALevelOfItsOwnUnderMc) {
  const Data d{3, {{3, 2, 3}, {2, 3, 3}}, {0, 1, 1}};
  const Counted c = count_with(countTable_none, d, {0, 1}, 4);
  ASSERT_EQ(c.table.size(), 32u);  // 4^2 cells
  std::vector<int> expected(32, 0);
  expected[2 * (3 + 4 * 2)] = 1;
  expected[2 * (2 + 4 * 3) + 1] = 1;
  expected[2 * (3 + 4 * 3) + 1] = 1;
  EXPECT_EQ(c.table, expected);
  // Scored under "mc" the same three samples count, in their own cells.
  const auto pairs = score(d, {0, 1}, 2, kMc);
  const Measures m = measures_of(expected, 3, 2, 1);
  EXPECT_DOUBLE_EQ(pairs[0].ig, m.ig);
  EXPECT_GT(m.ig, 0.9);
}

TEST(MdrCountAvailable, DropsASampleOnlyWhereItsMarkerIsUsed) {
  std::mt19937 rng(3);
  Data d = random_data(rng, 3, 40, 2);
  d.codes[1][5] = 3;  // sample 5 is missing at marker 1 only
  std::vector<double> scores(40);
  std::iota(scores.begin(), scores.end(), 0.5);

  const Counted touching = count_with(countTable_available, d, {0, 1}, 3, scores);
  const int case5 = d.phenotypes[5];
  const int all_cases = std::accumulate(d.phenotypes.begin(), d.phenotypes.end(), 0);
  EXPECT_EQ(touching.cases, all_cases - case5);
  EXPECT_EQ(touching.controls, 40 - all_cases - (1 - case5));
  EXPECT_EQ(std::accumulate(touching.table.begin(), touching.table.end(), 0), 39);
  EXPECT_DOUBLE_EQ(std::accumulate(touching.score_sums.begin(), touching.score_sums.end(), 0.0),
                   40 * 40 / 2.0 - 5.5);
  const int entry0 = d.phenotypes[0] + 2 * (d.codes[0][0] + 3 * d.codes[1][0]);
  EXPECT_GE(touching.score_sums[static_cast<size_t>(entry0)], 0.5);

  const Counted avoiding = count_with(countTable_available, d, {0, 2}, 3);
  EXPECT_EQ(avoiding.cases + avoiding.controls, 40);

  // Scored in one list: the touching combination equals the data without
  // sample 5 (N recounted), the avoiding ones the full data.
  const auto pairs = score(d, {0, 1, 0, 2, 1, 2}, 2, kAvailable);
  const auto reduced = score(d.without_sample(5), {0, 1, 1, 2}, 2, kNone);
  const auto full = score(d, {0, 2}, 2, kNone);
  EXPECT_DOUBLE_EQ(pairs[0].ig, reduced[0].ig);
  EXPECT_DOUBLE_EQ(pairs[0].rig, reduced[0].rig);
  EXPECT_DOUBLE_EQ(pairs[1].ig, full[0].ig);
  EXPECT_DOUBLE_EQ(pairs[2].ig, reduced[1].ig);
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
  const Data d{
      14,
      {{0, 0, 1, 3, 3, 2, 2, 2, 0, 2, 0, 3, 3, 3}, {0, 0, 0, 0, 2, 1, 1, 2, 1, 3, 3, 0, 0, 3}},
      {0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1}};
  const Counted c = count_with(countTable_EM, d, {0, 1}, 3);
  std::vector<int> expected(18, 0);
  for (const auto& [entry, value] :
       {std::pair{0, 3}, {2, 1}, {12, 1}, {1, 3}, {7, 1}, {11, 4}, {17, 1}}) {
    expected[entry] = value;
  }
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
  const Data d{3, {{0, 3, 0}, {1, 0, 3}}, {1, 1, 1}};
  std::vector<int> expected(18, 0);
  expected[1] = 1;
  expected[7] = 2;
  EXPECT_EQ(count_with(countTable_EM, d, {0, 1}, 3).table, expected);
}

TEST(MdrCountEm, KeepsEverySampleInItsClassAndMatchesNoneOnCompleteData) {
  std::mt19937 rng(5);
  const Data complete = random_data(rng, 3, 200, 2);
  const Counted em = count_with(countTable_EM, complete, {0, 2}, 3);
  EXPECT_EQ(em.table, count_with(countTable_none, complete, {0, 2}, 3).table);

  const Data holes = random_data(rng, 3, 200, 3);
  const Counted filled = count_with(countTable_EM, holes, {0, 1, 2}, 3);
  int cases = 0, controls = 0;
  for (size_t e = 0; e < filled.table.size(); ++e) (e % 2 ? cases : controls) += filled.table[e];
  EXPECT_EQ(cases, std::accumulate(holes.phenotypes.begin(), holes.phenotypes.end(), 0));
  EXPECT_EQ(cases + controls, 200);
}

}  // namespace
