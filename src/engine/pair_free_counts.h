// The free counts of pairs of complete 3-level markers, the form in which
// the fused order-2 walk counts and bounds them.
//
// A pair's 3 x 3 table has 4 free cells per class: those below both
// markers' last level. The others follow from the markers' per-level
// totals and the class totals, so only these 8 counts are counted. Second
// markers come four at a time (aligned to multiples of four), the words of
// their levels 0 and 1 side by side so that one 256-bit load holds a word
// of four markers, and their counts go out eight pairs to a block, each
// count of the block's pairs in one 8-int row: the form a vector of eight
// pairs' bounds reads them in.
#ifndef GORVA_ENGINE_PAIR_FREE_COUNTS_H
#define GORVA_ENGINE_PAIR_FREE_COUNTS_H

#include <cstdint>

#include "engine/kernel_dispatch.h"

constexpr int kPairLanes = 4;        // second markers of one packed group
constexpr int kPairBlock = 8;        // pairs of one block of counts
constexpr int kPairFreeCounts = 8;   // counts per pair
constexpr int kPairBlockInts = kPairBlock * kPairFreeCounts;

// Count k = 2 * (l + 2 m) + c: first-marker level l, second-marker level m,
// class c (0 controls, 1 cases); the table cell is l + 3 m.
constexpr int pairFreeCount(int l, int m, int c) { return 2 * (l + 2 * m) + c; }

// Where pair p of a walk (p from 0) keeps count k.
inline long pairCountAt(long p, int k) {
  return kPairBlockInts * (p / kPairBlock) + kPairBlock * k + p % kPairBlock;
}

// Packs levels 0 and 1 of markers [first, first + 4 * groups) (each
// `marker_stride_words` apart from `planes`; markers at or after `end`
// are zero) into packed: word w of level l of group g's lane t at
// ((g * 2 + l) * row_words + w) * 4 + t.
void packPairGroups(const std::uint64_t* planes, long marker_stride_words, int row_words,
                    int first, int end, int groups, std::uint64_t* packed);

// One counting request: the first marker's levels 0 and 1 (row_words
// apart) against `groups` packed groups; group g's pairs are pairs 4 g ..
// 4 g + 3 of `counts` (pairCountAt).
struct PairCountRequest {
  const std::uint64_t* first_rows = nullptr;
  const std::uint64_t* packed = nullptr;
  int groups = 0;
  int* counts = nullptr;
};

using PairCountKernel = void (*)(const PairCountRequest& request, const PlaneShape& shape);

// The portable version (the reference of the vector one) and AVX2's.
void countPairFreeCellsScalar(const PairCountRequest& request, const PlaneShape& shape);
void countPairFreeCellsAvx2(const PairCountRequest& request, const PlaneShape& shape);

// The kernel of a path; null where the path counts tables whole.
PairCountKernel pairCountKernelFor(SimdPath path);

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
// second marker is `second`.
void completePairTable(const int* counts, long p, const PairTotals& totals, int second,
                       int* table);

#endif  // GORVA_ENGINE_PAIR_FREE_COUNTS_H
