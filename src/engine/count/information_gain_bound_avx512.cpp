// The information-gain bound with AVX-512, one table per lane. Each table's
// cells come in eight at a time by one load per table and an 8 x 8 transpose
// of 64-bit (controls, cases) pairs. The shifted sum is formed in single
// precision for sixteen tables at a time where that is exact enough (cells
// at most 64, totals below 2^24: counts convert exactly, b - q n is one
// rounding away from its true value, and every term is positive, so all
// errors are relative and within the sum's slack), else in double precision
// for eight. 1 / n comes from the 14-bit reciprocal, whose error the slack
// covers as well.
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "engine/count/simd_targets.h"
#include "engine/count/information_gain_bound.h"
#include "engine/count/information_gain_bound_finish.h"

// GCC 12 takes the undefined pass-through operand of the conversion
// intrinsics for an uninitialised variable (a false positive).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace {

// Cells [0, 8) of eight tables `stride` ints apart as eight vectors, lane t
// holding table t's (controls, cases) of one cell; tables and cells outside
// the masks read as empty. The cells come out in another order, which a sum
// does not mind.
GORVA_TARGET_AVX512 GORVA_INLINE void transposeEight(const int* base, int stride, __mmask8 live_tables,
                                              __mmask8 live_cells, __m512i out[8]) {
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
    out[2 * k] = _mm512_shuffle_i64x2(quarter[k], quarter[k + 4], 0x88);
    out[2 * k + 1] = _mm512_shuffle_i64x2(quarter[k], quarter[k + 4], 0xDD);
  }
}

GORVA_TARGET_AVX512 GORVA_INLINE __mmask8 cellMask(int cells) {
  return static_cast<__mmask8>(cells >= 8 ? 0xff : (1u << cells) - 1);
}

// The last step for eight tables: the bound from the shifted sum and the
// totals, infinity where a class is absent or `unbounded` says so.
struct Finish {
  __m512d fraction, slack, factor, pinsker, scale, floor, infinity;

  GORVA_TARGET_AVX512 Finish(const BoundRequest& request, double q)
      : fraction(_mm512_set1_pd(q)),
        slack(_mm512_set1_pd(kShiftedSumSlack)),
        factor(_mm512_set1_pd(request.divergence_factor)),
        pinsker(_mm512_set1_pd(kPinskerBits)),
        scale(_mm512_set1_pd(kBoundSlack)),
        floor(_mm512_set1_pd(boundFloor(request.cells))),
        infinity(_mm512_set1_pd(std::numeric_limits<double>::infinity())) {}

  GORVA_TARGET_AVX512 GORVA_INLINE __m512d bounds(__m512d shifted, __m512d controls, __m512d cases,
                                           __mmask8 unbounded) const {
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
        _mm512_fmsub_pd(factor, _mm512_mul_pd(shifted, slack),
                        _mm512_mul_pd(_mm512_mul_pd(pinsker, _mm512_mul_pd(off, off)), inverse)));
    const __m512d bound = _mm512_fmadd_pd(_mm512_mul_pd(numerator, inverse), scale, floor);
    const __mmask8 absent = _mm512_cmp_pd_mask(controls, _mm512_setzero_pd(), _CMP_EQ_OQ) |
                            _mm512_cmp_pd_mask(cases, _mm512_setzero_pd(), _CMP_EQ_OQ) | unbounded;
    return _mm512_mask_blend_pd(absent, bound, infinity);
  }
};

// Cells left after the last whole group of eight are gathered one by one
// when there are at most this many: a transpose costs the same whatever
// number of cells it carries.
constexpr int kGatheredTail = 2;

GORVA_TARGET_AVX512 GORVA_INLINE __m512i gatherCell(const int* cell, int stride, __mmask8 live_tables) {
  const __m256i lane_offsets =
      _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(stride));
  return _mm512_mask_i32gather_epi64(_mm512_setzero_si512(), live_tables, lane_offsets, cell, 4);
}

// Visits every cell of eight tables as one vector of (controls, cases)
// pairs, lane t for table t.
template <class Add>
GORVA_TARGET_AVX512 GORVA_INLINE void forEachCellOfEight(const int* base, int stride, int cells,
                                                  __mmask8 live_tables, Add&& add) {
  int c = 0;
  for (; cells - c > kGatheredTail; c += 8) {
    __m512i cell[8];
    transposeEight(base + 2 * c, stride, live_tables, cellMask(cells - c), cell);
    for (int k = 0; k < 8; ++k) add(cell[k]);
  }
  for (; c < cells; ++c) add(gatherCell(base + 2 * c, stride, live_tables));
}

