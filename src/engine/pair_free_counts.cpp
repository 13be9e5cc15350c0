#include "engine/pair_free_counts.h"

#include <algorithm>
#include <bit>

void packPairGroups(const std::uint64_t* planes, long marker_stride_words, int row_words,
                    int first, int end, int groups, std::uint64_t* packed) {
  for (int g = 0; g < groups; ++g) {
    for (int t = 0; t < kPairLanes; ++t) {
      const int marker = first + kPairLanes * g + t;
      for (int l = 0; l < 2; ++l) {
        std::uint64_t* out = packed + (static_cast<long>(g) * 2 + l) * row_words * kPairLanes + t;
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

void countPairFreeCellsScalar(const PairCountRequest& q, const PlaneShape& shape) {
  const int row_words = shape.rowWords();
  for (int g = 0; g < q.groups; ++g) {
    const std::uint64_t* group = q.packed + static_cast<long>(g) * 2 * row_words * kPairLanes;
    for (int t = 0; t < kPairLanes; ++t) {
      for (int l = 0; l < 2; ++l) {
        for (int m = 0; m < 2; ++m) {
          const std::uint64_t* a = q.first_rows + static_cast<long>(l) * row_words;
          const std::uint64_t* b = group + static_cast<long>(m) * row_words * kPairLanes + t;
          int count[2] = {0, 0};
          for (int w = 0; w < row_words; ++w)
            count[w < shape.control_words ? 0 : 1] += std::popcount(a[w] & b[w * kPairLanes]);
          for (int c = 0; c < 2; ++c)
            q.counts[pairCountAt(kPairLanes * g + t, pairFreeCount(l, m, c))] = count[c];
        }
      }
    }
  }
}

PairCountKernel pairCountKernelFor(SimdPath path) {
  return path == SimdPath::kAvx2 ? countPairFreeCellsAvx2 : nullptr;
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
