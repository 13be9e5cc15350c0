// The last step of the AVX-512 bounds of pairs and triples, eight tables a
// vector in double precision: 1 / N from the 14-bit reciprocal and one
// Newton step (at most 2^-28 below the true value, inside the bound's
// slack) instead of two divisions.
#ifndef GORVA_ENGINE_COUNT_INFORMATION_GAIN_BOUND_AVX512_H
#define GORVA_ENGINE_COUNT_INFORMATION_GAIN_BOUND_AVX512_H

#include <immintrin.h>

#include <limits>

#include "engine/count/information_gain_bound.h"
#include "engine/count/information_gain_bound_finish.h"
#include "engine/count/simd_targets.h"

// The bounds of eight tables from their shifted sums, samples n and cases;
// the caller decides which tables have none (an absent class).
GORVA_TARGET_AVX512 GORVA_INLINE __m512d boundsOfEight(const BoundRequest& request, __m256 shifted_sum,
                                                       __m512d n, __m512d cases) {
  const __m512d shifted = _mm512_cvtps_pd(shifted_sum);
  const __m512d off = _mm512_fnmadd_pd(_mm512_set1_pd(request.q), n, cases);
  __m512d inverse = _mm512_rcp14_pd(n);
  inverse = _mm512_mul_pd(inverse, _mm512_fnmadd_pd(n, inverse, _mm512_set1_pd(2.0)));
  // MAXPD returns its second operand when either is NaN: a NaN stays NaN,
  // and no table is ruled out by it.
  const __m512d numerator = _mm512_max_pd(
      _mm512_setzero_pd(),
      _mm512_fmsub_pd(_mm512_set1_pd(request.divergence_factor),
                      _mm512_mul_pd(shifted, _mm512_set1_pd(kShiftedSumSlack)),
                      _mm512_mul_pd(_mm512_mul_pd(_mm512_set1_pd(kPinskerBits), _mm512_mul_pd(off, off)),
                                    inverse)));
  return _mm512_fmadd_pd(_mm512_mul_pd(numerator, inverse), _mm512_set1_pd(kBoundSlack),
                         _mm512_set1_pd(boundFloor(request.cells)));
}

// Tables that all add up to the same totals share everything in their
// bound but the shifted sum: N IG <= factor S - (the same term), so the
// bound is a * S - p, scaled by 1 / N, from constants worked out once (in
// double precision, each within an ulp or two of the steps above, which
// the bound's slack covers).
struct FixedTotalsBound {
  __m512d shifted_factor;
  __m512d subtracted;
  __m512d scale;
  __m512d floor;
  bool absent;  // a class has no sample: no bound
};

GORVA_TARGET_AVX512 GORVA_INLINE FixedTotalsBound fixedTotalsBound(const BoundRequest& request, double controls,
                                                                   double cases) {
  const double n = controls + cases;
  const double off = cases - request.q * n;
  FixedTotalsBound fixed;
  fixed.absent = !(controls > 0) || !(cases > 0);
  fixed.shifted_factor = _mm512_set1_pd(request.divergence_factor * kShiftedSumSlack);
  fixed.subtracted = _mm512_set1_pd(fixed.absent ? 0.0 : kPinskerBits * off * off / n);
  fixed.scale = _mm512_set1_pd(fixed.absent ? 0.0 : kBoundSlack / n);
  fixed.floor = _mm512_set1_pd(boundFloor(request.cells));
  return fixed;
}

// The bounds of eight tables of those totals from their shifted sums.
GORVA_TARGET_AVX512 GORVA_INLINE __m512d boundsOfEight(const FixedTotalsBound& fixed, __m256 shifted_sum) {
  if (fixed.absent) return _mm512_set1_pd(std::numeric_limits<double>::infinity());
  // MAXPD: a NaN sum stays NaN, and no table is ruled out by it.
  const __m512d numerator = _mm512_max_pd(
      _mm512_setzero_pd(), _mm512_fmsub_pd(fixed.shifted_factor, _mm512_cvtps_pd(shifted_sum), fixed.subtracted));
  return _mm512_fmadd_pd(numerator, fixed.scale, fixed.floor);
}

#endif  // GORVA_ENGINE_COUNT_INFORMATION_GAIN_BOUND_AVX512_H