// Eight tables in double precision, from table j on (fewer at the end).
GORVA_TARGET_AVX512 GORVA_INLINE void boundEight(const BoundRequest& request, const Finish& finish, int j,
                                          double* bounds) {
  const __mmask8 live = cellMask(request.count - j);
  const int* base = request.tables + static_cast<long>(j) * request.stride;
  __m512i totals = _mm512_setzero_si512();  // controls low, cases high
  __m512d shifted = _mm512_setzero_pd();
  forEachCellOfEight(base, request.stride, request.cells, live, [&](__m512i cell) GORVA_TARGET_AVX512 {
    totals = _mm512_add_epi64(totals, cell);
    const __m512d a = _mm512_cvtepi32_pd(_mm512_cvtepi64_epi32(cell));
    const __m512d b = _mm512_cvtepi32_pd(_mm512_cvtepi64_epi32(_mm512_srli_epi64(cell, 32)));
    const __m512d n = _mm512_add_pd(a, b);
    const __m512d d = _mm512_fnmadd_pd(finish.fraction, n, b);  // b - q n
    // An empty cell has d = 0; dividing by 1 instead keeps it 0.
    const __m512d inverse = _mm512_rcp14_pd(_mm512_max_pd(n, _mm512_set1_pd(1.0)));
    shifted = _mm512_fmadd_pd(_mm512_mul_pd(d, d), inverse, shifted);
  });
  // Totals below 2^31: their low 32 bits convert as they are.
  const __m512d controls = _mm512_cvtepi32_pd(_mm512_cvtepi64_epi32(totals));
  const __m512d cases = _mm512_cvtepi32_pd(_mm512_cvtepi64_epi32(_mm512_srli_epi64(totals, 32)));
  __mmask8 unbounded = 0;
  if (request.fixed_controls >= 0) {
    const __m512i fixed = _mm512_set1_epi64(static_cast<long long>(
        static_cast<std::uint64_t>(static_cast<std::uint32_t>(request.fixed_cases)) << 32 |
        static_cast<std::uint32_t>(request.fixed_controls)));
    unbounded = _mm512_cmpneq_epi64_mask(totals, fixed);
  }
  _mm512_mask_storeu_pd(bounds + j, live, finish.bounds(shifted, controls, cases, unbounded));
}

// Sixteen tables in single precision, from table j on; false (nothing
// written) when a total is too large for it.
GORVA_TARGET_AVX512 GORVA_INLINE bool boundSixteen(const BoundRequest& request, const Finish& finish,
                                            float q, int j, double* bounds) {
  const int cells = request.cells;
  const int stride = request.stride;
  const int* base = request.tables + static_cast<long>(j) * stride;
  const __m512i controls_of = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  const __m512i cases_of = _mm512_add_epi32(controls_of, _mm512_set1_epi32(1));
  const __m512 fraction = _mm512_set1_ps(q);
  __m512i controls = _mm512_setzero_si512();
  __m512i cases = _mm512_setzero_si512();
  __m512 shifted = _mm512_setzero_ps();
  // One cell of the sixteen tables: eight in `low`, eight in `high`.
  auto add = [&](__m512i low, __m512i high) GORVA_TARGET_AVX512 {
    const __m512i a = _mm512_permutex2var_epi32(low, controls_of, high);
    const __m512i b = _mm512_permutex2var_epi32(low, cases_of, high);
    controls = _mm512_add_epi32(controls, a);
    cases = _mm512_add_epi32(cases, b);
    const __m512 n = _mm512_cvtepi32_ps(_mm512_add_epi32(a, b));
    const __m512 d = _mm512_fnmadd_ps(fraction, n, _mm512_cvtepi32_ps(b));  // b - q n
    const __m512 inverse = _mm512_rcp14_ps(_mm512_max_ps(n, _mm512_set1_ps(1.0f)));
    shifted = _mm512_fmadd_ps(_mm512_mul_ps(d, d), inverse, shifted);
  };
  int c = 0;
  for (; cells - c > kGatheredTail; c += 8) {
    __m512i low[8];
    __m512i high[8];
    transposeEight(base + 2 * c, stride, 0xff, cellMask(cells - c), low);
    transposeEight(base + 8L * stride + 2 * c, stride, 0xff, cellMask(cells - c), high);
    for (int k = 0; k < 8; ++k) add(low[k], high[k]);
  }
  for (; c < cells; ++c) {
    add(gatherCell(base + 2 * c, stride, 0xff), gatherCell(base + 8L * stride + 2 * c, stride, 0xff));
  }
  const __m512i limit = _mm512_set1_epi32(kSinglePrecisionTotal);
  if (_mm512_cmpge_epi32_mask(_mm512_add_epi32(controls, cases), limit) != 0) return false;
  __mmask16 unbounded = 0;
  if (request.fixed_controls >= 0) {
    unbounded = _mm512_cmpneq_epi32_mask(controls, _mm512_set1_epi32(request.fixed_controls)) |
                _mm512_cmpneq_epi32_mask(cases, _mm512_set1_epi32(request.fixed_cases));
  }
  for (int h = 0; h < 2; ++h) {
    const __m256i controls_half = h == 0 ? _mm512_castsi512_si256(controls)
                                         : _mm512_extracti64x4_epi64(controls, 1);
    const __m256i cases_half =
        h == 0 ? _mm512_castsi512_si256(cases) : _mm512_extracti64x4_epi64(cases, 1);
    const __m256 shifted_half =
        h == 0 ? _mm512_castps512_ps256(shifted)
               : _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(shifted), 1));
    _mm512_storeu_pd(bounds + j + 8 * h,
                     finish.bounds(_mm512_cvtps_pd(shifted_half), _mm512_cvtepi32_pd(controls_half),
                                   _mm512_cvtepi32_pd(cases_half),
                                   static_cast<__mmask8>(unbounded >> (8 * h))));
  }
  return true;
}

}  // namespace

