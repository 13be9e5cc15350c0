// The em pairs' bounds sixteen pairs a step, in single precision: counts
// below 2^24 convert exactly, every term added to either sum is
// non-negative (a negative rise is raised to 0, which only loosens the
// bound; the corners' sum adds each cell's largest f, not its rise) so that
// the sums' roundings stay relative, and each rise is raised by 2^-16
// absolute past the roundings of its quotient and product. The last step
// is emPairBound's own, in double precision.
#include <immintrin.h>

#include <algorithm>

#include "engine/count/em_pair_bounds.h"
#include "engine/count/information_gain_bound_finish.h"
#include "engine/count/simd_targets.h"

// GCC 12 takes the undefined pass-through operand of the gathers for an
// uninitialised variable (a false positive).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace {

constexpr int L = kEmPairLevels;
constexpr int kCounted = L + 1;
constexpr int kLanes = 16;

struct Class {
  __m512 observed[L][L];  // [l][m]
  __m512 row[L];          // observed at the first marker only, by its level
  __m512 column[L];
  __m512 both;
  // Which kinds may end in cell (l, m), and the samples that may.
  __mmask16 row_ends[L][L];
  __mmask16 column_ends[L][L];
  __mmask16 both_ends[L][L];
  __m512 ending[L][L];
};

GORVA_TARGET_AVX512 GORVA_INLINE __m512 countOf(const int* counted, __m512i offsets, __mmask16 live, int k) {
  return _mm512_cvtepi32_ps(
      _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), live, offsets, counted + k, sizeof(int)));
}

GORVA_TARGET_AVX512 GORVA_INLINE void load(const int* counted, __m512i offsets, __mmask16 live, int y, Class& c,
                                           __m512& total) {
  total = _mm512_setzero_ps();
  for (int m = 0; m < kCounted; ++m) {
    for (int l = 0; l < kCounted; ++l) {
      const __m512 count = countOf(counted, offsets, live, 2 * (l + kCounted * m) + y);
      total = _mm512_add_ps(total, count);
      if (l < L && m < L) {
        c.observed[l][m] = count;
      } else if (l < L) {
        c.row[l] = count;
      } else if (m < L) {
        c.column[m] = count;
      } else {
        c.both = count;
      }
    }
  }
}

GORVA_TARGET_AVX512 GORVA_INLINE void whereKindsEnd(Class& c) {
  const __m512 zero = _mm512_setzero_ps();
  __m512 reach[L][L];
  __m512 most = zero;
  for (int l = 0; l < L; ++l) {
    for (int m = 0; m < L; ++m) {
      reach[l][m] = _mm512_add_ps(_mm512_add_ps(c.observed[l][m], c.row[l]), _mm512_add_ps(c.column[m], c.both));
      most = _mm512_max_ps(most, c.observed[l][m]);
    }
  }
  const __mmask16 has_both = _mm512_cmp_ps_mask(c.both, zero, _CMP_GT_OQ);
  for (int l = 0; l < L; ++l) {
    const __m512 row_most = _mm512_max_ps(_mm512_max_ps(c.observed[l][0], c.observed[l][1]), c.observed[l][2]);
    const __m512 column_most = _mm512_max_ps(_mm512_max_ps(c.observed[0][l], c.observed[1][l]), c.observed[2][l]);
    const __mmask16 has_row = _mm512_cmp_ps_mask(c.row[l], zero, _CMP_GT_OQ);
    const __mmask16 has_column = _mm512_cmp_ps_mask(c.column[l], zero, _CMP_GT_OQ);
    for (int m = 0; m < L; ++m) {
      c.row_ends[l][m] = has_row & _mm512_cmp_ps_mask(reach[l][m], row_most, _CMP_GE_OQ);
      c.column_ends[m][l] = has_column & _mm512_cmp_ps_mask(reach[m][l], column_most, _CMP_GE_OQ);
    }
  }
  for (int l = 0; l < L; ++l) {
    for (int m = 0; m < L; ++m) {
      c.both_ends[l][m] = has_both & _mm512_cmp_ps_mask(reach[l][m], most, _CMP_GE_OQ);
      __m512 ending = _mm512_maskz_mov_ps(c.row_ends[l][m], c.row[l]);
      ending = _mm512_mask_add_ps(ending, c.column_ends[l][m], ending, c.column[m]);
      c.ending[l][m] = _mm512_mask_add_ps(ending, c.both_ends[l][m], ending, c.both);
    }
  }
}

// (b - q n)^2 / n, 0 for an empty cell (whose b - q n is 0).
GORVA_TARGET_AVX512 GORVA_INLINE __m512 shiftedTerm(__m512 q, __m512 b, __m512 n) {
  const __m512 d = _mm512_fnmadd_ps(q, n, b);
  return _mm512_div_ps(_mm512_mul_ps(d, d), _mm512_max_ps(n, _mm512_set1_ps(1.0f)));
}

}  // namespace

