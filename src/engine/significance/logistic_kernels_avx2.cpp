// The AVX2 + FMA passes of a logistic fit, four samples per vector. exp and
// log1p are evaluated here rather than by the C library, whose scalar calls
// were a third of a fit's time: exp by reduction to r in [-ln2/2, ln2/2]
// and its Taylor series to r^13 (truncation below 1e-17), within a few
// units in the last place; log1p(e) for e in [0, 1], which only the
// deviance needs, as ln sqrt2 + 2 atanh(f), f = (u - sqrt2) / (u + sqrt2)
// with u = 1 + e, so |f| <= 0.172 and the atanh series to the 19th power
// leaves below 1e-17: within a few units of 1e-16 absolute, which is what a
// deviance summed over samples can tell.
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>

#include "engine/count/simd_targets.h"
#include "engine/significance/logistic_kernels.h"

namespace {

GORVA_TARGET_AVX2 GORVA_INLINE double horizontalSum(__m256d v) {
  const __m128d pair = _mm_add_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
  return _mm_cvtsd_f64(_mm_add_sd(pair, _mm_unpackhi_pd(pair, pair)));
}

// sum_j a[j] x^j, j < N, by Estrin's scheme: halves, each by the same
// rule, joined by the power of x that separates them, so that the chain of
// dependent operations is log2 N deep where Horner's rule makes it N, and
// a vector's polynomials no longer wait on each other's latency.
// power[k] = x^(2^k).
template <int N>
GORVA_TARGET_AVX2 GORVA_INLINE __m256d estrin(const double* a, const __m256d* power) {
  if constexpr (N == 1) {
    return _mm256_set1_pd(a[0]);
  } else if constexpr (N == 2) {
    return _mm256_fmadd_pd(_mm256_set1_pd(a[1]), power[0], _mm256_set1_pd(a[0]));
  } else {
    constexpr int k = std::bit_width(static_cast<unsigned>(N - 1)) - 1;
    constexpr int half = 1 << k;
    return _mm256_fmadd_pd(estrin<N - half>(a + half, power), power[k], estrin<half>(a, power));
  }
}

// x, x^2, x^4 and x^8.
GORVA_TARGET_AVX2 GORVA_INLINE void powersOf(__m256d x, __m256d* power) {
  power[0] = x;
  for (int k = 1; k < 4; ++k) power[k] = _mm256_mul_pd(power[k - 1], power[k - 1]);
}

// exp(x) for x <= 0. Below -700 it is taken at -700: only separated
// classes drive a predictor that far, and their fit is refused anyway.
GORVA_TARGET_AVX2 GORVA_INLINE __m256d expNonPositive(__m256d x) {
  constexpr double kLn2High = 0x1.62e42fefa39efp-1;
  constexpr double kLn2Low = 0x1.abc9e3b39803fp-56;
  constexpr double kLog2e = 0x1.71547652b82fep0;
  x = _mm256_max_pd(x, _mm256_set1_pd(-700.0));
  const __m256d k = _mm256_round_pd(_mm256_mul_pd(x, _mm256_set1_pd(kLog2e)), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  __m256d r = _mm256_fnmadd_pd(k, _mm256_set1_pd(kLn2High), x);
  r = _mm256_fnmadd_pd(k, _mm256_set1_pd(kLn2Low), r);
  // The series sum_j r^j / j!, j = 0 ... 13.
  static constexpr double kInverseFactorial[] = {
      1.0,          1.0,           0.5,            1.0 / 6.0,        1.0 / 24.0,        1.0 / 120.0,
      1.0 / 720.0,  1.0 / 5040.0,  1.0 / 40320.0,  1.0 / 362880.0,   1.0 / 3628800.0,   1.0 / 39916800.0,
      1.0 / 479001600.0, 1.0 / 6227020800.0};
  __m256d power[4];
  powersOf(r, power);
  const __m256d p = estrin<14>(kInverseFactorial, power);
  // 2^k by the exponent field: k is in [-1010, 0].
  const __m256i exponent = _mm256_cvtepi32_epi64(_mm256_cvtpd_epi32(k));
  const __m256i bits = _mm256_slli_epi64(_mm256_add_epi64(exponent, _mm256_set1_epi64x(1023)), 52);
  return _mm256_mul_pd(p, _mm256_castsi256_pd(bits));
}

// log(u) for u in [1, 2], given f = (u - sqrt2) / (u + sqrt2).
GORVA_TARGET_AVX2 GORVA_INLINE __m256d logAboutSqrt2(__m256d f) {
  constexpr double kLogSqrt2 = 0x1.62e42fefa39efp-2;
  // The series sum_j s^j / (2j + 1), j = 0 ... 9, s = f^2 <= 0.0295.
  static constexpr double kInverseOdd[] = {1.0,     1.0 / 3,  1.0 / 5,  1.0 / 7,  1.0 / 9,
                                           1.0 / 11, 1.0 / 13, 1.0 / 15, 1.0 / 17, 1.0 / 19};
  __m256d power[4];
  powersOf(_mm256_mul_pd(f, f), power);
  return _mm256_fmadd_pd(_mm256_add_pd(f, f), estrin<10>(kInverseOdd, power), _mm256_set1_pd(kLogSqrt2));
}

// For columns c0 ... c0 + C - 1 of x, per run the sums of w x into
// run_sums (slots c0 + c), and the sums of x r over every run into
// gradient; with kTotals also per run the sums of w and of r (slots d and
// d + 1). Columns go C at a time so that each load of w and r serves them
// all, and the 2C chains of additions keep the FMA units busy.
template <int C, bool kTotals>
GORVA_TARGET_AVX2 void columnSums(const double* x, long n, int c0, int d, const double* w, const double* r,
                                  const long* run_end, int runs, double* gradient, double* run_sums) {
  constexpr int kSlots = C > 0 ? C : 1;  // d = 0 sums w and r alone
  __m256d grad[kSlots];
  double grad_tail[kSlots] = {};
  for (int c = 0; c < C; ++c) grad[c] = _mm256_setzero_pd();
  const int stride = d + 2;
  for (int q = 0; q < runs; ++q) {
    const long last = run_end[q];
    long i = q > 0 ? run_end[q - 1] : 0;
    __m256d run[kSlots];
    double run_tail[kSlots] = {};
    for (int c = 0; c < C; ++c) run[c] = _mm256_setzero_pd();
    __m256d weight_sum = _mm256_setzero_pd();
    __m256d residual_sum = _mm256_setzero_pd();
    for (; i + 4 <= last; i += 4) {
      const __m256d weight = _mm256_loadu_pd(w + i);
      const __m256d residual = _mm256_loadu_pd(r + i);
      for (int c = 0; c < C; ++c) {
        const __m256d value = _mm256_loadu_pd(x + (c0 + c) * n + i);
        run[c] = _mm256_fmadd_pd(weight, value, run[c]);
        grad[c] = _mm256_fmadd_pd(value, residual, grad[c]);
      }
      if (kTotals) {
        weight_sum = _mm256_add_pd(weight_sum, weight);
        residual_sum = _mm256_add_pd(residual_sum, residual);
      }
    }
    double weight_tail = 0;
    double residual_tail = 0;
    for (; i < last; ++i) {
      for (int c = 0; c < C; ++c) {
        run_tail[c] += w[i] * x[(c0 + c) * n + i];
        grad_tail[c] += x[(c0 + c) * n + i] * r[i];
      }
      weight_tail += w[i];
      residual_tail += r[i];
    }
    for (int c = 0; c < C; ++c) run_sums[q * stride + c0 + c] = horizontalSum(run[c]) + run_tail[c];
    if (kTotals) {
      run_sums[q * stride + d] = horizontalSum(weight_sum) + weight_tail;
      run_sums[q * stride + d + 1] = horizontalSum(residual_sum) + residual_tail;
    }
  }
  for (int c = 0; c < C; ++c) gradient[c0 + c] = horizontalSum(grad[c]) + grad_tail[c];
}

template <int C, int B>
GORVA_TARGET_AVX2 void gramTile(const double* x, const double* w, long n, int c0, int b0, int d, double* gram) {
  __m256d sum[C][B];
  for (int c = 0; c < C; ++c)
    for (int b = 0; b < B; ++b) sum[c][b] = _mm256_setzero_pd();
  const long vectors_end = n & ~3L;
  for (long i = 0; i < vectors_end; i += 4) {
    __m256d scaled[C];
    const __m256d weight = _mm256_loadu_pd(w + i);
    for (int c = 0; c < C; ++c) scaled[c] = _mm256_mul_pd(weight, _mm256_loadu_pd(x + (c0 + c) * n + i));
    for (int b = 0; b < B; ++b) {
      const __m256d column = _mm256_loadu_pd(x + (b0 + b) * n + i);
      for (int c = 0; c < C; ++c) sum[c][b] = _mm256_fmadd_pd(column, scaled[c], sum[c][b]);
    }
  }
  for (int c = 0; c < C; ++c)
    for (int b = 0; b < B; ++b) {
      double total = horizontalSum(sum[c][b]);
      for (long i = vectors_end; i < n; ++i) total += x[(b0 + b) * n + i] * (w[i] * x[(c0 + c) * n + i]);
      gram[(b0 + b) + (c0 + c) * d] = total;
    }
}

template <int C>
GORVA_TARGET_AVX2 void gramTiles(const double* x, const double* w, long n, int c0, int d, double* gram) {
  for (int b0 = c0; b0 < d; b0 += 4) {
    switch (std::min(4, d - b0)) {
      case 1: gramTile<C, 1>(x, w, n, c0, b0, d, gram); break;
      case 2: gramTile<C, 2>(x, w, n, c0, b0, d, gram); break;
      case 3: gramTile<C, 3>(x, w, n, c0, b0, d, gram); break;
      default: gramTile<C, 4>(x, w, n, c0, b0, d, gram); break;
    }
  }
}

GORVA_TARGET_AVX2 double logisticSweepAvx2(const double* eta, const double* sign, long n, double* weight,
                                          double* residual, double* least, double* most) {
  const __m256d zero = _mm256_setzero_pd();
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
  __m256d deviance = zero;
  __m256d low = one;
  __m256d high = zero;
  const long vectors_end = n & ~3L;
  for (long i = 0; i < vectors_end; i += 4) {
    const __m256d v = _mm256_loadu_pd(eta + i);
    const __m256d e = expNonPositive(_mm256_sub_pd(zero, _mm256_and_pd(v, magnitude)));
    // 1 / (1 + e) and 1 / (1 + e + sqrt2) by one division.
    const __m256d sqrt2 = _mm256_set1_pd(0x1.6a09e667f3bcdp0);
    const __m256d one_e = _mm256_add_pd(one, e);
    const __m256d beside = _mm256_add_pd(one_e, sqrt2);
    const __m256d inverse = _mm256_div_pd(one, _mm256_mul_pd(one_e, beside));
    const __m256d likelier = _mm256_mul_pd(beside, inverse);
    // As the scalar kernel: the unlikelier class's probability from e, so
    // that weights and residuals past |eta| = 37 stay tiny, not 0.
    const __m256d unlikelier = _mm256_mul_pd(e, likelier);
    const __m256d case_likelier = _mm256_cmp_pd(v, zero, _CMP_GE_OQ);
    const __m256d p = _mm256_blendv_pd(unlikelier, likelier, case_likelier);
    const __m256d not_p = _mm256_blendv_pd(likelier, unlikelier, case_likelier);
    low = _mm256_min_pd(low, p);
    high = _mm256_max_pd(high, p);
    const __m256d s = _mm256_loadu_pd(sign + i);
    _mm256_storeu_pd(weight + i, _mm256_mul_pd(likelier, unlikelier));
    _mm256_storeu_pd(residual + i,
                     _mm256_blendv_pd(_mm256_sub_pd(zero, p), not_p, _mm256_cmp_pd(s, zero, _CMP_GT_OQ)));
    // max(0, margin) keeps a NaN margin, and 0 * eta is NaN for an eta that
    // is not finite: either makes the deviance NaN.
    const __m256d margin = _mm256_mul_pd(_mm256_sub_pd(zero, s), v);
    const __m256d log1p_e =
        logAboutSqrt2(_mm256_mul_pd(_mm256_mul_pd(_mm256_sub_pd(one_e, sqrt2), one_e), inverse));
    deviance = _mm256_add_pd(deviance, _mm256_add_pd(log1p_e, _mm256_max_pd(zero, margin)));
    deviance = _mm256_add_pd(deviance, _mm256_mul_pd(zero, v));
  }
  double tail_least = 1;
  double tail_most = 0;
  const double tail =
      vectors_end < n ? kScalarLogisticKernels.sweep(eta + vectors_end, sign + vectors_end, n - vectors_end,
                                                     weight + vectors_end, residual + vectors_end, &tail_least,
                                                     &tail_most)
                      : 0.0;
  alignas(32) double lanes[4];
  _mm256_store_pd(lanes, low);
  *least = std::min({lanes[0], lanes[1], lanes[2], lanes[3], tail_least});
  _mm256_store_pd(lanes, high);
  *most = std::max({lanes[0], lanes[1], lanes[2], lanes[3], tail_most});
  return 2 * horizontalSum(deviance) + tail;
}

GORVA_TARGET_AVX2 void weightedGramAvx2(const double* x, long n, int d, const double* w, const double* r,
                                        const long* run_end, int runs, double* gram, double* gradient,
                                        double* run_sums) {
  // The first group also sums w and r.
  const int first = std::min(d, 4);
  switch (first) {
    case 0: columnSums<0, true>(x, n, 0, d, w, r, run_end, runs, gradient, run_sums); break;
    case 1: columnSums<1, true>(x, n, 0, d, w, r, run_end, runs, gradient, run_sums); break;
    case 2: columnSums<2, true>(x, n, 0, d, w, r, run_end, runs, gradient, run_sums); break;
    case 3: columnSums<3, true>(x, n, 0, d, w, r, run_end, runs, gradient, run_sums); break;
    default: columnSums<4, true>(x, n, 0, d, w, r, run_end, runs, gradient, run_sums); break;
  }
  for (int c0 = first; c0 < d; c0 += 4) {
    switch (std::min(4, d - c0)) {
      case 1: columnSums<1, false>(x, n, c0, d, w, r, run_end, runs, gradient, run_sums); break;
      case 2: columnSums<2, false>(x, n, c0, d, w, r, run_end, runs, gradient, run_sums); break;
      case 3: columnSums<3, false>(x, n, c0, d, w, r, run_end, runs, gradient, run_sums); break;
      default: columnSums<4, false>(x, n, c0, d, w, r, run_end, runs, gradient, run_sums); break;
    }
  }
  if (gram == nullptr) return;
  // Two columns of the triangle against four rows at a time: eight sums in
  // registers for six loads.
  int c0 = 0;
  for (; c0 + 2 <= d; c0 += 2) gramTiles<2>(x, w, n, c0, d, gram);
  if (c0 < d) gramTiles<1>(x, w, n, c0, d, gram);
}

GORVA_TARGET_AVX2 void predictAvx2(const double* x, long n, int d, const double* beta, const long* run_end,
                                   const double* offset, int runs, double* out) {
  for (int q = 0; q < runs; ++q) {
    const long last = run_end[q];
    long i = q > 0 ? run_end[q - 1] : 0;
    for (; i + 4 <= last; i += 4) {
      __m256d sum = _mm256_add_pd(_mm256_loadu_pd(out + i), _mm256_set1_pd(offset[q]));
      for (int c = 0; c < d; ++c) sum = _mm256_fmadd_pd(_mm256_loadu_pd(x + c * n + i), _mm256_set1_pd(beta[c]), sum);
      _mm256_storeu_pd(out + i, sum);
    }
    for (; i < last; ++i) {
      double sum = out[i] + offset[q];
      for (int c = 0; c < d; ++c) sum += x[c * n + i] * beta[c];
      out[i] = sum;
    }
  }
}

}  // namespace

const LogisticKernels kAvx2LogisticKernels{logisticSweepAvx2, weightedGramAvx2, predictAvx2};
