// The information-gain bound with AVX2 and FMA, eight tables at a time in
// single precision, on the same terms as the AVX-512 version's sixteen
// (cells at most 64, totals below 2^24, q a float: every rounding relative
// and inside the sum's slack). Four tables' cells come in four at a time by
// one load per table and a 4 x 4 transpose of 64-bit (controls, cases)
// pairs; 1 / n from the 12-bit reciprocal and one Newton step. Anything
// else goes to the portable version.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "engine/count/pair_free_counts.h"
#include "engine/count/simd_targets.h"
#include "engine/count/information_gain_bound.h"
#include "engine/count/information_gain_bound_finish.h"

namespace {

// shifted + (b - q n)^2 / n per lane, for a cell of a controls and b cases
// (n = a + b): the term of the shifted sum.
GORVA_TARGET_AVX2 GORVA_INLINE __m256 addShiftedTerm(__m256i a, __m256i b, __m256 fraction, __m256 shifted) {
  const __m256 n = _mm256_cvtepi32_ps(_mm256_add_epi32(a, b));
  const __m256 d = _mm256_fnmadd_ps(fraction, n, _mm256_cvtepi32_ps(b));  // b - q n
  // An empty cell has d = 0; dividing by 1 instead keeps it 0. One Newton
  // step takes the 12-bit reciprocal to about 22 bits.
  const __m256 m = _mm256_max_ps(n, _mm256_set1_ps(1.0f));
  __m256 inverse = _mm256_rcp_ps(m);
  inverse = _mm256_mul_ps(inverse, _mm256_fnmadd_ps(m, inverse, _mm256_set1_ps(2.0f)));
  return _mm256_fmadd_ps(_mm256_mul_ps(d, d), inverse, shifted);
}

// Cells [0, 4) of four tables as four vectors, lane t holding table t's
// (controls, cases) of one cell; tables and cells outside the counts read
// as empty.
GORVA_TARGET_AVX2 GORVA_INLINE void transposeFour(const int* base, int stride, int tables, int cells,
                                           __m256i out[4]) {
  const __m256i lane = _mm256_setr_epi64x(0, 1, 2, 3);
  const __m256i live_cells = _mm256_cmpgt_epi64(_mm256_set1_epi64x(cells), lane);
  __m256i row[4];
  for (int t = 0; t < 4; ++t) {
    row[t] = t < tables ? _mm256_maskload_epi64(reinterpret_cast<const long long*>(base + t * stride),
                                                live_cells)
                        : _mm256_setzero_si256();
  }
  const __m256i low01 = _mm256_unpacklo_epi64(row[0], row[1]);
  const __m256i high01 = _mm256_unpackhi_epi64(row[0], row[1]);
  const __m256i low23 = _mm256_unpacklo_epi64(row[2], row[3]);
  const __m256i high23 = _mm256_unpackhi_epi64(row[2], row[3]);
  out[0] = _mm256_permute2x128_si256(low01, low23, 0x20);
  out[1] = _mm256_permute2x128_si256(high01, high23, 0x20);
  out[2] = _mm256_permute2x128_si256(low01, low23, 0x31);
  out[3] = _mm256_permute2x128_si256(high01, high23, 0x31);
}

// 1 in the lanes of tables that do not add up to the request's fixed
// totals (if any): they get no bound.
GORVA_TARGET_AVX2 GORVA_INLINE __m256i offFixedTotals(const BoundRequest& request, __m256i controls,
                                               __m256i cases) {
  if (request.fixed_controls < 0) return _mm256_setzero_si256();
  const __m256i same =
      _mm256_and_si256(_mm256_cmpeq_epi32(controls, _mm256_set1_epi32(request.fixed_controls)),
                       _mm256_cmpeq_epi32(cases, _mm256_set1_epi32(request.fixed_cases)));
  return _mm256_andnot_si256(same, _mm256_set1_epi32(1));
}

// The last step for four tables in double precision; infinity where a class
// is absent or `unbounded` is set.
GORVA_TARGET_AVX2 GORVA_INLINE __m256d finishFour(const BoundRequest& request, __m256d shifted,
                                           __m256d controls, __m256d cases, __m256d unbounded) {
  const __m256d zero = _mm256_setzero_pd();
  const __m256d n = _mm256_add_pd(controls, cases);
  const __m256d off = _mm256_fnmadd_pd(_mm256_set1_pd(request.q), n, cases);
  // MAXPD returns its second operand when either is NaN: a NaN stays NaN,
  // and no table is ruled out by it.
  const __m256d numerator = _mm256_max_pd(
      zero, _mm256_fmsub_pd(_mm256_set1_pd(request.divergence_factor),
                            _mm256_mul_pd(shifted, _mm256_set1_pd(kShiftedSumSlack)),
                            _mm256_div_pd(_mm256_mul_pd(_mm256_set1_pd(kPinskerBits),
                                                        _mm256_mul_pd(off, off)),
                                          n)));
  const __m256d bound =
      _mm256_fmadd_pd(_mm256_div_pd(numerator, n), _mm256_set1_pd(kBoundSlack),
                      _mm256_set1_pd(boundFloor(request.cells)));
  const __m256d absent = _mm256_or_pd(
      _mm256_or_pd(_mm256_cmp_pd(controls, zero, _CMP_EQ_OQ), _mm256_cmp_pd(cases, zero, _CMP_EQ_OQ)),
      _mm256_cmp_pd(unbounded, zero, _CMP_NEQ_OQ));
  return _mm256_blendv_pd(bound, _mm256_set1_pd(std::numeric_limits<double>::infinity()), absent);
}

// The bounds of eight tables from their shifted sums and totals (lanes in
// order); `unbounded` lanes (nonzero) get infinity.
GORVA_TARGET_AVX2 GORVA_INLINE void finishEight(const BoundRequest& request, __m256 shifted, __m256i controls,
                                         __m256i cases, __m256i unbounded, double* bounds) {
  for (int h = 0; h < 2; ++h) {
    const __m128i controls_half = h == 0 ? _mm256_castsi256_si128(controls) : _mm256_extracti128_si256(controls, 1);
    const __m128i cases_half = h == 0 ? _mm256_castsi256_si128(cases) : _mm256_extracti128_si256(cases, 1);
    const __m128i unbounded_half =
        h == 0 ? _mm256_castsi256_si128(unbounded) : _mm256_extracti128_si256(unbounded, 1);
    const __m128 shifted_half = h == 0 ? _mm256_castps256_ps128(shifted) : _mm256_extractf128_ps(shifted, 1);
    _mm256_storeu_pd(bounds + 4 * h,
                     finishFour(request, _mm256_cvtps_pd(shifted_half), _mm256_cvtepi32_pd(controls_half),
                                _mm256_cvtepi32_pd(cases_half), _mm256_cvtepi32_pd(unbounded_half)));
  }
}

// The bounds of eight tables whose totals are their own, worked out in
// single precision: the same bound as finishEight's to within its slack,
// without its two double-precision divisions, which cost as much as the
// shifted sum itself. 1 / N from the 12-bit reciprocal and one Newton step
// (about 2^-22 from the true value), raised or lowered by 2^-12 to stay on
// the safe side of it (the rounding of the few float steps included) where
// the subtracted term and the scale need it.
GORVA_TARGET_AVX2 GORVA_INLINE void finishEightOwnTotals(const BoundRequest& request, __m256 shifted,
                                                         __m256i n_count, __m256i cases_count, double* bounds) {
  const __m256 n = _mm256_cvtepi32_ps(n_count);
  const __m256 off =
      _mm256_fnmadd_ps(_mm256_set1_ps(static_cast<float>(request.q)), n, _mm256_cvtepi32_ps(cases_count));
  __m256 inverse = _mm256_rcp_ps(n);
  inverse = _mm256_mul_ps(inverse, _mm256_fnmadd_ps(n, inverse, _mm256_set1_ps(2.0f)));
  const __m256 subtracted = _mm256_mul_ps(
      _mm256_mul_ps(off, off), _mm256_mul_ps(inverse, _mm256_set1_ps(static_cast<float>(kPinskerBits) * (1.0f - 0x1p-12f))));
  // MAXPS returns its second operand when either is NaN: a NaN stays NaN,
  // and no pair is ruled out by it.
  const __m256 numerator = _mm256_max_ps(
      _mm256_setzero_ps(),
      _mm256_fmsub_ps(
          _mm256_set1_ps(static_cast<float>(request.divergence_factor * kShiftedSumSlack) * (1.0f + 0x1p-20f)), shifted,
          subtracted));
  __m256 bound = _mm256_mul_ps(_mm256_mul_ps(numerator, inverse),
                               _mm256_set1_ps(static_cast<float>(kBoundSlack) * (1.0f + 0x1p-12f)));
  // A class without samples: no bound.
  const __m256i absent = _mm256_or_si256(_mm256_cmpeq_epi32(cases_count, _mm256_setzero_si256()),
                                         _mm256_cmpeq_epi32(cases_count, n_count));
  bound = _mm256_blendv_ps(bound, _mm256_set1_ps(std::numeric_limits<float>::infinity()), _mm256_castsi256_ps(absent));
  const __m256d floor = _mm256_set1_pd(boundFloor(request.cells));
  _mm256_storeu_pd(bounds, _mm256_add_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(bound)), floor));
  _mm256_storeu_pd(bounds + 4, _mm256_add_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(bound, 1)), floor));
}

