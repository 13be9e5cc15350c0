// The information-gain bound that lets a batch skip most screening keys:
// never below the exact IG of calculateMeasuresAll (rounding included, up to
// a million cells), for tables of every size and skew, both totals
// conventions, stretches of any length; the vector version agrees with the
// portable one and reads nothing beyond or between the tables; tables it
// cannot bound say so; and the cutoff never rules out a table whose key
// interval reaches the threshold.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "engine/count/kernel_dispatch.h"
#include "engine/count/information_gain_bound.h"
#include "engine/rank/screening.h"
#include "support/table_measures.h"

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

struct Stretch {
  std::vector<int> ints;  // `count` tables, `stride` ints apart
  int count = 0;
  int stride = 0;
  int cells = 0;
};

// Tables of up to `samples` samples: a share of them in a few hot cells with
// a skewed case fraction, the rest spread evenly; some tables near
// independence, some with empty and one-class cells.
Stretch randomStretch(std::mt19937& random, int count, int cells, int samples, int padding,
                      bool independent = false) {
  Stretch stretch;
  stretch.count = count;
  stretch.cells = cells;
  stretch.stride = 2 * cells + padding;
  stretch.ints.assign(static_cast<std::size_t>(count) * stretch.stride, -7);
  std::uniform_int_distribution<int> cell(0, cells - 1);
  std::uniform_real_distribution<double> unit(0, 1);
  for (int t = 0; t < count; ++t) {
    int* table = &stretch.ints[static_cast<std::size_t>(t) * stretch.stride];
    for (int e = 0; e < 2 * cells; ++e) table[e] = 0;
    const double skew = independent || unit(random) < 0.5 ? 0.0 : unit(random);
    const int hot = cell(random);
    for (int s = 0; s < samples; ++s) {
      const bool in_hot = unit(random) < skew;
      const int c = in_hot ? hot : cell(random);
      const bool is_case = unit(random) < (in_hot ? 0.9 : independent ? 0.5 : 0.4);
      ++table[2 * c + (is_case ? 1 : 0)];
    }
  }
  return stretch;
}

// How far the versions may differ: a 14-bit reciprocal's share of the sum
// before the (B - qN)^2 term comes off it.
double agreementTolerance(const int* table, int cells, double q, double reference) {
  double controls = 0;
  double cases = 0;
  for (int c = 0; c < cells; ++c) {
    controls += table[2 * c];
    cases += table[2 * c + 1];
  }
  const double n = controls + cases;
  const double off = cases - q * n;
  return 0x1p-11 * (reference + 3.0 * off * off / (n * n)) + 1e-12;
}

struct Version {
  const char* name;
  InformationGainBounds bounds;
};

// The portable version and the vector ones this CPU runs.
std::vector<Version> supportedVersions() {
  std::vector<Version> versions = {{"scalar", informationGainBoundsScalar}};
  if (simdPathSupported(SimdPath::kAvx2)) versions.push_back({"avx2", informationGainBoundsAvx2});
  if (simdPathSupported(SimdPath::kAvx512)) versions.push_back({"avx512", informationGainBoundsAvx512});
  return versions;
}

BoundRequest requestFor(const int* tables, int count, int stride, int cells, double q) {
  BoundRequest request;
  request.tables = tables;
  request.count = count;
  request.stride = stride;
  request.cells = cells;
  request.q = q;
  request.divergence_factor = divergenceFactor(q);
  return request;
}

std::vector<double> boundsOf(InformationGainBounds bounds, const Stretch& stretch, double q,
                             int fixed_controls = -1, int fixed_cases = -1) {
  BoundRequest request = requestFor(stretch.ints.data(), stretch.count, stretch.stride, stretch.cells, q);
  request.fixed_controls = fixed_controls;
  request.fixed_cases = fixed_cases;
  std::vector<double> out(stretch.count + 1, -1.0);  // one guard entry
  bounds(request, out.data());
  EXPECT_EQ(out.back(), -1.0) << "written past the stretch";
  out.pop_back();
  return out;
}


