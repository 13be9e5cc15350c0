// Pairs whose markers miss a few genotypes, counted nearly as cheaply as
// complete ones. Their whole table has nine cells per class, but only the
// four below both markers' last levels need counting over every sample
// (they are the complete pairs' free cells); the others follow from the
// markers' level totals once we know, per class, how many samples one
// marker misses at each level of the other:
//   A_l = |level l of the first  AND missing at the second|   (l = 0, 1)
//   B_m = |missing at the first  AND level m of the second|   (m = 0, 1, 2)
// Those involve only the few missing samples, so they are summed over
// each marker's missing samples from the other markers' bits at those
// samples: the level rows of a block of second markers (and of a group's
// first markers) turned sample-major, one bit per marker, and added a
// row per missing sample into byte counters. A marker serves when it
// misses at most 255 samples of each class (a byte counter's reach);
// others are counted whole.
#ifndef GORVA_ENGINE_COUNT_MISSING_PAIR_COUNTS_H
#define GORVA_ENGINE_COUNT_MISSING_PAIR_COUNTS_H

#include <cstdint>
#include <vector>

#include "engine/count/bitplanes.h"
#include "engine/count/pair_free_counts.h"

// counters[l * counter_step + i] += bit i of rows[s * row_stride + l +
// (i / 64) * word_step] for each s in positions[0 .. count), level l <
// levels (at most 3), i < 64 * words. Counters wrap past 255: callers keep
// counts below that.
struct BitRowSums {
  const std::uint64_t* rows = nullptr;
  long row_stride = 0;
  int levels = 1;
  long word_step = 0;
  const int* positions = nullptr;
  int count = 0;
  int words = 0;
  std::uint8_t* counters = nullptr;
  long counter_step = 0;
};
using BitRowSumKernel = void (*)(const BitRowSums& request);
void sumBitRowsScalar(const BitRowSums& request);
void sumBitRowsAvx2(const BitRowSums& request);
void sumBitRowsAvx512(const BitRowSums& request);

// sums[e * 64 + lane] into quads[lane * 4 + e], e < 4.
using QuadLanesKernel = void (*)(const std::uint8_t* sums, std::uint8_t* quads);
void quadLanesScalar(const std::uint8_t* sums, std::uint8_t* quads);
void quadLanesAvx2(const std::uint8_t* sums, std::uint8_t* quads);
void quadLanesAvx512(const std::uint8_t* sums, std::uint8_t* quads);

// Transposes a 64 x 64 bit matrix in place: bit t of word i trades places
// with bit i of word t.
using TransposeBitsKernel = void (*)(std::uint64_t* block);
void transposeBitsScalar(std::uint64_t* block);
void transposeBitsAvx512(std::uint64_t* block);

struct MissingPairKernels {
  BitRowSumKernel sum_bit_rows = nullptr;
  QuadLanesKernel quad_lanes = nullptr;
  TransposeBitsKernel transpose_bits = transposeBitsScalar;
};

// The most the walk holds beside the planes (per counter); larger inputs
// count such pairs whole.
constexpr double kMissingPairBytes = 128.0 * 1024 * 1024;

// What the walk reads of every marker and never changes: the markers' bits
// turned sample-major (two layouts) and each serving marker's missing
// samples. Built once for a search and read by all its threads.
class MissingSampleRows {
 public:
  // Builds them over `planes` when it is worth it: some marker misses
  // genotypes, and the rows and missing samples fit in `max_bytes`. False
  // (and nothing is held) otherwise. `threads` share the transposition.
  bool build(const BitPlanes& planes, const MissingPairKernels& kernels, double max_bytes,
             int threads = 1);
  bool built() const { return planes_ != nullptr; }
  const BitPlanes& planes() const { return *planes_; }
  // Whether marker m serves: complete, or missing at most 255 samples of
  // each class.
  bool serves(int marker) const { return serves_[marker] != 0; }
  static bool serves(const BitPlanes& planes, int marker);
  // What build() holds at most for these planes' shape.
  static double bytesBound(double marker_count, double row_words, double max_bytes);

  const int* missingAt(int marker, int c, int* count) const {
    const long at = missing_from_[2L * marker + c];
    *count = static_cast<int>(missing_from_[2L * marker + c + 1] - at);
    return missing_.data() + at;
  }
  // Every marker's bits at sample position s, level l: 64 markers a word,
  // at sampleRows()[((marker / 64) * positions() + s) * 3 + l], so that
  // one word of markers is a slab a walk over it keeps in cache.
  const std::uint64_t* sampleRows() const { return sample_rows_.data(); }
  // The same at positionRows()[(s * markerWords() + marker / 64) * 3 + l]:
  // a stretch of markers' bits at one position in a few cache lines.
  const std::uint64_t* positionRows() const { return position_rows_.data(); }
  int markerWords() const { return marker_words_; }
  int positions() const { return positions_; }

 private:
  const BitPlanes* planes_ = nullptr;
  std::vector<unsigned char> serves_;
  AlignedWords sample_rows_;
  AlignedWords position_rows_;
  int marker_words_ = 0;
  int positions_ = 0;
  // The missing sample positions of each serving marker, controls then
  // cases: marker m's class c from missing_from_[2 m + c].
  std::vector<int> missing_;
  std::vector<long> missing_from_;
};

class MissingPairCounts {
 public:
  // Readies the walk over `rows` (built over the planes the walk counts),
  // or over rows of its own built like MissingSampleRows::build when
  // `rows` is null. False (and nothing is held) when there are none.
  bool prepare(const BitPlanes& planes, const MissingPairKernels& kernels, double max_bytes,
               const MissingSampleRows* rows = nullptr);
  bool serves(int marker) const { return rows_->serves(marker); }
  // What prepare() holds at most for these planes' shape, with the rows
  // (own_rows) or without them (shared ones).
  static double bytesBound(double marker_count, double row_words, double block_markers,
                           double max_bytes, bool own_rows = true);

  // The block of second markers [first, last] the walk is at.
  void startBlock(int first, int last);

  // What completes the pairs of first marker `first` with second markers
  // base, base + 1, ... (within the block) from their free counts: valid
  // until the next call.
  const PairFromFree& pairsFromFree(int first, int base, const int* free_counts,
                                    const int* const second_levels[6]);
  // Starts loading the sample-major rows pairsFromFree(first, ...) will sum
  // over the block: the rows of a few scattered samples, which the walk
  // would otherwise wait for from memory while counting nothing.
  void prefetchFirstSums(int first) const;

 private:
  // A of `marker` against the 64 first markers of `chunk`.
  void fillChunkSums(int marker, int chunk);
  // B of `first` over the block, and A of the block's markers against its
  // chunk.
  void buildFirstSums(int first);

  MissingSampleRows own_rows_;
  const MissingSampleRows* rows_ = nullptr;
  MissingPairKernels kernels_;
  int first_word_ = 0;  // the block's first and last marker words, and its markers
  int last_word_ = 0;
  int block_first_ = 0;
  int block_last_ = 0;
  // A of each marker against the 64 first markers of chunk_of_[marker]:
  // chunk_sums_[256 * marker + 4 lane + 2 l + c], a first marker's four
  // in one word.
  std::vector<std::uint8_t> chunk_sums_;
  std::vector<int> chunk_of_;
  int block_chunk_ = -1;  // the chunk every marker of the block has its A against, if any
  int first_ready_ = -1;  // the first marker first_sums_ is of
  // The 6 rows of B over the block's marker words.
  std::vector<std::uint8_t> first_sums_;
  PairFromFree pairs_;
};

#endif  // GORVA_ENGINE_COUNT_MISSING_PAIR_COUNTS_H
