// The em tables' bounds on AVX-512: sixteen tables in one register, their
// counts gathered by VPGATHERDD.
#include <immintrin.h>

#include "engine/count/simd_targets.h"

#define GORVA_LANES_TARGET GORVA_TARGET_AVX512
#define GORVA_EM_LANES 16

#include "engine/count/em_table_bounds_lanes.h"

// GCC 12 takes the undefined pass-through operand of the gather for an
// uninitialised variable (a false positive).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace {
GORVA_TARGET_AVX512 GORVA_INLINE Lanes gatherCounts(const int* counted, int stride, int k, int lanes) {
  const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m512i at = _mm512_mullo_epi32(lane, _mm512_set1_epi32(stride));
  const __mmask16 live = static_cast<__mmask16>((1u << lanes) - 1);
  const __m512 counts =
      _mm512_cvtepi32_ps(_mm512_mask_i32gather_epi32(_mm512_setzero_si512(), live, at, counted + k, sizeof(int)));
  return reinterpret_cast<const Lanes&>(counts);
}
}  // namespace

GORVA_TARGET_AVX512 void emTableBoundsAvx512(const EmBoundRequest& request, double* bounds) {
  emTableBoundsLanes(request, bounds);
}