TEST(InformationGainBound, HoldsForEverySmallTable) {
  // Every 3-cell table with entries 0-4 (empty cells, one-class cells, one
  // sample), one stretch of them, for fractions near 0, near 1 and between.
  Stretch stretch;
  stretch.cells = 3;
  stretch.stride = 6;
  for (int code = 0; code < 15625; ++code) {
    for (int e = 0, rest = code; e < 6; ++e, rest /= 5) stretch.ints.push_back(rest % 5);
  }
  stretch.count = 15625;
  for (double q : {0.001, 0.3, 0.5, 0.77, 0.999}) {
    for (const Version& version : supportedVersions()) {
      const std::vector<double> bounds = boundsOf(version.bounds, stretch, q);
      int checked = 0;
      for (int t = 0; t < stretch.count; ++t) {
        const double exact = ownTotalsMeasure(&stretch.ints[6L * t], 3);
        if (std::isnan(exact)) {
          ASSERT_EQ(bounds[t], kInfinity) << version.name << " table " << t;
          continue;
        }
        ++checked;
        ASSERT_GE(bounds[t], exact) << version.name << " table " << t << " q " << q;
      }
      EXPECT_GT(checked, 10000);
    }
  }
}

TEST(InformationGainBound, StaysCloseToTheGainNearIndependence) {
  // 3 x 3 tables of 2,000 samples drawn independently of a balanced
  // phenotype: the bound stays within a small factor (about 1.4), which is
  // what lets it rule most tables out.
  std::mt19937 random(9);
  const Stretch stretch = randomStretch(random, 200, 9, 2000, 0, true);
  for (const Version& version : supportedVersions()) {
    const std::vector<double> bounds = boundsOf(version.bounds, stretch, 0.5);
    int near_independence = 0;
    double bound_sum = 0;
    double exact_sum = 0;
    for (int t = 0; t < stretch.count; ++t) {
      const double exact = ownTotalsMeasure(&stretch.ints[static_cast<std::size_t>(t) * 18], 9);
      if (exact < 1e-3) continue;  // the ratio of two tiny numbers says little
      ++near_independence;
      bound_sum += bounds[t];
      exact_sum += exact;
      EXPECT_LE(bounds[t], 2.5 * exact) << version.name << " table " << t;
    }
    EXPECT_LE(bound_sum, 1.6 * exact_sum) << version.name;
    EXPECT_GT(near_independence, 50);
  }
}

TEST(InformationGainBound, TablesWithoutABoundSayInfinity) {
  // An absent class (NaN measures), and a table that does not add up to the
  // fixed totals it is measured with (its IG is not that of its own
  // distribution); five times over, so that sixteen tables go the
  // single-precision way and four the double-precision one.
  const std::vector<int> four = {5, 0, 3, 0, 2, 0,   // controls only
                                 0, 4, 0, 1, 0, 2,   // cases only
                                 4, 1, 3, 2, 1, 4,   // 8 controls, 7 cases
                                 4, 1, 3, 2, 1, 3};  // one case missing
  Stretch stretch;
  stretch.cells = 3;
  stretch.stride = 6;
  for (int copy = 0; copy < 5; ++copy) stretch.ints.insert(stretch.ints.end(), four.begin(), four.end());
  stretch.count = 20;
  for (const Version& version : supportedVersions()) {
    const std::vector<double> own = boundsOf(version.bounds, stretch, 0.5);
    const std::vector<double> fixed = boundsOf(version.bounds, stretch, 0.5, 8, 7);
    for (int t = 0; t < stretch.count; t += 4) {
      SCOPED_TRACE(testing::Message() << version.name << " tables from " << t);
      EXPECT_EQ(own[t], kInfinity);
      EXPECT_EQ(own[t + 1], kInfinity);
      EXPECT_TRUE(std::isfinite(own[t + 2]) && std::isfinite(own[t + 3]));
      EXPECT_EQ(fixed[t + 2], own[t + 2]);
      EXPECT_EQ(fixed[t + 3], kInfinity);
    }
  }
}

TEST(InformationGainBound, HoldsForTotalsBeyondSinglePrecision) {
  // Sixteen tables, one of them of more than 2^24 samples: single precision
  // would not hold its counts exactly, so the group is summed in double.
  std::mt19937 random(8);
  Stretch stretch = randomStretch(random, 16, 3, 200, 0);
  const int big[] = {(1 << 24) + 1, 3, 7, (1 << 24) + 3, 1, 1 << 20};
  std::copy(std::begin(big), std::end(big), stretch.ints.begin() + 6 * 9);
  for (const Version& version : supportedVersions()) {
    const std::vector<double> bounds = boundsOf(version.bounds, stretch, 0.5);
    for (int t = 0; t < stretch.count; ++t) {
      EXPECT_GE(bounds[t], ownTotalsMeasure(&stretch.ints[6L * t], 3)) << version.name << " table " << t;
    }
  }
}

