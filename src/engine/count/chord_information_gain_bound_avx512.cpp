// The chord bounds with AVX-512: the cells' terms eight pairs a vector with
// the very operations of the AVX2 version (its reciprocal estimate too, so
// every path prunes the same pairs), the double-precision steps eight pairs
// a vector rather than four, with one division, and masks in place of the
// blends and of the round trip through memory between the two.
#include <immintrin.h>

#include <algorithm>
#include <limits>

#include "engine/count/chord_information_gain_bound.h"
#include "engine/count/chord_terms.h"
#include "engine/count/information_gain_bound_finish.h"
#include "engine/count/pair_free_counts.h"
#include "engine/count/simd_targets.h"

// The AVX2 version's single-precision multiply-adds, which every AVX-512
// CPU has (and this file fuses nothing else: -ffp-contract=off).
#define GORVA_TARGET_AVX512_FMA __attribute__((target("avx512f,avx512bw,avx512vl,avx512vpopcntdq,popcnt,fma")))

// GCC 12 takes the undefined pass-through operand of the insertion and
// conversion intrinsics for an uninitialised variable (a false positive).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace {

// Every lane, through the masked forms of the widening steps (GCC 12 warns
// about the unmasked ones' undefined source).
constexpr __mmask8 kAll = 0xFF;

// Eight counts of one block of pairs beside the eight of the next.
GORVA_TARGET_AVX512_FMA inline __m512i joinBlocks(const int* low, const int* high) {
  return _mm512_inserti64x4(_mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(low))),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(high)), 1);
}

// The AVX2 reciprocal estimate of each half (VRCP14PS has other bits, and
// every path prunes the same pairs).
GORVA_TARGET_AVX512_FMA inline __m512 reciprocalEstimate(__m512 x) {
  const __m256 low = _mm256_rcp_ps(_mm512_castps512_ps256(x));
  const __m256 high = _mm256_rcp_ps(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(x), 1)));
  return _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(low)), _mm256_castps_pd(high), 1));
}

}  // namespace

