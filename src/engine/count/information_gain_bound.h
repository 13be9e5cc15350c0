// Cheap upper bounds of the information gain of count tables, so that most
// tables of a batch can be ruled out of its best K without their screening
// key (27 table lookups for a 3 x 3 table).
//
// With a_c controls, b_c cases, n_c = a_c + b_c in cell c, p_c = b_c / n_c,
// totals A, B, N and P = B / N, the gain in nats is
//   N IG = sum_c n_c KL(p_c || P)                     (KL of two Bernoullis)
// and for any fraction q (the search's case fraction: one pass, no totals
// needed first)
//   sum_c n_c KL(p_c || q) = N IG + N KL(P || q).
// KL(p || q) = (p - q)^2 g(p), where g(p) = int_0^1 (1 - s) / (t (1 - t)) ds
// over t = q + s (p - q) is convex in p, so g <= kappa(q) = max(g(0), g(q),
// g(1)) = max(-ln(1-q) / q^2, 1 / (2 q (1-q)), -ln(q) / (1-q)^2); and
// KL(P || q) >= 2 (P - q)^2 (Pinsker). Hence
//   N IG <= kappa(q) S - 2 (B - q N)^2 / N,  S = sum_c (b_c - q n_c)^2 / n_c.
// Near independence the bound is about 1.4 times the gain for a balanced
// phenotype (kappa(1/2) = 4 ln 2 against 2 for the local curvature).
#ifndef GORVA_ENGINE_COUNT_INFORMATION_GAIN_BOUND_H
#define GORVA_ENGINE_COUNT_INFORMATION_GAIN_BOUND_H

#include <limits>

#include "engine/count/kernel_dispatch.h"
#include "engine/count/pair_free_counts.h"

// The tables and how calculateMeasuresAll is given their totals.
struct BoundRequest {
  const int* tables = nullptr;  // 2 * cells ints each: controls, cases per cell
  int count = 0;
  int stride = 0;  // ints from one table to the next
  int cells = 0;
  // The totals the measures are computed with: the table's own (negative),
  // or fixed ones; a table that does not add up to fixed totals gets no
  // bound.
  int fixed_controls = -1;
  int fixed_cases = -1;
  // Any fraction strictly between 0 and 1, and divergenceFactor(q); the
  // bound is tightest near the tables' case fraction, and fastest when q is
  // a float (roundedFraction). Left unset, the bound rules nothing out.
  double q = 0.5;
  double divergence_factor = std::numeric_limits<double>::infinity();
};

// kappa(q) / ln 2 (bits), rounded up; infinity outside (0, 1).
double divergenceFactor(double q);

// A fraction near `fraction` that single precision holds exactly.
inline double roundedFraction(double fraction) { return static_cast<float>(fraction); }

// bounds[j] >= the IG calculateMeasuresAll gives table j; +infinity (or NaN)
// when a class is absent or the table has no bound. Each table's totals must
// be below 2^31.
using InformationGainBounds = void (*)(const BoundRequest& request, double* bounds);

// The portable version (also the reference of the vector ones).
void informationGainBoundsScalar(const BoundRequest& request, double* bounds);
void informationGainBoundsAvx2(const BoundRequest& request, double* bounds);
void informationGainBoundsAvx512(const BoundRequest& request, double* bounds);

// The bounds of pairs of complete 3-level markers from their free counts
// (pair_free_counts.h): pairs 0 .. pairs - 1 of `counts`, pair p's second
// marker first_second + p; the totals are the classes' (no table needs
// recounting). Or (whole) of pairs counted whole, each with its own totals,
// and no bound for those that do not add up to bound's fixed totals (if
// any). bound.q must be a float, the classes' total below 2^24, and bounds[]
// and the second markers' totals must have room up to the next multiple of
// 8 pairs (those bounds mean nothing).
struct PairBoundRequest {
  const int* counts = nullptr;
  long pairs = 0;
  bool whole = false;
  // Whole pairs counted by their free cells: their tables from these, not
  // from counts.
  const PairFromFree* from_free = nullptr;
  PairTotals totals;
  int first_second = 0;
  BoundRequest bound;  // q, divergence_factor, cells (9) and fixed totals only
};
void pairInformationGainBoundsScalar(const PairBoundRequest& request, double* bounds);
void pairInformationGainBoundsAvx2(const PairBoundRequest& request, double* bounds);
void pairInformationGainBoundsAvx512(const PairBoundRequest& request, double* bounds);

