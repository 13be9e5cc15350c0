// The order-2 tables of a search conditional on strata, every stratum's in
// one walk over a pair's words.
//
// Each marker's level rows hold the samples ordered by stratum, then class:
// the (stratum, class) segment 2 s + c is a whole number of words of its
// own, padded to one word only (the packed groups put four second markers
// in a vector, so a segment needs no vector of words). The rows are packed
// once per run, in one of two layouts: the nibble groups of
// nibble_pair_counts.h, for kernels whose popcount is a table lookup, or
// whole words (a group's three levels of one sample word together), for a
// vector popcount, which would otherwise join each word back from its two
// nibble rows. The count kernel walks a pair's words once and closes the
// sums of a segment at its last word, giving the 3 x 3 table of each
// stratum, missing genotypes in no cell.
#ifndef GORVA_ENGINE_COUNT_SEGMENTED_PAIR_COUNTS_H
#define GORVA_ENGINE_COUNT_SEGMENTED_PAIR_COUNTS_H

#include <cstdint>
#include <vector>

#include "engine/count/bitplanes.h"
#include "engine/count/pair_free_counts.h"

struct SegmentedPlanes {
  int strata = 0;
  int markers = 0;
  int row_words = 0;               // words of every segment together
  std::vector<int> segment_first;  // segment i's first word; one entry more: row_words
  // The segments cut into pieces of at most 31 words (a byte counter's
  // reach): piece i holds words [piece_first[i], piece_first[i + 1]) of
  // segment piece_segment[i], and adds to the pieces before it there when
  // piece_adds[i]. A segment of no words is one empty piece.
  std::vector<int> piece_first;
  std::vector<int> piece_segment;
  std::vector<unsigned char> piece_adds;
  bool nibbles = true;             // nibble rows, else whole words
  int record_words = 0;            // a group's words of one sample word
  long group_words = 0;            // words of one packed group of four markers
  // All markers' groups, one zero group more: word w of level l (nibble
  // row r) of lane t at w * record_words + 4 l + t (4 (2 l + r) + t).
  AlignedWords packed;
  // Markers complete in every stratum (none past the last marker): their
  // levels partition each segment, so that the table of two of them
  // follows from its four cells below both last levels, their levels 0
  // and 1 in the segment (marker m's level l in segment i at
  // level_totals[(2 i + l) * total_stride + m], room for a vector of eight
  // from any group on) and the segment's samples.
  std::vector<unsigned char> complete;
  std::vector<int> level_totals;
  long total_stride = 0;
  std::vector<int> segment_samples;
};

// Bytes buildSegmentedPlanes() takes at most for strata of these sample
// counts (each class's samples fill whole words of their own).
double segmentedPlanesBytesBound(long long marker_count, const std::vector<long long>& stratum_samples);

// Packs the strata's planes (3 levels, one per stratum, the same markers)
// into `out`, as nibble rows or whole words (`nibbles`: the layout the
// path's kernel reads, PathKernels::segmented_nibbles). False when a stratum's planes do not suit (levels, markers),
// or when the packed rows would take more than `max_bytes` or the memory
// could not be had; the stratified search then counts each stratum apart.
bool buildSegmentedPlanes(const std::vector<const BitPlanes*>& strata, double max_bytes, bool nibbles,
                          SegmentedPlanes& out);

// The counts of pairs (first, second_base + p), p < 4 groups, second_base a
// multiple of four: stratum s's at counts + s * stratum_ints, in the layout
// of whole pairs with pair p at slot segmentedPairSlot(p)
// (freeCountAt(kWholePairCounts, slot, 2 cell + class)); room for whole
// blocks of eight pairs. The AVX-512 kernel reads whole words, the others
// nibble rows.
struct SegmentedPairRequest {
  const SegmentedPlanes* planes = nullptr;
  int first = 0;
  int second_base = 0;
  int groups = 0;
  int* counts = nullptr;
  long stratum_ints = 0;
};
using SegmentedPairKernel = void (*)(const SegmentedPairRequest& request);
void countSegmentedPairsAvx2(const SegmentedPairRequest& request);
void countSegmentedPairsAvx512(const SegmentedPairRequest& request);
void countSegmentedPairsScalar(const SegmentedPairRequest& request);
void countSegmentedPairsScalarPopcnt(const SegmentedPairRequest& request);

// Where pair p of a request lies among its counts. Two groups' sums are
// joined in one vector without crossing its 128-bit halves (a shift, not a
// lane permute, which competes with the count's table lookups), so a block
// of eight pairs holds pair t of its first group beside pair t of its second.
inline long segmentedPairSlot(long p) {
  return p / kPairBlock * kPairBlock + 2 * (p % kPairLanes) + (p / kPairLanes) % 2;
}

// Ints a stratum's counts of `pairs` pairs take (whole blocks of eight).
long segmentedStratumInts(int pairs);

#endif  // GORVA_ENGINE_COUNT_SEGMENTED_PAIR_COUNTS_H