TEST(InformationGainBound, CoversTheRoundingOfTheExactGainInTablesOfHundredsOfThousandsOfCells) {
  // Every cell holds the same controls and cases, so the true gain is 0 and
  // the bound is its absolute floor; calculateMeasuresAll adds the same
  // weighted entropy once per cell, and its rounding drifts the same way at
  // every addition (up to half an ulp each): over 3^11 or more cells that
  // drift is above 1e-12.
  struct Uniform {
    int cells, controls, cases;
  };
  const Uniform tables[] = {{177147, 4, 1},   // 3^11
                            {531441, 4, 1},   // 3^12
                            {262144, 10, 3},  // 4^9
                            {531441, 10, 3},
                            {1048576, 3, 2}};  // 4^10
  for (const Uniform& shape : tables) {
    std::vector<int> table(2 * static_cast<std::size_t>(shape.cells));
    for (int c = 0; c < shape.cells; ++c) {
      table[2 * c] = shape.controls;
      table[2 * c + 1] = shape.cases;
    }
    const double q = static_cast<double>(shape.cases) / (shape.controls + shape.cases);
    const double exact = ownTotalsMeasure(table.data(), shape.cells, 0);
    for (const Version& version : supportedVersions()) {
      double bound = 0;
      version.bounds(requestFor(table.data(), 1, 2 * shape.cells, shape.cells, q), &bound);
      EXPECT_GE(bound, exact) << version.name << ": " << shape.cells << " cells of " << shape.controls
                              << " controls and " << shape.cases << " cases";
    }
  }
}

// A region of whole pages followed by one that cannot be read.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(std::size_t pages) : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
    size_ = pages * page_;
    void* memory = mmap(nullptr, size_ + page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return;
    base_ = static_cast<char*>(memory);
    if (mprotect(base_ + size_, page_, PROT_NONE) != 0) {
      munmap(base_, size_ + page_);
      base_ = nullptr;
    }
  }
  ~GuardedBuffer() {
    if (base_ != nullptr) munmap(base_, size_ + page_);
  }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  bool ready() const { return base_ != nullptr; }
  // `ints` ints whose last one lies just before the unreadable page.
  int* endingAtGuard(std::size_t ints) const {
    return reinterpret_cast<int*>(base_ + size_ - ints * sizeof(int));
  }
  std::size_t capacityInts() const { return size_ / sizeof(int); }

 private:
  std::size_t page_;
  std::size_t size_ = 0;
  char* base_ = nullptr;
};

TEST(InformationGainBound, NeverBelowTheExactGainNorReadingBeyondOrBetweenTables) {
  // Random tables of every skew (empty and one-class cells, near
  // independence, strong association) and size, every cell count up to 70
  // (whole groups of eight cells, transposed tails of 3 to 7, gathered tails
  // of 1 and 2) and every stretch length up to 17 (partial groups of eight
  // and sixteen tables), with a fraction a float holds (single-precision
  // sums) and one it does not. The last table ends right before an
  // unreadable page, and the ints between tables (strides above 2 * cells,
  // odd ones too) hold a value that would wreck any bound that read it. The
  // vector versions agree with the portable one.
  GuardedBuffer buffer(16);
  ASSERT_TRUE(buffer.ready());
  constexpr int kPoison = -1000000;
  std::mt19937 random(11);
  const int sample_counts[] = {7, 300, 2000};
  for (int cells = 1; cells <= 70; ++cells) {
    for (int count = 1; count <= 17; ++count) {
      for (int padding : {0, 1, 6}) {
        const Stretch stretch =
            randomStretch(random, count, cells, sample_counts[(cells + count) % 3], padding);
        const std::size_t ints = static_cast<std::size_t>(count - 1) * stretch.stride + 2 * cells;
        ASSERT_LE(ints, buffer.capacityInts());
        int* tables = buffer.endingAtGuard(ints);
        for (std::size_t i = 0; i < ints; ++i) {
          const bool padding_int = static_cast<int>(i % stretch.stride) >= 2 * cells;
          tables[i] = padding_int ? kPoison : stretch.ints[i];
        }
        for (double q : {0.37, roundedFraction(0.37)}) {
          std::vector<double> reference(count);
          informationGainBoundsScalar(requestFor(tables, count, stretch.stride, cells, q), reference.data());
          for (const Version& version : supportedVersions()) {
            std::vector<double> bounds(count, -1.0);
            version.bounds(requestFor(tables, count, stretch.stride, cells, q), bounds.data());
            for (int t = 0; t < count; ++t) {
              const int* table = tables + static_cast<std::size_t>(t) * stretch.stride;
              const double exact = ownTotalsMeasure(table, cells, 0);
              SCOPED_TRACE(testing::Message() << version.name << " cells " << cells << " count " << count
                                              << " padding " << padding << " table " << t << " q " << q);
              if (std::isnan(exact)) {
                EXPECT_EQ(bounds[t], kInfinity);
                continue;
              }
              EXPECT_GE(bounds[t], exact);
              // A bound that read poison would be negative, huge or NaN.
              EXPECT_LE(bounds[t], 8.0);
              EXPECT_NEAR(bounds[t], reference[t], agreementTolerance(table, cells, q, reference[t]));
            }
          }
        }
      }
    }
  }
}