GORVA_TARGET_AVX512 void emPairBoundsAvx512(const EmPairBoundRequest& request, double* bounds) {
  const float q = static_cast<float>(request.q);
  const __m512 qv = _mm512_set1_ps(q);
  const __m512 q_squared = _mm512_set1_ps(q * q);  // rounded either way: inside the rise's slack
  const __m512 two_less_q = _mm512_set1_ps(2.0f - q);
  const __m512 one = _mm512_set1_ps(1.0f);
  const __m512 zero = _mm512_setzero_ps();
  const __m512 slack = _mm512_set1_ps(0x1p-16f);
  const __m512i lane_offsets = _mm512_mullo_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                                                  _mm512_set1_epi32(kEmPairCountedInts));
  for (int first = 0; first < request.count; first += kLanes) {
    const int lanes = std::min(kLanes, request.count - first);
    const __mmask16 live = static_cast<__mmask16>((1u << lanes) - 1);
    const int* counted = request.counted + static_cast<long>(first) * kEmPairCountedInts;
    Class classes[2];
    __m512 totals[2];
    for (int y = 0; y < 2; ++y) {
      load(counted, lane_offsets, live, y, classes[y], totals[y]);
      whereKindsEnd(classes[y]);
    }
    __m512 shifted = zero;
    __m512 corners = zero;
    __m512 row_worst[2][L];
    __m512 column_worst[2][L];
    __m512 both_worst[2] = {zero, zero};
    for (int y = 0; y < 2; ++y)
      for (int l = 0; l < L; ++l) row_worst[y][l] = column_worst[y][l] = zero;
    for (int l = 0; l < L; ++l) {
      for (int m = 0; m < L; ++m) {
        const __m512 b = classes[1].observed[l][m];
        const __m512 n = _mm512_add_ps(classes[0].observed[l][m], b);
        const __m512 own = shiftedTerm(qv, b, n);
        shifted = _mm512_add_ps(shifted, own);
        // Where samples may end: n + ending > 0.
        const __m512 cases_in = classes[1].ending[l][m];
        const __m512 controls_in = classes[0].ending[l][m];
        const __m512 with_cases = _mm512_add_ps(b, cases_in);
        const __m512 corner = _mm512_max_ps(
            _mm512_max_ps(own, shiftedTerm(qv, with_cases, _mm512_add_ps(n, cases_in))),
            _mm512_max_ps(shiftedTerm(qv, b, _mm512_add_ps(n, controls_in)),
                          shiftedTerm(qv, with_cases, _mm512_add_ps(_mm512_add_ps(n, cases_in), controls_in))));
        corners = _mm512_add_ps(corners, corner);
        const __m512 high = _mm512_div_ps(_mm512_add_ps(b, cases_in), _mm512_max_ps(_mm512_add_ps(n, cases_in), one));
        const __m512 case_rise = _mm512_add_ps(
            _mm512_max_ps(_mm512_mul_ps(_mm512_sub_ps(high, qv), _mm512_sub_ps(two_less_q, high)), zero), slack);
        const __m512 low = _mm512_div_ps(b, _mm512_max_ps(_mm512_add_ps(n, controls_in), one));
        const __m512 control_rise =
            _mm512_add_ps(_mm512_max_ps(_mm512_fnmadd_ps(low, low, q_squared), zero), slack);
        const __m512 rises[2] = {control_rise, case_rise};
        for (int y = 0; y < 2; ++y) {
          const Class& c = classes[y];
          row_worst[y][l] = _mm512_mask_max_ps(row_worst[y][l], c.row_ends[l][m], row_worst[y][l], rises[y]);
          column_worst[y][m] =
              _mm512_mask_max_ps(column_worst[y][m], c.column_ends[l][m], column_worst[y][m], rises[y]);
          both_worst[y] = _mm512_mask_max_ps(both_worst[y], c.both_ends[l][m], both_worst[y], rises[y]);
        }
      }
    }
    for (int y = 0; y < 2; ++y) {
      const Class& c = classes[y];
      for (int l = 0; l < L; ++l) {
        shifted = _mm512_fmadd_ps(c.row[l], row_worst[y][l], shifted);
        shifted = _mm512_fmadd_ps(c.column[l], column_worst[y][l], shifted);
      }
      shifted = _mm512_fmadd_ps(c.both, both_worst[y], shifted);
    }
    alignas(64) float sums[kLanes];
    alignas(64) float controls[kLanes];
    alignas(64) float cases[kLanes];
    _mm512_store_ps(sums, _mm512_min_ps(shifted, corners));
    _mm512_store_ps(controls, totals[0]);
    _mm512_store_ps(cases, totals[1]);
    // The sum of a few dozen non-negative terms, each within a few roundings
    // of 2^-24: raised by 2^-16 relative, far inside the bound's own slack.
    for (int j = 0; j < lanes; ++j)
      bounds[first + j] = informationGainBoundFrom(static_cast<double>(sums[j]) * (1 + 0x1p-16), controls[j], cases[j],
                                                   request.q, request.factor, L * L);
  }
}
