// The fast path against the plain path, batch by batch: the same best rows,
// with bit-identical measure pairs and keys, for data full of ties, missing
// codes, monomorphic markers and one-class phenotypes, every missing-data
// method (3 and 4 levels, "em" completed from 4, sample lists with gaps,
// complete and incomplete markers side by side), orders 1 to 4, ranked by
// IG, RIG and p_chisq, several K and batch lengths, on every SIMD path this
// CPU runs, through both ways of counting a batch (told every combination, or only the
// first). With every pair wanted, each combination's measures are compared,
// and with K above the batch length every combination is a kept row: both
// check every count table the bit-planes give, through the measures; pairs
// whose runs span blocks of last markers the same way. Then the ordered
// merge of batches that finish out of order, and whole orders on 1, 2 and 7
// threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "core/gorva.h"
#include "engine/count/bitplanes.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/count/unrank.h"
#include "engine/rank/batch_scorer.h"
#include "engine/rank/bestrows.h"
#include "engine/rank/combination_table.h"
#include "engine/count/information_gain_bound.h"
#include "engine/search/batch_pool.h"
#include "support/oracle.h"
#include "support/simd_paths.h"

// Test names and failure messages show the path's name (found by argument
// lookup, so it lives beside SimdPath in the global namespace).
static void PrintTo(SimdPath path, std::ostream* out) { *out << simdPathName(path); }

namespace {

enum class Shape { kRandom, kTies, kFewColumns, kOneClass };

struct DataCase { const char* name; Shape shape; unsigned seed; int markers; int samples; double missing; };

void PrintTo(const DataCase& c, std::ostream* out) { *out << c.name; }

// A data set shaped to provoke the hard cases.
Dataset makeData(const DataCase& c) {
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
  return data;
}

// A prepared search over a private copy of the data (imputation rewrites it).
struct PreparedSearch {
  std::vector<unsigned char> genotypes, phenotypes;
  std::vector<double> scores;
  SearchContext context;
  BitPlanes planes;