GORVA_TARGET_AVX512 void informationGainBoundsAvx512(const BoundRequest& request, double* bounds) {
  const float q_single = static_cast<float>(request.q);
  const bool single = singlePrecisionServes(request.cells, request.q);
  const Finish finish(request, request.q);
  int j = 0;
  if (single) {
    for (; j + 16 <= request.count; j += 16) {
      if (!boundSixteen(request, finish, q_single, j, bounds)) {
        boundEight(request, finish, j, bounds);
        boundEight(request, finish, j + 8, bounds);
      }
    }
  }
  for (; j < request.count; j += 8) boundEight(request, finish, j, bounds);
}

namespace {

// The last step for sixteen tables in single precision, every operation
// rounded toward the side that leaves the bound an upper one: what it adds
// up, what it takes off down (off = B - q N toward zero, so that its
// square is never above the true one). The double-precision step takes
// the sixteen in two halves after three conversions each; this one takes
// them at once, and its directed roundings stand in for the slack of its
// own operations.
struct SingleFinish {
  __m512 fraction, slack, factor, pinsker, scale, floor, above, below;
  __m512d infinity;

  static float up(double x) {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
  }
  static float down(double x) {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) > x) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
    return f;
  }

  GORVA_TARGET_AVX512 explicit SingleFinish(const BoundRequest& request)
      : fraction(_mm512_set1_ps(static_cast<float>(request.q))),
        slack(_mm512_set1_ps(up(kShiftedSumSlack))),
        factor(_mm512_set1_ps(up(request.divergence_factor))),
        pinsker(_mm512_set1_ps(down(kPinskerBits))),
        scale(_mm512_set1_ps(up(kBoundSlack))),
        floor(_mm512_set1_ps(up(boundFloor(request.cells)))),
        above(_mm512_set1_ps(1.0f + 0x1p-13f)),
        below(_mm512_set1_ps(1.0f - 0x1p-13f)),
        infinity(_mm512_set1_pd(std::numeric_limits<double>::infinity())) {}

  // From the shifted sum, the samples N and the cases B (both below 2^24,
  // so exact as floats); tables without both classes are the caller's.
  GORVA_TARGET_AVX512 GORVA_INLINE __m512 bounds(__m512 shifted, __m512 n, __m512 cases) const {
    constexpr int kUp = _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC;
    constexpr int kDown = _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC;
    constexpr int kTowardZero = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;
    const __m512 off = _mm512_fnmadd_round_ps(fraction, n, cases, kTowardZero);
    // 1 / N from the 14-bit reciprocal (relative error below 2^-14), moved
    // past the true value on either side: two divisions would cost more
    // than the rest of this step.
    const __m512 inverse = _mm512_rcp14_ps(n);
    const __m512 inverse_up = _mm512_mul_round_ps(inverse, above, kUp);
    const __m512 inverse_down = _mm512_mul_round_ps(inverse, below, kDown);
    const __m512 taken = _mm512_mul_round_ps(
        _mm512_mul_round_ps(pinsker, _mm512_mul_round_ps(off, off, kDown), kDown), inverse_down, kDown);
    // MAXPS returns its second operand when either is NaN: a NaN stays NaN,
    // and no table is ruled out by it.
    const __m512 numerator = _mm512_max_ps(
        _mm512_setzero_ps(),
        _mm512_fmsub_round_ps(factor, _mm512_mul_round_ps(shifted, slack, kUp), taken, kUp));
    return _mm512_fmadd_round_ps(_mm512_mul_round_ps(numerator, inverse_up, kUp), scale, floor, kUp);
  }
};

