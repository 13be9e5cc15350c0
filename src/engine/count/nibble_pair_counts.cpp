#include "engine/count/nibble_pair_counts.h"

#include <immintrin.h>

#include "engine/count/simd_targets.h"

namespace {

constexpr std::uint64_t kLowNibbles = 0x0F0F0F0F0F0F0F0FULL;

// Per byte, the counts of words [from, to) of one class for kGroups groups
// from `step` on: sums[j][a + kLevels b] (64-bit lanes) counts the first
// marker's level a AND level b of lane t of group j, for a, b < kLevels.
// One level of the first marker at a time: its two broadcasts live beside
// the byte counters and the table, and the second markers' words are read
// as memory operands, so nothing spills. Byte counters take at most 8 a
// word, so they fold into 64-bit lanes (VPSADBW) every 31 words.
template <int kLevels, int kGroups, int kFrom, int kTo>
GORVA_TARGET_AVX2 GORVA_INLINE void countStep(const std::uint64_t* rows, int row_words,
                                              const std::uint64_t* step, long group_words,
                                              int record_words, int from, int to,
                                              __m256i sums[kGroups][kLevels * kLevels]) {
  constexpr int kWordsPerByteSum = 31;
  constexpr int kCells = kLevels * kLevels;
  const int begin = kTo > 0 ? kFrom : from;
  const int end = kTo > 0 ? kTo : to;
  const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,  //
                                         0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i zero = _mm256_setzero_si256();
  for (int j = 0; j < kGroups; ++j)
    for (int cell = 0; cell < kCells; ++cell) sums[j][cell] = zero;
  for (int w0 = begin; w0 < end; w0 += kWordsPerByteSum) {
    const int w1 = w0 + kWordsPerByteSum < end ? w0 + kWordsPerByteSum : end;
    __m256i bytes[kGroups][kCells];
    for (int j = 0; j < kGroups; ++j)
      for (int cell = 0; cell < kCells; ++cell) bytes[j][cell] = zero;
#pragma GCC unroll 1
    for (int w = w0; w < w1; ++w) {
      for (int a = 0; a < kLevels; ++a) {
        const __m256i low_row = _mm256_set1_epi64x(static_cast<long long>(rows[(2L * a) * row_words + w]));
        const __m256i high_row =
            _mm256_set1_epi64x(static_cast<long long>(rows[(2L * a + 1) * row_words + w]));
        for (int j = 0; j < kGroups; ++j) {
          const __m256i* y = reinterpret_cast<const __m256i*>(step + j * group_words + static_cast<long>(record_words) * w);
          for (int b = 0; b < kLevels; ++b) {
            __m256i& count = bytes[j][a + kLevels * b];
            count = _mm256_add_epi8(
                count, _mm256_shuffle_epi8(table, _mm256_and_si256(low_row, _mm256_load_si256(y + 2 * b))));
            count = _mm256_add_epi8(
                count, _mm256_shuffle_epi8(table, _mm256_and_si256(high_row, _mm256_load_si256(y + 2 * b + 1))));
          }
        }
      }
    }
    for (int j = 0; j < kGroups; ++j)
      for (int cell = 0; cell < kCells; ++cell)
        sums[j][cell] = _mm256_add_epi64(sums[j][cell], _mm256_sad_epu8(bytes[j][cell], zero));
  }
}

// kLevels x kLevels cells, kGroups groups a step; kControlWords, kCaseWords:
// the shape fixed at compile time (0: the request's).
template <int kLevels, int kGroups, int kControlWords, int kCaseWords>
GORVA_TARGET_AVX2 void countNibblePairsFixed(const NibblePairRequest& q, const PlaneShape& shape) {
  constexpr int kCells = kLevels * kLevels;
  constexpr int kPer = 2 * kCells;  // counts a pair
  const int control_words = kCaseWords > 0 ? kControlWords : shape.control_words;
  const int row_words = kCaseWords > 0 ? kControlWords + kCaseWords : shape.rowWords();
  const long group_words = nibbleGroupWords(q.packed_levels, row_words);
  const int record_words = 2 * q.packed_levels * kPairLanes;
  // The low 32 bits of each 64-bit lane, in the low half.
  const __m256i low_halves = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  for (int g = 0; g < q.groups; g += kGroups) {
    const std::uint64_t* step = q.packed + g * group_words;
    __m256i sums[2][kGroups][kCells];
    countStep<kLevels, kGroups, 0, kControlWords>(q.rows, row_words, step, group_words, record_words,
                                                  0, control_words, sums[0]);
    countStep<kLevels, kGroups, kControlWords, kControlWords + kCaseWords>(
        q.rows, row_words, step, group_words, record_words, control_words, row_words, sums[1]);
    for (int c = 0; c < 2; ++c) {
      for (int cell = 0; cell < kCells; ++cell) {
        int* out = q.counts + freeCountAt(kPer, 4L * g, 2 * cell + c);
        if (kGroups == 2) {
          // Group g's pairs start a block of eight: its lanes, then the next group's.
          const __m256i both = _mm256_permute2x128_si256(
              _mm256_permutevar8x32_epi32(sums[c][0][cell], low_halves),
              _mm256_permutevar8x32_epi32(sums[c][kGroups - 1][cell], low_halves), 0x20);
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), both);
        } else {
          _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                           _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(sums[c][0][cell], low_halves)));
        }
      }
    }
  }
}