  PreparedSearch(const Dataset& data, SimdPath path, int method, int K, int measure, bool all_pairs)
      : genotypes(data.genotypeBytes()), phenotypes(data.phenotypeBytes()), scores(data.samples()) {
    prepareSearchContext(genotypes.data(), {phenotypes.data(), scores.data(), data.samples(), data.markers(), 1, method},
                         context);
    context.K = K;
    context.measure = measure;
    context.all_pairs = all_pairs;
    context.option_code = 1;
    context.settings.simd = path;
    if (buildSearchPlanesFor(context, planes)) context.planes = &planes;
  }
};

// Bit-identical doubles (NaN measures included).
bool sameBits(const double* a, const double* b, std::size_t count) {
  return count == 0 || std::memcmp(a, b, count * sizeof(double)) == 0;
}

void expectSameRows(const RankedRows& expected, const RankedRows& actual) {
  ASSERT_EQ(actual.size(), expected.size());
  EXPECT_EQ(actual.markers, expected.markers);
  EXPECT_TRUE(sameBits(actual.pairs.data(), expected.pairs.data(), expected.pairs.size()));
  EXPECT_TRUE(sameBits(actual.keys.data(), expected.keys.data(), expected.keys.size()));
}

// Scores the whole sequence of one order batch by batch with both paths.
void compareEveryBatch(PreparedSearch& setup, int order, int capacity, ScorerStats& fast_stats) {
  SearchContext plain = setup.context;
  plain.planes = nullptr;
  BatchScorer plain_scorer(plain, order), fast_scorer(setup.context, order);
  BatchScorer range_scorer(setup.context, order);  // told only each batch's position
  int k = order, n = setup.context.marker_count, count = 0;
  std::vector<int> state(order, -1);
  std::vector<int> batch(static_cast<std::size_t>(capacity) * order);
  RankedRows plain_best, fast_best, range_best;
  std::vector<RankedRows> plain_bests;
  int total = 0;
  for (int b = 0;; ++b) {
    combSNP(&k, &n, &capacity, state.data(), &count, batch.data());
    if (count == 0) break;
    SCOPED_TRACE("order " + std::to_string(order) + ", batch length " + std::to_string(capacity) +
                 ", batch " + std::to_string(b));
    plain_scorer.score(batch.data(), count, plain_best);
    fast_scorer.score(batch.data(), count, fast_best);
    expectSameRows(plain_best, fast_best);
    if (range_scorer.scoresRanges()) {
      range_scorer.scoreRanges(static_cast<long long>(b) * capacity, count, capacity, &range_best);
      expectSameRows(plain_best, range_best);
    }
    EXPECT_TRUE(!setup.context.all_pairs ||
                sameBits(plain_scorer.pairs(), fast_scorer.pairs(), 2 * static_cast<std::size_t>(count)));
    plain_bests.push_back(plain_best);
    total += count;
  }
  // The whole order as one walk of consecutive batches, each with its own
  // screening: the same rows batch by batch.
  if (range_scorer.scoresRanges()) {
    std::vector<RankedRows> walk_bests(plain_bests.size());
    range_scorer.scoreRanges(0, total, capacity, walk_bests.data());
    for (std::size_t b = 0; b < plain_bests.size(); ++b) {
      SCOPED_TRACE("order " + std::to_string(order) + ", batch length " + std::to_string(capacity) +
                   ", batch " + std::to_string(b) + " of one walk");
      expectSameRows(plain_bests[b], walk_bests[b]);
    }
  }
  fast_stats.add(fast_scorer.stats());
}

const DataCase kDataCases[] = {{"random", Shape::kRandom, 5, 13, 90, 0.04},
                               {"ties", Shape::kTies, 6, 13, 80, 0.03},
                               {"fewcolumns", Shape::kFewColumns, 7, 12, 60, 0.05},
                               {"oneclass", Shape::kOneClass, 8, 11, 50, 0.04},
                               // Complete markers (beside incomplete ones for
                               // ties), counted by their free cells on paths
                               // that fuse counting and bound: stretches that
                               // start and end inside groups of four markers.
                               {"complete", Shape::kRandom, 9, 23, 70, 0.0},
                               {"completeties", Shape::kTies, 10, 22, 75, 0.0}};

// "em" counts the missing genotype as a level and completes its tables.
const int kFastMethods[] = {1, 2, 3, 4, 5, 6};

class FastBatches : public ::testing::TestWithParam<std::tuple<SimdPath, DataCase>> {};

TEST_P(FastBatches, BestRowsEqualThePlainPathsBatchByBatch) {
  const auto [path, data_case] = GetParam();
  GORVA_SKIP_UNLESS_SIMD_PATH_RUNS(path, simdPathSupported(path));
  const Dataset data = makeData(data_case);
  ScorerStats stats, em_stats;
  for (int method : kFastMethods) {
    ScorerStats& into = method == kMethodEm ? em_stats : stats;
    for (int K : {1, 4, 30, 1000}) {
      for (int measure : {kRankByIG, kRankByRIG, kRankByP}) {
        SCOPED_TRACE(std::string(data_case.name) + " method " + std::to_string(method) + " K " +
                     std::to_string(K) + " measure " + std::to_string(measure));
        PreparedSearch setup(data, path, method, K, measure, false);
        ASSERT_NE(setup.context.planes, nullptr);
        for (int order = 1; order <= 4; ++order) {
          for (int capacity : {37, 400}) compareEveryBatch(setup, order, capacity, into);
        }
      }
    }
    // Every pair wanted (the all-results file): all of them bit-identical.
    PreparedSearch every_pair(data, path, method, 4, 0, true);
    for (int order = 1; order <= 4; ++order) compareEveryBatch(every_pair, order, 150, into);
  }
  EXPECT_EQ(stats.bound_misses, 0);
  EXPECT_EQ(em_stats.bound_misses, 0);
  // em's completed tables are screened by their own bounds too.
  EXPECT_TRUE(data_case.shape != Shape::kRandom || em_stats.ruled_out > 0);
  // Screening decides most batches of random data; ties and few distinct
  // keys force fallbacks to exact keys; one class has no key to screen by.
  const Shape shape = data_case.shape;
  const bool some_missing = data_case.missing > 0;
  SCOPED_TRACE("screened " + std::to_string(stats.screened) + ", fallbacks " + std::to_string(stats.fallbacks));
  EXPECT_TRUE(shape != Shape::kRandom || stats.screened > stats.fallbacks);
  EXPECT_TRUE(shape != Shape::kTies || stats.screened > 0);
  EXPECT_TRUE((shape != Shape::kTies && shape != Shape::kFewColumns) || !some_missing ||
              stats.fallbacks > 0);
  EXPECT_TRUE(shape != Shape::kOneClass || stats.screened == 0);
  // The IG bound spares random data some of its keys.
  EXPECT_TRUE(shape != Shape::kRandom || stats.ruled_out > 0);
}

INSTANTIATE_TEST_SUITE_P(
    EveryPathAndData, FastBatches,
    ::testing::Combine(::testing::Values(SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512),
                       ::testing::ValuesIn(kDataCases)),
    [](const auto& info) {
      return std::string(simdPathName(std::get<0>(info.param))) + "_" + std::get<1>(info.param).name;
    });

// A path picks instructions, never an algorithm: on the same data each
// vector path screens, falls back, ranks in full and bounds in its counting
// walk exactly the batches and tables the portable path does. (How many
// tables the bounds rule out may differ: the vector bounds round in single
// precision.)
class SameAlgorithmsOnEveryPath : public ::testing::TestWithParam<SimdPath> {};

TEST_P(SameAlgorithmsOnEveryPath, ScorerCountsEqualThePortablePaths) {
  const SimdPath path = GetParam();
  GORVA_SKIP_UNLESS_SIMD_PATH_RUNS(path, simdPathSupported(path));
  // Complete markers beside incomplete ones: pairs counted free and whole.
  Dataset data = randomDataset(12, 24, 300, 0.0);
  for (int s = 0; s < data.samples(); s += 7) data.genotype[5][s] = 3;
  auto statsOn = [&](SimdPath on) {
    ScorerStats stats;
    for (int method : {kMethodAvailable, kMethodComplete}) {
      for (int K : {1, 12}) {
        PreparedSearch setup(data, on, method, K, kRankByIG, false);
        for (int order = 1; order <= 3; ++order) compareEveryBatch(setup, order, 300, stats);
      }
    }
    return stats;
  };
  const ScorerStats portable = statsOn(SimdPath::kScalar), vector = statsOn(path);
  EXPECT_GT(portable.bounded_in_walk, 0);
  EXPECT_GT(portable.ruled_out, 0);
  EXPECT_GT(vector.ruled_out, 0);
  EXPECT_EQ(vector.batches, portable.batches);
  EXPECT_EQ(vector.screened, portable.screened);
  EXPECT_EQ(vector.ranked_in_full, portable.ranked_in_full);
  EXPECT_EQ(vector.fallbacks, portable.fallbacks);
  EXPECT_EQ(vector.bounded_in_walk, portable.bounded_in_walk);
}

INSTANTIATE_TEST_SUITE_P(VectorPaths, SameAlgorithmsOnEveryPath,
                         ::testing::Values(SimdPath::kAvx2, SimdPath::kAvx512),
                         [](const auto& info) { return std::string(simdPathName(info.param)); });

// Pairs across blocks of last markers: 6,000 samples make a block of 128
// markers (the least a block holds), so the runs of order 2 span two of
// them, each packed on its own
// (and a run starts inside a group of four); complete data, some missing
// genotypes, and (missing 0.1) every third marker missing more genotypes of
// each class than the walk sums from missing samples, unequal classes, on
// every SIMD path this CPU runs.
TEST(FastBatchesAcrossBlocks, PairsEqualThePlainPathsBatchByBatch) {
  for (const double missing : {0.0, 0.002, 0.1}) {
    Dataset data = randomDataset(11, 150, 6000, std::min(missing, 0.002));
    for (int m = 0; missing > 0.002 && m < data.markers(); m += 3) {
      for (int s = m % 10; s < data.samples(); s += 10) data.genotype[m][s] = 3;
    }
    for (int s = 0; s < data.samples(); s += 3) data.phenotype[s] = 0;
    for (SimdPath path : {SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512}) {
      if (!simdPathSupported(path)) continue;
      SCOPED_TRACE(std::string(simdPathName(path)) + " missing " + std::to_string(missing));
      ScorerStats stats;
      for (int K : {1, 7}) {
        PreparedSearch setup(data, path, 4, K, 0, false);
        ASSERT_NE(setup.context.planes, nullptr);
        compareEveryBatch(setup, 2, 2000, stats);
      }
      EXPECT_EQ(stats.bound_misses, 0);
      EXPECT_GT(stats.screened, 0);
    }
  }
}

// A batch ranked in full keeps the rows the index sort puts on top, in its
// order: picked without the sort where the best K + 1 keys differ, and by
// it where ties (copied markers, a monomorphic one) make its order the
// only one the run may follow.
TEST(RankedInFull, TheBestRowsAreTheIndexSortsOnTop) {
  for (const DataCase& data_case : kDataCases) {
    const Dataset data = makeData(data_case);
    for (int K : {1, 4, 30}) {
      SCOPED_TRACE(std::string(data_case.name) + " K " + std::to_string(K));
      PreparedSearch setup(data, SimdPath::kScalar, kMethodAvailable, K, kRankByIG, false);
      setup.context.planes = nullptr;
      BatchScorer scorer(setup.context, 2);
      int k = 2, n = data.markers(), capacity = 40, count = 0;
      std::vector<int> state(2, -1), batch(2L * capacity);
      std::vector<double> pairs(2L * capacity), keys(capacity);
      std::vector<int> index(capacity);
      RankedRows expected, actual;
      for (;;) {
        combSNP(&k, &n, &capacity, state.data(), &count, batch.data());
        if (count == 0) break;
        scorePlainly(setup.context, setup.context.genotypes, n, {batch.data(), 2, count}, pairs.data());
        for (int i = 0; i < count; ++i) keys[i] = rankingKey(setup.context, &pairs[2L * i], nullptr, 2);
        shellsortIndex(index.data(), keys.data(), count, sizeof(double), cmp_double, 1);
        takeBatchBest({batch.data(), 2, count, pairs.data(), keys.data(), index.data()}, K, expected);
        scorer.score(batch.data(), count, actual);
        expectSameRows(expected, actual);
      }
    }
  }
}

// A combination's own table (the rows a run reports, genomic control's
// million) from the bit-planes equals the one counted from the codes, at
// orders 1 to 4, with 3 and 4 levels (and 4 read as 3), missing codes and unequal classes
// that end inside a word, on every SIMD path this CPU runs.
TEST(CombinationTables, FromThePlanesEqualTheCodesCount) {
  Dataset data = randomDataset(5, 7, 333, 0.05);
  for (int s = 0; s < data.samples(); s += 4) data.phenotype[s] = 0;
  for (SimdPath path : {SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512}) {
    if (!simdPathSupported(path)) continue;
    // "em": the table its test reads, of the samples observed at every
    // marker, from planes that hold the missing genotype as a level.
    for (int method : {kMethodAvailable, kMethodMc, kMethodComplete, kMethodEm}) {
      PreparedSearch setup(data, path, method, 1, 0, false);
      ASSERT_NE(setup.context.planes, nullptr);
      if (method == kMethodEm) setup.context.missing_code = kMethodAvailable;
      SearchContext codes = setup.context;
      codes.planes = nullptr;
      std::vector<int> from_planes, from_codes;
      for (const std::vector<int>& combination :
           std::vector<std::vector<int>>{{6}, {0, 5}, {3, 4}, {1, 2, 6}, {0, 4, 5}, {0, 2, 3, 6}}) {
        SCOPED_TRACE(std::string(simdPathName(path)) + " method " + std::to_string(method) + " order " +
                     std::to_string(combination.size()) + " first " + std::to_string(combination[0]));
        const int k = static_cast<int>(combination.size());
        countCombinationTable(setup.context, combination.data(), k, from_planes);
        countCombinationTable(codes, combination.data(), k, from_codes);
        EXPECT_EQ(from_planes, from_codes);
      }
    }
  }
}

// Batch b's best rows: keys drawn from a handful of values (ties across
// batches everywhere), best first; the pair records the batch and row.
RankedRows batchRows(int batch, int rows, std::mt19937& random) {
  std::uniform_int_distribution<int> value(0, 4);
  std::vector<double> keys(rows);
  for (double& key : keys) key = value(random);
  std::sort(keys.rbegin(), keys.rend());
  RankedRows best;
  best.order = 2;
  for (int r = 0; r < rows; ++r) {
    const int combination[2] = {batch, r};
    const double pair[2] = {keys[r], 1000.0 * batch + r};
    best.append(combination, pair, keys[r]);
  }
  return best;
}

TEST(FastOrderedMerge, OutOfOrderArrivalsKeepTheEarliestOfEqualRows) {
  constexpr int kBatches = 40, kWindow = 6, K = 9;
  std::mt19937 random(5);
  std::vector<RankedRows> batches;
  long long combinations = 0;
  for (int b = 0; b < kBatches; ++b) batches.push_back(batchRows(b, 1 + b % 7, random)), combinations += 1 + b % 7;

  RankedRows expected;
  for (const RankedRows& rows : batches) mergeBest(expected, rows, K, EqualKeys::kKeepOrder);

  for (unsigned seed = 0; seed < 20; ++seed) {
    std::mt19937 shuffle(seed);
    OrderedMerge merge(K, EqualKeys::kKeepOrder, kWindow, nullptr);
    // Batches start in order as slots free up and finish in a random order.
    std::vector<int> running;
    int started = 0;
    while (merge.nextToMerge() < kBatches) {
      while (started < kBatches && merge.ready(started)) running.push_back(started++);
      EXPECT_TRUE(merge.ready(merge.nextToMerge() + kWindow - 1));
      EXPECT_FALSE(merge.ready(merge.nextToMerge() + kWindow));
      ASSERT_FALSE(running.empty());
      const auto pick = running.begin() + std::uniform_int_distribution<long>(0, running.size() - 1)(shuffle);
      const int batch = *pick;
      running.erase(pick);
      RankedRows rows = batches[batch];
      merge.file(batch, 1 + batch % 7, rows);
    }
    EXPECT_EQ(merge.kept().markers, expected.markers) << "seed " << seed;
    EXPECT_EQ(merge.kept().pairs, expected.pairs) << "seed " << seed;
    EXPECT_EQ(merge.combinations(), combinations);
  }
}

struct SinkRecord {
  std::vector<int> combinations;
  std::vector<double> pairs;
  bool operator==(const SinkRecord& other) const {
    return combinations == other.combinations && pairs.size() == other.pairs.size() &&
           sameBits(pairs.data(), other.pairs.data(), pairs.size());
  }
};

struct OrderRun { OrderOutcome outcome; std::vector<SinkRecord> lines; };

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
  OrderRequest request;
  request.order = order;
  request.threads = threads;
  request.batch_size = batch_size;
  request.end_batch = limit;
  request.sink = sink;
  searchOrder(context, request, run.outcome);
  return run;
}