// Whether every pair's samples are below 2^24, looked at once for the
// stretch: a fallback call inside the loop below would have it keep its
// constants in memory.
GORVA_TARGET_AVX512 bool samplesFitSingle(const int* samples, int count) {
  __m512i most = _mm512_setzero_si512();
  for (int j = 0; j < count; j += 16) {
    const __mmask16 live =
        count - j >= 16 ? static_cast<__mmask16>(0xffff) : static_cast<__mmask16>((1u << (count - j)) - 1);
    most = _mm512_max_epi32(most, _mm512_maskz_loadu_epi32(live, samples + j));
  }
  return _mm512_cmpge_epi32_mask(most, _mm512_set1_epi32(kSinglePrecisionTotal)) == 0;
}

// Sixteen pairs at a time whose samples single precision holds (the class
// counted and whether it is split over two rows fixed per instantiation):
// the cells' terms as the AVX2 version forms them but for 1 / n, the 14-bit
// reciprocal (cheaper than reading the stored inverses), lanes past the
// stretch masked off, so that nothing beyond it is read or written.
template <bool kCountsCases, bool kSplit, int kMembers>
GORVA_TARGET_AVX512 void countedClassSixteens(const CountedClassBoundRequest& request, const BoundRequest& terms,
                                              const int* const (&counted)[2], double* const (&bounds)[2],
                                              int* const (&cases_out)[2]) {
  constexpr int kCells = 9;
  constexpr int kLanes = 16;
  const SingleFinish finish(terms);
  const __m512 fraction = _mm512_set1_ps(static_cast<float>(terms.q));
  for (int j = 0; j < request.count; j += kLanes) {
    const int left = request.count - j;
    const __mmask16 live = left >= kLanes ? static_cast<__mmask16>(0xffff) : static_cast<__mmask16>((1u << left) - 1);
    const __m512i samples = _mm512_maskz_loadu_epi32(live, request.samples + j);
    __m512i own_sum[kMembers];
    // Three sums of three cells each: one chain of nine dependent additions
    // would leave the loop waiting on their latency. Every term is positive,
    // so any order of summing stays inside the sum's slack.
    __m512 chain[kMembers][3];
    for (int m = 0; m < kMembers; ++m) {
      own_sum[m] = _mm512_setzero_si512();
      for (int c = 0; c < 3; ++c) chain[m][c] = _mm512_setzero_ps();
    }
    const auto add_cell = [&](int e, int c) GORVA_TARGET_AVX512 {
      const long cell = e * request.totals_stride + j;
      // Counts below 2^24 are exact in single precision, and so is n - own.
      const __m512 n = _mm512_cvtepi32_ps(_mm512_maskz_loadu_epi32(live, request.totals + cell));
      // The 14-bit reciprocal, as the table bounds take it, in place of the
      // stored inverse: the sum's slack covers it. The totals' share is
      // taken once for every member.
      const __m512 inverse = _mm512_rcp14_ps(_mm512_max_ps(n, _mm512_set1_ps(1.0f)));
      const long at = e * request.counted_stride + j;
      for (int m = 0; m < kMembers; ++m) {
        __m512i own = _mm512_maskz_loadu_epi32(live, counted[m] + at);
        if constexpr (kSplit) own = _mm512_add_epi32(own, _mm512_maskz_loadu_epi32(live, counted[1] + at));
        own_sum[m] = _mm512_add_epi32(own_sum[m], own);
        const __m512 counts = _mm512_cvtepi32_ps(own);
        const __m512 b = kCountsCases ? counts : _mm512_sub_ps(n, counts);
        const __m512 d = _mm512_fnmadd_ps(fraction, n, b);  // b - q n
        chain[m][c] = _mm512_fmadd_ps(_mm512_mul_ps(d, d), inverse, chain[m][c]);
      }
    };
    for (int e = 0; e < kCells; e += 3) {
      add_cell(e, 0);
      add_cell(e + 1, 1);
      add_cell(e + 2, 2);
    }
    for (int m = 0; m < kMembers; ++m) {
      const __m512 shifted = _mm512_add_ps(_mm512_add_ps(chain[m][0], chain[m][1]), chain[m][2]);
      const __m512i cases = kCountsCases ? own_sum[m] : _mm512_sub_epi32(samples, own_sum[m]);
      const __m512i controls = _mm512_sub_epi32(samples, cases);
      if (cases_out[m] != nullptr) _mm512_mask_storeu_epi32(cases_out[m] + j, live, cases);
      __mmask16 unbounded = _mm512_cmpeq_epi32_mask(controls, _mm512_setzero_si512()) |
                            _mm512_cmpeq_epi32_mask(cases, _mm512_setzero_si512());
      if (terms.fixed_controls >= 0) {
        unbounded |= _mm512_cmpneq_epi32_mask(controls, _mm512_set1_epi32(terms.fixed_controls)) |
                     _mm512_cmpneq_epi32_mask(cases, _mm512_set1_epi32(terms.fixed_cases));
      }
      const __m512 bound = finish.bounds(shifted, _mm512_cvtepi32_ps(samples), _mm512_cvtepi32_ps(cases));
      for (int h = 0; h < 2; ++h) {
        const __mmask8 half_live = static_cast<__mmask8>(live >> (8 * h));
        if (half_live == 0) break;
        const __m256 half = h == 0 ? _mm512_castps512_ps256(bound)
                                   : _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(bound), 1));
        _mm512_mask_storeu_pd(bounds[m] + j + 8 * h, half_live,
                              _mm512_mask_blend_pd(static_cast<__mmask8>(unbounded >> (8 * h)),
                                                   _mm512_cvtps_pd(half), finish.infinity));
      }
    }
  }
}

