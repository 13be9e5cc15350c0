// The bounds of em pair tables from their counted tables: never below the IG
// of the em table the assignment rounds make (whatever the share of missing
// genotypes, skew, empty and one-class cells), the vector versions never below
// the portable one by more than its rounding and reading no table beyond
// the request, and a class without samples unbounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/gorva.h"
#include "engine/count/em_pair_bounds.h"
#include "engine/count/information_gain_bound.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/rank/em_tables.h"

namespace {

constexpr int kCells = 9;

// Counted pair tables of `samples` samples: each marker's genotype missing
// with `missing` chance, cases more frequent in a hot cell when skewed.
std::vector<int> countedTables(std::mt19937& random, int count, int samples, double missing) {
  std::vector<int> tables(static_cast<std::size_t>(count) * kEmPairCountedInts, 0);
  std::uniform_real_distribution<double> unit(0, 1);
  for (int t = 0; t < count; ++t) {
    int* table = &tables[static_cast<std::size_t>(t) * kEmPairCountedInts];
    const double first_rare = unit(random) * 0.5;
    const double second_rare = unit(random) * 0.5;
    const double skew = unit(random) < 0.5 ? 0.0 : unit(random) * 0.8;
    const int hot = static_cast<int>(unit(random) * kCells);
    const auto genotype = [&](double rare) {
      if (unit(random) < missing) return 3;
      return (unit(random) < rare ? 1 : 0) + (unit(random) < rare ? 1 : 0);
    };
    for (int s = 0; s < samples; ++s) {
      const int first = genotype(first_rare);
      const int second = genotype(second_rare);
      const bool in_hot = first < 3 && second < 3 && first + 3 * second == hot;
      const bool is_case = unit(random) < (in_hot ? 0.5 + skew / 2 : 0.5 - skew / 4);
      ++table[2 * (first + 4 * second) + (is_case ? 1 : 0)];
    }
  }
  return tables;
}

// The IG of the em table the search makes of a counted one: every sample
// counted.
double emGain(EmTables& em, const int* counted) {
  em.fill(counted);
  const int* table = em.em();
  int controls = 0;
  int cases = 0;
  for (int c = 0; c < kCells; ++c) {
    controls += table[2 * c];
    cases += table[2 * c + 1];
  }
  std::vector<double> sums(2 * kCells, 0.0);
  double pair[2];
  calculateMeasuresAll(cases + controls, cases, controls, const_cast<int*>(table), sums.data(), 2 * kCells, 1.0, 1,
                       pair);
  return pair[0];
}

std::vector<double> boundsOf(EmPairBounds kernel, const std::vector<int>& tables, int count, double q) {
  std::vector<double> out(count + 1, -1.0);  // one guard entry
  kernel({.counted = tables.data(), .count = count, .q = q, .factor = divergenceFactor(q)}, out.data());
  EXPECT_EQ(out.back(), -1.0) << "written past the request";
  out.pop_back();
  return out;
}

TEST(EmPairBounds, NeverBelowTheGainOfTheEmTableAndTheVectorVersionAgrees) {
  std::mt19937 random(11);
  EmTables em(2);
  std::vector<EmPairBounds> vectors;
  if (simdPathSupported(SimdPath::kAvx2)) vectors.push_back(emPairBoundsAvx2);
  if (simdPathSupported(SimdPath::kAvx512)) vectors.push_back(emPairBoundsAvx512);
  int ruled_low = 0;
  for (const double missing : {0.0, 0.01, 0.05, 0.2, 0.5, 0.95}) {
    for (const int samples : {3, 20, 200, 3000}) {
      for (const double fraction : {0.5, 0.1, 0.9}) {
        const double q = roundedFraction(fraction);
        // 37 tables: two vector steps and a part of one.
        const int count = 37;
        const std::vector<int> tables = countedTables(random, count, samples, missing);
        const std::vector<double> scalar = boundsOf(emPairBoundsScalar, tables, count, q);
        std::vector<std::vector<double>> wide;
        for (const EmPairBounds kernel : vectors) wide.push_back(boundsOf(kernel, tables, count, q));
        for (int t = 0; t < count; ++t) {
          SCOPED_TRACE("missing " + std::to_string(missing) + ", samples " + std::to_string(samples) + ", q " +
                       std::to_string(q) + ", table " + std::to_string(t));
          const double gain = emGain(em, &tables[static_cast<std::size_t>(t) * kEmPairCountedInts]);
          if (std::isnan(gain)) {
            EXPECT_TRUE(std::isinf(scalar[t]));
            for (const std::vector<double>& bounds : wide) EXPECT_TRUE(std::isinf(bounds[t]));
            continue;
          }
          EXPECT_GE(scalar[t], gain);
          for (const std::vector<double>& bounds : wide) {
            EXPECT_GE(bounds[t], gain);
            EXPECT_GE(bounds[t], scalar[t] * (1 - 0x1p-14) - 1e-12);
          }
          if (missing > 0 && scalar[t] < 2 * gain + 0.01) ++ruled_low;
        }
      }
    }
  }
  // Not a mere upper bound of everything: close to the gain for many tables.
  EXPECT_GT(ruled_low, 100);
}

TEST(EmPairBounds, AClassWithoutSamplesHasNoBound) {
  std::vector<int> table(kEmPairCountedInts, 0);
  table[2 * (0 + 4 * 0)] = 5;   // controls only
  table[2 * (3 + 4 * 1)] = 2;   // one of them missing at the first marker
  const double q = roundedFraction(0.5);
  std::vector<EmPairBounds> kernels = {emPairBoundsScalar};
  if (simdPathSupported(SimdPath::kAvx2)) kernels.push_back(emPairBoundsAvx2);
  if (simdPathSupported(SimdPath::kAvx512)) kernels.push_back(emPairBoundsAvx512);
  for (const EmPairBounds kernel : kernels) EXPECT_TRUE(std::isinf(boundsOf(kernel, table, 1, q)[0]));
}

}  // namespace
