// The information-gain bound eight tables at a time, one table per 64-bit
// lane: each cell's control and case counts come in as one 64-bit gather
// (controls low, cases high), 1 / n_c from the 14-bit reciprocal, whose error
// the shifted-sum slack covers.
#include <immintrin.h>

#include <cstdint>
#include <limits>

#include "engine/information_gain_bound.h"
#include "engine/information_gain_bound_finish.h"

#define GORVA_AVX512 __attribute__((target("avx512f")))

// GCC 12 takes the undefined pass-through operand of the conversion
// intrinsics for an uninitialised variable (a false positive).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace {

struct BoundSums {
  __m512i totals;  // controls low, cases high
  __m512d shifted;
};

// Adds one cell of eight tables (controls low, cases high in each lane).
GORVA_AVX512 __attribute__((always_inline)) inline void addCell(__m512i cell, __m512d fraction, BoundSums& sums) {
  sums.totals = _mm512_add_epi64(sums.totals, cell);
  const __m512d a = _mm512_cvtepi32_pd(_mm512_cvtepi64_epi32(cell));
  const __m512d b = _mm512_cvtepi32_pd(_mm512_cvtepi64_epi32(_mm512_srli_epi64(cell, 32)));
  const __m512d n = _mm512_add_pd(a, b);
  const __m512d d = _mm512_fnmadd_pd(fraction, n, b);  // b - q n
  // An empty cell has d = 0; dividing by 1 instead keeps it 0.
  const __m512d inverse = _mm512_rcp14_pd(_mm512_max_pd(n, _mm512_set1_pd(1.0)));
  sums.shifted = _mm512_fmadd_pd(_mm512_mul_pd(d, d), inverse, sums.shifted);
}

// Eight cells of eight tables: one load per table and an 8 x 8 transpose of
// 64-bit elements, so that lane t of every vector is table t. The cells
// come out in another order, which a sum does not mind.
GORVA_AVX512 __attribute__((always_inline)) inline void addEightCells(const int* base, int stride, __mmask8 live_tables,
                                       __mmask8 live_cells, __m512d fraction, BoundSums& sums) {
  __m512i row[8];
  for (int t = 0; t < 8; ++t) {
    row[t] = (live_tables >> t) & 1 ? _mm512_maskz_loadu_epi64(live_cells, base + t * stride)
                                    : _mm512_setzero_si512();
  }
  __m512i half[8];
  for (int i = 0; i < 8; i += 2) {
    half[i] = _mm512_unpacklo_epi64(row[i], row[i + 1]);
    half[i + 1] = _mm512_unpackhi_epi64(row[i], row[i + 1]);
  }
  __m512i quarter[8];
  for (int i = 0; i < 8; i += 4) {
    for (int k = 0; k < 2; ++k) {
      quarter[i + 2 * k] = _mm512_shuffle_i64x2(half[i + k], half[i + k + 2], 0x88);
      quarter[i + 2 * k + 1] = _mm512_shuffle_i64x2(half[i + k], half[i + k + 2], 0xDD);
    }
  }
  for (int k = 0; k < 4; ++k) {
    addCell(_mm512_shuffle_i64x2(quarter[k], quarter[k + 4], 0x88), fraction, sums);
    addCell(_mm512_shuffle_i64x2(quarter[k], quarter[k + 4], 0xDD), fraction, sums);
  }
}

}  // namespace

GORVA_AVX512 void informationGainBoundsAvx512(const BoundRequest& request, double* bounds) {
  const int* tables = request.tables;
  const int count = request.count;
  const int stride = request.stride;
  const int cells = request.cells;
  const double q = request.q;
  const bool fixed = request.fixed_controls >= 0;
  const __m512i fixed_totals = _mm512_set1_epi64(
      static_cast<long long>(static_cast<std::uint64_t>(static_cast<std::uint32_t>(request.fixed_cases)) << 32 |
                             static_cast<std::uint32_t>(request.fixed_controls)));
  const __m256i lane_offsets =
      _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(stride));
  const __m512d fraction = _mm512_set1_pd(q);
  const __m512d slack = _mm512_set1_pd(kShiftedSumSlack);
  const __m512d factor = _mm512_set1_pd(request.divergence_factor);
  const __m512d pinsker = _mm512_set1_pd(kPinskerBits);
  const __m512d scale = _mm512_set1_pd(kBoundSlack);
  const __m512d floor = _mm512_set1_pd(boundFloor(cells));
  const __m512d infinity = _mm512_set1_pd(std::numeric_limits<double>::infinity());
  for (int j = 0; j < count; j += 8) {
    const __mmask8 live = static_cast<__mmask8>(count - j >= 8 ? 0xff : (1u << (count - j)) - 1);
    const int* base = tables + static_cast<long>(j) * stride;
    BoundSums sums{_mm512_setzero_si512(), _mm512_setzero_pd()};
    int c = 0;
    for (; c + 8 <= cells; c += 8) addEightCells(base + 2 * c, stride, live, 0xff, fraction, sums);
    // A short tail is cheaper gathered than transposed.
    if (cells - c > 2) {
      addEightCells(base + 2 * c, stride, live, static_cast<__mmask8>((1u << (cells - c)) - 1),
                    fraction, sums);
      c = cells;
    }
    for (; c < cells; ++c) {
      addCell(
          _mm512_mask_i32gather_epi64(_mm512_setzero_si512(), live, lane_offsets, base + 2 * c, 4),
          fraction, sums);
    }
    // Totals below 2^31: their low 32 bits convert as they are.
    const __m512d controls = _mm512_cvtepi32_pd(_mm512_cvtepi64_epi32(sums.totals));
    const __m512d cases =
        _mm512_cvtepi32_pd(_mm512_cvtepi64_epi32(_mm512_srli_epi64(sums.totals, 32)));
    const __m512d n = _mm512_add_pd(controls, cases);
    const __m512d off = _mm512_fnmadd_pd(fraction, n, cases);
    // 1 / N from the 14-bit reciprocal and one Newton step, which leaves it
    // at most 2^-28 below the true value: well inside the bound's slack (a
    // division would be the slowest step of the whole bound).
    __m512d inverse = _mm512_rcp14_pd(n);
    inverse = _mm512_mul_pd(inverse, _mm512_fnmadd_pd(n, inverse, _mm512_set1_pd(2.0)));
    // MAXPD returns its second operand when either is NaN: a NaN stays NaN,
    // and no table is ruled out by it.
    const __m512d numerator = _mm512_max_pd(
        _mm512_setzero_pd(),
        _mm512_fmsub_pd(factor, _mm512_mul_pd(sums.shifted, slack),
                        _mm512_mul_pd(_mm512_mul_pd(pinsker, _mm512_mul_pd(off, off)), inverse)));
    __m512d bound = _mm512_fmadd_pd(_mm512_mul_pd(numerator, inverse), scale, floor);
    __mmask8 absent = _mm512_cmp_pd_mask(controls, _mm512_setzero_pd(), _CMP_EQ_OQ) |
                      _mm512_cmp_pd_mask(cases, _mm512_setzero_pd(), _CMP_EQ_OQ);
    if (fixed) absent |= _mm512_cmpneq_epi64_mask(sums.totals, fixed_totals);
    bound = _mm512_mask_blend_pd(absent, bound, infinity);
    _mm512_mask_storeu_pd(bounds + j, live, bound);
  }
}
