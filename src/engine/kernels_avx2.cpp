// The AVX2 kernel: 256-bit AND, population count by a nibble lookup table
// (VPSHUFB) summed into 64-bit lanes by VPSADBW.
#include <immintrin.h>

#include <cstdint>

#include "engine/kernel_dispatch.h"
#include "engine/simd_targets.h"

namespace {

// Per byte, the number of set bits of x AND y (0-8).
GORVA_TARGET_AVX2 inline __m256i andPopcountBytes(const std::uint64_t* a, const std::uint64_t* b) {
  const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,  //
                                         0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i low_nibbles = _mm256_set1_epi8(0x0F);
  const __m256i x = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a)),
                                     _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)));
  const __m256i low = _mm256_and_si256(x, low_nibbles);
  const __m256i high = _mm256_and_si256(_mm256_srli_epi16(x, 4), low_nibbles);
  return _mm256_add_epi8(_mm256_shuffle_epi8(table, low), _mm256_shuffle_epi8(table, high));
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

}  // namespace

GORVA_TARGET_AVX2 void countCellsAvx2(const CountRequest& q, const PlaneShape& shape) {
  // Plane rows are whole 256-bit vectors: 4 words each.
  countCellsWith(q, shape, [](const std::uint64_t* a, const std::uint64_t* b, int words)
                               GORVA_TARGET_AVX2 { return andPopcount(a, b, words / 4); });
}
