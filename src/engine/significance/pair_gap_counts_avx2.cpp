// The counted samples at eight pairs' gaps with AVX2: a word of four pairs'
// masks is one load from its row, ANDed with the entry's gaps and counted
// by the nibble table, where the portable kernel pays ten scalar popcounts
// and five scattered loads a pair.
#include <immintrin.h>

#include "engine/count/avx2_popcount.h"
#include "engine/count/simd_targets.h"
#include "engine/significance/pair_class_counter.h"

namespace {

// Per 64-bit lane, the set bits of x.
GORVA_TARGET_AVX2 GORVA_INLINE __m256i popcountLanes(__m256i x) {
  return _mm256_sad_epu8(popcountBytes(x), _mm256_setzero_si256());
}

// The counts of lanes 0-3 (`low`) and 4-7 (`high`), each below 2^32, as
// eight ints in lane order.
GORVA_TARGET_AVX2 GORVA_INLINE void storeEight(__m256i low, __m256i high, int* out) {
  const __m256i joined = _mm256_blend_epi32(low, _mm256_slli_epi64(high, 32), 0xAA);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                      _mm256_permutevar8x32_epi32(joined, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7)));
}

}  // namespace

GORVA_TARGET_AVX2 void gapCountsAvx2(const GapCountRequest& request, int (*counts)[kGapCounts][kPairBlock]) {
  // Lanes outside [lo, hi) read the rows' margins or other pairs: zeroed.
  const __m256i lane = _mm256_setr_epi64x(0, 1, 2, 3);
  const __m256i lo = _mm256_set1_epi64x(request.lo);
  const __m256i hi = _mm256_set1_epi64x(request.hi);
  __m256i live[2];
  for (int h = 0; h < 2; ++h) {
    const __m256i t = _mm256_add_epi64(lane, _mm256_set1_epi64x(4 * h));
    live[h] = _mm256_andnot_si256(_mm256_cmpgt_epi64(lo, t), _mm256_cmpgt_epi64(hi, t));
  }
  const long first_pair = request.at + request.pair;
  __m256i words[PairGapMaskRows::kWords][2];
  for (int w = 0; w < PairGapMaskRows::kWords; ++w) {
    for (int h = 0; h < 2; ++h) {
      words[w][h] = _mm256_and_si256(
          live[h], _mm256_loadu_si256(reinterpret_cast<const __m256i*>(request.masks->row(w) + first_pair + 4 * h)));
    }
  }
  // The eight second markers' entries, class 0 and 1 interleaved: class c
  // of lanes 4 h .. 4 h + 3 from two loads, unpacked and put in order.
  const std::uint64_t* const second = request.entries + 2L * (request.second + request.pair);
  __m256i in_second[2][2];
  for (int h = 0; h < 2; ++h) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(second + 8 * h));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(second + 8 * h + 4));
    // Lanes (a0, b0, a2, b2) and (a1, b1, a3, b3): pairs 0, 2, 1, 3 of the four.
    in_second[0][h] = _mm256_permute4x64_epi64(_mm256_unpacklo_epi64(a, b), 0xD8);
    in_second[1][h] = _mm256_permute4x64_epi64(_mm256_unpackhi_epi64(a, b), 0xD8);
  }
  for (int cls = 0; cls < 2; ++cls) {
    const __m256i in_first = _mm256_set1_epi64x(static_cast<long long>(request.entries[2L * request.first + cls]));
    for (int b = 0; b < 2; ++b) {
      storeEight(popcountLanes(_mm256_and_si256(words[3 + b][0], in_first)),
                 popcountLanes(_mm256_and_si256(words[3 + b][1], in_first)), counts[cls][b]);
    }
    for (int a = 0; a < kPairLevels; ++a) {
      storeEight(popcountLanes(_mm256_and_si256(words[a][0], in_second[cls][0])),
                 popcountLanes(_mm256_and_si256(words[a][1], in_second[cls][1])), counts[cls][2 + a]);
    }
  }
}
