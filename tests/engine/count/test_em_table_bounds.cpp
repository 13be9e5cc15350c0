// The bounds of em tables of pairs and triples from their counted tables:
// never below the IG of the em table the assignment rounds make (whatever
// the share of missing genotypes, skew, empty and one-class cells) and the
// table bound itself when nothing is missing, the vector versions never below the portable one by more than their rounding
// and reading no table beyond the request, and a class without samples
// unbounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/count/em_table_bounds.h"
#include "engine/count/information_gain_bound.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/rank/em_tables.h"
#include "support/table_measures.h"

namespace {

// Counted tables of `samples` samples: each marker's genotype missing with
// `missing` chance, cases more frequent in a hot cell when skewed.
std::vector<int> countedTables(std::mt19937& random, const EmBoundShape& shape, int count, int samples,
                               double missing) {
  std::vector<int> tables(static_cast<std::size_t>(count) * shape.counted_ints, 0);
  std::uniform_real_distribution<double> unit(0, 1);
  for (int t = 0; t < count; ++t) {
    int* table = &tables[static_cast<std::size_t>(t) * shape.counted_ints];
    std::vector<double> rare(shape.order);
    for (double& r : rare) r = unit(random) * 0.5;
    const double skew = unit(random) < 0.5 ? 0.0 : unit(random) * 0.8;
    const int hot = static_cast<int>(unit(random) * shape.cells);
    for (int s = 0; s < samples; ++s) {
      int cell = 0;
      int step = 1;
      for (int j = 0; j < shape.order; ++j, step *= 4) {
        const int genotype = unit(random) < missing ? 3 : (unit(random) < rare[j]) + (unit(random) < rare[j]);
        cell += genotype * step;
      }
      const bool in_hot = shape.entry_of[cell] == hot;
      const bool is_case = unit(random) < (in_hot ? 0.5 + skew / 2 : 0.5 - skew / 4);
      ++table[2 * cell + (is_case ? 1 : 0)];
    }
  }
  return tables;
}

// The IG of the em table the search makes of a counted one: every sample
// counted.
double emGain(EmTables& em, const int* counted) {
  em.fill(counted);
  return ownTotalsMeasure(em.em(), em.ints() / 2);
}

std::vector<double> boundsOf(EmTableBounds kernel, const EmBoundShape& shape, const std::vector<int>& tables,
                             int count, double q) {
  std::vector<double> out(count + 1, -1.0);  // one guard entry
  kernel({.shape = &shape, .counted = tables.data(), .count = count, .q = q, .factor = divergenceFactor(q)},
         out.data());
  EXPECT_EQ(out.back(), -1.0) << "written past the request";
  out.pop_back();
  return out;
}

std::vector<EmTableBounds> vectorVersions() {
  std::vector<EmTableBounds> versions;
  if (simdPathSupported(SimdPath::kAvx2)) versions.push_back(emTableBoundsAvx2);
  if (simdPathSupported(SimdPath::kAvx512)) versions.push_back(emTableBoundsAvx512);
  return versions;
}

TEST(EmTableBounds, NeverBelowTheGainOfTheEmTableAndTheVectorVersionsAgree) {
  std::mt19937 random(11);
  const std::vector<EmTableBounds> vectors = vectorVersions();
  for (int order = 2; order <= kEmBoundMostOrder; ++order) {
    const EmBoundShape shape(order);
    EmTables em(order);
    for (const double missing : {0.0, 0.01, 0.05, 0.2, 0.5, 0.95}) {
      for (const int samples : {3, 20, 200, 3000}) {
        for (const double fraction : {0.5, 0.1, 0.9}) {
          const double q = roundedFraction(fraction);
          // 37 tables: more than two registers of them and a part of one.
          const int count = 37;
          const std::vector<int> tables = countedTables(random, shape, count, samples, missing);
          const std::vector<double> scalar = boundsOf(emTableBoundsScalar, shape, tables, count, q);
          std::vector<std::vector<double>> wide;
          for (const EmTableBounds kernel : vectors) wide.push_back(boundsOf(kernel, shape, tables, count, q));
          for (int t = 0; t < count; ++t) {
            SCOPED_TRACE("order " + std::to_string(order) + ", missing " + std::to_string(missing) + ", samples " +
                         std::to_string(samples) + ", q " + std::to_string(q) + ", table " + std::to_string(t));
            const double gain = emGain(em, &tables[static_cast<std::size_t>(t) * shape.counted_ints]);
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
            // Nothing missing: the em table is the observed one, and its
            // bound the table bound itself, not a looser one.
            if (missing == 0) {
              BoundRequest plain;
              plain.tables = em.em();
              plain.count = 1;
              plain.stride = 2 * shape.cells;
              plain.cells = shape.cells;
              plain.q = q;
              plain.divergence_factor = divergenceFactor(q);
              double table_bound = 0;
              informationGainBoundsScalar(plain, &table_bound);
              EXPECT_NEAR(scalar[t], table_bound, 1e-12 * (1 + table_bound));
            }
          }
        }
      }
    }
  }
}

TEST(EmTableBounds, AClassWithoutSamplesHasNoBound) {
  const EmBoundShape shape(2);
  std::vector<int> table(shape.counted_ints, 0);
  table[2 * (0 + 4 * 0)] = 5;  // controls only
  table[2 * (3 + 4 * 1)] = 2;  // two of them missing at the first marker
  const double q = roundedFraction(0.5);
  std::vector<EmTableBounds> kernels = vectorVersions();
  kernels.push_back(emTableBoundsScalar);
  for (const EmTableBounds kernel : kernels) EXPECT_TRUE(std::isinf(boundsOf(kernel, shape, table, 1, q)[0]));
}

}  // namespace
