// The per-sample passes of a logistic fit's iterations over caller-owned
// arrays, one implementation per instruction set: what an iteration costs
// grows with the samples only here.
#ifndef GORVA_ENGINE_SIGNIFICANCE_LOGISTIC_KERNELS_H
#define GORVA_ENGINE_SIGNIFICANCE_LOGISTIC_KERNELS_H

#include "engine/count/kernel_dispatch.h"

struct LogisticKernels {
  // prob[i] = 1 / (1 + exp(-eta[i])) for i < n, and the deviance, the sum
  // of -2 log P(observed class) with sign[i] = +1 for a case and -1 for a
  // control; NaN when an eta is not finite. `least` and `most` get the
  // smallest and largest probability (1 and 0 for n = 0).
  double (*probabilities)(const double* eta, const double* sign, long n, double* prob, double* least,
                          double* most);
  // For x an n x d column-major matrix (columns n apart): weighted = w x
  // (each row scaled), x_response = x' r, the lower triangle of x' W x into
  // gram (d x d, column-major; the upper triangle is left undefined), and
  // for each run q of samples [run_end[q - 1], run_end[q]) (the first from
  // 0; the last ends at n) the sums of each weighted column, of w and of r
  // into run_sums[q * (d + 2) + ...].
  void (*weightedGram)(const double* x, long n, int d, const double* w, const double* r, const long* run_end,
                       int runs, double* weighted, double* gram, double* x_response, double* run_sums);
  // out = x beta, x as above.
  void (*product)(const double* x, long n, int d, const double* beta, double* out);
};

// The kernels of `path`: AVX2 (with FMA) for the AVX2 and AVX-512 paths,
// whose exp and log1p agree with the C library's to a few units in the last
// place; the C library's for the scalar one. The path must be supported.
const LogisticKernels& logisticKernels(SimdPath path);

// The implementations behind it.
double logisticProbabilitiesScalar(const double* eta, const double* sign, long n, double* prob, double* least,
                                   double* most);
void weightedGramScalar(const double* x, long n, int d, const double* w, const double* r, const long* run_end,
                        int runs, double* weighted, double* gram, double* x_response, double* run_sums);
void productScalar(const double* x, long n, int d, const double* beta, double* out);
double logisticProbabilitiesAvx2(const double* eta, const double* sign, long n, double* prob, double* least,
                                 double* most);
void weightedGramAvx2(const double* x, long n, int d, const double* w, const double* r, const long* run_end,
                      int runs, double* weighted, double* gram, double* x_response, double* run_sums);
void productAvx2(const double* x, long n, int d, const double* beta, double* out);

#endif  // GORVA_ENGINE_SIGNIFICANCE_LOGISTIC_KERNELS_H
