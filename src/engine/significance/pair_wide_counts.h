// The permutations' free cells of pairs, eight second markers to a packed
// group: as wide as an AVX-512 register, so that one AND, VPOPCNTQ and add
// serve eight pairs where the four-lane groups of pair_free_counts.h serve
// four. On this CPU family the wide register runs the same bits through
// the same units but takes half the instructions, and the counting runs
// faster for it. Only levels 0 and 1 of a second marker are packed: the
// free cells are all a permutation's walk counts.
#ifndef GORVA_ENGINE_SIGNIFICANCE_PAIR_WIDE_COUNTS_H
#define GORVA_ENGINE_SIGNIFICANCE_PAIR_WIDE_COUNTS_H

#include <cstdint>

#include "engine/count/bitplanes.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/count/pair_free_counts.h"

constexpr int kWideLanes = 8;
// Words of a row that four 512-bit registers hold.
constexpr int kWideRowWords = 32;
constexpr int kWideLevels = 2;

// Words a group of eight markers takes.
inline long wideGroupWords(int row_words) { return static_cast<long>(kWideLevels) * row_words * kWideLanes; }

// Packs levels 0 and 1 of markers [first, first + 8 groups) (markers at or
// after `end` are zero): word w of level l of group g's lane t at ((g * 2 +
// l) * row_words + w) * 8 + t. `packed` aligned to 64 bytes; AVX-512 only,
// as the kernel that reads them.
void packWideGroups(const MarkerRows& markers, int first, int end, int groups,
                    std::uint64_t* packed);

// Every marker of `planes` packed as packWideGroups packs a block of them,
// from marker 0 on, with a group of zeros past the last (which a kernel may
// read): for walks that would otherwise pack the same groups again for
// every block of pairs. AVX-512 only. False when memory is short.
bool packAllWideGroups(const BitPlanes& planes, AlignedWords& packed);

// Per lane of a wide group (eight markers, rows of row_words words), bit i
// of out[l] set when the marker has level l (0 or 1) at gap i of [gap,
// end), at most 64 gaps. AVX-512 only.
void wideLevelMasksAtGaps(const std::uint64_t* group, int row_words, const std::uint32_t* gap,
                          const std::uint32_t* end, std::uint64_t out[2][kWideLanes]);

// Counts the free cells of up to kMaxFirstMarkers first markers against
// `groups` wide groups (request.packed from packWideGroups): first marker
// f's pairs with group g's markers are pairs 8 g .. 8 g + 7 of counts[f],
// in the layout of pairCountAt.
using WideCountKernel = void (*)(const PairRowsRequest& request, const PlaneShape& shape);
void countWideFreeCellsAvx512(const PairRowsRequest& request, const PlaneShape& shape);
// The kernel of a path; null where it has none (no vector popcount on
// 512-bit registers), and the four-lane groups are counted instead.
WideCountKernel wideCountKernel(SimdPath path);

#endif  // GORVA_ENGINE_SIGNIFICANCE_PAIR_WIDE_COUNTS_H
