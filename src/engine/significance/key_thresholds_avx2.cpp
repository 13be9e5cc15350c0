#include <immintrin.h>

#include <numbers>

#include "engine/rank/search_context.h"
#include "engine/count/simd_targets.h"
#include "engine/significance/key_thresholds.h"

// The cuts are computed with the operations, in the order, that the
// one-pair test uses, so that both rule out exactly the same pairs.
GORVA_TARGET_AVX2 int mayExceedFourAvx2(const double* bounds, const KeyThreshold& threshold,
                                        int j) {
  if (threshold.measure == kRankByP) {
    const __m256d samples = _mm256_cvtepi32_pd(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(threshold.samples + j)));
    const __m256d statistic =
        _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(2 * std::numbers::ln2), samples),
                      _mm256_loadu_pd(bounds + j));
    return _mm256_movemask_pd(
        _mm256_cmp_pd(statistic, _mm256_set1_pd(threshold.statistic_cut), _CMP_NLT_UQ));
  }
  const __m256d maximum = _mm256_set1_pd(threshold.maximum);
  __m256d cut = maximum;
  if (threshold.measure == kRankBySynergy) {
    cut = _mm256_add_pd(maximum, _mm256_add_pd(_mm256_set1_pd(threshold.prefix_gains),
                                               _mm256_loadu_pd(threshold.gains + j)));
  } else if (threshold.measure == kRankByRIG) {
    __m256d p;
    if (threshold.own_totals) {
      const __m256d cases = _mm256_cvtepi32_pd(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(threshold.cases + j)));
      const __m256d samples = _mm256_cvtepi32_pd(
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(threshold.samples + j)));
      p = _mm256_div_pd(cases, samples);
    } else {
      p = _mm256_set1_pd(threshold.fixed_cases / threshold.fixed_samples);
    }
    const __m256d floor = _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(4.0), p),
                                        _mm256_sub_pd(_mm256_set1_pd(1.0), p));
    cut = _mm256_mul_pd(_mm256_mul_pd(maximum, floor),
                        _mm256_set1_pd(threshold.entropy_floor_slack));
  }
  // Not below the cut, NaN included.
  return _mm256_movemask_pd(_mm256_cmp_pd(_mm256_loadu_pd(bounds + j), cut, _CMP_NLT_UQ));
}
