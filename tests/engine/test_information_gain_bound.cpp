// The information-gain bound that lets a batch skip most screening keys:
// never below the exact IG of calculateMeasuresAll, for tables of every size
// and skew, both totals conventions, stretches of any length; the vector
// version agrees with the portable one; tables it cannot bound say so.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/gorva.h"
#include "engine/information_gain_bound.h"
#include "engine/kernel_dispatch.h"

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

double exactInformationGain(const int* table, int cells) {
  int controls = 0;
  int cases = 0;
  for (int c = 0; c < cells; ++c) {
    controls += table[2 * c];
    cases += table[2 * c + 1];
  }
  std::vector<double> sums(2 * cells, 0.0);
  double pair[2];
  calculateMeasuresAll(cases + controls, cases, controls, const_cast<int*>(table), sums.data(),
                       2 * cells, 1.0, 1, pair);
  return pair[0];
}

std::vector<double> boundsOf(InformationGainBounds bounds, const Stretch& stretch, double q,
                             int fixed_controls = -1, int fixed_cases = -1) {
  BoundRequest request;
  request.tables = stretch.ints.data();
  request.count = stretch.count;
  request.stride = stretch.stride;
  request.cells = stretch.cells;
  request.fixed_controls = fixed_controls;
  request.fixed_cases = fixed_cases;
  request.q = q;
  request.divergence_factor = divergenceFactor(q);
  std::vector<double> out(stretch.count + 1, -1.0);  // one guard entry
  bounds(request, out.data());
  EXPECT_EQ(out.back(), -1.0) << "written past the stretch";
  out.pop_back();
  return out;
}

struct Version {
  const char* name;
  InformationGainBounds bounds;
  bool supported;
};

std::vector<Version> versions() {
  return {{"scalar", informationGainBoundsScalar, true},
          {"avx512", informationGainBoundsAvx512, simdPathSupported(SimdPath::kAvx512)}};
}

TEST(InformationGainBound, NeverBelowTheExactGainAndVersionsAgree) {
  struct Shape {
    int cells, samples, count, padding;
  };
  // Cell counts around the vector width (tails of 1, 2, 3 and 7 cells),
  // stretch lengths that are not multiples of 8.
  const Shape shapes[] = {{2, 40, 9, 0},    {3, 50, 17, 1},  {4, 7, 5, 0},     {9, 2000, 37, 0},
                          {9, 300, 8, 3},   {10, 900, 11, 0}, {16, 3000, 13, 0}, {27, 501, 21, 2},
                          {64, 5000, 7, 0}, {81, 20000, 3, 0}};
  std::mt19937 random(5);
  for (const Shape& shape : shapes) {
    const Stretch stretch = randomStretch(random, shape.count, shape.cells, shape.samples, shape.padding);
    for (double q : {0.4, 0.5, 0.05}) {
      const std::vector<double> reference = boundsOf(informationGainBoundsScalar, stretch, q);
      for (const Version& version : versions()) {
        if (!version.supported) continue;
        const std::vector<double> bounds = boundsOf(version.bounds, stretch, q);
        for (int t = 0; t < stretch.count; ++t) {
          const int* table = &stretch.ints[static_cast<std::size_t>(t) * stretch.stride];
          const double exact = exactInformationGain(table, stretch.cells);
          SCOPED_TRACE(testing::Message() << version.name << " cells " << shape.cells << " table " << t
                                          << " q " << q);
          if (std::isnan(exact)) {
            EXPECT_EQ(bounds[t], kInfinity);
            continue;
          }
          EXPECT_GE(bounds[t], exact);
          EXPECT_NEAR(bounds[t], reference[t],
                      agreementTolerance(table, stretch.cells, q, reference[t]));
        }
      }
    }
  }
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
    for (const Version& version : versions()) {
      if (!version.supported) continue;
      const std::vector<double> bounds = boundsOf(version.bounds, stretch, q);
      int checked = 0;
      for (int t = 0; t < stretch.count; ++t) {
        const double exact = exactInformationGain(&stretch.ints[6L * t], 3);
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
  for (const Version& version : versions()) {
    if (!version.supported) continue;
    const std::vector<double> bounds = boundsOf(version.bounds, stretch, 0.5);
    int near_independence = 0;
    double bound_sum = 0;
    double exact_sum = 0;
    for (int t = 0; t < stretch.count; ++t) {
      const double exact = exactInformationGain(&stretch.ints[static_cast<std::size_t>(t) * 18], 9);
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
  // distribution).
  Stretch stretch;
  stretch.cells = 3;
  stretch.stride = 6;
  stretch.ints = {5, 0, 3, 0, 2, 0,   // controls only
                  0, 4, 0, 1, 0, 2,   // cases only
                  4, 1, 3, 2, 1, 4,   // 8 controls, 7 cases
                  4, 1, 3, 2, 1, 3};  // one case missing
  stretch.count = 4;
  for (const Version& version : versions()) {
    if (!version.supported) continue;
    const std::vector<double> own = boundsOf(version.bounds, stretch, 0.5);
    EXPECT_EQ(own[0], kInfinity);
    EXPECT_EQ(own[1], kInfinity);
    EXPECT_TRUE(std::isfinite(own[2]) && std::isfinite(own[3])) << version.name;
    const std::vector<double> fixed = boundsOf(version.bounds, stretch, 0.5, 8, 7);
    EXPECT_EQ(fixed[2], own[2]) << version.name;
    EXPECT_EQ(fixed[3], kInfinity) << version.name;
  }
}

}  // namespace
