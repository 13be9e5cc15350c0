// The order-2 walk's bounds with AVX-512: sixteen pairs a step, on the same
// terms as the AVX2 version's eight (single-precision shifted sums, totals
// below 2^24, q a float). The shifted terms take the 14-bit reciprocal as
// it is, which the sum's slack covers; the last step in double precision
// replaces both divisions by 1 / N from the 14-bit reciprocal and one
// Newton step (at most 2^-28 below the true value, inside the bound's
// slack), as the AVX-512 table bounds do.
#include <immintrin.h>

#include <cstring>
#include <limits>

#include "engine/count/information_gain_bound.h"
#include "engine/count/information_gain_bound_avx512.h"
#include "engine/count/information_gain_bound_finish.h"
#include "engine/count/pair_free_counts.h"
#include "engine/count/simd_targets.h"

// GCC 12 takes the undefined pass-through operand of the insertion and
// conversion intrinsics for an uninitialised variable (a false positive).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace {

// Count k of the sixteen pairs from p (a multiple of 8), `per` counts a
// pair; the second eight read as empty unless `both`.
GORVA_TARGET_AVX512 GORVA_INLINE __m512i loadCount(const int* counts, int per, long p, int k,
                                                   bool both) {
  const int* at = counts + freeCountAt(per, p, k);
  const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  const __m256i high = both ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + kPairBlock * per))
                            : _mm256_setzero_si256();
  return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
}

// shifted + (b - q n)^2 / n per lane, for a cell of a controls and b cases.
GORVA_TARGET_AVX512 GORVA_INLINE __m512 addShiftedTerm(__m512i a, __m512i b, __m512 fraction,
                                                       __m512 shifted) {
  const __m512 n = _mm512_cvtepi32_ps(_mm512_add_epi32(a, b));
  const __m512 d = _mm512_fnmadd_ps(fraction, n, _mm512_cvtepi32_ps(b));  // b - q n
  // An empty cell has d = 0; dividing by 1 instead keeps it 0.
  const __m512 inverse = _mm512_rcp14_ps(_mm512_max_ps(n, _mm512_set1_ps(1.0f)));
  return _mm512_fmadd_ps(_mm512_mul_ps(d, d), inverse, shifted);
}

// The bounds of eight pairs from their shifted sums and totals; infinity
// where a class is absent or `unbounded` says so.
GORVA_TARGET_AVX512 GORVA_INLINE __m512d finishEight(const BoundRequest& request, __m256 shifted_sum,
                                                     __m256i controls_count, __m256i cases_count,
                                                     __mmask8 unbounded) {
  const __m512d controls = _mm512_cvtepi32_pd(controls_count);
  const __m512d cases = _mm512_cvtepi32_pd(cases_count);
  const __m512d bound = boundsOfEight(request, shifted_sum, _mm512_add_pd(controls, cases), cases);
  const __mmask8 absent = _mm512_cmp_pd_mask(controls, _mm512_setzero_pd(), _CMP_EQ_OQ) |
                          _mm512_cmp_pd_mask(cases, _mm512_setzero_pd(), _CMP_EQ_OQ) | unbounded;
  return _mm512_mask_blend_pd(absent, bound, _mm512_set1_pd(std::numeric_limits<double>::infinity()));
}

// Stores the bounds of the sixteen pairs from p (only the first eight
// unless `both`).
GORVA_TARGET_AVX512 GORVA_INLINE void finishSixteen(const BoundRequest& request, __m512 shifted,
                                                    __m512i controls, __m512i cases,
                                                    __mmask16 unbounded, bool both,
                                                    double* bounds) {
  for (int h = 0; h < (both ? 2 : 1); ++h) {
    const __m256i controls_half =
        h == 0 ? _mm512_castsi512_si256(controls) : _mm512_extracti64x4_epi64(controls, 1);
    const __m256i cases_half = h == 0 ? _mm512_castsi512_si256(cases) : _mm512_extracti64x4_epi64(cases, 1);
    const __m256 shifted_half = h == 0 ? _mm512_castps512_ps256(shifted)
                                       : _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(shifted), 1));
    _mm512_storeu_pd(bounds + 8 * h, finishEight(request, shifted_half, controls_half, cases_half,
                                                 static_cast<__mmask8>(unbounded >> (8 * h))));
  }
}

