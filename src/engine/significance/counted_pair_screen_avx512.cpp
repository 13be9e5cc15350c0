#include <immintrin.h>

#include <cmath>
#include <limits>

#include "engine/count/pair_free_counts.h"
#include "engine/count/simd_targets.h"
#include "engine/significance/counted_pair_screen.h"

// GCC 12 takes the undefined pass-through operand of the insertion and
// conversion intrinsics for an uninitialised variable (a false positive).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

#define GORVA_TARGET_AVX512_FMA __attribute__((target("avx512f,avx512bw,avx512vl,avx512vpopcntdq,popcnt,fma")))

namespace {

constexpr int kCells = 9;

// Eight counts of slots from `slot` (a multiple of 8), and the next eight
// where `both`, else zeros.
GORVA_TARGET_AVX512 GORVA_INLINE __m512i loadSixteen(const int* counts, long slot, int k, bool both) {
  const int* at = counts + freeCountAt(kWholePairCounts, slot, k);
  const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  const __m256i high = both ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + kPairBlock * kWholePairCounts))
                            : _mm256_setzero_si256();
  return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
}

}  // namespace

float floatAtOrBelow(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) > x) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
  return f;
}

GORVA_TARGET_AVX512 void prepareScreenTotals(const int* counts, int slots, const ScreenTotals& out) {
  // The rcp14 estimate is within 2^-14 of 1 / n: raised by 2^-11 it is
  // never low, even after the product's rounding.
  const __m512 raise = _mm512_set1_ps(1.0f + 0x1p-11f);
  const __m512 one = _mm512_set1_ps(1.0f);
  for (int slot = 0, g = 0; slot < slots; slot += kScreenLanes, ++g) {
    const bool both = slot + kPairBlock < slots;
    __m512i samples = _mm512_setzero_si512();
    for (int e = 0; e < kCells; ++e) {
      const __m512i n = _mm512_add_epi32(loadSixteen(counts, slot, 2 * e, both), loadSixteen(counts, slot, 2 * e + 1, both));
      samples = _mm512_add_epi32(samples, n);
      const long at = (static_cast<long>(g) * kCells + e) * kScreenLanes;
      const __m512 nf = _mm512_cvtepi32_ps(n);
      _mm512_storeu_si512(out.cells + at, n);
      _mm512_storeu_ps(out.counts + at, nf);
      _mm512_storeu_ps(out.inverse + at, _mm512_mul_ps(_mm512_rcp14_ps(_mm512_max_ps(nf, one)), raise));
    }
    _mm512_storeu_si512(out.samples + static_cast<long>(g) * kScreenLanes, samples);
  }
}

