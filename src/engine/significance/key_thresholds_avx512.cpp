#include <immintrin.h>

#include <numbers>

#include "engine/rank/search_context.h"
#include "engine/count/simd_targets.h"
#include "engine/significance/key_thresholds.h"

// GCC 12 takes the undefined pass-through operand of the conversion
// intrinsics for an uninitialised variable (a false positive).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace {

// The four-lane cut's operations, in its order, on eight lanes, for one
// measure.
template <int kMeasure>
GORVA_TARGET_AVX512 GORVA_INLINE int eightLanes(const double* bounds, const KeyThreshold& threshold, int j) {
  if constexpr (kMeasure == kRankByP) {
    const __m512d samples = _mm512_cvtepi32_pd(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(threshold.samples + j)));
    const __m512d statistic =
        _mm512_mul_pd(_mm512_mul_pd(_mm512_set1_pd(2 * std::numbers::ln2), samples),
                      _mm512_loadu_pd(bounds + j));
    return _mm512_cmp_pd_mask(statistic, _mm512_set1_pd(threshold.statistic_cut), _CMP_NLT_UQ);
  }
  const __m512d maximum = _mm512_set1_pd(threshold.maximum);
  __m512d cut = maximum;
  if constexpr (kMeasure == kRankBySynergy) {
    cut = _mm512_add_pd(maximum, _mm512_add_pd(_mm512_set1_pd(threshold.prefix_gains),
                                               _mm512_loadu_pd(threshold.gains + j)));
  } else if constexpr (kMeasure == kRankByRIG) {
    __m512d p;
    if (threshold.own_totals) {
      const __m512d cases = _mm512_cvtepi32_pd(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(threshold.cases + j)));
      const __m512d samples = _mm512_cvtepi32_pd(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(threshold.samples + j)));
      p = _mm512_div_pd(cases, samples);
    } else {
      p = _mm512_set1_pd(threshold.fixed_cases / threshold.fixed_samples);
    }
    const __m512d floor = _mm512_mul_pd(_mm512_mul_pd(_mm512_set1_pd(4.0), p),
                                        _mm512_sub_pd(_mm512_set1_pd(1.0), p));
    cut = _mm512_mul_pd(_mm512_mul_pd(maximum, floor),
                        _mm512_set1_pd(threshold.entropy_floor_slack));
  }
  // Not below the cut, NaN included.
  return _mm512_cmp_pd_mask(_mm512_loadu_pd(bounds + j), cut, _CMP_NLT_UQ);
}

template <int kMeasure>
GORVA_TARGET_AVX512 int scanEights(const double* bounds, const KeyThreshold& threshold, int j, int end,
                                   int* lanes) {
  for (; j + 8 <= end; j += 8) {
    const int found = eightLanes<kMeasure>(bounds, threshold, j);
    if (found != 0) {
      *lanes = found;
      return j;
    }
  }
  *lanes = 0;
  return j;
}

}  // namespace

GORVA_TARGET_AVX512 int firstExceedingEightAvx512(const double* bounds, const KeyThreshold& threshold, int j,
                                                  int end, int* lanes) {
  switch (threshold.measure) {
    case kRankByP:
      return scanEights<kRankByP>(bounds, threshold, j, end, lanes);
    case kRankBySynergy:
      return scanEights<kRankBySynergy>(bounds, threshold, j, end, lanes);
    case kRankByRIG:
      return scanEights<kRankByRIG>(bounds, threshold, j, end, lanes);
    default:
      return scanEights<kRankByIG>(bounds, threshold, j, end, lanes);
  }
}