// `samples` samples of which the first `cases` are cases, spread over the
// cells with a case share that differs per cell by up to `strength`: every
// table adds up to the same totals.
std::vector<int> associatedTable(std::mt19937& random, int cells, int samples, int cases,
                                 double strength) {
  std::vector<int> table(2 * static_cast<std::size_t>(cells), 0);
  std::uniform_real_distribution<double> unit(0, 1);
  std::vector<double> weight(cells);
  for (double& w : weight) w = 0.2 + unit(random);
  std::vector<double> case_weight(cells);
  for (int c = 0; c < cells; ++c) case_weight[c] = weight[c] * (1.0 + strength * (unit(random) - 0.5));
  std::discrete_distribution<int> control_cell(weight.begin(), weight.end());
  std::discrete_distribution<int> case_cell(case_weight.begin(), case_weight.end());
  for (int s = 0; s < samples; ++s) {
    const bool is_case = s < cases;
    ++table[2 * (is_case ? case_cell(random) : control_cell(random)) + (is_case ? 1 : 0)];
  }
  return table;
}

TEST(InformationGainBound, NoTableWhoseKeyIntervalReachesTheThresholdIsRuledOut) {
  // The threshold is put exactly at the top of a table's key interval (the
  // table is still a candidate then) and exactly at its exact measure (a tie
  // with the K-th best): its bound must never lie below the cutoff. Both
  // measures, fixed and per-table totals, balanced and very skewed
  // phenotypes, weak and strong association.
  struct Setting {
    int cells, samples, cases;
  };
  const Setting settings[] = {{3, 40, 19}, {9, 500, 250}, {27, 3000, 600}, {81, 5000, 40}, {9, 6000, 2}};
  std::mt19937 random(17);
  int live_cutoffs = 0;  // thresholds whose cutoff could rule a table out
  for (const Setting& setting : settings) {
    const int controls = setting.samples - setting.cases;
    const double q = static_cast<double>(setting.cases) / setting.samples;
    for (int measure : {0, 1}) {
      for (bool recount : {false, true}) {
        const ScreeningKeys screening(setting.cells, setting.samples, measure, recount, setting.cases,
                                      controls);
        if (measure == 1 && recount) {
          // The RIG of a table with its own totals is not bounded by one IG
          // bound: nothing may be ruled out.
          EXPECT_EQ(screening.informationGainCutoff(0.9), -std::numeric_limits<double>::infinity());
          continue;
        }
        for (int t = 0; t < 150; ++t) {
          const double strength = (t % 5) * 0.5;
          const std::vector<int> table =
              associatedTable(random, setting.cells, setting.samples, setting.cases, strength);
          double key = 0;
          double error = 0;
          ASSERT_TRUE(screening.key(table.data(), key, error));
          const double exact = ownTotalsMeasure(table.data(), setting.cells, measure);
          SCOPED_TRACE(testing::Message() << "cells " << setting.cells << " samples " << setting.samples
                                          << " cases " << setting.cases << " measure " << measure
                                          << " recount " << recount << " table " << t << " exact "
                                          << exact);
          for (const Version& version : supportedVersions()) {
            double bound = 0;
            BoundRequest request = requestFor(table.data(), 1, 2 * setting.cells, setting.cells, q);
            if (!recount) {
              request.fixed_controls = controls;
              request.fixed_cases = setting.cases;
            }
            version.bounds(request, &bound);
            for (double threshold : {key + error, exact}) {
              live_cutoffs += screening.informationGainCutoff(threshold) > 0;
              EXPECT_FALSE(bound < screening.informationGainCutoff(threshold))
                  << version.name << " threshold " << threshold << " bound " << bound << " cutoff "
                  << screening.informationGainCutoff(threshold);
            }
          }
        }
      }
    }
  }
  EXPECT_GT(live_cutoffs, 1000);
}

}  // namespace

