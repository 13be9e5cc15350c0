// The order-3 walk's bounds with AVX-512: sixteen triples a step, on the
// same terms as the AVX2 version's eight (single-precision shifted sums,
// the classes' total below 2^24, q a float). The shifted terms take the
// 14-bit reciprocal as it is, which the sum's slack covers; the last step
// in double precision takes 1 / N from the 14-bit reciprocal and one
// Newton step (at most 2^-28 below the true value, inside the bound's
// slack) instead of two divisions.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
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

constexpr int kPairInts = 8;  // a pair record: its counts below both last levels

// A cell of sixteen triples: its cases and its samples, as floats (exact:
// every count is below 2^24), so that the table is completed by float
// subtractions and each cell needs no conversion of its own.
struct Cell {
  __m512 b, n;
};

GORVA_TARGET_AVX512 GORVA_INLINE Cell cellOf(__m512i controls, __m512i cases) {
  return {_mm512_cvtepi32_ps(cases), _mm512_cvtepi32_ps(_mm512_add_epi32(controls, cases))};
}

GORVA_TARGET_AVX512 GORVA_INLINE Cell operator-(Cell x, Cell y) {
  return {_mm512_sub_ps(x.b, y.b), _mm512_sub_ps(x.n, y.n)};
}

// shifted + (b - q n)^2 / n per lane.
GORVA_TARGET_AVX512 GORVA_INLINE __m512 addShiftedTerm(Cell cell, __m512 fraction, __m512 shifted) {
  const __m512 d = _mm512_fnmadd_ps(fraction, cell.n, cell.b);  // b - q n
  // An empty cell has d = 0; dividing by 1 instead keeps it 0.
  const __m512 inverse = _mm512_rcp14_ps(_mm512_max_ps(cell.n, _mm512_set1_ps(1.0f)));
  return _mm512_fmadd_ps(_mm512_mul_ps(d, d), inverse, shifted);
}

// Entry e of sixteen pair records (record t at record(t)) as lane t of
// out[e]: an 8 x 8 transpose of 32-bit entries in each 256-bit half,
// records 0-7 in the low half and 8-15 in the high one.
template <class Record>
GORVA_TARGET_AVX512 GORVA_INLINE void transposeRecords(Record record, __m512i out[8]) {
  __m512i row[8];
  for (int t = 0; t < 8; ++t) {
    row[t] = _mm512_inserti64x4(
        _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(record(t)))),
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(record(t + 8))), 1);
  }
  __m512i low[4];
  __m512i high[4];
  for (int i = 0; i < 4; ++i) {
    low[i] = _mm512_unpacklo_epi32(row[2 * i], row[2 * i + 1]);
    high[i] = _mm512_unpackhi_epi32(row[2 * i], row[2 * i + 1]);
  }
  // Per 128-bit lane: entries (0, 1) of records 0-3 then 4-7, and so on.
  const __m512i e[4] = {_mm512_unpacklo_epi64(low[0], low[1]), _mm512_unpackhi_epi64(low[0], low[1]),
                        _mm512_unpacklo_epi64(high[0], high[1]), _mm512_unpackhi_epi64(high[0], high[1])};
  const __m512i f[4] = {_mm512_unpacklo_epi64(low[2], low[3]), _mm512_unpackhi_epi64(low[2], low[3]),
                        _mm512_unpacklo_epi64(high[2], high[3]), _mm512_unpackhi_epi64(high[2], high[3])};
  // 128-bit lanes 0 and 2 of e beside those of f, then lanes 1 and 3.
  const __m512i front = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
  const __m512i back = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
  for (int k = 0; k < 4; ++k) {
    out[k] = _mm512_permutex2var_epi64(e[k], front, f[k]);
    out[k + 4] = _mm512_permutex2var_epi64(e[k], back, f[k]);
  }
}

// Count k of the sixteen triples from p (a multiple of 8); the second
// eight read as empty unless `both`.
GORVA_TARGET_AVX512 GORVA_INLINE __m512i loadCount(const int* counts, long p, int k, bool both) {
  const int* at = counts + freeCountAt(kTripleCounts, p, k);
  const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  const __m256i high = both ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + kPairBlock * kTripleCounts))
                            : _mm256_setzero_si256();
  return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
}

}  // namespace