// The same for triples of complete 3-level markers: triples 0 .. triples -
// 1 of `counts` (16 per triple), triple p's third marker first_third_marker
// + p, the stretch's first triple at p = lead and its last at lead + last
// (others read the pair records of the nearest one; their bounds mean
// nothing). controls and cases: the classes' totals.
struct TripleBoundRequest {
  const int* counts = nullptr;
  long triples = 0;
  TripleTotals totals;
  int first_third_marker = 0;
  int lead = 0;
  int last = 0;
  int controls = 0;
  int cases = 0;
  BoundRequest bound;  // q, divergence_factor and cells (27) only
};
void tripleInformationGainBoundsScalar(const TripleBoundRequest& request, double* bounds);
void tripleInformationGainBoundsAvx2(const TripleBoundRequest& request, double* bounds);
void tripleInformationGainBoundsAvx512(const TripleBoundRequest& request, double* bounds);

using PairInformationGainBounds = void (*)(const PairBoundRequest& request, double* bounds);
using TripleInformationGainBounds = void (*)(const TripleBoundRequest& request, double* bounds);

// The bounds of pairs of 3-level markers whose tables are a permutation's
// counted class beside the run's cell totals (which no permutation
// changes): pair j's cell e has counted[0][e * counted_stride + j] (plus
// counted[1][...], when the class is split over two entries) samples of
// the counted class and totals[e * totals_stride + j] in all; the other
// class has the rest. What the totals alone decide is given once for every
// permutation: inverses[e * totals_stride + j] = 1 / that total rounded to
// a float (1 for an empty cell; read by the AVX2 version only, the others
// take it null), samples[j] = the sum of pair j's totals, of which
// most_samples, when not negative, is known to be an upper bound (a vector
// version then need not look at them all first). Rows are read in whole groups of eight pairs, so they (and bounds, cases)
// need initialised room up to the next multiple of 8. Beside each bound:
// the table's cases (for RIG's floor of the phenotype entropy), where
// asked for.
struct CountedClassBoundRequest {
  const int* counted[2] = {nullptr, nullptr};
  long counted_stride = 0;
  const int* totals = nullptr;
  const float* inverses = nullptr;
  long totals_stride = 0;
  const int* samples = nullptr;
  int most_samples = -1;
  int count = 0;
  int counted_class = 1;  // 1: the counted samples are the cases
  BoundRequest bound;     // q, divergence_factor, fixed totals (cells: 9)
};
void countedClassBoundsScalar(const CountedClassBoundRequest& request, double* bounds, int* cases);
void countedClassBoundsAvx2(const CountedClassBoundRequest& request, double* bounds, int* cases);
void countedClassBoundsAvx512(const CountedClassBoundRequest& request, double* bounds, int* cases);
using CountedClassBounds = void (*)(const CountedClassBoundRequest& request, double* bounds,
                                    int* cases);
// Two permutations' bounds over the same pairs and totals at once: the
// first's counted rows in request.counted[0] (not split), the second's at
// `second`, everything else the same (q, divergence factor, counted class,
// fixed totals). Each gets the bounds and cases countedClassBoundsAvx512
// gives it alone; what the totals alone decide is taken once for both.
void countedClassBoundsTwoAvx512(const CountedClassBoundRequest& request, const int* second,
                                 double* const (&bounds)[2], int* const (&cases)[2]);

#endif  // GORVA_ENGINE_COUNT_INFORMATION_GAIN_BOUND_H