template <int kLevels, int kGroups>
GORVA_TARGET_AVX2 void countNibblePairsOf(const NibblePairRequest& q, const PlaneShape& shape) {
  if (shape.control_words == 16 && shape.case_words == 16) {
    countNibblePairsFixed<kLevels, kGroups, 16, 16>(q, shape);
  } else {
    countNibblePairsFixed<kLevels, kGroups, 0, 0>(q, shape);
  }
}

}  // namespace

void nibbleRows(const std::uint64_t* planes, int levels, int row_words, std::uint64_t* rows) {
  for (int l = 0; l < levels; ++l) {
    for (int w = 0; w < row_words; ++w) {
      const std::uint64_t x = planes[static_cast<long>(l) * row_words + w];
      rows[(2L * l) * row_words + w] = x & kLowNibbles;
      rows[(2L * l + 1) * row_words + w] = (x >> 4) & kLowNibbles;
    }
  }
}

long nibbleGroupWords(int levels, int row_words) {
  return static_cast<long>(row_words) * 2 * levels * kPairLanes;
}

long nibbleGroupsWords(int levels, int groups, int row_words) {
  return (groups + 1L) * nibbleGroupWords(levels, row_words);
}

void packNibbleGroups(const MarkerRows& markers, int levels, int first, int end, int groups,
                      std::uint64_t* packed) {
  const int row_words = markers.row_words;
  const int record_words = 2 * levels * kPairLanes;
  for (int g = 0; g <= groups; ++g) {
    for (int t = 0; t < kPairLanes; ++t) {
      const int marker = first + kPairLanes * g + t;
      const bool real = g < groups && marker < end;
      const std::uint64_t* planes = real ? markers.planes + marker * markers.marker_stride_words : nullptr;
      std::uint64_t* out = packed + g * nibbleGroupWords(levels, row_words) + t;
      for (int w = 0; w < row_words; ++w) {
        for (int l = 0; l < levels; ++l) {
          const std::uint64_t x = real ? planes[static_cast<long>(l) * row_words + w] : 0;
          out[static_cast<long>(record_words) * w + 2 * l * kPairLanes] = x & kLowNibbles;
          out[static_cast<long>(record_words) * w + (2 * l + 1) * kPairLanes] = (x >> 4) & kLowNibbles;
        }
      }
    }
  }
}

GORVA_TARGET_AVX2 void countNibblePairsAvx2(const NibblePairRequest& q, const PlaneShape& shape) {
  if (q.whole) {
    countNibblePairsOf<3, 1>(q, shape);
  } else {
    countNibblePairsOf<2, 2>(q, shape);
  }
}

