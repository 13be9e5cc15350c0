// The AVX2 kernel: 256-bit AND, population count by a nibble lookup table
// (VPSHUFB) summed into 64-bit lanes by VPSADBW. For the vector counts of
// balanced designs up to 4,000 samples the loops are fixed at compile time
// and two rows are counted against each level at once: their four counts
// (two cells of two classes, consecutive in the table) come out of one
// transposing sum and one store. Counting is most of the search's time on
// this path, so the per-count horizontal sums and loop control matter.
#include <immintrin.h>

#include <cstdint>

#include "engine/count/avx2_popcount.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/count/pair_free_counts.h"
#include "engine/count/simd_targets.h"

namespace {

// Per byte, the number of set bits of x AND y (0-8).
GORVA_TARGET_AVX2 GORVA_INLINE __m256i andPopcountBytes(const std::uint64_t* a, const std::uint64_t* b) {
  return popcountBytes(_mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a)),
                                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b))));
}

// Sum of popcount(a AND b) over `vectors` 256-bit vectors. Byte counts add
// up over up to 31 vectors (at most 248 per byte) before one VPSADBW turns
// them into 64-bit lanes.
GORVA_TARGET_AVX2 inline std::uint32_t andPopcount(const std::uint64_t* a, const std::uint64_t* b,
                                            int vectors) {
  constexpr int kVectorsPerByteSum = 31;
  __m256i sum = _mm256_setzero_si256();
  for (int first = 0; first < vectors; first += kVectorsPerByteSum) {
    const int end = first + kVectorsPerByteSum < vectors ? first + kVectorsPerByteSum : vectors;
    __m256i bytes = _mm256_setzero_si256();
    for (int v = first; v < end; ++v)
      bytes = _mm256_add_epi8(bytes, andPopcountBytes(a + 4 * v, b + 4 * v));
    sum = _mm256_add_epi64(sum, _mm256_sad_epu8(bytes, _mm256_setzero_si256()));
  }
  const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
  return static_cast<std::uint32_t>(_mm_cvtsi128_si64(half) + _mm_extract_epi64(half, 1));
}

// Lane i of the result is the sum of the four 64-bit lanes of s[i]; every
// sum fits 32 bits.
GORVA_TARGET_AVX2 GORVA_INLINE __m256i sumEachOfFour(__m256i s0, __m256i s1, __m256i s2, __m256i s3) {
  const __m256i pairs01 = _mm256_add_epi64(_mm256_unpacklo_epi64(s0, s1), _mm256_unpackhi_epi64(s0, s1));
  const __m256i pairs23 = _mm256_add_epi64(_mm256_unpacklo_epi64(s2, s3), _mm256_unpackhi_epi64(s2, s3));
  return _mm256_add_epi64(_mm256_permute2x128_si256(pairs01, pairs23, 0x20),
                          _mm256_permute2x128_si256(pairs01, pairs23, 0x31));
}

// popcount(a AND b) per 64-bit lane over kVectors vectors (at most 31).
template <int kVectors>
GORVA_TARGET_AVX2 GORVA_INLINE __m256i andPopcountLanes(const std::uint64_t* a, const std::uint64_t* b) {
  __m256i bytes = _mm256_setzero_si256();
#pragma GCC unroll 8
  for (int v = 0; v < kVectors; ++v) bytes = _mm256_add_epi8(bytes, andPopcountBytes(a + 4 * v, b + 4 * v));
  return _mm256_sad_epu8(bytes, _mm256_setzero_si256());
}

