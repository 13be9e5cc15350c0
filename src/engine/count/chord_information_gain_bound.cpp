#include "engine/count/chord_information_gain_bound.h"

#include <immintrin.h>

#include <cmath>
#include <limits>

#include "engine/count/chord_terms.h"
#include "engine/count/information_gain_bound_finish.h"
#include "engine/count/pair_free_counts.h"
#include "engine/count/simd_targets.h"

bool chordBoundFor(double q, ChordBound& bound) {
  if (!(q > 0 && q < 1)) return false;
  const double at_zero = -std::log1p(-q) / (q * q);
  const double at_q = 0.5 / (q * (1 - q));
  const double at_one = -std::log(q) / ((1 - q) * (1 - q));
  bound.q = q;
  bound.at_q = at_q;
  bound.below = (at_zero - at_q) / q;
  bound.above = (at_one - at_q) / (1 - q);
  if (!std::isfinite(bound.below) || !std::isfinite(bound.above)) return false;
  bound.terms = chordTerms(bound);
  return true;
}

// Out of line, so that no path's build fuses these roundings differently.
__attribute__((noinline)) ChordTerms chordTerms(const ChordBound& bound) {
  // The curvature terms rounded up a little, so that the float sum stays
  // above: g(q) also covers a slope's rounding times the longest spread on
  // its side (q below, 1 - q above), where a falling chord would lose it.
  const double slope_error = (std::fabs(bound.below) * bound.q + std::fabs(bound.above) * (1 - bound.q)) * 0x1p-16;
  ChordTerms terms;
  terms.at_q = static_cast<float>(bound.at_q * (1 + 0x1p-20) + slope_error);
  terms.below = static_cast<float>(bound.below + std::fabs(bound.below) * 0x1p-20);
  terms.above = static_cast<float>(bound.above + std::fabs(bound.above) * 0x1p-20);
  return terms;
}

