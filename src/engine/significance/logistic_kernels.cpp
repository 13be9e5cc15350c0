#include "engine/significance/logistic_kernels.h"

#include <algorithm>
#include <cmath>

namespace {

double logisticSweepScalar(const double* eta, const double* sign, long n, double* weight, double* residual,
                          double* least, double* most) {
  double deviance = 0;
  double low = 1;
  double high = 0;
  for (long i = 0; i < n; ++i) {
    // e = exp(-|eta|) never overflows; the likelier class has 1 / (1 + e).
    const double e = std::exp(-std::fabs(eta[i]));
    // The unlikelier class's probability is taken as e / (1 + e), not as
    // 1 less the likelier's, which rounds to 0 past |eta| = 37: a strong
    // covariate puts samples there at a finite maximum, where their weights
    // and residuals must stay what they are, tiny but not 0.
    const double likelier = 1 / (1 + e);
    const double unlikelier = e * likelier;
    const bool case_likelier = eta[i] >= 0;
    const double p = case_likelier ? likelier : unlikelier;
    low = std::min(low, p);
    high = std::max(high, p);
    weight[i] = likelier * unlikelier;
    residual[i] = sign[i] > 0 ? (case_likelier ? unlikelier : likelier) : -p;
    deviance += std::log1p(e) + std::max(0.0, -sign[i] * eta[i]) + 0 * eta[i];
  }
  *least = low;
  *most = high;
  return 2 * deviance;
}

void weightedGramScalar(const double* x, long n, int d, const double* w, const double* r, const long* run_end,
                        int runs, double* gram, double* x_response, double* run_sums) {
  for (int c = 0; c < d; ++c) {
    const double* column = x + c * n;
    double sum = 0;
    for (int q = 0; q < runs; ++q) {
      double run_sum = 0;
      for (long i = q > 0 ? run_end[q - 1] : 0; i < run_end[q]; ++i) {
        sum += column[i] * r[i];
        run_sum += w[i] * column[i];
      }
      run_sums[q * (d + 2) + c] = run_sum;
    }
    x_response[c] = sum;
  }
  for (int q = 0; q < runs; ++q) {
    double weight_sum = 0;
    double response_sum = 0;
    for (long i = q > 0 ? run_end[q - 1] : 0; i < run_end[q]; ++i) weight_sum += w[i], response_sum += r[i];
    run_sums[q * (d + 2) + d] = weight_sum;
    run_sums[q * (d + 2) + d + 1] = response_sum;
  }
  if (gram == nullptr) return;
  for (int c = 0; c < d; ++c)
    for (int b = c; b < d; ++b) {
      double sum = 0;
      for (long i = 0; i < n; ++i) sum += x[b * n + i] * (w[i] * x[c * n + i]);
      gram[b + c * d] = sum;
    }
}

void predictScalar(const double* x, long n, int d, const double* beta, const long* run_end, const double* offset,
                   int runs, double* out) {
  for (int q = 0; q < runs; ++q)
    for (long i = q > 0 ? run_end[q - 1] : 0; i < run_end[q]; ++i) out[i] += offset[q];
  for (int c = 0; c < d; ++c)
    for (long i = 0; i < n; ++i) out[i] += x[c * n + i] * beta[c];
}

}  // namespace

const LogisticKernels kScalarLogisticKernels{logisticSweepScalar, weightedGramScalar, predictScalar};

const LogisticKernels& logisticKernels(SimdPath path) {
  return path == SimdPath::kScalar ? kScalarLogisticKernels : kAvx2LogisticKernels;
}
