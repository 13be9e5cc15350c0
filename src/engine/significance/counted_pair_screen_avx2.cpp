#include <immintrin.h>

#include <cmath>
#include <limits>

#include "engine/count/pair_free_counts.h"
#include "engine/count/simd_targets.h"
#include "engine/significance/counted_pair_screen.h"

// The AVX-512 screen's steps eight lanes at a time: a group of sixteen
// slots is its two blocks of eight, each one load of the counts. AVX2 has
// no reciprocal within 2^-14 (rcp_ps errs by up to 1.5 * 2^-12) and no
// rounding chosen per instruction, so the reciprocals are divisions, each
// within 2^-24, and the cut of a pair's synergy is lowered by two ulps
// after its rounded sum. Every other step and constant is the AVX-512
// screen's, so both keep what the bound keeps, give or take a few ulps on
// the safe side.

namespace {

constexpr int kCells = 9;
constexpr int kHalves = kScreenLanes / kPairBlock;

GORVA_TARGET_AVX2 GORVA_INLINE __m256i loadEight(const int* counts, long slot, int k) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(counts + freeCountAt(kWholePairCounts, slot, k)));
}

}  // namespace

GORVA_TARGET_AVX2 void prepareScreenTotalsAvx2(const int* counts, int slots, const ScreenTotals& out) {
  // A quotient within 2^-24 of 1 / n, raised past that and the product's rounding.
  const __m256 raise = _mm256_set1_ps(1.0f + 0x1p-20f);
  const __m256 one = _mm256_set1_ps(1.0f);
  for (int slot = 0, g = 0; slot < slots; slot += kScreenLanes, ++g) {
    for (int h = 0; h < kHalves; ++h) {
      const long lanes = static_cast<long>(slot) + h * kPairBlock;
      const bool present = lanes < slots;
      __m256i samples = _mm256_setzero_si256();
      for (int e = 0; e < kCells; ++e) {
        const __m256i n = present ? _mm256_add_epi32(loadEight(counts, lanes, 2 * e), loadEight(counts, lanes, 2 * e + 1))
                                  : _mm256_setzero_si256();
        samples = _mm256_add_epi32(samples, n);
        const long at = (static_cast<long>(g) * kCells + e) * kScreenLanes + h * kPairBlock;
        const __m256 nf = _mm256_cvtepi32_ps(n);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out.cells + at), n);
        _mm256_storeu_ps(out.counts + at, nf);
        _mm256_storeu_ps(out.inverse + at, _mm256_mul_ps(_mm256_div_ps(one, _mm256_max_ps(nf, one)), raise));
      }
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out.samples + static_cast<long>(g) * kScreenLanes + h * kPairBlock),
                          samples);
    }
  }
}