// The bounds of the sixteen pairs from p (only the first eight unless
// `both`) whose totals are their own, worked out in single precision: the
// same bound as finishSixteen's to within its slack, without the double
// precision steps that cost as much as the shifted sum itself. 1 / N from
// the 14-bit reciprocal, raised or lowered by 2^-12 to stay on the safe
// side of the true value (the rounding of the few float steps included),
// where the subtracted term and the scale need it.
GORVA_TARGET_AVX512 GORVA_INLINE void finishSixteenOwnTotals(const BoundRequest& request, __m512 shifted,
                                                             __m512i n_count, __m512i cases_count, bool both,
                                                             double* bounds) {
  const __m512 n = _mm512_cvtepi32_ps(n_count);
  const __m512 off = _mm512_fnmadd_ps(_mm512_set1_ps(static_cast<float>(request.q)), n,
                                      _mm512_cvtepi32_ps(cases_count));
  const __m512 inverse = _mm512_rcp14_ps(n);
  const __m512 subtracted = _mm512_mul_ps(_mm512_mul_ps(off, off),
                                          _mm512_mul_ps(inverse, _mm512_set1_ps(static_cast<float>(kPinskerBits) * (1.0f - 0x1p-12f))));
  // MAXPS returns its second operand when either is NaN: a NaN stays NaN,
  // and no pair is ruled out by it.
  const __m512 numerator = _mm512_max_ps(
      _mm512_setzero_ps(),
      _mm512_fmsub_ps(_mm512_set1_ps(static_cast<float>(request.divergence_factor * kShiftedSumSlack) * (1.0f + 0x1p-20f)),
                      shifted, subtracted));
  __m512 bound = _mm512_mul_ps(_mm512_mul_ps(numerator, inverse),
                               _mm512_set1_ps(static_cast<float>(kBoundSlack) * (1.0f + 0x1p-12f)));
  // A class without samples: no bound.
  const __mmask16 absent = _mm512_cmpeq_epi32_mask(cases_count, _mm512_setzero_si512()) |
                           _mm512_cmpeq_epi32_mask(cases_count, n_count);
  bound = _mm512_mask_blend_ps(absent, bound, _mm512_set1_ps(std::numeric_limits<float>::infinity()));
  const __m512d floor = _mm512_set1_pd(boundFloor(request.cells));
  _mm512_storeu_pd(bounds, _mm512_add_pd(_mm512_cvtps_pd(_mm512_castps512_ps256(bound)), floor));
  if (both) {
    const __m256 high = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(bound), 1));
    _mm512_storeu_pd(bounds + kPairBlock, _mm512_add_pd(_mm512_cvtps_pd(high), floor));
  }
}

GORVA_TARGET_AVX512 GORVA_INLINE int loadWord(const std::uint8_t* at) {
  int word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

GORVA_TARGET_AVX512 GORVA_INLINE __m512i sums(const std::uint8_t* at) {
  return _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
}

// The cells l + 3 m of both classes of the sixteen pairs from p (a
// multiple of 8; the second eight mean nothing unless `both`), as
// completePairFromFree makes them.
GORVA_TARGET_AVX512 GORVA_INLINE void cellsFromFree(const PairFromFree& r, long p, bool both,
                                                    __m512i cells[9][2]) {
  const long j = r.offset + p;
  const long m = r.base + p;
  // Sixteen words 256 bytes apart: loaded one by one, which the CPUs at
  // hand do faster than a gather.
  __m128i quarters[4];
  for (int k = 0; k < 4; ++k) {
    const std::uint8_t* at = r.a_sums + 256 * (m + 4 * k);
    quarters[k] = _mm_setr_epi32(loadWord(at), loadWord(at + 256), loadWord(at + 512), loadWord(at + 768));
  }
  const __m512i a = _mm512_inserti64x4(
      _mm512_castsi256_si512(_mm256_set_m128i(quarters[1], quarters[0])), _mm256_set_m128i(quarters[3], quarters[2]), 1);
  const __m512i byte = _mm512_set1_epi32(0xFF);
  for (int c = 0; c < 2; ++c) {
    const __m512i f00 = loadCount(r.free_counts, kPairCounts, p, pairFreeCount(0, 0, c), both);
    const __m512i f10 = loadCount(r.free_counts, kPairCounts, p, pairFreeCount(1, 0, c), both);
    const __m512i f01 = loadCount(r.free_counts, kPairCounts, p, pairFreeCount(0, 1, c), both);
    const __m512i f11 = loadCount(r.free_counts, kPairCounts, p, pairFreeCount(1, 1, c), both);
    const __m512i c02 = _mm512_sub_epi32(
        _mm512_sub_epi32(_mm512_set1_epi32(r.first_levels[c]), _mm512_add_epi32(f00, f01)),
        _mm512_and_si512(_mm512_srli_epi32(a, 8 * c), byte));
    const __m512i c12 = _mm512_sub_epi32(
        _mm512_sub_epi32(_mm512_set1_epi32(r.first_levels[2 + c]), _mm512_add_epi32(f10, f11)),
        _mm512_and_si512(_mm512_srli_epi32(a, 8 * (2 + c)), byte));
    const __m512i c20 = _mm512_sub_epi32(
        _mm512_sub_epi32(_mm512_loadu_si512(r.second_levels[c] + m), _mm512_add_epi32(f00, f10)), sums(r.b_sums[c] + j));
    const __m512i c21 = _mm512_sub_epi32(
        _mm512_sub_epi32(_mm512_loadu_si512(r.second_levels[2 + c] + m), _mm512_add_epi32(f01, f11)),
        sums(r.b_sums[2 + c] + j));
    const __m512i c22 = _mm512_sub_epi32(
        _mm512_sub_epi32(_mm512_loadu_si512(r.second_levels[4 + c] + m), _mm512_add_epi32(c02, c12)),
        sums(r.b_sums[4 + c] + j));
    const __m512i made[9] = {f00, f10, c20, f01, f11, c21, c02, c12, c22};
    for (int e = 0; e < 9; ++e) cells[e][c] = made[e];
  }
}

// Pairs counted whole: each pair's own totals, and no bound for those that
// do not add up to fixed ones.
GORVA_TARGET_AVX512 void wholePairBounds(const PairBoundRequest& request, double* bounds) {
  // A copy, which no store to bounds can alias: its terms stay in registers.
  const BoundRequest terms = request.bound;
  const __m512 fraction = _mm512_set1_ps(static_cast<float>(terms.q));
  for (long p = 0; p < request.pairs; p += 2 * kPairBlock) {
    const bool both = p + kPairBlock < request.pairs;
    __m512i cells[9][2];
    if (request.from_free != nullptr) {
      cellsFromFree(*request.from_free, p, both, cells);
    } else {
      for (int k = 0; k < kWholePairCounts; ++k)
        cells[k / 2][k % 2] = loadCount(request.counts, kWholePairCounts, p, k, both);
    }
    if (terms.fixed_controls < 0) {
      __m512i n = _mm512_setzero_si512();
      __m512i cases = _mm512_setzero_si512();
      __m512 shifted = _mm512_setzero_ps();
      for (int e = 0; e < 9; ++e) {
        n = _mm512_add_epi32(n, _mm512_add_epi32(cells[e][0], cells[e][1]));
        cases = _mm512_add_epi32(cases, cells[e][1]);
        shifted = addShiftedTerm(cells[e][0], cells[e][1], fraction, shifted);
      }
      finishSixteenOwnTotals(terms, shifted, n, cases, both, bounds + p);
      continue;
    }
    __m512i controls = _mm512_setzero_si512();
    __m512i cases = _mm512_setzero_si512();
    __m512 shifted = _mm512_setzero_ps();
    for (int e = 0; e < 9; ++e) {
      const __m512i a = cells[e][0];
      const __m512i b = cells[e][1];
      controls = _mm512_add_epi32(controls, a);
      cases = _mm512_add_epi32(cases, b);
      shifted = addShiftedTerm(a, b, fraction, shifted);
    }
    __mmask16 unbounded = 0;
    if (terms.fixed_controls >= 0) {
      unbounded = _mm512_cmpneq_epi32_mask(controls, _mm512_set1_epi32(terms.fixed_controls)) |
                  _mm512_cmpneq_epi32_mask(cases, _mm512_set1_epi32(terms.fixed_cases));
    }
    finishSixteen(terms, shifted, controls, cases, unbounded, both, bounds + p);
  }
}

}  // namespace