TEST(InformationGainBound, PairsFromACountedClassAndTheirTotalsAgreeWithTheirTables) {
  // A permutation's pairs as the walk hands them over: one class's counts
  // by cell (or split over two rows that add up) beside the cell totals,
  // for either class counted, stretches of any length (partial groups of
  // eight or sixteen), with and without fixed totals (a table off them gets
  // none). Every version's bounds never below the exact gain and near the
  // portable one's, and the cases handed back are the table's.
  constexpr int kCells = 9;
  std::mt19937 random(29);
  const double q = roundedFraction(0.43);
  for (int count = 1; count <= 19; ++count) {
    const Stretch stretch = randomStretch(random, count, kCells, 40 + 97 * count, 0);
    const long stride = count + 8;
    for (int counted_class = 0; counted_class < 2; ++counted_class) {
      for (const bool split : {false, true}) {
        std::vector<int> rows[2] = {std::vector<int>(kCells * stride, 0),
                                    std::vector<int>(kCells * stride, 0)};
        std::vector<int> totals(kCells * stride, 0);
        std::vector<float> inverses(kCells * stride, 1.0f);
        std::vector<int> samples(stride, 0);
        for (int j = 0; j < count; ++j) {
          const int* table = &stretch.ints[static_cast<std::size_t>(j) * stretch.stride];
          for (int e = 0; e < kCells; ++e) {
            const int own = table[2 * e + counted_class];
            rows[0][e * stride + j] = split ? own / 3 : own;
            rows[1][e * stride + j] = split ? own - own / 3 : 0;
            totals[e * stride + j] = table[2 * e] + table[2 * e + 1];
            if (totals[e * stride + j] > 0) inverses[e * stride + j] = 1.0f / totals[e * stride + j];
            samples[j] += totals[e * stride + j];
          }
        }
        const int* first = stretch.ints.data();
        int first_controls = 0;
        int first_cases = 0;
        for (int e = 0; e < kCells; ++e) {
          first_controls += first[2 * e];
          first_cases += first[2 * e + 1];
        }
        for (const bool fixed : {false, true}) {
          CountedClassBoundRequest request;
          request.counted[0] = rows[0].data();
          request.counted[1] = split ? rows[1].data() : nullptr;
          request.counted_stride = stride;
          request.totals = totals.data();
          request.inverses = inverses.data();
          request.totals_stride = stride;
          request.samples = samples.data();
          request.count = count;
          request.counted_class = counted_class;
          request.bound = requestFor(nullptr, count, 0, kCells, q);
          if (fixed) {
            request.bound.fixed_controls = first_controls;
            request.bound.fixed_cases = first_cases;
          }
          std::vector<double> reference(stride, -1.0);
          countedClassBoundsScalar(request, reference.data(), nullptr);
          std::vector<std::pair<SimdPath, CountedClassBounds>> versions = {
              {SimdPath::kScalar, countedClassBoundsScalar}, {SimdPath::kAvx2, countedClassBoundsAvx2},
              {SimdPath::kAvx512, countedClassBoundsAvx512}};
          for (const auto& [path, version] : versions) {
            if (!simdPathSupported(path)) continue;
            std::vector<double> bounds(stride, -1.0);
            std::vector<int> cases(stride, -1);
            version(request, bounds.data(), cases.data());
            for (int j = 0; j < count; ++j) {
              const int* table = &stretch.ints[static_cast<std::size_t>(j) * stretch.stride];
              SCOPED_TRACE(testing::Message() << "path " << static_cast<int>(path) << " count " << count << " class "
                                              << counted_class << " split " << split << " fixed " << fixed << " pair "
                                              << j);
              int table_controls = 0;
              int table_cases = 0;
              for (int e = 0; e < kCells; ++e) {
                table_controls += table[2 * e];
                table_cases += table[2 * e + 1];
              }
              EXPECT_EQ(cases[j], table_cases);
              const double exact = ownTotalsMeasure(table, kCells, 0);
              if (fixed && (table_controls != first_controls || table_cases != first_cases)) {
                EXPECT_EQ(bounds[j], kInfinity);
                continue;
              }
              if (std::isnan(exact)) {
                EXPECT_EQ(bounds[j], kInfinity);
                continue;
              }
              EXPECT_GE(bounds[j], exact);
              EXPECT_NEAR(bounds[j], reference[j], agreementTolerance(table, kCells, q, reference[j]));
            }
          }
          if (split || !simdPathSupported(SimdPath::kAvx512)) continue;
          // Two permutations at once (the second counting the other class's
          // samples) get bit for bit what each gets alone.
          std::vector<int> second(kCells * stride, 0);
          for (int i = 0; i < kCells * stride; ++i) second[i] = totals[i] - rows[0][i];
          std::vector<double> alone[2] = {std::vector<double>(stride), std::vector<double>(stride)};
          std::vector<int> alone_cases[2] = {std::vector<int>(stride), std::vector<int>(stride)};
          countedClassBoundsAvx512(request, alone[0].data(), alone_cases[0].data());
          CountedClassBoundRequest other = request;
          other.counted[0] = second.data();
          countedClassBoundsAvx512(other, alone[1].data(), alone_cases[1].data());
          std::vector<double> both[2] = {std::vector<double>(stride), std::vector<double>(stride)};
          std::vector<int> both_cases[2] = {std::vector<int>(stride), std::vector<int>(stride)};
          countedClassBoundsTwoAvx512(request, second.data(), {both[0].data(), both[1].data()},
                                      {both_cases[0].data(), both_cases[1].data()});
          for (int m = 0; m < 2; ++m) {
            for (int j = 0; j < count; ++j) {
              EXPECT_EQ(std::memcmp(&both[m][j], &alone[m][j], sizeof(double)), 0) << "member " << m << " pair " << j;
              EXPECT_EQ(both_cases[m][j], alone_cases[m][j]);
            }
          }
        }
      }
    }
  }
}