GORVA_TARGET_AVX2 void screenCountedPairsAvx2(const ScreenRequest& request) {
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 zero = _mm256_setzero_ps();
  const __m256 infinity = _mm256_set1_ps(std::numeric_limits<float>::infinity());
  const __m256 not_a_number = _mm256_set1_ps(std::numeric_limits<float>::quiet_NaN());
  const __m256 sign = _mm256_set1_ps(-0.0f);
  // The AVX-512 screen's constants (there, what each covers).
  const __m256 raise = _mm256_set1_ps(1.0f + 0x1p-11f);
  const __m256 to_statistic = _mm256_set1_ps(static_cast<float>(2 * std::log(2.0) * (1 + 0x1p-20)));
  const __m256 pinsker = _mm256_set1_ps(static_cast<float>(2 / std::log(2.0) * (1 - 0x1p-12)));
  const __m256 two_ulps = _mm256_set1_ps(0x1p-22f);
  const __m256 threshold = _mm256_set1_ps(request.threshold);
  const __m256 four = _mm256_set1_ps(4.0f);
  const __m256 lower = _mm256_set1_ps(1.0f - 0x1p-18f);
  const int groups = (request.slots + kScreenLanes - 1) / kScreenLanes;
  for (int g = 0; g < groups; ++g) {
    unsigned kept = 0;
    for (int h = 0; h < kHalves; ++h) {
      const long slot = static_cast<long>(g) * kScreenLanes + h * kPairBlock;
      if (slot >= request.slots) {
        _mm256_storeu_ps(request.bounds + slot, not_a_number);
        continue;
      }
      __m256 sum = zero;
      __m256i weights = _mm256_setzero_si256();
      __m256 spreads = zero;
      __m256i unbounded = _mm256_setzero_si256();
      __m256i informative = _mm256_setzero_si256();
      for (int s = 0; s < request.stratum_count; ++s) {
        const ScreenStratum& stratum = request.strata[s];
        const __m256 q = _mm256_set1_ps(stratum.fraction);
        __m256 shifted = zero;
        __m256i counted = _mm256_setzero_si256();
        for (int e = 0; e < kCells; ++e) {
          const long at = (static_cast<long>(g) * kCells + e) * kScreenLanes + h * kPairBlock;
          const __m256i m = loadEight(stratum.counted, slot, 2 * e + request.member);
          counted = _mm256_add_epi32(counted, m);
          const __m256 d = _mm256_fnmadd_ps(q, _mm256_loadu_ps(stratum.totals.counts + at), _mm256_cvtepi32_ps(m));
          shifted = _mm256_fmadd_ps(_mm256_mul_ps(d, d), _mm256_loadu_ps(stratum.totals.inverse + at), shifted);
        }
        const __m256i n = _mm256_loadu_si256(
            reinterpret_cast<const __m256i*>(stratum.totals.samples + static_cast<long>(g) * kScreenLanes + h * kPairBlock));
        const __m256 nf = _mm256_cvtepi32_ps(n);
        const __m256 off = _mm256_fnmadd_ps(q, nf, _mm256_cvtepi32_ps(counted));
        // pinsker is lowered by 2^-12, far past the quotient's and the products' roundings.
        const __m256 subtracted = _mm256_mul_ps(_mm256_mul_ps(off, off), _mm256_div_ps(pinsker, _mm256_max_ps(nf, one)));
        const __m256 numerator =
            _mm256_max_ps(zero, _mm256_fmsub_ps(_mm256_set1_ps(stratum.factor), shifted, subtracted));
        __m256i both_classes;
        __m256i weight = n;
        __m256i no_bound = stratum.bounded ? _mm256_setzero_si256() : _mm256_set1_epi32(-1);
        if (stratum.fixed_samples < 0) {
          both_classes = _mm256_andnot_si256(_mm256_or_si256(_mm256_cmpgt_epi32(counted, n), _mm256_cmpeq_epi32(counted, n)),
                                             _mm256_cmpgt_epi32(counted, _mm256_setzero_si256()));
        } else {
          both_classes = _mm256_set1_epi32(-1);
          weight = _mm256_set1_epi32(stratum.fixed_samples);
          const __m256i same = _mm256_and_si256(_mm256_cmpeq_epi32(n, weight),
                                               _mm256_cmpeq_epi32(counted, _mm256_set1_epi32(stratum.fixed_counted)));
          no_bound = _mm256_or_si256(no_bound, _mm256_xor_si256(same, _mm256_set1_epi32(-1)));
        }
        sum = _mm256_add_ps(sum, _mm256_and_ps(_mm256_castsi256_ps(both_classes), numerator));
        if (request.relative) {
          __m256 spread = _mm256_set1_ps(stratum.spread);
          if (stratum.fixed_samples < 0) {
            const __m256 mf = _mm256_cvtepi32_ps(counted);
            spread = _mm256_div_ps(_mm256_mul_ps(_mm256_mul_ps(mf, _mm256_sub_ps(nf, mf)), four),
                                   _mm256_max_ps(nf, one));
          }
          spreads = _mm256_add_ps(spreads, _mm256_and_ps(_mm256_castsi256_ps(both_classes), spread));
        }
        weights = _mm256_add_epi32(weights, _mm256_and_si256(both_classes, weight));
        unbounded = _mm256_or_si256(unbounded, _mm256_and_si256(both_classes, no_bound));
        informative = _mm256_or_si256(informative, both_classes);
      }
      __m256 bound;
      if (request.statistic) {
        bound = _mm256_mul_ps(_mm256_mul_ps(sum, to_statistic), raise);
      } else if (request.relative) {
        bound = _mm256_mul_ps(_mm256_div_ps(sum, _mm256_mul_ps(spreads, lower)), raise);
      } else {
        bound = _mm256_mul_ps(_mm256_div_ps(sum, _mm256_max_ps(_mm256_cvtepi32_ps(weights), one)), raise);
      }
      bound = _mm256_blendv_ps(bound, infinity, _mm256_castsi256_ps(unbounded));
      bound = _mm256_blendv_ps(not_a_number, bound, _mm256_castsi256_ps(informative));
      _mm256_storeu_ps(request.bounds + slot, bound);
      __m256 cut = threshold;
      if (request.add != nullptr) {
        // Rounded to nearest, then lowered by two of its ulps: at or below the exact sum.
        cut = _mm256_add_ps(cut, _mm256_loadu_ps(request.add + slot));
        cut = _mm256_sub_ps(cut, _mm256_mul_ps(_mm256_andnot_ps(sign, cut), two_ulps));
      }
      kept |= static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(bound, cut, _CMP_GE_OQ))) << (h * kPairBlock);
    }
    request.kept[g] = static_cast<std::uint16_t>(kept & request.valid[g]);
  }
}

GORVA_TARGET_AVX2 void slotOrderedValuesAvx2(const float* values, int base, int slots, float* out) {
  // segmentedPairSlot's order: slot t of a block of eight holds pair 4 (t % 2) + t / 2.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  for (int slot = 0; slot < (slots + kScreenLanes - 1) / kScreenLanes * kScreenLanes; slot += kPairBlock)
    _mm256_storeu_ps(out + slot, _mm256_permutevar8x32_ps(_mm256_loadu_ps(values + base + slot), order));
}