// Tables j .. j + tables - 1 (at most eight) in single precision; false
// (nothing written) when a total is too large for it.
GORVA_TARGET_AVX2 GORVA_INLINE bool boundEight(const BoundRequest& request, float q, int j, int tables,
                                        double* bounds) {
  const int stride = request.stride;
  const int* base = request.tables + static_cast<long>(j) * stride;
  const __m256 fraction = _mm256_set1_ps(q);
  // Lanes hold tables 0 1 4 5 2 3 6 7: the order the 32-bit shuffles leave.
  __m256i controls = _mm256_setzero_si256();
  __m256i cases = _mm256_setzero_si256();
  __m256 shifted = _mm256_setzero_ps();
  for (int c = 0; c < request.cells; c += 4) {
    __m256i first[4];
    __m256i second[4];
    transposeFour(base + 2 * c, stride, tables, request.cells - c, first);
    transposeFour(base + 4L * stride + 2 * c, stride, tables - 4, request.cells - c, second);
    for (int k = 0; k < 4; ++k) {
      const __m256 x = _mm256_castsi256_ps(first[k]);
      const __m256 y = _mm256_castsi256_ps(second[k]);
      const __m256i a = _mm256_castps_si256(_mm256_shuffle_ps(x, y, 0x88));
      const __m256i b = _mm256_castps_si256(_mm256_shuffle_ps(x, y, 0xDD));
      controls = _mm256_add_epi32(controls, a);
      cases = _mm256_add_epi32(cases, b);
      shifted = addShiftedTerm(a, b, fraction, shifted);
    }
  }
  const __m256i totals = _mm256_add_epi32(controls, cases);
  if (_mm256_movemask_ps(_mm256_castsi256_ps(
          _mm256_cmpgt_epi32(totals, _mm256_set1_epi32(kSinglePrecisionTotal - 1)))) != 0)
    return false;
  const __m256i unbounded = offFixedTotals(request, controls, cases);
  double lanes[8];
  finishEight(request, shifted, controls, cases, unbounded, lanes);
  // Lanes hold tables 0 1 4 5 2 3 6 7.
  constexpr int kTableOfLane[8] = {0, 1, 4, 5, 2, 3, 6, 7};
  double ordered[8];
  for (int lane = 0; lane < 8; ++lane) ordered[kTableOfLane[lane]] = lanes[lane];
  std::copy(ordered, ordered + tables, bounds + j);
  return true;
}

}  // namespace

