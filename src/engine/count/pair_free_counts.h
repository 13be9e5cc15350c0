// The free counts of pairs and triples of complete 3-level markers, the
// form in which the fused walks of orders 2 and 3 count and bound them.
//
// A table over complete markers has 2^k free cells per class: those below
// every marker's last level. The others follow from totals: for a pair,
// the markers' per-level totals and the classes'; for a triple, the counts
// of the pairs (first, third) and (second, third), the third marker's
// totals and those of the prefix rows. Only the free cells are counted: the
// rows of the first k - 1 markers below their last levels (R = 2^(k-1)
// rows) against levels 0 and 1 of the last marker. Last markers come four
// at a time (aligned to multiples of four), the words of their levels 0
// and 1 side by side so that one 256-bit load holds a word of four markers,
// and their counts go out eight combinations to a block, each count of the
// block's combinations in one 8-int row: the form a vector of eight
// bounds reads them in.
#ifndef GORVA_ENGINE_COUNT_PAIR_FREE_COUNTS_H
#define GORVA_ENGINE_COUNT_PAIR_FREE_COUNTS_H

#include <cstdint>

#include "engine/count/kernel_dispatch.h"

constexpr int kPairLanes = 4;  // last markers of one packed group
constexpr int kPairBlock = 8;  // combinations of one block of counts
constexpr int kMaxFreeRows = 4;

// Count k = 2 * (r + R m) + c: prefix row r, last-marker level m, class c
// (0 controls, 1 cases). A pair's row is its first marker's level l
// (cell l + 3 m), a triple's r = g0 + 2 g1 (cell g0 + 3 g1 + 9 m).
constexpr int freeCount(int rows, int r, int m, int c) { return 2 * (r + rows * m) + c; }
constexpr int pairFreeCount(int l, int m, int c) { return freeCount(2, l, m, c); }

// Pairs with a marker that misses genotypes are counted whole instead: the
// first marker's 3 levels as rows against the second marker's 3 levels (18
// counts, k = 2 * (l + 3 m) + c).
constexpr int kPairCounts = 8;
constexpr int kTripleCounts = 16;
constexpr int kWholePairCounts = 18;
constexpr int kMaxCounts = kWholePairCounts;

// Where combination p of a stretch (p from 0) keeps count k, with `per`
// counts per combination.
inline long freeCountAt(int per, long p, int k) {
  return static_cast<long>(per) * kPairBlock * (p / kPairBlock) + kPairBlock * k + p % kPairBlock;
}
inline long pairCountAt(long p, int k) { return freeCountAt(kPairCounts, p, k); }

// The levels of a marker a packed group holds.
constexpr int kPackedLevels = 3;

// Where markers' level rows lie: marker m's level l, row_words words, at
// planes + m * marker_stride_words + l * row_words.
struct MarkerRows {
  const std::uint64_t* planes = nullptr;
  long marker_stride_words = 0;
  int row_words = 0;
};

// Packs levels 0 .. levels - 1 of markers [first, first + 4 * groups)
// (markers at or after `end` are zero) into packed: word w of level l of
// group g's lane t at ((g * 3 + l) * row_words + w) * 4 + t. Only counts of
// whole pairs read level 2.
void packPairGroups(const MarkerRows& markers, int first, int end, int groups,
                    std::uint64_t* packed, int levels = kPackedLevels);

// One counting request: `row_count` prefix rows against levels 0 ..
// level_count - 1 of `groups` packed groups (2 x 2 for pairs, 4 x 2 for
// triples, 3 x 3 for whole pairs); group g's combinations are 4 g .. 4 g +
// 3 of `counts` (freeCountAt, 2 row_count level_count counts each).
struct PairCountRequest {
  const std::uint64_t* rows[kMaxFreeRows] = {nullptr, nullptr, nullptr, nullptr};
  int row_count = 2;
  int level_count = 2;
  const std::uint64_t* packed = nullptr;
  int groups = 0;
  int* counts = nullptr;
};

using PairCountKernel = void (*)(const PairCountRequest& request, const PlaneShape& shape);