GORVA_TARGET_AVX512_FMA void wholePairChordBoundsAvx512(const int* counts, int pairs, const ChordBound& bound,
                                                    double* bounds, int* samples, int* informative) {
  constexpr int kCells = 9;
  const __m256 q = _mm256_set1_ps(static_cast<float>(bound.q));
  const ChordTerms& terms = bound.terms;
  const __m256 at_q = _mm256_set1_ps(terms.at_q);
  const __m256 below = _mm256_set1_ps(terms.below);
  const __m256 above = _mm256_set1_ps(terms.above);
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 sign = _mm256_set1_ps(-0.0f);
  const __m256 raise = _mm256_set1_ps(1.0f + 0x1p-11f);
  const __m256i fixed_controls = _mm256_set1_epi32(bound.fixed_controls);
  const __m256i fixed_cases = _mm256_set1_epi32(bound.fixed_cases);
  const __m512d q_wide = _mm512_set1_pd(bound.q);
  const __m512d bits_per_nat = _mm512_set1_pd(kBitsPerNat);
  const __m512d sum_slack = _mm512_set1_pd(kShiftedSumSlack);
  const __m512d pinsker = _mm512_set1_pd(kPinskerBits);
  const __m512d bound_slack = _mm512_set1_pd(kBoundSlack);
  const __m512d floor = _mm512_set1_pd(boundFloor(kCells));
  const __m512d infinity = _mm512_set1_pd(std::numeric_limits<double>::infinity());
  // The cells' sums of a run of blocks first, then the blocks' double-
  // precision steps: each block's chain of nine multiply-adds and then a
  // division is too long for the reorder window to overlap two blocks when
  // they alternate, and independent steps side by side fill the pipes.
  constexpr int kRunBlocks = 16;
  __m256i run_controls[kRunBlocks];
  __m256i run_cases[kRunBlocks];
  __m256 run_shifted[kRunBlocks];
  for (int run = 0; run < pairs; run += kRunBlocks * kPairBlock) {
    const int run_end = std::min(pairs, run + kRunBlocks * kPairBlock);
    int p0 = run;
    // Two blocks a 512-bit vector: the same operations on sixteen pairs,
    // but the reciprocal estimate, which is the AVX2 one on each half.
    for (; p0 + kPairBlock < run_end; p0 += 2 * kPairBlock) {
      const int* block = counts + freeCountAt(kWholePairCounts, p0, 0);
      const int* next = block + kPairBlock * kWholePairCounts;
      const __m512 q16 = _mm512_set1_ps(static_cast<float>(bound.q));
      __m512i controls = _mm512_setzero_si512();
      __m512i cases = _mm512_setzero_si512();
      __m512 shifted = _mm512_setzero_ps();
      for (int cell = 0; cell < kCells; ++cell) {
        const __m512i a = joinBlocks(block + kPairBlock * (2 * cell), next + kPairBlock * (2 * cell));
        const __m512i b = joinBlocks(block + kPairBlock * (2 * cell + 1), next + kPairBlock * (2 * cell + 1));
        controls = _mm512_add_epi32(controls, a);
        cases = _mm512_add_epi32(cases, b);
        const __m512 n = _mm512_cvtepi32_ps(_mm512_add_epi32(a, b));
        const __m512 off = _mm512_fnmadd_ps(q16, n, _mm512_cvtepi32_ps(b));
        const __m512 r = _mm512_mul_ps(reciprocalEstimate(_mm512_max_ps(n, _mm512_set1_ps(1.0f))),
                                       _mm512_set1_ps(1.0f + 0x1p-11f));
        const __m512 spread = _mm512_mul_ps(_mm512_abs_ps(off), r);
        const __m512 slope = _mm512_mask_blend_ps(_mm512_cmp_ps_mask(off, _mm512_setzero_ps(), _CMP_GT_OQ),
                                                  _mm512_set1_ps(terms.below), _mm512_set1_ps(terms.above));
        const __m512 curvature = _mm512_fmadd_ps(slope, spread, _mm512_set1_ps(terms.at_q));
        shifted = _mm512_fmadd_ps(_mm512_mul_ps(_mm512_mul_ps(off, off), r), curvature, shifted);
      }
      const int k = (p0 - run) / kPairBlock;
      run_controls[k] = _mm512_castsi512_si256(controls);
      run_controls[k + 1] = _mm512_extracti64x4_epi64(controls, 1);
      run_cases[k] = _mm512_castsi512_si256(cases);
      run_cases[k + 1] = _mm512_extracti64x4_epi64(cases, 1);
      run_shifted[k] = _mm512_castps512_ps256(shifted);
      run_shifted[k + 1] = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(shifted), 1));
    }
    for (; p0 < run_end; p0 += kPairBlock) {
      const int* block = counts + freeCountAt(kWholePairCounts, p0, 0);
      __m256i controls = _mm256_setzero_si256();
      __m256i cases = _mm256_setzero_si256();
      __m256 shifted = _mm256_setzero_ps();
      for (int cell = 0; cell < kCells; ++cell) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + kPairBlock * (2 * cell)));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + kPairBlock * (2 * cell + 1)));
        controls = _mm256_add_epi32(controls, a);
        cases = _mm256_add_epi32(cases, b);
        const __m256 n = _mm256_cvtepi32_ps(_mm256_add_epi32(a, b));
        const __m256 off = _mm256_fnmadd_ps(q, n, _mm256_cvtepi32_ps(b));
        const __m256 r = _mm256_mul_ps(_mm256_rcp_ps(_mm256_max_ps(n, one)), raise);
        const __m256 spread = _mm256_mul_ps(_mm256_andnot_ps(sign, off), r);
        const __m256 slope =
            _mm256_mask_blend_ps(_mm256_cmp_ps_mask(off, _mm256_setzero_ps(), _CMP_GT_OQ), below, above);
        const __m256 curvature = _mm256_fmadd_ps(slope, spread, at_q);
        shifted = _mm256_fmadd_ps(_mm256_mul_ps(_mm256_mul_ps(off, off), r), curvature, shifted);
      }
      const int k = (p0 - run) / kPairBlock;
      run_controls[k] = controls;
      run_cases[k] = cases;
      run_shifted[k] = shifted;
    }
    for (int p0 = run; p0 < run_end; p0 += kPairBlock) {
      const int k = (p0 - run) / kPairBlock;
      const __m256i controls = run_controls[k];
      const __m256i cases = run_cases[k];
      const __m256 shifted = run_shifted[k];
      __mmask8 no_bound = _mm256_cmpeq_epi32_mask(controls, _mm256_setzero_si256()) |
                          _mm256_cmpeq_epi32_mask(cases, _mm256_setzero_si256());
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(samples + p0), _mm256_add_epi32(controls, cases));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(informative + p0),
                          _mm256_maskz_mov_epi32(static_cast<__mmask8>(~no_bound), _mm256_set1_epi32(1)));
      if (bound.fixed_controls >= 0)
        no_bound |= _mm256_cmpneq_epi32_mask(controls, fixed_controls) | _mm256_cmpneq_epi32_mask(cases, fixed_cases);
      const __m512d A = _mm512_maskz_cvtepi32_pd(kAll, controls);
      const __m512d B = _mm512_maskz_cvtepi32_pd(kAll, cases);
      const __m512d S = _mm512_maskz_cvtps_pd(kAll, shifted);
      const __m512d N = _mm512_add_pd(A, B);
      const __m512d off = _mm512_fnmadd_pd(q_wide, N, B);
      const __m512d inverse = _mm512_div_pd(_mm512_set1_pd(1.0), N);
      __m512d numerator = _mm512_sub_pd(_mm512_mul_pd(bits_per_nat, _mm512_mul_pd(S, sum_slack)),
                                        _mm512_mul_pd(_mm512_mul_pd(pinsker, _mm512_mul_pd(off, off)), inverse));
      numerator = _mm512_maskz_max_pd(kAll, numerator, _mm512_setzero_pd());
      const __m512d result = _mm512_add_pd(_mm512_mul_pd(_mm512_mul_pd(numerator, inverse), bound_slack), floor);
      _mm512_storeu_pd(bounds + p0, _mm512_mask_blend_pd(no_bound, result, infinity));
    }
  }
}

