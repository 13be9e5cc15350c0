#include "engine/count/bound_screen.h"

#include <immintrin.h>

#include "engine/count/simd_targets.h"

int nextReachingScalar(const double* bounds, int from, int count, double pass) {
  int j = from;
  while (j + 4 <= count && bounds[j] < pass && bounds[j + 1] < pass && bounds[j + 2] < pass &&
         bounds[j + 3] < pass)
    j += 4;
  while (j < count && bounds[j] < pass) ++j;
  return j;
}

GORVA_TARGET_AVX2 int nextReachingAvx2(const double* bounds, int from, int count, double pass) {
  const __m256d cut = _mm256_set1_pd(pass);
  int j = from;
  for (; j + 8 <= count; j += 8) {
    // Not below, or unordered: where the walk must stop.
    const __m256d low = _mm256_cmp_pd(_mm256_loadu_pd(bounds + j), cut, _CMP_NLT_UQ);
    const __m256d high = _mm256_cmp_pd(_mm256_loadu_pd(bounds + j + 4), cut, _CMP_NLT_UQ);
    const int stop = _mm256_movemask_pd(low) | (_mm256_movemask_pd(high) << 4);
    if (stop != 0) return j + __builtin_ctz(static_cast<unsigned>(stop));
  }
  return nextReachingScalar(bounds, j, count, pass);
}

GORVA_TARGET_AVX512 int nextReachingAvx512(const double* bounds, int from, int count, double pass) {
  const __m512d cut = _mm512_set1_pd(pass);
  int j = from;
  for (; j + 16 <= count; j += 16) {
    const unsigned stop = _mm512_cmp_pd_mask(_mm512_loadu_pd(bounds + j), cut, _CMP_NLT_UQ) |
                          static_cast<unsigned>(_mm512_cmp_pd_mask(_mm512_loadu_pd(bounds + j + 8), cut,
                                                                   _CMP_NLT_UQ))
                              << 8;
    if (stop != 0) return j + __builtin_ctz(stop);
  }
  if (j < count) {
    const __mmask8 live = j + 8 <= count ? 0xFF : static_cast<__mmask8>((1u << (count - j)) - 1);
    const unsigned stop = _mm512_mask_cmp_pd_mask(live, _mm512_maskz_loadu_pd(live, bounds + j), cut, _CMP_NLT_UQ);
    if (stop != 0) return j + __builtin_ctz(stop);
    if (j + 8 >= count) return count;
    return nextReachingScalar(bounds, j + 8, count, pass);
  }
  return count;
}
