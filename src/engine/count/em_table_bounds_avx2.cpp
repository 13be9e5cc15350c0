// The em tables' bounds on AVX2: eight tables in one register, their counts
// gathered by VPGATHERDD.
#include <immintrin.h>

#include "engine/count/simd_targets.h"

#define GORVA_LANES_TARGET GORVA_TARGET_AVX2
#define GORVA_EM_LANES 8

#include "engine/count/em_table_bounds_lanes.h"

namespace {
GORVA_TARGET_AVX2 GORVA_INLINE Lanes gatherCounts(const int* counted, int stride, int k, int lanes) {
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i at = _mm256_mullo_epi32(lane, _mm256_set1_epi32(stride));
  const __m256i live = _mm256_cmpgt_epi32(_mm256_set1_epi32(lanes), lane);
  const __m256 counts =
      _mm256_cvtepi32_ps(_mm256_mask_i32gather_epi32(_mm256_setzero_si256(), counted + k, at, live, sizeof(int)));
  return reinterpret_cast<const Lanes&>(counts);
}
}  // namespace

GORVA_TARGET_AVX2 void emTableBoundsAvx2(const EmBoundRequest& request, double* bounds) {
  emTableBoundsLanes(request, bounds);
}