GORVA_TARGET_AVX2 void informationGainBoundsAvx2(const BoundRequest& request, double* bounds) {
  const float q_single = static_cast<float>(request.q);
  const bool single = singlePrecisionServes(request.cells, request.q);
  for (int j = 0; j < request.count; j += 8) {
    const int tables = std::min(8, request.count - j);
    if (single && boundEight(request, q_single, j, tables, bounds)) continue;
    BoundRequest part = request;
    part.tables = request.tables + static_cast<long>(j) * request.stride;
    part.count = tables;
    informationGainBoundsScalar(part, bounds + j);
  }
}

namespace {

GORVA_TARGET_AVX2 GORVA_INLINE __m256i load8(const int* at) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

GORVA_TARGET_AVX2 GORVA_INLINE __m256i sums(const std::uint8_t* at) {
  return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at)));
}

GORVA_TARGET_AVX2 GORVA_INLINE int loadWord(const std::uint8_t* at) {
  int word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// The cells l + 3 m of both classes of the eight pairs from p (a multiple
// of 8), as completePairFromFree makes them.
GORVA_TARGET_AVX2 GORVA_INLINE void cellsFromFree(const PairFromFree& r, long p, __m256i cells[9][2]) {
  const int* in = r.free_counts + kPairCounts * p;
  const long j = r.offset + p;
  const long m = r.base + p;
  // A of the eight second markers, one word each 256 bytes apart (2 l + c
  // in byte 2 l + c): loaded one by one, which the CPUs at hand do faster
  // than a gather.
  const std::uint8_t* at = r.a_sums + 256 * m;
  const __m256i a = _mm256_setr_epi32(loadWord(at), loadWord(at + 256), loadWord(at + 512), loadWord(at + 768),
                                      loadWord(at + 1024), loadWord(at + 1280), loadWord(at + 1536),
                                      loadWord(at + 1792));
  const __m256i byte = _mm256_set1_epi32(0xFF);
  for (int c = 0; c < 2; ++c) {
    const __m256i f00 = load8(in + kPairBlock * pairFreeCount(0, 0, c));
    const __m256i f10 = load8(in + kPairBlock * pairFreeCount(1, 0, c));
    const __m256i f01 = load8(in + kPairBlock * pairFreeCount(0, 1, c));
    const __m256i f11 = load8(in + kPairBlock * pairFreeCount(1, 1, c));
    const __m256i c02 = _mm256_sub_epi32(
        _mm256_sub_epi32(_mm256_set1_epi32(r.first_levels[c]), _mm256_add_epi32(f00, f01)),
        _mm256_and_si256(_mm256_srli_epi32(a, 8 * c), byte));
    const __m256i c12 = _mm256_sub_epi32(
        _mm256_sub_epi32(_mm256_set1_epi32(r.first_levels[2 + c]), _mm256_add_epi32(f10, f11)),
        _mm256_and_si256(_mm256_srli_epi32(a, 8 * (2 + c)), byte));
    const __m256i c20 = _mm256_sub_epi32(
        _mm256_sub_epi32(load8(r.second_levels[c] + m), _mm256_add_epi32(f00, f10)), sums(r.b_sums[c] + j));
    const __m256i c21 = _mm256_sub_epi32(
        _mm256_sub_epi32(load8(r.second_levels[2 + c] + m), _mm256_add_epi32(f01, f11)),
        sums(r.b_sums[2 + c] + j));
    const __m256i c22 = _mm256_sub_epi32(
        _mm256_sub_epi32(load8(r.second_levels[4 + c] + m), _mm256_add_epi32(c02, c12)),
        sums(r.b_sums[4 + c] + j));
    const __m256i made[9] = {f00, f10, c20, f01, f11, c21, c02, c12, c22};
    for (int e = 0; e < 9; ++e) cells[e][c] = made[e];
  }
}

// Pairs counted whole: each table's own totals, and no bound for those
// that do not add up to fixed ones.
GORVA_TARGET_AVX2 void wholePairBounds(const PairBoundRequest& request, double* bounds) {
  const BoundRequest& terms = request.bound;
  const __m256 fraction = _mm256_set1_ps(static_cast<float>(terms.q));
  for (long p = 0; p < request.pairs; p += kPairBlock) {
    __m256i cells[9][2];
    if (request.from_free != nullptr) {
      cellsFromFree(*request.from_free, p, cells);
    } else {
      const int* block = request.counts + freeCountAt(kWholePairCounts, p, 0);
      for (int k = 0; k < kWholePairCounts; ++k) cells[k / 2][k % 2] = load8(block + kPairBlock * k);
    }
    __m256i controls = _mm256_setzero_si256();
    __m256i cases = _mm256_setzero_si256();
    __m256 shifted = _mm256_setzero_ps();
    for (int e = 0; e < 9; ++e) {
      const __m256i a = cells[e][0];
      const __m256i b = cells[e][1];
      controls = _mm256_add_epi32(controls, a);
      cases = _mm256_add_epi32(cases, b);
      shifted = addShiftedTerm(a, b, fraction, shifted);
    }
    if (terms.fixed_controls < 0) {
      finishEightOwnTotals(terms, shifted, _mm256_add_epi32(controls, cases), cases, bounds + p);
      continue;
    }
    finishEight(terms, shifted, controls, cases, offFixedTotals(terms, controls, cases), bounds + p);
  }
}

}  // namespace

