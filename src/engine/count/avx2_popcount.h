// The AVX2 paths' popcount: AVX2 has no vector popcount, so each byte's bits
// are counted by looking up both nibbles in a 16-entry table.
#ifndef GORVA_ENGINE_COUNT_AVX2_POPCOUNT_H
#define GORVA_ENGINE_COUNT_AVX2_POPCOUNT_H

#include <immintrin.h>

#include "engine/count/simd_targets.h"

// Per byte, the number of set bits of x (0-8).
GORVA_TARGET_AVX2 GORVA_INLINE __m256i popcountBytes(__m256i x) {
  const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,  //
                                         0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i low_nibbles = _mm256_set1_epi8(0x0F);
  const __m256i low = _mm256_and_si256(x, low_nibbles);
  const __m256i high = _mm256_and_si256(_mm256_srli_epi16(x, 4), low_nibbles);
  return _mm256_add_epi8(_mm256_shuffle_epi8(table, low), _mm256_shuffle_epi8(table, high));
}

#endif  // GORVA_ENGINE_COUNT_AVX2_POPCOUNT_H
