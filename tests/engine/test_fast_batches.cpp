// The fast path against the plain path, batch by batch: the same best rows,
// with bit-identical measure pairs and keys, for data full of ties, missing
// codes, monomorphic markers and one-class phenotypes, every missing-data
// method the fast path serves, orders 1 to 4, both ranking measures, several
// K and batch lengths, on every SIMD path this CPU runs. Then whole orders on
// 1, 2 and 7 threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/gorva.h"
#include "engine/batch_pool.h"
#include "engine/batch_scorer.h"
#include "engine/bitplanes.h"
#include "engine/kernel_dispatch.h"
#include "engine/unrank.h"
#include "support/oracle.h"

// Test names and failure messages show the path's name (found by argument
// lookup, so it lives beside SimdPath in the global namespace).
static void PrintTo(SimdPath path, std::ostream* out) { *out << simdPathName(path); }

namespace {

enum class Shape { kRandom, kTies, kFewColumns, kOneClass };

struct DataCase {
  const char* name;
  Shape shape;
  unsigned seed;
  int markers;
  int samples;
  double missing;
};

void PrintTo(const DataCase& c, std::ostream* out) { *out << c.name; }

// Marker-major bytes of a data set shaped to provoke the hard cases.
struct Bytes {
  int markers = 0;
  int samples = 0;
  std::vector<unsigned char> genotypes;
  std::vector<unsigned char> phenotypes;
  std::vector<double> scores;
};

Bytes makeData(const DataCase& c) {
  Dataset data = randomDataset(c.seed, c.markers, c.samples, c.missing);
  if (c.shape == Shape::kTies) {
    // Copies give equal keys; a monomorphic marker; a marker missing for
    // every case (its combinations have no case under "available": NaN).
    for (int m = 3; m < c.markers; m += 4) data.genotype[m] = data.genotype[m - 2];
    std::fill(data.genotype[1].begin(), data.genotype[1].end(), 0);
    for (int s = 0; s < c.samples; ++s) {
      if (data.phenotype[s] == 1) data.genotype[2][s] = 3;
    }
  } else if (c.shape == Shape::kFewColumns) {
    // Three distinct columns: a batch has fewer distinct keys than K.
    for (int m = 3; m < c.markers; ++m) data.genotype[m] = data.genotype[m % 3];
  } else if (c.shape == Shape::kOneClass) {
    std::fill(data.phenotype.begin(), data.phenotype.end(), 1);
  }
  Bytes bytes;
  bytes.markers = c.markers;
  bytes.samples = c.samples;
  for (const std::vector<int>& marker : data.genotype) {
    for (int code : marker) bytes.genotypes.push_back(static_cast<unsigned char>(code));
  }
  for (int p : data.phenotype) bytes.phenotypes.push_back(static_cast<unsigned char>(p));
  bytes.scores.assign(c.samples, 0.0);
  return bytes;
}

// A prepared search over a private copy of the data (imputation rewrites it).
struct PreparedSearch {
  Bytes bytes;
  SearchContext context;
  BitPlanes planes;