GORVA_TARGET_AVX2 void pairInformationGainBoundsAvx2(const PairBoundRequest& request, double* bounds) {
  if (request.whole) {
    wholePairBounds(request, bounds);
    return;
  }
  const PairTotals& totals = request.totals;
  const __m256 fraction = _mm256_set1_ps(static_cast<float>(request.bound.q));
  const __m256i class_totals[2] = {_mm256_set1_epi32(totals.controls), _mm256_set1_epi32(totals.cases)};
  for (long p = 0; p < request.pairs; p += kPairBlock) {
    const int* block = request.counts + pairCountAt(p, 0);
    __m256i cell[9][2];  // cell l + 3 m, class c, of eight pairs
    for (int c = 0; c < 2; ++c) {
      __m256i last_last = class_totals[c];
      for (int l = 0; l < 2; ++l) {
        __m256i rest = _mm256_set1_epi32(totals.first_levels[2 * l + c]);
        for (int m = 0; m < 2; ++m) {
          const __m256i x = _mm256_loadu_si256(
              reinterpret_cast<const __m256i*>(block + kPairBlock * pairFreeCount(l, m, c)));
          cell[l + 3 * m][c] = x;
          rest = _mm256_sub_epi32(rest, x);
        }
        cell[l + 6][c] = rest;
        last_last = _mm256_sub_epi32(last_last, _mm256_set1_epi32(totals.first_levels[2 * l + c]));
      }
      for (int m = 0; m < 2; ++m) {
        const __m256i level = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(
            totals.second_levels[2 * m + c] + request.first_second + p));
        cell[2 + 3 * m][c] =
            _mm256_sub_epi32(_mm256_sub_epi32(level, cell[3 * m][c]), cell[1 + 3 * m][c]);
        last_last = _mm256_sub_epi32(last_last, cell[2 + 3 * m][c]);
      }
      cell[8][c] = last_last;
    }
    __m256 shifted = _mm256_setzero_ps();
    for (int e = 0; e < 9; ++e) shifted = addShiftedTerm(cell[e][0], cell[e][1], fraction, shifted);
    finishEight(request.bound, shifted, class_totals[0], class_totals[1], _mm256_setzero_si256(),
                bounds + p);
  }
}