GORVA_TARGET_AVX512_FMA void conditionalGainBoundsAvx512(const double* bounds, const int* samples,
                                                     const int* informative, long stride, int strata, int pairs,
                                                     double* out) {
  const __m512d infinity = _mm512_set1_pd(std::numeric_limits<double>::infinity());
  const __m512d not_a_number = _mm512_set1_pd(std::numeric_limits<double>::quiet_NaN());
  for (int p = 0; p < pairs; p += 8) {
    // Whole blocks of four: the last may be half a vector.
    const __mmask8 lanes = pairs - p >= 8 ? 0xFF : 0x0F;
    __m256i counted = _mm256_setzero_si256();
    for (int s = 0; s < strata; ++s)
      counted = _mm256_add_epi32(counted, _mm256_maskz_loadu_epi32(lanes, samples + s * stride + p));
    const __m512d N = _mm512_maskz_cvtepi32_pd(kAll, counted);
    __m512d sum = _mm512_setzero_pd();
    __mmask8 any = 0;
    for (int s = 0; s < strata; ++s) {
      const __mmask8 included =
          _mm256_mask_cmpneq_epi32_mask(lanes, _mm256_maskz_loadu_epi32(lanes, informative + s * stride + p),
                                        _mm256_setzero_si256());
      __m512d own = _mm512_maskz_loadu_pd(lanes, bounds + s * stride + p);
      own = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(own, own, _CMP_UNORD_Q), own, infinity);
      const __m512d n = _mm512_maskz_cvtepi32_pd(kAll, _mm256_maskz_loadu_epi32(lanes, samples + s * stride + p));
      // A stratum left out adds nothing, as the exact sum skips it.
      sum = _mm512_mask_add_pd(sum, included, sum, _mm512_mul_pd(_mm512_div_pd(n, N), own));
      any |= included;
    }
    _mm512_mask_storeu_pd(out + p, lanes, _mm512_mask_blend_pd(any, not_a_number, sum));
  }
}
