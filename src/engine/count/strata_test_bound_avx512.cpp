// The strata test bound on AVX-512: eight strata a register, gathered by
// VPGATHERDD, reciprocals within 2^-14 by VRCP14PD.
#include <immintrin.h>

#include "engine/count/simd_targets.h"

#define GORVA_LANES_TARGET GORVA_TARGET_AVX512

#include "engine/count/strata_test_bound_lanes.h"

namespace {
// (Masked: GCC 12 takes the unmasked form's undefined source for an
// uninitialised variable.)
GORVA_TARGET_AVX512 GORVA_INLINE Lanes approximateReciprocal(Lanes x) {
  return reinterpret_cast<Lanes>(_mm512_maskz_rcp14_pd(0xFF, reinterpret_cast<__m512d>(x)));
}
GORVA_TARGET_AVX512 GORVA_INLINE Lanes gatherLanes(const int* first, int stride, int lanes) {
  const __m256i at = _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(stride));
  const __mmask8 in = static_cast<__mmask8>((1u << lanes) - 1);
  const __m256i ints = _mm256_mmask_i32gather_epi32(_mm256_setzero_si256(), in, at, first, 4);
  return reinterpret_cast<Lanes>(_mm512_maskz_cvtepi32_pd(0xFF, ints));
}
}  // namespace

GORVA_TARGET_AVX512 StrataTestBound strataTestBoundAvx512(const int* tables, int strata, int cells) {
  return strataTestBoundLanes(tables, strata, cells);
}