template <int kControlVectors, int kCaseVectors>
GORVA_TARGET_AVX2 void countFixedVectors(const CountRequest& q, const PlaneShape&) {
  constexpr int kCaseOffset = 4 * kControlVectors;
  constexpr long kRowWords = 4 * (kControlVectors + kCaseVectors);
  // The low 32 bits of each 64-bit lane, in the low half.
  const __m256i low_halves = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  const __m256i zero = _mm256_setzero_si256();
  for (int m = 0; m < q.marker_count; ++m) {
    const std::uint64_t* levels = q.planes + m * q.marker_stride_words;
    std::uint32_t* out = q.counts + static_cast<long>(m) * q.counts_per_marker;
    for (int l = 0; l < q.level_count; ++l) {
      const std::uint64_t* level = levels + l * kRowWords;
      std::uint32_t* cells = out + 2L * l * q.level_step;
      int r = 0;
      for (; r + 2 <= q.row_count; r += 2) {
        const std::uint64_t* row = q.rows + r * kRowWords;
        const __m256i sums = sumEachOfFour(
            andPopcountLanes<kControlVectors>(row, level),
            andPopcountLanes<kCaseVectors>(row + kCaseOffset, level + kCaseOffset),
            andPopcountLanes<kControlVectors>(row + kRowWords, level),
            andPopcountLanes<kCaseVectors>(row + kRowWords + kCaseOffset, level + kCaseOffset));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cells + 2 * r),
                         _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(sums, low_halves)));
      }
      if (r < q.row_count) {
        const std::uint64_t* row = q.rows + r * kRowWords;
        const __m256i sums = sumEachOfFour(
            andPopcountLanes<kControlVectors>(row, level),
            andPopcountLanes<kCaseVectors>(row + kCaseOffset, level + kCaseOffset), zero, zero);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(cells + 2 * r),
                         _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(sums, low_halves)));
      }
    }
  }
}

using Kernel = void (*)(const CountRequest&, const PlaneShape&);

// A key names one shape only while both counts are below kKeyedVectors: a
// class of thousands beside one of hundreds would otherwise take another
// shape's kernel.
constexpr int kKeyedVectors = 64;
constexpr int shapeKey(int control_vectors, int case_vectors) {
  return control_vectors * kKeyedVectors + case_vectors;
}

// The compiled vector counts (4-word vectors): classes of up to 2,048
// samples whose sizes differ by at most 512 (rows of whole 8-word blocks),
// and the odd counts of up to 768 samples a class that planes padded to
// 4 words (strata) bring; null for any other shape.
Kernel fixedVectorsKernel(int control_vectors, int case_vectors) {
  if (control_vectors >= kKeyedVectors || case_vectors >= kKeyedVectors) return nullptr;
  switch (shapeKey(control_vectors, case_vectors)) {
    case shapeKey(1, 1):
      return countFixedVectors<1, 1>;
    case shapeKey(1, 2):
      return countFixedVectors<1, 2>;
    case shapeKey(2, 1):
      return countFixedVectors<2, 1>;
    case shapeKey(2, 3):
      return countFixedVectors<2, 3>;
    case shapeKey(3, 2):
      return countFixedVectors<3, 2>;
    case shapeKey(3, 3):
      return countFixedVectors<3, 3>;
    case shapeKey(2, 2):
      return countFixedVectors<2, 2>;
    case shapeKey(2, 4):
      return countFixedVectors<2, 4>;
    case shapeKey(4, 2):
      return countFixedVectors<4, 2>;
    case shapeKey(4, 4):
      return countFixedVectors<4, 4>;
    case shapeKey(4, 6):
      return countFixedVectors<4, 6>;
    case shapeKey(6, 4):
      return countFixedVectors<6, 4>;
    case shapeKey(6, 6):
      return countFixedVectors<6, 6>;
    case shapeKey(6, 8):
      return countFixedVectors<6, 8>;
    case shapeKey(8, 6):
      return countFixedVectors<8, 6>;
    case shapeKey(8, 8):
      return countFixedVectors<8, 8>;
    default:
      return nullptr;
  }
}

