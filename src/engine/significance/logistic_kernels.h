// The per-sample passes of a logistic fit's iterations over caller-owned
// arrays, one implementation per instruction set: what an iteration costs
// grows with the samples only here.
#ifndef GORVA_ENGINE_SIGNIFICANCE_LOGISTIC_KERNELS_H
#define GORVA_ENGINE_SIGNIFICANCE_LOGISTIC_KERNELS_H

#include "engine/count/kernel_dispatch.h"

struct LogisticKernels {
  // With p = 1 / (1 + exp(-eta[i])) and y = (sign[i] + 1) / 2 (sign +1 for
  // a case, -1 for a control), for i < n: the next step's weight[i] =
  // p (1 - p) and residual[i] = y - p; returns the deviance, the sum of
  // -2 log P(observed class), NaN when an eta is not finite. `least` and
  // `most` get the smallest and largest p (1 and 0 for n = 0).
  double (*sweep)(const double* eta, const double* sign, long n, double* weight, double* residual, double* least,
                  double* most);
  // For x an n x d column-major matrix (columns n apart): x_response = x' r,
  // unless gram is null the lower triangle of x' W x (W = diag(w)) into
  // gram (d x d, column-major; the upper triangle is left undefined), and
  // for each run q of samples [run_end[q - 1], run_end[q]) (the first from
  // 0; the last ends at n) the sums of each column of W x, of w and of r
  // into run_sums[q * (d + 2) + ...].
  void (*weightedGram)(const double* x, long n, int d, const double* w, const double* r, const long* run_end,
                       int runs, double* gram, double* x_response, double* run_sums);
  // out += x beta plus offset[q] over run q, x and the runs as above.
  void (*predict)(const double* x, long n, int d, const double* beta, const long* run_end, const double* offset,
                  int runs, double* out);
};

// The kernels of `path`: AVX2 (with FMA) for the AVX2 and AVX-512 paths,
// whose exp and log1p agree with the C library's to a few units in the last
// place (log1p to a few 1e-16 absolute); the C library's for the scalar
// one. The path must be supported.
const LogisticKernels& logisticKernels(SimdPath path);

// Each path's table, defined beside its kernels.
extern const LogisticKernels kScalarLogisticKernels;
extern const LogisticKernels kAvx2LogisticKernels;

#endif  // GORVA_ENGINE_SIGNIFICANCE_LOGISTIC_KERNELS_H