namespace {

// Groups of eight pairs whose samples single precision holds, the class
// counted and whether it is split over two rows fixed per instantiation.
template <bool kCountsCases, bool kSplit>
GORVA_TARGET_AVX2 void countedClassGroups(const CountedClassBoundRequest& request,
                                          const BoundRequest& terms, double* bounds,
                                          int* cases_out) {
  constexpr int kCells = 9;
  const __m256 fraction = _mm256_set1_ps(static_cast<float>(terms.q));
  for (int j = 0; j < request.count; j += kPairBlock) {
    const __m256i samples =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(request.samples + j));
    if (_mm256_movemask_ps(_mm256_castsi256_ps(
            _mm256_cmpgt_epi32(samples, _mm256_set1_epi32(kSinglePrecisionTotal - 1)))) != 0) {
      CountedClassBoundRequest part = request;
      part.counted[0] += j;
      if (part.counted[1] != nullptr) part.counted[1] += j;
      part.totals += j;
      part.count = std::min(kPairBlock, request.count - j);
      countedClassBoundsScalar(part, bounds + j, cases_out == nullptr ? nullptr : cases_out + j);
      continue;
    }
    __m256i own_sum = _mm256_setzero_si256();
    __m256 shifted = _mm256_setzero_ps();
    for (int e = 0; e < kCells; ++e) {
      const long at = e * request.counted_stride + j;
      __m256i own = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(request.counted[0] + at));
      if constexpr (kSplit)
        own = _mm256_add_epi32(
            own, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(request.counted[1] + at)));
      own_sum = _mm256_add_epi32(own_sum, own);
      const long cell = e * request.totals_stride + j;
      // Counts below 2^24 are exact in single precision, and so is n - own.
      const __m256 n = _mm256_cvtepi32_ps(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(request.totals + cell)));
      const __m256 counted = _mm256_cvtepi32_ps(own);
      const __m256 b = kCountsCases ? counted : _mm256_sub_ps(n, counted);
      const __m256 d = _mm256_fnmadd_ps(fraction, n, b);  // b - q n
      shifted = _mm256_fmadd_ps(_mm256_mul_ps(d, d), _mm256_loadu_ps(request.inverses + cell),
                                shifted);
    }
    const __m256i cases = kCountsCases ? own_sum : _mm256_sub_epi32(samples, own_sum);
    const __m256i controls = _mm256_sub_epi32(samples, cases);
    if (cases_out != nullptr) _mm256_storeu_si256(reinterpret_cast<__m256i*>(cases_out + j), cases);
    finishEight(terms, shifted, controls, cases, offFixedTotals(terms, controls, cases), bounds + j);
  }
}

}  // namespace