  PreparedSearch(const Bytes& data, int method, int K, int measure, bool all_pairs) : bytes(data) {
    prepareSearchContext(bytes.genotypes.data(), bytes.phenotypes.data(), bytes.scores.data(),
                         bytes.samples, bytes.markers, 1, method, context);
    context.K = K;
    context.measure = measure;
    context.all_pairs = all_pairs;
    context.option_code = 1;
    if (buildPlanesFor(context, planes)) context.planes = &planes;
  }
};

void expectSameRows(const RankedRows& expected, const RankedRows& actual,
                    const std::string& where) {
  ASSERT_EQ(actual.size(), expected.size()) << where;
  EXPECT_EQ(actual.markers, expected.markers) << where;
  EXPECT_EQ(std::memcmp(actual.pairs.data(), expected.pairs.data(),
                        expected.pairs.size() * sizeof(double)),
            0)
      << where;
  EXPECT_EQ(
      std::memcmp(actual.keys.data(), expected.keys.data(), expected.keys.size() * sizeof(double)),
      0)
      << where;
}

// Scores the whole sequence of one order batch by batch with both paths.
void compareEveryBatch(PreparedSearch& setup, int order, int capacity, ScorerStats& fast_stats,
                       const std::string& where) {
  SearchContext plain = setup.context;
  plain.planes = nullptr;
  BatchScorer plain_scorer(plain, order);
  BatchScorer fast_scorer(setup.context, order);
  BatchScorer range_scorer(setup.context, order);  // told only each batch's first combination
  int k = order;
  int n = setup.bytes.markers;
  std::vector<int> state(order, -1);
  std::vector<int> batch(static_cast<std::size_t>(capacity) * order);
  RankedRows plain_best;
  RankedRows fast_best;
  RankedRows range_best;
  for (int b = 0;; ++b) {
    int count = 0;
    combSNP(&k, &n, &capacity, state.data(), &count, batch.data());
    if (count == 0) break;
    plain_scorer.score(batch.data(), count, plain_best);
    fast_scorer.score(batch.data(), count, fast_best);
    const std::string here = where + " batch " + std::to_string(b);
    expectSameRows(plain_best, fast_best, here);
    if (range_scorer.scoresRanges()) {
      range_scorer.scoreRange(batch.data(), count, range_best);
      expectSameRows(plain_best, range_best, here + " (range)");
    }
    if (setup.context.all_pairs) {
      EXPECT_EQ(std::memcmp(plain_scorer.pairs(), fast_scorer.pairs(), 2 * sizeof(double) * count),
                0)
          << here;
    }
  }
  fast_stats.add(fast_scorer.stats());
}

const DataCase kDataCases[] = {
    {"random", Shape::kRandom, 5, 13, 90, 0.04},
    {"ties", Shape::kTies, 6, 13, 80, 0.03},
    {"fewcolumns", Shape::kFewColumns, 7, 12, 60, 0.05},
    {"oneclass", Shape::kOneClass, 8, 11, 50, 0.04},
};

const int kFastMethods[] = {1, 2, 3, 4, 5};  // "em" always counts the plain way

class FastBatches : public ::testing::TestWithParam<std::tuple<SimdPath, DataCase>> {
 protected:
  void TearDown() override { clearForcedSimdPath(); }
};

TEST_P(FastBatches, BestRowsEqualThePlainPathsBatchByBatch) {
  const auto [path, data_case] = GetParam();
  if (!forceSimdPath(path)) GTEST_SKIP() << simdPathName(path) << " not supported by this CPU";
  const Bytes data = makeData(data_case);
  ScorerStats stats;
  for (int method : kFastMethods) {
    for (int K : {1, 4, 30}) {
      for (int measure : {0, 1}) {
        PreparedSearch setup(data, method, K, measure, false);
        ASSERT_NE(setup.context.planes, nullptr);
        for (int order = 1; order <= 4; ++order) {
          for (int capacity : {37, 400}) {
            compareEveryBatch(setup, order, capacity, stats,
                              std::string(data_case.name) + " method " + std::to_string(method) +
                                  " K " + std::to_string(K) + " measure " +
                                  std::to_string(measure) + " order " + std::to_string(order) +
                                  " batch length " + std::to_string(capacity));
          }
        }
      }
    }
    // Every pair wanted (the all-results file): all of them bit-identical.
    PreparedSearch every_pair(data, method, 4, 0, true);
    for (int order = 1; order <= 3; ++order) {
      compareEveryBatch(every_pair, order, 150, stats, std::string(data_case.name) + " every pair");
    }
  }
  EXPECT_EQ(stats.bound_misses, 0);
  switch (data_case.shape) {
    case Shape::kRandom:
      EXPECT_GT(stats.screened, stats.fallbacks);
      break;
    case Shape::kTies:
      EXPECT_GT(stats.screened, 0);
      EXPECT_GT(stats.fallbacks, 0);
      break;
    case Shape::kFewColumns:
      EXPECT_GT(stats.fallbacks, 0);
      break;
    case Shape::kOneClass:
      EXPECT_EQ(stats.screened, 0);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryPathAndData, FastBatches,
                         ::testing::Combine(::testing::Values(SimdPath::kScalar, SimdPath::kAvx2,
                                                              SimdPath::kAvx512),
                                            ::testing::ValuesIn(kDataCases)),
                         [](const auto& info) {
                           return std::string(simdPathName(std::get<0>(info.param))) + "_" +
                                  std::get<1>(info.param).name;
                         });

struct SinkRecord {
  std::vector<int> combinations;
  std::vector<double> pairs;
  bool operator==(const SinkRecord& other) const {
    return combinations == other.combinations &&
           std::memcmp(pairs.data(), other.pairs.data(), pairs.size() * sizeof(double)) == 0 &&
           pairs.size() == other.pairs.size();
  }
};

struct OrderRun {
  OrderOutcome outcome;
  std::vector<SinkRecord> lines;
};

OrderRun runOrder(PreparedSearch& setup, bool fast, int order, int threads, int batch_size,
                  long long limit) {
  SearchContext context = setup.context;
  if (!fast) context.planes = nullptr;
  OrderRun run;
  BatchSink sink;
  if (context.all_pairs) {
    sink = [&run, order](int* combinations, int count, double* pairs) {
      run.lines.push_back({std::vector<int>(combinations, combinations + count * order),
                           std::vector<double>(pairs, pairs + 2 * count)});
    };
  }
  searchOrder(context, order, threads, batch_size, limit, sink, nullptr, run.outcome);
  return run;
}

TEST(FastSearchOrder, KeptRowsAndAllResultLinesDoNotDependOnThreadsOrEngine) {
  // Equal keys in many batches of 50, and K = 40 takes rows from several:
  // only merging in batch order keeps the earliest of the equals.
  const Bytes data = makeData({"fewcolumns", Shape::kFewColumns, 31, 30, 120, 0.03});
  for (bool all_pairs : {false, true}) {
    PreparedSearch setup(data, 4, 40, 0, all_pairs);
    for (int order = 1; order <= 3; ++order) {
      const OrderRun reference = runOrder(setup, false, order, 1, 50, -1);
      EXPECT_EQ(reference.outcome.combinations, combinationCount(30, order));
      for (bool fast : {false, true}) {
        for (int threads : {1, 2, 7}) {
          const OrderRun run = runOrder(setup, fast, order, threads, 50, -1);
          const std::string where = std::string(fast ? "fast" : "plain") + " order " +
                                    std::to_string(order) + " threads " + std::to_string(threads) +
                                    (all_pairs ? " all pairs" : "");
          expectSameRows(reference.outcome.kept, run.outcome.kept, where);
          EXPECT_EQ(run.outcome.combinations, reference.outcome.combinations) << where;
          EXPECT_TRUE(run.lines == reference.lines) << where;
          EXPECT_FALSE(run.outcome.out_of_memory);
        }
      }
    }
  }
}

TEST(FastSearchOrder, ABatchLimitStopsAfterThatManyBatches) {
  const Bytes data = makeData({"random", Shape::kRandom, 3, 25, 40, 0.0});
  PreparedSearch setup(data, 4, 3, 0, false);
  for (int threads : {1, 2}) {
    const OrderRun run = runOrder(setup, true, 2, threads, 40, 4);
    EXPECT_EQ(run.outcome.combinations, 160);
    EXPECT_EQ(run.outcome.stats.batches, 4);
    // The best of the first 160 pairs only.
    for (int row = 0; row < run.outcome.kept.size(); ++row) {
      const int first = run.outcome.kept.markers[2 * row];
      EXPECT_LE(first, 7) << "pair beyond the first 160 of 25 markers";
    }
  }
  const OrderRun none = runOrder(setup, true, 26, 2, 40, -1);
  EXPECT_EQ(none.outcome.combinations, 0);
  EXPECT_EQ(none.outcome.kept.size(), 0);
}

}  // namespace
