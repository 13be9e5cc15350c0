// Permutation maxima counted from cell totals (the smaller class counted,
// the other one derived) against each permutation searched in full by the
// plain engine: the same maxima, bit for bit, for every ranking measure,
// missing-data method, class balance, order, thread count and SIMD path,
// and for markers missing at many or at all samples; the same for pairs of
// large strata; and the pair walk those maxima take on every path.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "engine/count/bitplanes.h"
#include "engine/count/cell_counter.h"
#include "engine/count/path_kernels.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/search/strata.h"
#include "engine/significance/pair_class_counter.h"
#include "engine/significance/permutation_maxima.h"
#include "engine/significance/significance.h"
#include "engine/significance/stratified_pair_maxima.h"
#include "support/oracle.h"
#include "support/search_data.h"

namespace {

struct MaximaCase {
  const char* name;
  int method;
  double missing;
  double case_share;  // of the samples
  int order;
  int threads;
  int permutations;
  bool gapped;  // marker 3 missing at every other sample, marker 5 at all
};

std::vector<double> maximaOf(const Dataset& data, const MaximaCase& c, int rank, bool planes,
                             SimdPath path = SimdPath::kScalar) {
  SearchData prepared(data, c.method);
  SearchContext& context = prepared.context;
  context.settings.requested_threads = c.threads;
  context.settings.use_planes = planes;
  context.settings.simd = path;
  BitPlanes built;
  if (planes && buildPlanesFor(context, built)) context.planes = &built;
  std::vector<double> single_gains;
  rankForSignificance(rank, context, single_gains);
  EXPECT_EQ(countsPermutationsFromTotals(context, c.order, c.permutations), planes) << c.name;
  std::vector<double> maxima;
  EXPECT_TRUE(permutationMaxima(context, c.order, PermutationPlan{c.permutations, 17}, maxima));
  return maxima;
}

}  // namespace

TEST(PermutationMaxima, CountedFromTotalsEqualEveryPermutationSearchedInFull) {
  // 150 samples fill no class's words; 70 permutations take two groups.
  const MaximaCase cases[] = {
      {"available, more cases", kMethodAvailable, 0.03, 0.7, 2, 2, 5, false},
      {"available, gapped markers", kMethodAvailable, 0.01, 0.5, 2, 2, 4, true},
      {"available, a third missing", kMethodAvailable, 0.3, 0.5, 2, 1, 3, false},
      {"complete, fewer cases", kMethodComplete, 0.02, 0.3, 2, 1, 5, false},
      {"mc, few cases", kMethodMc, 0.03, 0.12, 2, 2, 5, false},
      {"available, complete markers, order 3", kMethodAvailable, 0.0, 0.4, 3, 2, 3, false},
      {"available, order 1, two groups", kMethodAvailable, 0.05, 0.6, 1, 1, 70, false},
  };
  // The CPU's own path and the portable one (they count pairs differently).
  const SimdPath paths[] = {activeSimdPath(), SimdPath::kScalar};
  for (const MaximaCase& c : cases) {
    Dataset data = randomDataset(23, c.order == 3 ? 14 : 40, 150, c.missing);
    for (int s = 0; s < data.samples(); ++s) {
      data.phenotype[s] = (s * 37 % 100) < c.case_share * 100;
      if (c.gapped && s % 2 == 0) data.genotype[3][s] = 3;
      if (c.gapped) data.genotype[5][s] = 3;
    }
    for (const int rank : {kRankByIG, kRankByRIG, kRankBySynergy, kRankByP}) {
      const std::vector<double> plain = maximaOf(data, c, rank, false);
      ASSERT_EQ(plain.size(), static_cast<std::size_t>(c.permutations));
      for (const SimdPath path : paths) {
        const std::vector<double> counted = maximaOf(data, c, rank, true, path);
        ASSERT_EQ(counted.size(), plain.size());
        for (std::size_t r = 0; r < plain.size(); ++r) {
          EXPECT_TRUE(std::isfinite(plain[r])) << c.name << " rank " << rank << " r " << r;
          EXPECT_EQ(std::memcmp(&plain[r], &counted[r], sizeof(double)), 0)
              << c.name << " rank " << rank << " " << simdPathName(path) << " r " << r << ": "
              << plain[r] << " vs " << counted[r];
        }
      }
    }
  }
}

