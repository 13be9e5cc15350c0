// A tighter IG bound than information_gain_bound.h's, for searches whose
// ranking threshold lies close to typical gains (a conditional IG sums
// several strata's, and its K-th best is then only a few times its mean).
//
// In that header's terms, KL(p || q) = (p - q)^2 g(p) with g convex; there
// g is bounded by its largest value kappa(q), here by the chord of g from q
// to the end of [0, 1] on p's side:
//   g(p) <= g(q) + (g(1) - g(q)) (p - q) / (1 - q)   for p >= q,
//   g(p) <= g(q) + (g(0) - g(q)) (q - p) / q         for p <= q,
// so that a cell of p near q costs about its local curvature, not the worst
// one: with q = 1/2 a cell of p = 0.7 is bounded by 2.31 (p - q)^2 against
// the true 2.06 and kappa's 2.77. The rest is as there:
//   N IG <= sum_c n_c d_c^2 (g(q) + slope |d_c|) - 2 (B - q N)^2 / N,
// d_c = p_c - q, in double precision, with the same slack.
#ifndef GORVA_ENGINE_COUNT_CHORD_INFORMATION_GAIN_BOUND_H
#define GORVA_ENGINE_COUNT_CHORD_INFORMATION_GAIN_BOUND_H

#include "engine/count/chord_terms.h"

struct ChordBound {
  double q = 0.5;  // a float (roundedFraction), strictly between 0 and 1
  double at_q = 0;
  double below = 0;  // the chord's slope per unit of q - p
  double above = 0;  // and of p - q
  // The chord in single precision, rounded up once when the bound is made
  // (its logarithms cost more than a stretch of pairs' cells).
  ChordTerms terms;
  // The totals the measures are computed with: each table's own
  // (negative), or fixed ones; a table that does not add up to them gets
  // no bound.
  int fixed_controls = -1;
  int fixed_cases = -1;
};

// False where q leaves no bound (0, 1 or not a number). The totals are
// left as they were.
bool chordBoundFor(double q, ChordBound& bound);

// bounds[p] >= the IG (bits) calculateMeasuresAll gives pair p's table, for
// pairs counted whole (pair_free_counts.h's freeCountAt(kWholePairCounts,
// ...)): +infinity where a class is absent. Whole blocks of eight pairs are
// read and written. samples[p]: the pair's samples; informative[p]: 1
// where it holds both classes, else 0. Every version gives the same bits
// on one CPU (the portable one takes the reciprocal estimate the vector one
// does).
using WholePairChordBounds = void (*)(const int* counts, int pairs, const ChordBound& bound, double* bounds,
                                      int* samples, int* informative);
void wholePairChordBoundsAvx2(const int* counts, int pairs, const ChordBound& bound, double* bounds, int* samples,
                              int* informative);
void wholePairChordBoundsAvx512(const int* counts, int pairs, const ChordBound& bound, double* bounds,
                                int* samples, int* informative);
void wholePairChordBoundsScalar(const int* counts, int pairs, const ChordBound& bound, double* bounds,
                                int* samples, int* informative);
void wholePairChordBoundsScalarFma(const int* counts, int pairs, const ChordBound& bound, double* bounds,
                                   int* samples, int* informative);

// The conditional IG bound of pairs p < pairs from their strata's bounds,
// samples and informative flags (stratum s's at s * stride + p):
//   sum over informative strata of (n_s / N) bound_s,  N = sum_s n_s,
// in the exact measure's order of operations (rounding is monotone, so the
// sum of bounds stays above the sum of gains); +infinity where an
// informative stratum has no bound, NaN where no stratum is informative.
// Whole blocks of four pairs are read and written.
using ConditionalGainBounds = void (*)(const double* bounds, const int* samples, const int* informative,
                                       long stride, int strata, int pairs, double* out);
void conditionalGainBoundsAvx2(const double* bounds, const int* samples, const int* informative, long stride,
                               int strata, int pairs, double* out);
void conditionalGainBoundsAvx512(const double* bounds, const int* samples, const int* informative, long stride,
                                 int strata, int pairs, double* out);
void conditionalGainBoundsScalar(const double* bounds, const int* samples, const int* informative, long stride,
                                 int strata, int pairs, double* out);

#endif  // GORVA_ENGINE_COUNT_CHORD_INFORMATION_GAIN_BOUND_H