// Whether the sixteen-pair kernels serve the request (single precision
// holds its samples and fraction).
GORVA_TARGET_AVX512 bool sixteensServe(const CountedClassBoundRequest& request, BoundRequest& terms) {
  terms = request.bound;
  terms.cells = 9;
  const bool samples_fit = request.most_samples >= 0 ? request.most_samples < kSinglePrecisionTotal
                                                     : samplesFitSingle(request.samples, request.count);
  return singlePrecisionServes(terms.cells, terms.q) && samples_fit;
}

}  // namespace

GORVA_TARGET_AVX512 void countedClassBoundsAvx512(const CountedClassBoundRequest& request, double* bounds,
                                                  int* cases) {
  BoundRequest terms;
  if (!sixteensServe(request, terms)) {
    countedClassBoundsScalar(request, bounds, cases);
    return;
  }
  const bool split = request.counted[1] != nullptr;
  const int* const counted[2] = {request.counted[0], request.counted[1]};
  double* const out[2] = {bounds, nullptr};
  int* const cases_out[2] = {cases, nullptr};
  if (request.counted_class == 1) {
    split ? countedClassSixteens<true, true, 1>(request, terms, counted, out, cases_out)
          : countedClassSixteens<true, false, 1>(request, terms, counted, out, cases_out);
  } else {
    split ? countedClassSixteens<false, true, 1>(request, terms, counted, out, cases_out)
          : countedClassSixteens<false, false, 1>(request, terms, counted, out, cases_out);
  }
}

GORVA_TARGET_AVX512 void countedClassBoundsTwoAvx512(const CountedClassBoundRequest& request,
                                                     const int* second, double* const (&bounds)[2],
                                                     int* const (&cases)[2]) {
  BoundRequest terms;
  if (request.counted[1] != nullptr || !sixteensServe(request, terms)) {
    CountedClassBoundRequest each = request;
    countedClassBoundsAvx512(each, bounds[0], cases[0]);
    each.counted[0] = second;
    each.counted[1] = nullptr;
    countedClassBoundsAvx512(each, bounds[1], cases[1]);
    return;
  }
  const int* const counted[2] = {request.counted[0], second};
  if (request.counted_class == 1) {
    countedClassSixteens<true, false, 2>(request, terms, counted, bounds, cases);
  } else {
    countedClassSixteens<false, false, 2>(request, terms, counted, bounds, cases);
  }
}
