// Cheap upper bounds of the information gain of count tables, so that most
// tables of a batch can be ruled out of its best K without their screening
// key (27 table lookups for a 3 x 3 table).
//
// The information gain is a mutual information, and a Kullback-Leibler
// divergence is at most the chi-square divergence (KL <= ln(1 + chi2) <=
// chi2), so with Pearson's X^2 of the table:
//   IG <= X^2 / (N ln 2),  X^2 = N^2 S / (A B),  S = sum_c (b_c - P n_c)^2 / n_c
// (a_c controls, b_c cases, n_c = a_c + b_c of cell c; A, B, N the table's
// totals, P = B / N). For any q, sum_c (b_c - q n_c)^2 / n_c = S + N (P - q)^2,
// so one pass with a fixed q (the search's case fraction) gives S once the
// totals are known. The bound is about twice the gain near independence.
#ifndef GORVA_ENGINE_INFORMATION_GAIN_BOUND_H
#define GORVA_ENGINE_INFORMATION_GAIN_BOUND_H

#include "engine/kernel_dispatch.h"

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
  // Any fraction; the bound is tightest near the tables' case fraction.
  double q = 0.5;
};

// bounds[j] >= the IG calculateMeasuresAll gives table j; +infinity when a
// class is absent or the table has no bound.
using InformationGainBounds = void (*)(const BoundRequest& request, double* bounds);

// The portable version (also the reference of the vector ones).
void informationGainBoundsScalar(const BoundRequest& request, double* bounds);
void informationGainBoundsAvx512(const BoundRequest& request, double* bounds);

// The version worth running on a SIMD path: null where the bound costs about
// as much as the screening key it would save.
InformationGainBounds informationGainBoundsFor(SimdPath path);

#endif  // GORVA_ENGINE_INFORMATION_GAIN_BOUND_H
