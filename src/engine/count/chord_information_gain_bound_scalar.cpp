// The chord bounds for CPUs without AVX2, operation for operation as the
// vector version rounds them: fused multiply-adds where it fuses (std::fma
// rounds once, as the instruction does), the same reciprocal estimate
// (SSE's RCPPS, part of every x86-64 CPU, reads the table the AVX2 one
// reads), and its maxima's choice of operand, so that a search prunes the
// same pairs on every path. Built twice: with the FMA instructions, which
// some CPUs without AVX2 have, and without.
#include <emmintrin.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "engine/count/chord_information_gain_bound.h"
#include "engine/count/chord_terms.h"
#include "engine/count/pair_free_counts.h"
#include "engine/count/simd_targets.h"

namespace {

constexpr int kCells = 9;

// A block of eight pairs lane by lane, so that a build with FMA can keep
// the lanes in vectors; inlined into each build, where std::fma is the
// instruction, or else the library's exact (and slow) fmaf.
GORVA_INLINE void boundBlock(const int* block, const ChordBound& bound, const ChordTerms& terms, double* bounds,
                             int* samples, int* informative) {
  const float q = static_cast<float>(bound.q);
  const bool q_is_float = static_cast<double>(q) == bound.q;
  int controls[kPairBlock] = {};
  int cases[kPairBlock] = {};
  float shifted[kPairBlock] = {};
  for (int cell = 0; cell < kCells; ++cell) {
    const int* a = block + kPairBlock * (2 * cell);
    const int* b = block + kPairBlock * (2 * cell + 1);
    float off[kPairBlock];
    alignas(16) float r[kPairBlock];
    for (int lane = 0; lane < kPairBlock; ++lane) {
      controls[lane] += a[lane];
      cases[lane] += b[lane];
      const float n = static_cast<float>(a[lane] + b[lane]);
      off[lane] = std::fma(-q, n, static_cast<float>(b[lane]));
    }
    // The samples' reciprocals four at a time from the counts themselves: a
    // vector load of lanes just stored one by one would stall.
    for (int half = 0; half < kPairBlock; half += 4) {
      const __m128i n = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + half)),
                                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + half)));
      const __m128 m = _mm_max_ps(_mm_cvtepi32_ps(n), _mm_set1_ps(1.0f));
      _mm_store_ps(r + half, _mm_mul_ps(_mm_rcp_ps(m), _mm_set1_ps(1.0f + 0x1p-11f)));
    }
    for (int lane = 0; lane < kPairBlock; ++lane) {
      const float x = r[lane];
      const float spread = std::fabs(off[lane]) * x;
      // Chosen by a mask, as the vector version blends: a branch on the
      // sign of each cell mispredicts half the time.
      const std::uint32_t pick = 0u - static_cast<std::uint32_t>(off[lane] > 0);
      const float slope = std::bit_cast<float>((std::bit_cast<std::uint32_t>(terms.above) & pick) |
                                               (std::bit_cast<std::uint32_t>(terms.below) & ~pick));
      const float curvature = std::fma(slope, spread, terms.at_q);
      shifted[lane] = std::fma(off[lane] * off[lane] * x, curvature, shifted[lane]);
    }
  }
  for (int lane = 0; lane < kPairBlock; ++lane) {
    samples[lane] = controls[lane] + cases[lane];
    informative[lane] = controls[lane] != 0 && cases[lane] != 0 ? 1 : 0;
    const bool off_totals = bound.fixed_controls >= 0 &&
                            !(controls[lane] == bound.fixed_controls && cases[lane] == bound.fixed_cases);
    const double A = controls[lane];
    const double B = cases[lane];
    const double N = A + B;
    // q N is exact for a float q and fewer than 2^29 samples, and then
    // needs no fused multiply-add to be rounded once.
    const double off = q_is_float && N < 0x1p29 ? B - bound.q * N : std::fma(-bound.q, N, B);
    const double inverse = 1.0 / N;
    double numerator = kBitsPerNat * (static_cast<double>(shifted[lane]) * kShiftedSumSlack) -
                       kPinskerBits * (off * off) * inverse;
    numerator = numerator > 0 ? numerator : 0;  // a NaN too, as MAXPD gives
    const double result = numerator * inverse * kBoundSlack + boundFloor(kCells);
    bounds[lane] = A <= 0 || B <= 0 || off_totals ? std::numeric_limits<double>::infinity() : result;
  }
}

GORVA_INLINE void chordBoundsWith(const int* counts, int pairs, const ChordBound& bound, double* bounds,
                                  int* samples, int* informative) {
  const ChordTerms& terms = bound.terms;
  for (int p0 = 0; p0 < pairs; p0 += kPairBlock)
    boundBlock(counts + freeCountAt(kWholePairCounts, p0, 0), bound, terms, bounds + p0, samples + p0,
               informative + p0);
}

}  // namespace

void wholePairChordBoundsScalar(const int* counts, int pairs, const ChordBound& bound, double* bounds,
                                int* samples, int* informative) {
  chordBoundsWith(counts, pairs, bound, bounds, samples, informative);
}

GORVA_TARGET_FMA void wholePairChordBoundsScalarFma(const int* counts, int pairs, const ChordBound& bound,
                                                    double* bounds, int* samples, int* informative) {
  chordBoundsWith(counts, pairs, bound, bounds, samples, informative);
}

void conditionalGainBoundsScalar(const double* bounds, const int* samples, const int* informative, long stride,
                                 int strata, int pairs, double* out) {
  const int whole = (pairs + 3) / 4 * 4;
  for (int p = 0; p < whole; ++p) {
    int counted = 0;
    for (int s = 0; s < strata; ++s) counted += samples[s * stride + p];
    const double N = counted;
    double sum = 0;
    bool any = false;
    for (int s = 0; s < strata; ++s) {
      const bool included = informative[s * stride + p] != 0;
      double own = bounds[s * stride + p];
      if (std::isnan(own)) own = std::numeric_limits<double>::infinity();
      const double term = samples[s * stride + p] / N * own;
      // x + 0 is x: a stratum left out adds nothing, as the exact sum skips it.
      sum += included ? term : 0.0;
      any = any || included;
    }
    out[p] = any ? sum : std::numeric_limits<double>::quiet_NaN();
  }
}