// The portable version (the reference of the vector ones), AVX2's and
// AVX-512's.
void countPairFreeCellsScalar(const PairCountRequest& request, const PlaneShape& shape);
void countPairFreeCellsScalarPopcnt(const PairCountRequest& request, const PlaneShape& shape);
void countPairFreeCellsAvx2(const PairCountRequest& request, const PlaneShape& shape);
void countPairFreeCellsAvx512(const PairCountRequest& request, const PlaneShape& shape);

// Pairs of several first markers against the same packed groups, so that
// every word of the second markers loaded serves each of them: first marker
// f's levels 0 and 1 are rows[2 f] and rows[2 f + 1], its pairs' free counts
// go to counts[f] as a pair request's would (pairFreeCount).
constexpr int kMaxFirstMarkers = 4;
struct PairRowsRequest {
  const std::uint64_t* rows[2 * kMaxFirstMarkers] = {};
  int first_markers = 0;
  const std::uint64_t* packed = nullptr;
  int groups = 0;
  int* counts[kMaxFirstMarkers] = {};
};

using PairRowsKernel = void (*)(const PairRowsRequest& request, const PlaneShape& shape);

// AVX-512's (a path without one counts each first marker by its
// PairCountKernel).
void countPairRowsAvx512(const PairRowsRequest& request, const PlaneShape& shape);

// Totals a pair's table is completed from: the first marker's per-level
// ones (2 per level, class last), the second markers' levels 0 and 1 as
// four arrays over markers (second_levels[2 m + c][marker]) and the classes'.
struct PairTotals {
  const int* first_levels = nullptr;
  const int* second_levels[4] = {nullptr, nullptr, nullptr, nullptr};
  int controls = 0;
  int cases = 0;
};

// The full table (18 ints, countTable layout) of pair p of `counts` whose
// second marker is `second`; wholePairTable for whole counts.
void completePairTable(const int* counts, long p, const PairTotals& totals, int second,
                       int* table);
void wholePairTable(const int* counts, long p, int* table);

// A pair whose marker misses genotypes, counted by its free cells alone
// (pairCountAt layout), and what its other cells follow from: per class,
// the samples the first marker misses at each level of the second (B:
// b_sums[2 m + c][offset + p], m < 3) and the second at levels 0 and 1 of
// the first (A: a_sums[256 * (base + p) + 2 l + c]), beside both markers'
// level totals (the second's as six arrays over markers, level m and class
// c at [2 m + c]). Pair p's second marker is base + p.
struct PairFromFree {
  const int* free_counts = nullptr;
  const int* first_levels = nullptr;  // 2 per level, class last
  const int* second_levels[6] = {};
  int base = 0;
  const std::uint8_t* a_sums = nullptr;
  const std::uint8_t* b_sums[6] = {};
  long offset = 0;
};

// Pair p's full table (18 ints, countTable layout): per class, cell (l, 2)
// is what level l of the first marker leaves once the second's levels 0,
// 1 and its missing samples are taken; cell (2, m) the same from the
// second marker's side; cell (2, 2) what level 2 of the second leaves.
void completePairFromFree(const PairFromFree& pair, long p, int* table);

// Totals a triple's table is completed from: the prefix rows' (9 rows,
// class last), the third marker's levels 0 and 1 as for pairs, and the
// counts of the pairs (second, third) and (first, third) of the stretch's
// first third marker (PairCounts layout: 8 per pair, the next third
// marker's after them).
struct TripleTotals {
  const int* prefix_rows = nullptr;
  const int* third_levels[4] = {nullptr, nullptr, nullptr, nullptr};
  const std::uint32_t* second_third = nullptr;
  const std::uint32_t* first_third = nullptr;
};

// The full table (54 ints) of triple p of `counts`, the j-th of the
// stretch, whose third marker is `third`.
void completeTripleTable(const int* counts, long p, const TripleTotals& totals, int j, int third,
                         int* table);

#endif  // GORVA_ENGINE_COUNT_PAIR_FREE_COUNTS_H