GORVA_TARGET_AVX512_FMA void screenCountedPairs(const ScreenRequest& request) {
  const __m512 one = _mm512_set1_ps(1.0f);
  const __m512 infinity = _mm512_set1_ps(std::numeric_limits<float>::infinity());
  const __m512 not_a_number = _mm512_set1_ps(std::numeric_limits<float>::quiet_NaN());
  // What the sum over strata and the last steps may have rounded down
  // (a few ulps at 2^-24 each), the bound's own relative slack (2^-20),
  // and for the gain the reciprocal's error (2^-14): 2^-11 covers them all.
  const __m512 raise = _mm512_set1_ps(1.0f + 0x1p-11f);
  // 2 ln 2, rounded up.
  const __m512 to_statistic = _mm512_set1_ps(static_cast<float>(2 * std::log(2.0) * (1 + 0x1p-20)));
  // What the bound subtracts, lowered past the reciprocal's error: 2 / ln 2.
  const __m512 pinsker = _mm512_set1_ps(static_cast<float>(2 / std::log(2.0) * (1 - 0x1p-12)));
  const __m512 threshold = _mm512_set1_ps(request.threshold);
  const __m512 four = _mm512_set1_ps(4.0f);
  // The strata's D_s: a product, a quotient and up to 16 sums, each within 2^-24.
  const __m512 lower = _mm512_set1_ps(1.0f - 0x1p-18f);
  const int groups = (request.slots + kScreenLanes - 1) / kScreenLanes;
  for (int g = 0; g < groups; ++g) {
    const long slot = static_cast<long>(g) * kScreenLanes;
    const bool both = slot + kPairBlock < request.slots;
    __m512 sum = _mm512_setzero_ps();
    __m512i weights = _mm512_setzero_si512();
    __m512 spreads = _mm512_setzero_ps();
    __mmask16 unbounded = 0;
    __mmask16 informative = 0;
    for (int s = 0; s < request.stratum_count; ++s) {
      const ScreenStratum& stratum = request.strata[s];
      const __m512 q = _mm512_set1_ps(stratum.fraction);
      __m512 shifted = _mm512_setzero_ps();
      __m512i counted = _mm512_setzero_si512();
      for (int e = 0; e < kCells; ++e) {
        const long at = (static_cast<long>(g) * kCells + e) * kScreenLanes;
        const __m512i m = loadSixteen(stratum.counted, slot, 2 * e + request.member, both);
        counted = _mm512_add_epi32(counted, m);
        const __m512 d = _mm512_fnmadd_ps(q, _mm512_loadu_ps(stratum.totals.counts + at), _mm512_cvtepi32_ps(m));
        shifted = _mm512_fmadd_ps(_mm512_mul_ps(d, d), _mm512_loadu_ps(stratum.totals.inverse + at), shifted);
      }
      const __m512i n = _mm512_loadu_si512(stratum.totals.samples + slot);
      const __m512 nf = _mm512_cvtepi32_ps(n);
      const __m512 off = _mm512_fnmadd_ps(q, nf, _mm512_cvtepi32_ps(counted));
      // 1 / n may come out high by 2^-14, which only lowers what is subtracted.
      const __m512 subtracted =
          _mm512_mul_ps(_mm512_mul_ps(off, off), _mm512_mul_ps(_mm512_rcp14_ps(_mm512_max_ps(nf, one)), pinsker));
      const __m512 numerator =
          _mm512_max_ps(_mm512_setzero_ps(), _mm512_fmsub_ps(_mm512_set1_ps(stratum.factor), shifted, subtracted));
      __mmask16 both_classes = 0;
      __m512i weight = n;
      __mmask16 no_bound = stratum.bounded ? 0 : 0xFFFF;
      if (stratum.fixed_samples < 0) {
        both_classes = _mm512_cmpgt_epi32_mask(counted, _mm512_setzero_si512()) & _mm512_cmplt_epi32_mask(counted, n);
      } else {
        both_classes = 0xFFFF;
        weight = _mm512_set1_epi32(stratum.fixed_samples);
        no_bound |= _mm512_cmpneq_epi32_mask(n, weight) |
                    _mm512_cmpneq_epi32_mask(counted, _mm512_set1_epi32(stratum.fixed_counted));
      }
      sum = _mm512_mask_add_ps(sum, both_classes, sum, numerator);
      if (request.relative) {
        __m512 spread = _mm512_set1_ps(stratum.spread);
        if (stratum.fixed_samples < 0) {
          const __m512 mf = _mm512_cvtepi32_ps(counted);
          spread = _mm512_div_ps(_mm512_mul_ps(_mm512_mul_ps(mf, _mm512_sub_ps(nf, mf)), four),
                                 _mm512_max_ps(nf, one));
        }
        spreads = _mm512_mask_add_ps(spreads, both_classes, spreads, spread);
      }
      weights = _mm512_mask_add_epi32(weights, both_classes, weights, weight);
      unbounded |= both_classes & no_bound;
      informative |= both_classes;
    }
    __m512 bound;
    if (request.statistic) {
      bound = _mm512_mul_ps(_mm512_mul_ps(sum, to_statistic), raise);
    } else if (request.relative) {
      bound = _mm512_mul_ps(_mm512_div_ps(sum, _mm512_mul_ps(spreads, lower)), raise);
    } else {
      const __m512 inverse = _mm512_rcp14_ps(_mm512_max_ps(_mm512_cvtepi32_ps(weights), one));
      bound = _mm512_mul_ps(_mm512_mul_ps(sum, inverse), raise);
    }
    bound = _mm512_mask_blend_ps(unbounded, bound, infinity);
    bound = _mm512_mask_blend_ps(informative, not_a_number, bound);
    _mm512_storeu_ps(request.bounds + slot, bound);
    __m512 cut = threshold;
    if (request.add != nullptr)
      cut = _mm512_add_round_ps(cut, _mm512_loadu_ps(request.add + slot), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    request.kept[g] = _mm512_cmp_ps_mask(bound, cut, _CMP_GE_OQ) & request.valid[g];
  }
}

GORVA_TARGET_AVX512 void slotOrderedValues(const float* values, int base, int slots, float* out) {
  // segmentedPairSlot's order: slot t of a block of eight holds pair 4 (t % 2) + t / 2.
  const __m512i order = _mm512_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  for (int slot = 0; slot < slots; slot += kScreenLanes)
    _mm512_storeu_ps(out + slot, _mm512_permutexvar_ps(order, _mm512_loadu_ps(values + base + slot)));
}