GORVA_TARGET_AVX2 void countedClassBoundsAvx2(const CountedClassBoundRequest& request,
                                              double* bounds, int* cases) {
  BoundRequest terms = request.bound;
  terms.cells = 9;
  if (!singlePrecisionServes(terms.cells, terms.q)) {
    countedClassBoundsScalar(request, bounds, cases);
    return;
  }
  const bool split = request.counted[1] != nullptr;
  if (request.counted_class == 1) {
    split ? countedClassGroups<true, true>(request, terms, bounds, cases)
          : countedClassGroups<true, false>(request, terms, bounds, cases);
  } else {
    split ? countedClassGroups<false, true>(request, terms, bounds, cases)
          : countedClassGroups<false, false>(request, terms, bounds, cases);
  }
}

namespace {

// Entry e of eight consecutive 8-int records (record t at records + 8 t)
// as lane t of out[e].
GORVA_TARGET_AVX2 GORVA_INLINE void transposeRecords(const std::uint32_t* const* records, __m256i out[8]) {
  __m256i row[8];
  for (int t = 0; t < 8; ++t) row[t] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(records[t]));
  __m256i low[4];
  __m256i high[4];
  for (int i = 0; i < 4; ++i) {
    low[i] = _mm256_unpacklo_epi32(row[2 * i], row[2 * i + 1]);
    high[i] = _mm256_unpackhi_epi32(row[2 * i], row[2 * i + 1]);
  }
  // Per 128-bit half: entries (0, 1) of records 0-3 then 4-7, and so on.
  const __m256i e0 = _mm256_unpacklo_epi64(low[0], low[1]);
  const __m256i e1 = _mm256_unpackhi_epi64(low[0], low[1]);
  const __m256i e2 = _mm256_unpacklo_epi64(high[0], high[1]);
  const __m256i e3 = _mm256_unpackhi_epi64(high[0], high[1]);
  const __m256i f0 = _mm256_unpacklo_epi64(low[2], low[3]);
  const __m256i f1 = _mm256_unpackhi_epi64(low[2], low[3]);
  const __m256i f2 = _mm256_unpacklo_epi64(high[2], high[3]);
  const __m256i f3 = _mm256_unpackhi_epi64(high[2], high[3]);
  out[0] = _mm256_permute2x128_si256(e0, f0, 0x20);
  out[1] = _mm256_permute2x128_si256(e1, f1, 0x20);
  out[2] = _mm256_permute2x128_si256(e2, f2, 0x20);
  out[3] = _mm256_permute2x128_si256(e3, f3, 0x20);
  out[4] = _mm256_permute2x128_si256(e0, f0, 0x31);
  out[5] = _mm256_permute2x128_si256(e1, f1, 0x31);
  out[6] = _mm256_permute2x128_si256(e2, f2, 0x31);
  out[7] = _mm256_permute2x128_si256(e3, f3, 0x31);
}

}  // namespace