TEST(InformationGainBound, PairsCompletedFromTheirFreeCellsBoundAsTheirWholeTables) {
  // Pairs with missing genotypes as the walk hands them to the bounds: the
  // four free cells per class, the first marker's level totals, the second
  // markers' level totals and the per-class sums of each marker's missing
  // samples at the other's levels. Made from whole tables, they must give
  // those tables back, and every version's bounds must be those of the
  // whole tables bit for bit; stretches of any length.
  constexpr int kCells = 9;
  constexpr int kRoom = 16;  // pairs the vector versions may read past the last
  std::mt19937 random(37);
  std::uniform_int_distribution<int> missing(0, 20);
  const double q = roundedFraction(0.47);
  for (int count = 1; count <= 37; count += 4) {
    const Stretch stretch = randomStretch(random, count, kCells, 180, 0);
    const auto cell = [&](int p, int l, int m, int c) {
      return stretch.ints[static_cast<std::size_t>(p) * stretch.stride + 2 * (l + 3 * m) + c];
    };
    const int room = count + kRoom;
    std::vector<int> free_counts(static_cast<std::size_t>(room) * kPairCounts, 0);
    std::vector<int> whole(static_cast<std::size_t>(room) * kWholePairCounts, 0);
    std::vector<std::uint8_t> a_sums(static_cast<std::size_t>(room) * 256, 0);
    std::vector<std::uint8_t> b_sums[6];
    std::vector<int> second_levels[6];
    for (int e = 0; e < 6; ++e) {
      b_sums[e].assign(room + 64, 0);
      second_levels[e].assign(room, 0);
    }
    // The first marker's totals: the largest row of any pair, its other
    // pairs' rows topped up by the samples the second marker misses.
    int first_levels[6] = {};
    for (int p = 0; p < count; ++p) {
      for (int e = 0; e < 4; ++e) {
        const int l = e / 2, c = e % 2;
        first_levels[e] = std::max(first_levels[e], cell(p, l, 0, c) + cell(p, l, 1, c) + cell(p, l, 2, c));
      }
    }
    for (int p = 0; p < count; ++p) {
      for (int c = 0; c < 2; ++c) {
        for (int l = 0; l < 2; ++l) {
          for (int m = 0; m < 2; ++m) free_counts[pairCountAt(p, pairFreeCount(l, m, c))] = cell(p, l, m, c);
          a_sums[256L * p + 2 * l + c] = static_cast<std::uint8_t>(
              first_levels[2 * l + c] - cell(p, l, 0, c) - cell(p, l, 1, c) - cell(p, l, 2, c));
        }
        for (int m = 0; m < 3; ++m) {
          const int gaps = missing(random);
          b_sums[2 * m + c][p] = static_cast<std::uint8_t>(gaps);
          second_levels[2 * m + c][p] = cell(p, 0, m, c) + cell(p, 1, m, c) + cell(p, 2, m, c) + gaps;
        }
      }
      for (int k = 0; k < kWholePairCounts; ++k)
        whole[freeCountAt(kWholePairCounts, p, k)] = stretch.ints[static_cast<std::size_t>(p) * stretch.stride + k];
    }
    PairFromFree pairs;
    pairs.free_counts = free_counts.data();
    pairs.first_levels = first_levels;
    for (int e = 0; e < 6; ++e) {
      pairs.second_levels[e] = second_levels[e].data();
      pairs.b_sums[e] = b_sums[e].data();
    }
    pairs.a_sums = a_sums.data();
    for (int p = 0; p < count; ++p) {
      int table[2 * kCells];
      completePairFromFree(pairs, p, table);
      for (int k = 0; k < 2 * kCells; ++k)
        ASSERT_EQ(table[k], stretch.ints[static_cast<std::size_t>(p) * stretch.stride + k]) << count << " " << p;
    }
    std::vector<std::pair<SimdPath, PairInformationGainBounds>> versions = {
        {SimdPath::kScalar, pairInformationGainBoundsScalar},
        {SimdPath::kAvx2, pairInformationGainBoundsAvx2},
        {SimdPath::kAvx512, pairInformationGainBoundsAvx512}};
    std::vector<double> reference;
    for (const auto& [path, version] : versions) {
      if (!simdPathSupported(path)) continue;
      PairBoundRequest request;
      request.pairs = count;
      request.whole = true;
      request.counts = whole.data();
      request.bound = requestFor(nullptr, count, 0, kCells, q);
      std::vector<double> expected(room, -1.0), got(room, -1.0);
      version(request, expected.data());
      if (path == SimdPath::kScalar) reference = expected;
      request.counts = nullptr;
      request.from_free = &pairs;
      version(request, got.data());
      for (int p = 0; p < count; ++p) {
        EXPECT_EQ(std::memcmp(&got[p], &expected[p], sizeof(double)), 0)
            << simdPathName(path) << " pairs " << count << " pair " << p << ": " << got[p] << " vs " << expected[p];
        // Each version's own-totals bound holds, and within the slack of
        // the portable one.
        const int* table = &stretch.ints[static_cast<std::size_t>(p) * stretch.stride];
        EXPECT_GE(expected[p], ownTotalsMeasure(table, kCells)) << simdPathName(path) << " pair " << p;
        EXPECT_NEAR(expected[p], reference[p], agreementTolerance(table, kCells, q, reference[p]))
            << simdPathName(path) << " pair " << p;
      }
    }
  }
}