// Eight pairs a vector: the cells' terms in single precision, where every
// rounding stays relative (q a float, totals below 2^24, terms never
// negative: b - q n is one rounding from its value, the reciprocal raised
// past its error) and far inside the shifted sum's slack; the last steps in
// double precision as information_gain_bound_finish.h has them, but with
// one division, by a rounded 1 / N: its two more roundings move the result
// by about 2^-51 (|B - q N| <= N), far below the bound's absolute floor.
GORVA_TARGET_AVX2 void wholePairChordBoundsAvx2(const int* counts, int pairs, const ChordBound& bound,
                                                double* bounds, int* samples, int* informative) {
  constexpr int kCells = 9;
  const __m256 q = _mm256_set1_ps(static_cast<float>(bound.q));
  const ChordTerms& terms = bound.terms;
  const __m256 at_q = _mm256_set1_ps(terms.at_q);
  const __m256 below = _mm256_set1_ps(terms.below);
  const __m256 above = _mm256_set1_ps(terms.above);
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 sign = _mm256_set1_ps(-0.0f);
  const __m256i fixed_controls = _mm256_set1_epi32(bound.fixed_controls);
  const __m256i fixed_cases = _mm256_set1_epi32(bound.fixed_cases);
  for (int p0 = 0; p0 < pairs; p0 += kPairBlock) {
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
      const __m256 off = _mm256_fnmadd_ps(q, n, _mm256_cvtepi32_ps(b));  // 0 in an empty cell
      const __m256 m = _mm256_max_ps(n, one);
      // The estimate is within 1.5 x 2^-12 of 1 / m (the instruction's
      // documented bound): raised by 2^-11 it is never low, and at most
      // about 2^-10 high, which only loosens the bound by as much.
      const __m256 r = _mm256_mul_ps(_mm256_rcp_ps(m), _mm256_set1_ps(1.0f + 0x1p-11f));
      const __m256 spread = _mm256_mul_ps(_mm256_andnot_ps(sign, off), r);
      const __m256 slope = _mm256_blendv_ps(below, above, _mm256_cmp_ps(off, _mm256_setzero_ps(), _CMP_GT_OQ));
      const __m256 curvature = _mm256_fmadd_ps(slope, spread, at_q);
      shifted = _mm256_fmadd_ps(_mm256_mul_ps(_mm256_mul_ps(off, off), r), curvature, shifted);
    }
    __m256i unbounded = _mm256_setzero_si256();
    if (bound.fixed_controls >= 0)
      unbounded = _mm256_xor_si256(_mm256_and_si256(_mm256_cmpeq_epi32(controls, fixed_controls),
                                                    _mm256_cmpeq_epi32(cases, fixed_cases)),
                                   _mm256_set1_epi32(-1));
    alignas(32) float sums[kPairBlock];
    alignas(32) int a[kPairBlock], b[kPairBlock], off_totals[kPairBlock];
    _mm256_store_ps(sums, shifted);
    _mm256_store_si256(reinterpret_cast<__m256i*>(a), controls);
    _mm256_store_si256(reinterpret_cast<__m256i*>(b), cases);
    _mm256_store_si256(reinterpret_cast<__m256i*>(off_totals), unbounded);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(samples + p0), _mm256_add_epi32(controls, cases));
    const __m256i zero_counts = _mm256_setzero_si256();
    const __m256i one_class = _mm256_or_si256(_mm256_cmpeq_epi32(controls, zero_counts), _mm256_cmpeq_epi32(cases, zero_counts));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(informative + p0),
                        _mm256_andnot_si256(one_class, _mm256_set1_epi32(1)));
    for (int half = 0; half < kPairBlock; half += 4) {
      const __m256d A = _mm256_cvtepi32_pd(_mm_load_si128(reinterpret_cast<const __m128i*>(a + half)));
      const __m256d B = _mm256_cvtepi32_pd(_mm_load_si128(reinterpret_cast<const __m128i*>(b + half)));
      const __m256d S = _mm256_cvtps_pd(_mm_load_ps(sums + half));
      const __m256d N = _mm256_add_pd(A, B);
      const __m256d off = _mm256_fnmadd_pd(_mm256_set1_pd(bound.q), N, B);
      const __m256d inverse = _mm256_div_pd(_mm256_set1_pd(1.0), N);
      __m256d numerator = _mm256_sub_pd(
          _mm256_mul_pd(_mm256_set1_pd(kBitsPerNat), _mm256_mul_pd(S, _mm256_set1_pd(kShiftedSumSlack))),
          _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(kPinskerBits), _mm256_mul_pd(off, off)), inverse));
      numerator = _mm256_max_pd(numerator, _mm256_setzero_pd());
      __m256d result = _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(numerator, inverse), _mm256_set1_pd(kBoundSlack)),
                                     _mm256_set1_pd(boundFloor(kCells)));
      const __m256d zero = _mm256_setzero_pd();
      const __m256d absent =
          _mm256_or_pd(_mm256_cmp_pd(A, zero, _CMP_LE_OQ), _mm256_cmp_pd(B, zero, _CMP_LE_OQ));
      const __m256d differ = _mm256_cvtepi32_pd(_mm_load_si128(reinterpret_cast<const __m128i*>(off_totals + half)));
      const __m256d no_bound = _mm256_or_pd(absent, _mm256_cmp_pd(differ, zero, _CMP_NEQ_OQ));
      result = _mm256_blendv_pd(result, _mm256_set1_pd(std::numeric_limits<double>::infinity()), no_bound);
      _mm256_storeu_pd(bounds + p0 + half, result);
    }
  }
}

GORVA_TARGET_AVX2 void conditionalGainBoundsAvx2(const double* bounds, const int* samples, const int* informative,
                                                 long stride, int strata, int pairs, double* out) {
  const __m256d infinity = _mm256_set1_pd(std::numeric_limits<double>::infinity());
  const __m256d zero = _mm256_setzero_pd();
  for (int p = 0; p < pairs; p += 4) {
    __m128i counted = _mm_setzero_si128();
    for (int s = 0; s < strata; ++s)
      counted = _mm_add_epi32(counted, _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + s * stride + p)));
    const __m256d N = _mm256_cvtepi32_pd(counted);
    __m256d sum = zero;
    __m256d any = zero;
    for (int s = 0; s < strata; ++s) {
      const __m256d included = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_sub_epi32(
          _mm_setzero_si128(), _mm_loadu_si128(reinterpret_cast<const __m128i*>(informative + s * stride + p)))));
      __m256d own = _mm256_loadu_pd(bounds + s * stride + p);
      own = _mm256_blendv_pd(own, infinity, _mm256_cmp_pd(own, own, _CMP_UNORD_Q));
      const __m256d n = _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + s * stride + p)));
      const __m256d term = _mm256_mul_pd(_mm256_div_pd(n, N), own);
      // x + 0 is x: a stratum left out adds nothing, as the exact sum skips it.
      sum = _mm256_add_pd(sum, _mm256_and_pd(term, included));
      any = _mm256_or_pd(any, included);
    }
    sum = _mm256_blendv_pd(_mm256_set1_pd(std::numeric_limits<double>::quiet_NaN()), sum, any);
    _mm256_storeu_pd(out + p, sum);
  }
}