GORVA_TARGET_AVX2 void tripleInformationGainBoundsAvx2(const TripleBoundRequest& request,
                                                       double* bounds) {
  constexpr int kPairInts = 8;
  const TripleTotals& totals = request.totals;
  const __m256 fraction = _mm256_set1_ps(static_cast<float>(request.bound.q));
  for (long p = 0; p < request.triples; p += kPairBlock) {
    const int* block = request.counts + freeCountAt(kTripleCounts, p, 0);
    // The pair records of each lane's third marker, lanes outside the
    // stretch reading its nearest one.
    const std::uint32_t* second_third[8];
    const std::uint32_t* first_third[8];
    for (int t = 0; t < 8; ++t) {
      const long j = std::clamp<long>(p + t - request.lead, 0, request.last);
      second_third[t] = totals.second_third + j * kPairInts;
      first_third[t] = totals.first_third + j * kPairInts;
    }
    __m256i jk[8];
    __m256i ik[8];
    transposeRecords(second_third, jk);
    transposeRecords(first_third, ik);
    __m256i cell[2][2][9];  // class, level 0 or 1 of the third marker, prefix row
    for (int c = 0; c < 2; ++c) {
      for (int g2 = 0; g2 < 2; ++g2) {
        __m256i* at = cell[c][g2];
        __m256i corner = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(
            totals.third_levels[2 * g2 + c] + request.first_third_marker + p));
        for (int g1 = 0; g1 < 2; ++g1) {
          const __m256i pair = jk[2 * (g1 + 2 * g2) + c];
          __m256i rest = pair;
          for (int g0 = 0; g0 < 2; ++g0) {
            at[g0 + 3 * g1] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(
                block + kPairBlock * freeCount(4, g0 + 2 * g1, g2, c)));
            rest = _mm256_sub_epi32(rest, at[g0 + 3 * g1]);
          }
          at[2 + 3 * g1] = rest;
          corner = _mm256_sub_epi32(corner, pair);
        }
        for (int g0 = 0; g0 < 2; ++g0) {
          at[g0 + 6] = _mm256_sub_epi32(_mm256_sub_epi32(ik[2 * (g0 + 2 * g2) + c], at[g0]), at[g0 + 3]);
          corner = _mm256_sub_epi32(corner, at[g0 + 6]);
        }
        at[8] = corner;
      }
    }
    __m256 shifted = _mm256_setzero_ps();
    for (int r = 0; r < 9; ++r) {
      __m256i last[2];  // the third marker's last level: the rest of the prefix row
      for (int c = 0; c < 2; ++c) {
        last[c] = _mm256_sub_epi32(
            _mm256_sub_epi32(_mm256_set1_epi32(totals.prefix_rows[2 * r + c]), cell[c][0][r]),
            cell[c][1][r]);
      }
      shifted = addShiftedTerm(cell[0][0][r], cell[1][0][r], fraction, shifted);
      shifted = addShiftedTerm(cell[0][1][r], cell[1][1][r], fraction, shifted);
      shifted = addShiftedTerm(last[0], last[1], fraction, shifted);
    }
    finishEight(request.bound, shifted, _mm256_set1_epi32(request.controls),
                _mm256_set1_epi32(request.cases), _mm256_setzero_si256(), bounds + p);
  }
}