TEST(InformationGainBound, TriplesCompletedFromTheirFreeCellsBoundAsTheirTables) {
  // Triples (first, second, third marker) as the order-3 walk hands them to
  // the bounds: a stretch of third markers behind fixed first and second
  // ones, each triple with the free cells below all three last levels; the
  // prefix rows' totals, the third markers' level totals and the records of
  // the pairs (second, third) and (first, third) complete the rest. Each
  // version's bound of a triple must hold for its table's exact gain and
  // agree with the portable bound of that table, whatever the stretch's
  // length and place, and whatever the phenotype (one class absent: none).
  constexpr int kCells = 27;
  constexpr int kRoom = 16;  // triples the vector versions may read or write past the last
  constexpr int kFirstThird = 3;
  constexpr int kSamples = 240;
  std::mt19937 random(41);
  std::uniform_real_distribution<double> unit(0, 1);
  const auto genotypes = [&](std::vector<int>& marker) {
    const double zero = 0.1 + 0.6 * unit(random), one = (1 - zero) * unit(random);
    marker.resize(kSamples);
    for (int& g : marker) {
      const double u = unit(random);
      g = u < zero ? 0 : u < zero + one ? 1 : 2;
    }
  };
  for (double case_share : {0.45, 0.12, 0.0}) {
    for (int lead : {0, 5}) {
      for (int length = 1; length <= 35; length += 6) {
        const int triples = lead + length;
        const int room = triples + kRoom;
        std::vector<int> first, second, phenotype(kSamples);
        genotypes(first);
        genotypes(second);
        for (int& c : phenotype) c = unit(random) < case_share ? 1 : 0;
        std::vector<int> tables(static_cast<std::size_t>(triples) * 2 * kCells, 0);
        std::vector<int> counts((room / kPairBlock + 1) * kPairBlock * kTripleCounts, 0);
        std::vector<int> third_levels[4];
        for (auto& level : third_levels) level.assign(kFirstThird + room, 0);
        std::vector<std::uint32_t> second_third(8L * length, 0), first_third(8L * length, 0);
        int prefix_rows[18] = {};
        int classes[2] = {};
        for (int s = 0; s < kSamples; ++s) {
          prefix_rows[2 * (first[s] + 3 * second[s]) + phenotype[s]] += 1;
          classes[phenotype[s]] += 1;
        }
        std::vector<int> third;
        for (int p = 0; p < triples; ++p) {
          genotypes(third);
          int* table = &tables[static_cast<std::size_t>(p) * 2 * kCells];
          for (int s = 0; s < kSamples; ++s) {
            const int g0 = first[s], g1 = second[s], g2 = third[s], c = phenotype[s];
            ++table[2 * (g0 + 3 * g1 + 9 * g2) + c];
            if (g2 == 2) continue;
            ++third_levels[2 * g2 + c][kFirstThird + p];
            const long j = p - lead;
            if (j >= 0) {
              if (g1 < 2) ++second_third[8 * j + 2 * (g1 + 2 * g2) + c];
              if (g0 < 2) ++first_third[8 * j + 2 * (g0 + 2 * g2) + c];
            }
            if (g0 < 2 && g1 < 2) ++counts[freeCountAt(kTripleCounts, p, freeCount(4, g0 + 2 * g1, g2, c))];
          }
        }
        TripleBoundRequest request;
        request.counts = counts.data();
        request.triples = triples;
        request.totals.prefix_rows = prefix_rows;
        for (int e = 0; e < 4; ++e) request.totals.third_levels[e] = third_levels[e].data();
        request.totals.second_third = second_third.data();
        request.totals.first_third = first_third.data();
        request.first_third_marker = kFirstThird;
        request.lead = lead;
        request.last = length - 1;
        request.controls = classes[0];
        request.cases = classes[1];
        const double q = roundedFraction(0.4);
        request.bound = requestFor(nullptr, 0, 0, kCells, q);
        for (int j = 0; j < length; ++j) {
          int table[2 * kCells];
          completeTripleTable(counts.data(), lead + j, request.totals, j, kFirstThird + lead + j, table);
          ASSERT_TRUE(std::equal(table, table + 2 * kCells, &tables[static_cast<std::size_t>(lead + j) * 2 * kCells]))
              << "triple " << lead + j;
        }
        const std::vector<std::pair<SimdPath, TripleInformationGainBounds>> versions = {
            {SimdPath::kScalar, tripleInformationGainBoundsScalar},
            {SimdPath::kAvx2, tripleInformationGainBoundsAvx2},
            {SimdPath::kAvx512, tripleInformationGainBoundsAvx512}};
        for (const auto& [path, version] : versions) {
          if (!simdPathSupported(path)) continue;
          std::vector<double> got(room, -1.0);
          version(request, got.data());
          for (int p = lead; p < triples; ++p) {
            const int* table = &tables[static_cast<std::size_t>(p) * 2 * kCells];
            const double reference = boundsOf(informationGainBoundsScalar,
                                              Stretch{{table, table + 2 * kCells}, 1, 2 * kCells, kCells}, q)[0];
            SCOPED_TRACE(testing::Message() << simdPathName(path) << " cases " << case_share << " lead " << lead
                                            << " length " << length << " triple " << p);
            if (classes[1] == 0) {
              EXPECT_EQ(got[p], kInfinity);
              continue;
            }
            EXPECT_GE(got[p], ownTotalsMeasure(table, kCells));
            EXPECT_NEAR(got[p], reference, agreementTolerance(table, kCells, q, reference));
          }
        }
      }
    }
  }
}