GORVA_TARGET_AVX512 void pairInformationGainBoundsAvx512(const PairBoundRequest& request,
                                                         double* bounds) {
  if (request.whole) {
    wholePairBounds(request, bounds);
    return;
  }
  const PairTotals& totals = request.totals;
  const FixedTotalsBound fixed = fixedTotalsBound(request.bound, totals.controls, totals.cases);
  const __m512 fraction = _mm512_set1_ps(static_cast<float>(request.bound.q));
  const __m512i class_totals[2] = {_mm512_set1_epi32(totals.controls), _mm512_set1_epi32(totals.cases)};
  for (long p = 0; p < request.pairs; p += 2 * kPairBlock) {
    const bool both = p + kPairBlock < request.pairs;
    const __mmask16 live = both ? 0xFFFF : 0x00FF;
    __m512 shifted = _mm512_setzero_ps();
    __m512i cell[9];  // cell l + 3 m of one class, of sixteen pairs
    __m512i other[9];
    for (int c = 0; c < 2; ++c) {
      __m512i* const out = c == 0 ? cell : other;
      __m512i last_last = class_totals[c];
      for (int l = 0; l < 2; ++l) {
        const __m512i first_level = _mm512_set1_epi32(totals.first_levels[2 * l + c]);
        __m512i rest = first_level;
        for (int m = 0; m < 2; ++m) {
          const __m512i x = loadCount(request.counts, kPairCounts, p, pairFreeCount(l, m, c), both);
          out[l + 3 * m] = x;
          rest = _mm512_sub_epi32(rest, x);
        }
        out[l + 6] = rest;
        last_last = _mm512_sub_epi32(last_last, first_level);
      }
      for (int m = 0; m < 2; ++m) {
        const __m512i level =
            _mm512_maskz_loadu_epi32(live, totals.second_levels[2 * m + c] + request.first_second + p);
        out[2 + 3 * m] = _mm512_sub_epi32(_mm512_sub_epi32(level, out[3 * m]), out[1 + 3 * m]);
        last_last = _mm512_sub_epi32(last_last, out[2 + 3 * m]);
      }
      out[8] = last_last;
    }
    for (int e = 0; e < 9; ++e) shifted = addShiftedTerm(cell[e], other[e], fraction, shifted);
    _mm512_storeu_pd(bounds + p, boundsOfEight(fixed, _mm512_castps512_ps256(shifted)));
    if (both) {
      const __m256 high = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(shifted), 1));
      _mm512_storeu_pd(bounds + p + kPairBlock, boundsOfEight(fixed, high));
    }
  }
}
