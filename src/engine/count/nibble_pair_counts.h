// The order-2 walk's counting at the limit of an AVX2 core: the cells of
// pairs of markers, counted from rows stored as nibbles, in the layout
// pair_free_counts.h defines (the four free cells of pairs of complete
// markers, or all nine of a pair with a marker missing genotypes).
//
// Without a vector popcount each byte's bits are counted by a 16-entry
// table lookup (VPSHUFB) per nibble. A word split once into its low
// nibbles (x & 0x0F..) and high ones ((x >> 4) & 0x0F..) needs no shift
// and no mask per count, since (x AND y) & 0x0F.. = (x & 0x0F..) AND (y &
// 0x0F..): a cell costs two AND, two lookups and two byte adds per 256
// bits instead of eight instructions. The first marker's nibble rows are
// broadcast word by word against packed groups of four second markers (two
// groups at a time for the four free cells), and the byte counters of a
// step stay in registers across the words of a class.
#ifndef GORVA_ENGINE_COUNT_NIBBLE_PAIR_COUNTS_H
#define GORVA_ENGINE_COUNT_NIBBLE_PAIR_COUNTS_H

#include <cstdint>

#include "engine/count/kernel_dispatch.h"
#include "engine/count/pair_free_counts.h"

// Nibble rows of a marker's levels: level l's low nibbles at 2 l, its high
// ones at 2 l + 1. A block is packed with 2 levels, or 3 when some pair
// of it is counted whole.
constexpr int kMaxNibbleLevels = 3;
constexpr int kMaxNibbleRows = 2 * kMaxNibbleLevels;

// Writes the nibble rows of a marker's first `levels` levels (`planes`,
// row_words apart) into rows: row r at rows + r * row_words.
void nibbleRows(const std::uint64_t* planes, int levels, int row_words, std::uint64_t* rows);

// Words of one packed group of `levels` levels, and those a block of
// `groups` groups takes: one group more, zero, for a step that starts at
// the last group.
long nibbleGroupWords(int levels, int row_words);
long nibbleGroupsWords(int levels, int groups, int row_words);

// Packs the first `levels` levels of markers [first, first + 4 * groups)
// (markers at or after `end`, and the extra group, zero) as nibble rows:
// word w of nibble row r of group g's lane t at ((g * row_words + w) * 2 *
// levels + r) * 4 + t: a group's words of one sample word lie together.
void packNibbleGroups(const MarkerRows& markers, int levels, int first, int end, int groups,
                      std::uint64_t* packed);

// One request: the first marker's nibble rows against `groups` packed
// groups of packed_levels levels. whole: all 3 x 3 cells (kWholePairCounts
// a pair, freeCountAt), the rows then of 3 levels; otherwise the 2 x 2 free
// cells (pairCountAt). Group g's pairs are 4 g .. 4 g + 3 of `counts`,
// which must have room for whole blocks of eight pairs.
struct NibblePairRequest {
  const std::uint64_t* rows = nullptr;
  const std::uint64_t* packed = nullptr;
  int packed_levels = 2;
  bool whole = false;
  int groups = 0;
  int* counts = nullptr;
};

using NibblePairKernel = void (*)(const NibblePairRequest& request, const PlaneShape& shape);

void countNibblePairsAvx2(const NibblePairRequest& request, const PlaneShape& shape);

#endif  // GORVA_ENGINE_COUNT_NIBBLE_PAIR_COUNTS_H