// The permutations' pair walk on every path: levels at gaps from masks one
// walk recorded, counts handed over by cell, equal to the plain counter's
// tables (the portable path, whose pairs are not packed, included), with
// every way of counting the free cells a path has.
TEST(PairsByCell, EveryPathHandsOverThePlainCountersTables) {
  Dataset data = randomDataset(31, 30, 150, 0.03);
  SearchData prepared(data, kMethodAvailable);
  const SearchContext& context = prepared.context;
  BitPlanes planes;
  ASSERT_TRUE(buildPlanesFor(prepared.context, planes));
  const LevelGaps gaps(planes);
  ASSERT_TRUE(gaps.fitMasks());
  std::vector<int> samples(static_cast<std::size_t>(context.sample_count));
  std::vector<unsigned char> entries(samples.size());
  for (int s = 0; s < context.sample_count; ++s) {
    samples[s] = s;
    entries[s] = context.phenotypes[s];
  }
  const std::vector<std::uint64_t> entry_masks =
      gapEntryMasks(planes, gaps, context.sample_count, samples, entries);
  const int first[2] = {0, 1};
  const int count = 30 * 29 / 2;
  constexpr int kTableInts = 2 * PairClassCounter::cells();
  std::vector<int> plain;
  CellCounter reference(planes, 2, pathKernels(SimdPath::kScalar).count_cells);
  reference.forEachFrom(first, count, [&](int, int n, int* tables) {
    plain.insert(plain.end(), tables, tables + n * kTableInts);
    return true;
  });
  for (const SimdPath path : {SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512}) {
    if (!simdPathSupported(path)) continue;
    const PathKernels& kernels = pathKernels(path);
    // The recording walk hands its own counts over by cell too.
    const auto mismatches_by_cell = [&](const PairClassCounter& counter, int at, int n, const int* rows) {
      int mismatches = 0;
      for (int j = 0; j < n; ++j)
        for (int cls = 0; cls < 2; ++cls)
          for (int e = 0; e < PairClassCounter::cells(); ++e)
            mismatches += rows[(cls * PairClassCounter::cells() + e) * counter.byCellStride() + j] !=
                          plain[static_cast<std::size_t>(at + j) * kTableInts + 2 * e + cls];
      return mismatches;
    };
    // Recorded from nibble rows, and eight second markers to a group where
    // the path counts so; the walks below use the masks recorded last.
    PairGapMaskRows masks;
    for (const bool wide : {false, true}) {
      if (wide && wideCountKernel(path) == nullptr) continue;
      PairClassCounter recorder(planes, gaps, kernels.count_cells, kernels.nibble_pairs);
      if (wide) {
        recorder.countFreeCellsWith(kernels.free_cells);
        recorder.countWideWith(wideCountKernel(path));
      }
      recorder.recordMasks(&masks);
      recorder.countGapsWith(gapCountsKernel(path));
      recorder.countByCell(true);
      int recorded_mismatches = 0;
      recorder.forEachFrom(first, count, [&](int at, int n, int* rows) {
        recorded_mismatches += mismatches_by_cell(recorder, at, n, rows);
        return true;
      });
      EXPECT_EQ(recorded_mismatches, 0) << simdPathName(path) << " recording" << (wide ? " wide" : "");
    }
    // Free cells counted from nibble rows, from plain rows by the path's own
    // free-cell kernel, and eight second markers to a group where the path
    // has a kernel for that. The second markers come in two slices, as the
    // permutations' walks take them: in the second one, runs share their
    // second markers and are counted together.
    for (const char* mode : {"nibbles", "free cells", "wide"}) {
      const bool wide = std::strcmp(mode, "wide") == 0;
      if (wide && wideCountKernel(path) == nullptr) continue;
      PairClassCounter counter(planes, gaps, kernels.count_cells, kernels.nibble_pairs);
      if (std::strcmp(mode, "nibbles") != 0) counter.countFreeCellsWith(kernels.free_cells);
      if (wide) counter.countWideWith(wideCountKernel(path));
      counter.countGapsWith(gapCountsKernel(path));
      counter.useMasks(&masks, entry_masks.data());
      counter.countByCell(true);
      ASSERT_TRUE(counter.byCell()) << simdPathName(path);
      int mismatches = 0;
      int visited = 0;
      for (const int begin : {0, 16}) {
        counter.forEachFrom(first, count, begin, begin == 0 ? 16 : 30, [&](int at, int n, int* rows) {
          mismatches += mismatches_by_cell(counter, at, n, rows);
          visited += n;
          return true;
        });
      }
      EXPECT_EQ(mismatches, 0) << simdPathName(path) << " " << mode;
      EXPECT_EQ(visited, count) << simdPathName(path) << " " << mode;
    }
  }
}