TEST(FastSearchOrder, KeptRowsAndAllResultLinesDoNotDependOnThreadsOrEngine) {
  // Equal keys in many batches of 50, and K = 40 takes rows from several:
  // only merging in batch order keeps the earliest of the equals.
  const Dataset data = makeData({"fewcolumns", Shape::kFewColumns, 31, 30, 120, 0.03});
  for (bool all_pairs : {false, true}) {
    PreparedSearch setup(data, activeSimdPath(), 4, 40, 0, all_pairs);
    for (int order = 1; order <= 3; ++order) {
      const OrderRun reference = runOrder(setup, false, order, 1, 50, -1);
      EXPECT_EQ(reference.outcome.combinations, combinationCount(30, order));
      for (bool fast : {false, true}) {
        for (int threads : {1, 2, 7}) {
          SCOPED_TRACE(std::string(fast ? "fast" : "plain") + " order " + std::to_string(order) +
                       " threads " + std::to_string(threads) + (all_pairs ? " all pairs" : ""));
          const OrderRun run = runOrder(setup, fast, order, threads, 50, -1);
          expectSameRows(reference.outcome.kept, run.outcome.kept);
          EXPECT_EQ(run.outcome.combinations, reference.outcome.combinations);
          EXPECT_TRUE(run.lines == reference.lines);
          EXPECT_FALSE(run.outcome.out_of_memory);
        }
      }
    }
  }
}

TEST(FastSearchOrder, ABatchLimitStopsAfterThatManyBatches) {
  const Dataset data = makeData({"random", Shape::kRandom, 3, 25, 40, 0.0});
  PreparedSearch setup(data, activeSimdPath(), 4, 3, 0, false);
  for (int threads : {1, 2}) {
    const OrderRun run = runOrder(setup, true, 2, threads, 40, 4);
    EXPECT_EQ(run.outcome.combinations, 160);
    EXPECT_EQ(run.outcome.stats.batches, 4);
    // The best of the first 160 pairs only: their first marker is at most 7.
    for (int row = 0; row < run.outcome.kept.size(); ++row) EXPECT_LE(run.outcome.kept.markers[2 * row], 7);
  }
  const OrderRun none = runOrder(setup, true, 26, 2, 40, -1);
  EXPECT_EQ(none.outcome.combinations, 0);
  EXPECT_EQ(none.outcome.kept.size(), 0);
}

}  // namespace
