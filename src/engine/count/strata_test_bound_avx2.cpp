// The strata test bound on AVX2: eight strata in two registers, gathered by
// VPGATHERDD, reciprocals
// from single precision's RCPPS (within 1.5 2^-12, and 2^-24 more for the
// narrowing).
#include <immintrin.h>

#include "engine/count/simd_targets.h"

#define GORVA_LANES_TARGET GORVA_TARGET_AVX2

#include "engine/count/strata_test_bound_lanes.h"

namespace {
GORVA_TARGET_AVX2 GORVA_INLINE __m256d reciprocalOf(__m256d x) {
  return _mm256_cvtps_pd(_mm_rcp_ps(_mm256_cvtpd_ps(x)));
}
GORVA_TARGET_AVX2 GORVA_INLINE Lanes approximateReciprocal(Lanes x) {
  struct Halves {
    __m256d low;
    __m256d high;
  };
  Halves halves = reinterpret_cast<const Halves&>(x);
  halves.low = reciprocalOf(halves.low);
  halves.high = reciprocalOf(halves.high);
  return reinterpret_cast<const Lanes&>(halves);
}
GORVA_TARGET_AVX2 GORVA_INLINE Lanes gatherLanes(const int* first, int stride, int lanes) {
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i at = _mm256_mullo_epi32(lane, _mm256_set1_epi32(stride));
  const __m256i in = _mm256_cmpgt_epi32(_mm256_set1_epi32(lanes), lane);
  const __m256i ints = _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), first, at, in, 4);
  struct Halves {
    __m256d low;
    __m256d high;
  };
  const Halves halves{_mm256_cvtepi32_pd(_mm256_castsi256_si128(ints)),
                      _mm256_cvtepi32_pd(_mm256_extracti128_si256(ints, 1))};
  return reinterpret_cast<const Lanes&>(halves);
}
}  // namespace

GORVA_TARGET_AVX2 StrataTestBound strataTestBoundAvx2(const int* tables, int strata, int cells) {
  return strataTestBoundLanes(tables, strata, cells);
}