GORVA_TARGET_AVX512 void tripleInformationGainBoundsAvx512(const TripleBoundRequest& request,
                                                           double* bounds) {
  const TripleTotals& totals = request.totals;
  const __m512 fraction = _mm512_set1_ps(static_cast<float>(request.bound.q));
  const FixedTotalsBound fixed = fixedTotalsBound(request.bound, request.controls, request.cases);
  Cell prefix_rows[9];
  for (int r = 0; r < 9; ++r) {
    prefix_rows[r] = cellOf(_mm512_set1_epi32(totals.prefix_rows[2 * r]),
                            _mm512_set1_epi32(totals.prefix_rows[2 * r + 1]));
  }
  for (long p = 0; p < request.triples; p += 2 * kPairBlock) {
    const bool both = p + kPairBlock < request.triples;
    const __mmask16 live = both ? 0xFFFF : 0x00FF;
    // The pair records of each lane's third marker, lanes outside the
    // stretch reading its nearest one; inside it they follow each other,
    // and their addresses are best left to the loads' offsets.
    const long first_record = p - request.lead;
    __m512i jk[8];
    __m512i ik[8];
    if (first_record >= 0 && first_record + 15 <= request.last) {
      const std::uint32_t* second_third = totals.second_third + first_record * kPairInts;
      const std::uint32_t* first_third = totals.first_third + first_record * kPairInts;
      transposeRecords([&](int t) { return second_third + t * kPairInts; }, jk);
      transposeRecords([&](int t) { return first_third + t * kPairInts; }, ik);
    } else {
      const auto nearest = [&](int t) { return std::clamp<long>(first_record + t, 0, request.last) * kPairInts; };
      transposeRecords([&](int t) { return totals.second_third + nearest(t); }, jk);
      transposeRecords([&](int t) { return totals.first_third + nearest(t); }, ik);
    }
    Cell cell[2][9];  // level 0 or 1 of the third marker, prefix row
    for (int g2 = 0; g2 < 2; ++g2) {
      Cell* at = cell[g2];
      const int* level = totals.third_levels[2 * g2] + request.first_third_marker + p;
      const int* level_cases = totals.third_levels[2 * g2 + 1] + request.first_third_marker + p;
      Cell corner = cellOf(_mm512_maskz_loadu_epi32(live, level), _mm512_maskz_loadu_epi32(live, level_cases));
      for (int g1 = 0; g1 < 2; ++g1) {
        const Cell pair = cellOf(jk[2 * (g1 + 2 * g2)], jk[2 * (g1 + 2 * g2) + 1]);
        Cell rest = pair;
        for (int g0 = 0; g0 < 2; ++g0) {
          at[g0 + 3 * g1] = cellOf(loadCount(request.counts, p, freeCount(4, g0 + 2 * g1, g2, 0), both),
                                   loadCount(request.counts, p, freeCount(4, g0 + 2 * g1, g2, 1), both));
          rest = rest - at[g0 + 3 * g1];
        }
        at[2 + 3 * g1] = rest;
        corner = corner - pair;
      }
      for (int g0 = 0; g0 < 2; ++g0) {
        at[g0 + 6] = cellOf(ik[2 * (g0 + 2 * g2)], ik[2 * (g0 + 2 * g2) + 1]) - at[g0] - at[g0 + 3];
        corner = corner - at[g0 + 6];
      }
      at[8] = corner;
    }
    __m512 shifted = _mm512_setzero_ps();
    for (int r = 0; r < 9; ++r) {
      shifted = addShiftedTerm(cell[0][r], fraction, shifted);
      shifted = addShiftedTerm(cell[1][r], fraction, shifted);
      // The third marker's last level: the rest of the prefix row.
      shifted = addShiftedTerm(prefix_rows[r] - cell[0][r] - cell[1][r], fraction, shifted);
    }
    // Every triple has the classes' totals.
    _mm512_storeu_pd(bounds + p, boundsOfEight(fixed, _mm512_castps512_ps256(shifted)));
    if (both)
      _mm512_storeu_pd(bounds + p + kPairBlock,
                       boundsOfEight(fixed, _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(shifted), 1))));
  }
}
