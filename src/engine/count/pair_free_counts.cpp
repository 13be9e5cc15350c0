#include "engine/count/pair_free_counts.h"

#include <algorithm>

#include "engine/count/simd_targets.h"

void packPairGroups(const MarkerRows& markers, int first, int end, int groups,
                    std::uint64_t* packed, int levels) {
  const std::uint64_t* planes = markers.planes;
  const long marker_stride_words = markers.marker_stride_words;
  const int row_words = markers.row_words;
  for (int g = 0; g < groups; ++g) {
    for (int t = 0; t < kPairLanes; ++t) {
      const int marker = first + kPairLanes * g + t;
      for (int l = 0; l < levels; ++l) {
        std::uint64_t* out = packed + (static_cast<long>(g) * kPackedLevels + l) * row_words * kPairLanes + t;
        if (marker >= end) {
          for (int w = 0; w < row_words; ++w) out[w * kPairLanes] = 0;
          continue;
        }
        const std::uint64_t* row = planes + marker * marker_stride_words + static_cast<long>(l) * row_words;
        for (int w = 0; w < row_words; ++w) out[w * kPairLanes] = row[w];
      }
    }
  }
}

namespace {

// Adds, for each lane t of a packed level, popcount(row AND lane t) over
// words [from, to) to sums[t]: the four lanes of a word lie side by side.
// Inlined into each build, where the builtin becomes that build's popcount.
__attribute__((always_inline)) inline void addLanePopcounts(const std::uint64_t* row,
                                                            const std::uint64_t* level, int from,
                                                            int to, int* sums) {
  for (int w = from; w < to; ++w) {
    const std::uint64_t x = row[w];
    const std::uint64_t* lanes = level + static_cast<long>(w) * kPairLanes;
    for (int t = 0; t < kPairLanes; ++t) sums[t] += __builtin_popcountll(x & lanes[t]);
  }
}

__attribute__((always_inline)) inline void countPairFreeCellsWith(const PairCountRequest& q,
                                                                  const PlaneShape& shape) {
  const int row_words = shape.rowWords();
  const int per = 2 * q.row_count * q.level_count;
  for (int g = 0; g < q.groups; ++g) {
    const std::uint64_t* group = q.packed + static_cast<long>(g) * kPackedLevels * row_words * kPairLanes;
    for (int r = 0; r < q.row_count; ++r) {
      for (int m = 0; m < q.level_count; ++m) {
        const std::uint64_t* level = group + static_cast<long>(m) * row_words * kPairLanes;
        int sums[2][kPairLanes] = {};
        addLanePopcounts(q.rows[r], level, 0, shape.control_words, sums[0]);
        addLanePopcounts(q.rows[r], level, shape.control_words, row_words, sums[1]);
        for (int t = 0; t < kPairLanes; ++t) {
          for (int c = 0; c < 2; ++c)
            q.counts[freeCountAt(per, kPairLanes * g + t, freeCount(q.row_count, r, m, c))] = sums[c][t];
        }
      }
    }
  }
}

}  // namespace

void countPairFreeCellsScalar(const PairCountRequest& q, const PlaneShape& shape) {
  countPairFreeCellsWith(q, shape);
}

GORVA_TARGET_POPCNT void countPairFreeCellsScalarPopcnt(const PairCountRequest& q, const PlaneShape& shape) {
  countPairFreeCellsWith(q, shape);
}

void completePairTable(const int* counts, long p, const PairTotals& totals, int second,
                       int* table) {
  for (int c = 0; c < 2; ++c) {
    int last_last = c == 0 ? totals.controls : totals.cases;  // cell (2, 2)
    for (int l = 0; l < 2; ++l) {
      int rest = totals.first_levels[2 * l + c];  // cell (l, 2)
      for (int m = 0; m < 2; ++m) {
        const int x = counts[pairCountAt(p, pairFreeCount(l, m, c))];
        table[2 * (l + 3 * m) + c] = x;
        rest -= x;
      }
      table[2 * (l + 6) + c] = rest;
      last_last -= totals.first_levels[2 * l + c];
    }
    for (int m = 0; m < 2; ++m) {
      const int cell = 2 + 3 * m;  // (2, m)
      table[2 * cell + c] = totals.second_levels[2 * m + c][second] - table[2 * (3 * m) + c] -
                            table[2 * (1 + 3 * m) + c];
      last_last -= table[2 * cell + c];
    }
    table[2 * 8 + c] = last_last;
  }
}

void completePairFromFree(const PairFromFree& r, long p, int* table) {
  const long j = r.offset + p;
  const long m = r.base + p;
  for (int c = 0; c < 2; ++c) {
    const auto free = [&](int l, int n) { return r.free_counts[pairCountAt(p, pairFreeCount(l, n, c))]; };
    int* cell = table + c;  // cell e at cell[2 e]
    for (int l = 0; l < 2; ++l) {
      for (int n = 0; n < 2; ++n) cell[2 * (l + 3 * n)] = free(l, n);
      cell[2 * (l + 6)] = r.first_levels[2 * l + c] - free(l, 0) - free(l, 1) - r.a_sums[256 * m + 2 * l + c];
    }
    for (int n = 0; n < 2; ++n)
      cell[2 * (2 + 3 * n)] = r.second_levels[2 * n + c][m] - free(0, n) - free(1, n) - r.b_sums[2 * n + c][j];
    cell[2 * 8] = r.second_levels[4 + c][m] - cell[2 * 6] - cell[2 * 7] - r.b_sums[4 + c][j];
  }
}

void wholePairTable(const int* counts, long p, int* table) {
  for (int k = 0; k < kWholePairCounts; ++k) table[k] = counts[freeCountAt(kWholePairCounts, p, k)];
}

void completeTripleTable(const int* counts, long p, const TripleTotals& totals, int j, int third,
                         int* table) {
  constexpr int kPairInts = 8;  // a pair's counts below both last levels
  const std::uint32_t* jk = totals.second_third + static_cast<long>(j) * kPairInts;
  const std::uint32_t* ik = totals.first_third + static_cast<long>(j) * kPairInts;
  for (int c = 0; c < 2; ++c) {
    for (int g2 = 0; g2 < 2; ++g2) {
      int* at = table + 18 * g2 + c;  // cell (g0, g1) at at[2 * (g0 + 3 g1)]
      int corner = totals.third_levels[2 * g2 + c][third];
      for (int g1 = 0; g1 < 2; ++g1) {
        const int pair = static_cast<int>(jk[2 * (g1 + 2 * g2) + c]);
        int rest = pair;
        for (int g0 = 0; g0 < 2; ++g0) {
          const int x = counts[freeCountAt(kTripleCounts, p, freeCount(4, g0 + 2 * g1, g2, c))];
          at[2 * (g0 + 3 * g1)] = x;
          rest -= x;
        }
        at[2 * (2 + 3 * g1)] = rest;
        corner -= pair;
      }
      for (int g0 = 0; g0 < 2; ++g0) {
        const int rest = static_cast<int>(ik[2 * (g0 + 2 * g2) + c]) - at[2 * g0] - at[2 * (g0 + 3)];
        at[2 * (g0 + 6)] = rest;
        corner -= rest;
      }
      at[2 * 8] = corner;
    }
    // The third marker's last level: what its other levels leave of each
    // prefix row.
    for (int r = 0; r < 9; ++r)
      table[36 + 2 * r + c] = totals.prefix_rows[2 * r + c] - table[2 * r + c] - table[18 + 2 * r + c];
  }
}