// The free counts of four combinations over words [from, to) of one
// class: lane t of sums[r + kRows m] counts prefix row r AND level m of last
// marker t. The prefix row's word is broadcast, so no count needs a
// horizontal sum; byte counts add up over at most 31 words before one
// VPSADBW.
template <int kRows, int kLevels, int kFrom, int kTo>
GORVA_TARGET_AVX2 GORVA_INLINE void countFourLastMarkers(const std::uint64_t* const* rows,
                                                  const std::uint64_t* group, long level_words,
                                                  int from, int to, __m256i* sums) {
  constexpr int kWordsPerByteSum = 31;
  const int begin = kTo > 0 ? kFrom : from;
  const int end = kTo > 0 ? kTo : to;
  const __m256i zero = _mm256_setzero_si256();
  constexpr int kSums = kRows * kLevels;
  for (int s = 0; s < kSums; ++s) sums[s] = zero;
  for (int w0 = begin; w0 < end; w0 += kWordsPerByteSum) {
    const int w1 = w0 + kWordsPerByteSum < end ? w0 + kWordsPerByteSum : end;
    __m256i bytes[kSums];
    for (int s = 0; s < kSums; ++s) bytes[s] = zero;
#pragma GCC unroll 2
    for (int w = w0; w < w1; ++w) {
      __m256i b[kLevels];
      for (int m = 0; m < kLevels; ++m)
        b[m] = _mm256_load_si256(reinterpret_cast<const __m256i*>(group + m * level_words + 4L * w));
      for (int r = 0; r < kRows; ++r) {
        const __m256i a = _mm256_set1_epi64x(static_cast<long long>(rows[r][w]));
        for (int m = 0; m < kLevels; ++m)
          bytes[r + kRows * m] =
              _mm256_add_epi8(bytes[r + kRows * m], popcountBytes(_mm256_and_si256(a, b[m])));
      }
    }
    for (int s = 0; s < kSums; ++s) sums[s] = _mm256_add_epi64(sums[s], _mm256_sad_epu8(bytes[s], zero));
  }
}

// kControlWords, kCaseWords: the shape fixed at compile time (0: read from
// the request's shape).
template <int kRows, int kLevels, int kControlWords, int kCaseWords>
GORVA_TARGET_AVX2 void countFreeCellsFixed(const PairCountRequest& q, const PlaneShape& shape) {
  constexpr int kSums = kRows * kLevels;
  const int control_words = kCaseWords > 0 ? kControlWords : shape.control_words;
  const int row_words = kCaseWords > 0 ? kControlWords + kCaseWords : shape.rowWords();
  const long level_words = static_cast<long>(row_words) * kPairLanes;
  // The low 32 bits of each 64-bit lane, in the low half.
  const __m256i low_halves = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  for (int g = 0; g < q.groups; ++g) {
    const std::uint64_t* group = q.packed + kPackedLevels * level_words * g;
    __m256i sums[2][kSums];
    countFourLastMarkers<kRows, kLevels, 0, kControlWords>(q.rows, group, level_words, 0,
                                                           control_words, sums[0]);
    countFourLastMarkers<kRows, kLevels, kControlWords, kControlWords + kCaseWords>(
        q.rows, group, level_words, control_words, row_words, sums[1]);
    const long p = static_cast<long>(kPairLanes) * g;
    for (int c = 0; c < 2; ++c) {
      for (int s = 0; s < kSums; ++s) {
        const int k = 2 * s + c;  // s = r + kRows m
        _mm_storeu_si128(reinterpret_cast<__m128i*>(q.counts + freeCountAt(2 * kSums, p, k)),
                         _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(sums[c][s], low_halves)));
      }
    }
  }
}

// The kernel of a request's rows and levels, for the common shape (2,000
// samples in balanced classes) or any.
template <int kRows, int kLevels>
GORVA_TARGET_AVX2 void countFreeCellsOf(const PairCountRequest& q, const PlaneShape& shape) {
  if (shape.control_words == 16 && shape.case_words == 16) {
    countFreeCellsFixed<kRows, kLevels, 16, 16>(q, shape);
  } else {
    countFreeCellsFixed<kRows, kLevels, 0, 0>(q, shape);
  }
}

}  // namespace

GORVA_TARGET_AVX2 void countPairFreeCellsAvx2(const PairCountRequest& q, const PlaneShape& shape) {
  if (q.row_count == 4) {
    countFreeCellsOf<4, 2>(q, shape);
  } else if (q.level_count == 3) {
    countFreeCellsOf<3, 3>(q, shape);
  } else {
    countFreeCellsOf<2, 2>(q, shape);
  }
}

GORVA_TARGET_AVX2 void countCellsAvx2(const CountRequest& q, const PlaneShape& shape) {
  const Kernel fixed = fixedVectorsKernel(shape.control_words / 4, shape.case_words / 4);
  if (fixed != nullptr) {
    fixed(q, shape);
    return;
  }
  // Plane rows are whole 256-bit vectors: 4 words each.
  countCellsWith(q, shape, [](const std::uint64_t* a, const std::uint64_t* b, int words)
                               GORVA_TARGET_AVX2 { return andPopcount(a, b, words / 4); });
}
