// AVX-512's missing-sample sums: a row's 64 bits add one to 64 byte
// counters in one masked subtraction. And the transposition that turns the
// markers' rows sample-major, eight words a register.
#include <immintrin.h>

#include "engine/count/missing_pair_counts.h"
#include "engine/count/pair_free_counts.h"
#include "engine/count/simd_targets.h"

// GCC 12 takes the undefined source of the shift and shuffle intrinsics
// for an uninitialised variable (a false positive).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

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

namespace {

// Step j of the transposition between registers: word k of x[r] and word
// k of x[r + j / 8] trade blocks of j bits (j = 32, 16, 8).
template <int kJ>
GORVA_TARGET_AVX512 GORVA_INLINE void tradeAcross(__m512i* x, std::uint64_t mask) {
  constexpr int kApart = kJ / 8;
  const __m512i m = _mm512_set1_epi64(static_cast<long long>(mask));
  for (int r = 0; r < 8; ++r) {
    if ((r & kApart) != 0) continue;
    const __m512i t = _mm512_and_si512(_mm512_xor_si512(_mm512_srli_epi64(x[r], kJ), x[r + kApart]), m);
    x[r + kApart] = _mm512_xor_si512(x[r + kApart], t);
    x[r] = _mm512_xor_si512(x[r], _mm512_slli_epi64(t, kJ));
  }
}

// Words k and k ^ kJ of one register (kJ = 4, 2, 1), `swapped` holding
// them the other way round: the word with bit kJ clear (`upper` marks the
// others) gives its high blocks of kJ bits for the other's low ones.
template <int kJ>
GORVA_TARGET_AVX512 GORVA_INLINE __m512i tradeWithin(__m512i x, __m512i swapped, __mmask8 upper,
                                                     __m512i m) {
  const __m512i low_word = _mm512_mask_blend_epi64(upper, x, swapped);
  const __m512i high_word = _mm512_mask_blend_epi64(upper, swapped, x);
  const __m512i t = _mm512_and_si512(_mm512_xor_si512(_mm512_srli_epi64(low_word, kJ), high_word), m);
  return _mm512_xor_si512(x, _mm512_mask_blend_epi64(upper, _mm512_slli_epi64(t, kJ), t));
}

}  // namespace

// The portable version's six steps, each on all 64 words at once.
GORVA_TARGET_AVX512 void transposeBitsAvx512(std::uint64_t* block) {
  __m512i x[8];
  for (int r = 0; r < 8; ++r) x[r] = _mm512_loadu_si512(block + 8 * r);
  tradeAcross<32>(x, 0x00000000FFFFFFFFULL);
  tradeAcross<16>(x, 0x0000FFFF0000FFFFULL);
  tradeAcross<8>(x, 0x00FF00FF00FF00FFULL);
  const __m512i m4 = _mm512_set1_epi64(0x0F0F0F0F0F0F0F0FLL);
  const __m512i m2 = _mm512_set1_epi64(0x3333333333333333LL);
  const __m512i m1 = _mm512_set1_epi64(0x5555555555555555LL);
  for (int r = 0; r < 8; ++r) {
    __m512i v = x[r];
    // Swapped: the 256-bit halves, the 128-bit blocks of each half, the
    // words of each block.
    v = tradeWithin<4>(v, _mm512_shuffle_i64x2(v, v, _MM_SHUFFLE(1, 0, 3, 2)), 0xF0, m4);
    v = tradeWithin<2>(v, _mm512_shuffle_i64x2(v, v, _MM_SHUFFLE(2, 3, 0, 1)), 0xCC, m2);
    v = tradeWithin<1>(v, _mm512_shuffle_epi32(v, _MM_PERM_BADC), 0xAA, m1);
    _mm512_storeu_si512(block + 8 * r, v);
  }
}
