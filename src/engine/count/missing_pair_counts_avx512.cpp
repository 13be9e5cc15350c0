// AVX-512's missing-sample sums: a row's 64 bits add one to 64 byte
// counters in one masked subtraction.
#include <immintrin.h>

#include "engine/count/missing_pair_counts.h"
#include "engine/count/pair_free_counts.h"
#include "engine/count/simd_targets.h"

namespace {

// Every level's 64 counters of one word in a register through the list.
template <int kLevels>
GORVA_TARGET_AVX512 GORVA_INLINE void sumLevels(const BitRowSums& r) {
  const __m512i minus_one = _mm512_set1_epi8(-1);
  for (int w = 0; w < r.words; ++w) {
    __m512i sums[kLevels];
    for (int l = 0; l < kLevels; ++l) sums[l] = _mm512_loadu_si512(r.counters + l * r.counter_step + 64 * w);
    const std::uint64_t* rows = r.rows + w * r.word_step;
    for (int k = 0; k < r.count; ++k) {
      const std::uint64_t* row = rows + r.positions[k] * r.row_stride;
      for (int l = 0; l < kLevels; ++l) sums[l] = _mm512_mask_sub_epi8(sums[l], row[l], sums[l], minus_one);
    }
    for (int l = 0; l < kLevels; ++l) _mm512_storeu_si512(r.counters + l * r.counter_step + 64 * w, sums[l]);
  }
}

}  // namespace

GORVA_TARGET_AVX512 void sumBitRowsAvx512(const BitRowSums& request) {
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

GORVA_TARGET_AVX512 void quadLanesAvx512(const std::uint8_t* sums, std::uint8_t* quads) {
  __m512i x[4];
  for (int e = 0; e < 4; ++e) x[e] = _mm512_loadu_si512(sums + 64 * e);
  // Within each 128-bit block (lanes 16 L ..): bytes of e 0, 1 and of 2,
  // 3 side by side, then the four of a lane together, four lanes a block.
  const __m512i t0 = _mm512_unpacklo_epi8(x[0], x[1]), t1 = _mm512_unpackhi_epi8(x[0], x[1]);
  const __m512i t2 = _mm512_unpacklo_epi8(x[2], x[3]), t3 = _mm512_unpackhi_epi8(x[2], x[3]);
  const __m512i u0 = _mm512_unpacklo_epi16(t0, t2), u1 = _mm512_unpackhi_epi16(t0, t2);
  const __m512i u2 = _mm512_unpacklo_epi16(t1, t3), u3 = _mm512_unpackhi_epi16(t1, t3);
  // u_k's block L holds lanes 16 L + 4 k .. + 3: put the blocks in lane
  // order (qword indices; 8 and up name the second operand's).
  const __m512i low = _mm512_setr_epi64(0, 1, 2, 3, 8, 9, 10, 11);
  const __m512i high = _mm512_setr_epi64(4, 5, 6, 7, 12, 13, 14, 15);
  const __m512i even = _mm512_setr_epi64(0, 1, 4, 5, 8, 9, 12, 13);
  const __m512i odd = _mm512_setr_epi64(2, 3, 6, 7, 10, 11, 14, 15);
  const __m512i v0 = _mm512_permutex2var_epi64(u0, low, u1), v1 = _mm512_permutex2var_epi64(u0, high, u1);
  const __m512i w0 = _mm512_permutex2var_epi64(u2, low, u3), w1 = _mm512_permutex2var_epi64(u2, high, u3);
  _mm512_storeu_si512(quads, _mm512_permutex2var_epi64(v0, even, w0));
  _mm512_storeu_si512(quads + 64, _mm512_permutex2var_epi64(v0, odd, w0));
  _mm512_storeu_si512(quads + 128, _mm512_permutex2var_epi64(v1, even, w1));
  _mm512_storeu_si512(quads + 192, _mm512_permutex2var_epi64(v1, odd, w1));
}