// Pairs of large strata walk joint rows of two permutations' counted
// classes: each permutation's maximum must be the full stratified search's,
// bit for bit, under each ranking the walk serves, screened from the counts
// on both vector paths. Rare variants give tables whose bounds sit close to their
// keys, and near-copies of markers put many pairs within a hair of each
// permutation's maximum, so that a cut a little too eager, or one cell
// miscounted in some of the pairs, moves some permutation's maximum.
TEST(PermutationMaxima, PairsOfLargeStrataEqualEachPermutationSearchedInFull) {
  constexpr int kMarkers = 36;
  constexpr int kSamples = 560;
  constexpr int kPermutations = 15;
  Dataset data = randomDataset(43, kMarkers, kSamples, 0.02);
  for (int m = 0; m < kMarkers; ++m) {
    for (int s = 0; s < kSamples; ++s) {
      int& g = data.genotype[m][s];
      // A third of the markers rare (minor genotypes at about 1 in 12), a
      // third copies of the previous marker but at a few samples.
      if (m % 3 == 1 && g != 3 && (s * 7 + m) % 12 != 0) g = 0;
      if (m % 3 == 2 && (s + m) % 40 != 0) g = data.genotype[m - 1][s];
    }
  }
  // Two strata of 311 and 249 samples (segments ending inside words), the
  // first holding fewer cases, the second fewer controls: each counts
  // another class. Five of 112, which only the screens take, with case
  // shares from 0.3 to 0.7.
  std::vector<int> stratum_of(kSamples);
  for (const int strata : {2, 5}) {
    for (int s = 0; s < kSamples; ++s) {
      stratum_of[s] = strata == 2 ? (s % 9 < 5 ? 0 : 1) : s % 5;
      data.phenotype[s] = (s * 13 % 10) < (strata == 2 ? (stratum_of[s] == 0 ? 3 : 6) : 3 + stratum_of[s]);
    }
    for (const int method : {kMethodAvailable, kMethodComplete}) {
      for (const int rank : {kRankByIG, kRankByRIG, kRankBySynergy, kRankByP}) {
        for (const int threads : {1, 2}) {
          if (strata == 5 && (method != kMethodAvailable || threads != 2)) continue;
          SCOPED_TRACE(std::to_string(strata) + " strata, method " + std::to_string(method) + " rank " +
                       std::to_string(rank) + " threads " + std::to_string(threads));
          const auto maxima = [&](bool counted, SimdPath path) {
            SearchData prepared(data, method);
            SearchContext& context = prepared.context;
            context.settings.requested_threads = threads;
            context.settings.use_planes = counted;
            context.settings.simd = path;
            context.stratum_of = stratum_of.data();
            context.stratum_count = strata;
            BitPlanes planes;
            if (counted) {
              EXPECT_TRUE(buildPlanesFor(context, planes));
              context.planes = &planes;
            }
            StrataParts parts;
            EXPECT_TRUE(splitByStrata(context, threads, parts));
            context.strata = &parts;
            std::vector<double> single_gains;
            rankForSignificance(rank, context, single_gains);
            EXPECT_EQ(countsStratifiedPairsFromCountedRows(context, 2, kPermutations), counted);
            std::vector<double> out;
            EXPECT_TRUE(permutationMaxima(context, 2, PermutationPlan{kPermutations, 29}, out));
            return out;
          };
          const std::vector<double> plain = maxima(false, activeSimdPath());
          ASSERT_EQ(plain.size(), static_cast<std::size_t>(kPermutations));
          for (const SimdPath path : {SimdPath::kAvx2, SimdPath::kAvx512}) {
            if (!simdPathSupported(path)) continue;
            const std::vector<double> counted = maxima(true, path);
            ASSERT_EQ(counted.size(), plain.size());
            for (std::size_t r = 0; r < plain.size(); ++r) {
              EXPECT_TRUE(std::isfinite(plain[r])) << r;
              EXPECT_EQ(std::memcmp(&plain[r], &counted[r], sizeof(double)), 0)
                  << simdPathName(path) << " " << r << ": " << plain[r] << " vs " << counted[r];
            }
          }
        }
      }
    }
  }
}
