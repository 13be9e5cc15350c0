// AVX2's missing-sample sums.
#include <immintrin.h>

#include "engine/count/missing_pair_counts.h"
#include "engine/count/simd_targets.h"

namespace {

// 0xFF in byte i of low where bit i of *word is set, and in byte i of
// high where bit 32 + i is: the word broadcast from memory once, then each
// half's bytes spread over its register by one shuffle.
GORVA_TARGET_AVX2 GORVA_INLINE void bitBytes(const std::uint64_t* word, __m256i& low, __m256i& high) {
  const __m256i all = _mm256_set1_epi64x(static_cast<long long>(*word));
  const __m256i bit = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
  const __m256i low_spread = _mm256_shuffle_epi8(
      all, _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3,
                            3, 3));
  const __m256i high_spread = _mm256_shuffle_epi8(
      all, _mm256_setr_epi8(4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5, 5, 5, 6, 6, 6, 6, 6, 6, 6, 6, 7, 7, 7, 7, 7, 7,
                            7, 7));
  low = _mm256_cmpeq_epi8(_mm256_and_si256(low_spread, bit), bit);
  high = _mm256_cmpeq_epi8(_mm256_and_si256(high_spread, bit), bit);
}

template <int kLevels>
GORVA_TARGET_AVX2 GORVA_INLINE void sumLevels(const BitRowSums& r) {
  for (int w = 0; w < r.words; ++w) {
    __m256i sums[kLevels][2];
    for (int l = 0; l < kLevels; ++l) {
      for (int h = 0; h < 2; ++h)
        sums[l][h] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r.counters + l * r.counter_step + 64 * w + 32 * h));
    }
    const std::uint64_t* rows = r.rows + w * r.word_step;
    for (int k = 0; k < r.count; ++k) {
      const std::uint64_t* row = rows + r.positions[k] * r.row_stride;
      for (int l = 0; l < kLevels; ++l) {
        // Subtracting 0xFF adds one.
        __m256i low, high;
        bitBytes(row + l, low, high);
        sums[l][0] = _mm256_sub_epi8(sums[l][0], low);
        sums[l][1] = _mm256_sub_epi8(sums[l][1], high);
      }
    }
    for (int l = 0; l < kLevels; ++l) {
      for (int h = 0; h < 2; ++h)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(r.counters + l * r.counter_step + 64 * w + 32 * h), sums[l][h]);
    }
  }
}

}  // namespace

GORVA_TARGET_AVX2 void sumBitRowsAvx2(const BitRowSums& request) {
  switch (request.levels) {
    case 1:
      sumLevels<1>(request);
      break;
    case 2:
      sumLevels<2>(request);
      break;
    default:
      sumLevels<3>(request);
  }
}

GORVA_TARGET_AVX2 void quadLanesAvx2(const std::uint8_t* sums, std::uint8_t* quads) {
  for (int h = 0; h < 2; ++h) {
    __m256i x[4];
    for (int e = 0; e < 4; ++e) x[e] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sums + 64 * e + 32 * h));
    // As AVX-512's: within each 128-bit block, the four bytes of a lane
    // together; then the blocks in lane order.
    const __m256i t0 = _mm256_unpacklo_epi8(x[0], x[1]), t1 = _mm256_unpackhi_epi8(x[0], x[1]);
    const __m256i t2 = _mm256_unpacklo_epi8(x[2], x[3]), t3 = _mm256_unpackhi_epi8(x[2], x[3]);
    const __m256i u0 = _mm256_unpacklo_epi16(t0, t2), u1 = _mm256_unpackhi_epi16(t0, t2);
    const __m256i u2 = _mm256_unpacklo_epi16(t1, t3), u3 = _mm256_unpackhi_epi16(t1, t3);
    __m256i* out = reinterpret_cast<__m256i*>(quads + 128 * h);
    _mm256_storeu_si256(out, _mm256_permute2x128_si256(u0, u1, 0x20));
    _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(u2, u3, 0x20));
    _mm256_storeu_si256(out + 2, _mm256_permute2x128_si256(u0, u1, 0x31));
    _mm256_storeu_si256(out + 3, _mm256_permute2x128_si256(u2, u3, 0x31));
  }
}
