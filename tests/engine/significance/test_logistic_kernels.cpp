// The AVX2 passes of the logistic fits against the C library's exp and
// log1p and plain loops, at every vector offset and tail length.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "engine/significance/logistic_kernels.h"
#include "support/simd_paths.h"

namespace {

constexpr double kUlps = 4 * std::numeric_limits<double>::epsilon();

TEST(LogisticKernels, Avx2SweepMatchesTheLibrarysExpAndLog1p) {
  GORVA_SKIP_UNLESS_SIMD_PATH_RUNS(SimdPath::kAvx2, simdPathSupported(SimdPath::kAvx2));
  std::mt19937_64 random(5);
  std::uniform_real_distribution<double> uniform(-40, 40);
  // Wide and narrow predictors, both signs, exact zeros and the range where
  // exp underflows.
  std::vector<double> eta = {0.0, -0.0, 1e-300, -1e-17, 0.3465, -0.3466, 700, -700, -745, 750, 36.7, -36.7};
  for (int i = 0; i < 4000; ++i) eta.push_back(i % 2 ? uniform(random) : uniform(random) / 100);
  std::vector<double> sign(eta.size());
  for (std::size_t i = 0; i < eta.size(); ++i) sign[i] = random() % 2 ? 1.0 : -1.0;
  const LogisticKernels& avx2 = logisticKernels(SimdPath::kAvx2);
  // Four at a time, so each vector's deviance is checked on its own.
  for (std::size_t first = 0; first + 4 <= eta.size(); first += 4) {
    double weight[2][4], response[2][4], low[2], high[2];
    const double fast_deviance = avx2.sweep(&eta[first], &sign[first], 4, weight[0], response[0], &low[0], &high[0]);
    const double exact_deviance =
        kScalarLogisticKernels.sweep(&eta[first], &sign[first], 4, weight[1], response[1], &low[1], &high[1]);
    // The deviance's log1p is good to a few 1e-16 absolute per sample.
    EXPECT_NEAR(fast_deviance, exact_deviance, kUlps * (exact_deviance + 4)) << first;
    if (low[1] < 1e-300) EXPECT_LT(low[0], 1e-300) << first;
    else EXPECT_NEAR(low[0], low[1], kUlps * low[1]) << first;
    EXPECT_NEAR(high[0], high[1], kUlps * high[1]) << first;
    // p (1 - p) and y - p lose p's relative error to cancellation near
    // p = 1 in both: their errors are absolute.
    for (int j = 0; j < 4; ++j) {
      EXPECT_NEAR(weight[0][j], weight[1][j], kUlps) << eta[first + j];
      EXPECT_NEAR(response[0][j], response[1][j], kUlps * (1 + std::fabs(eta[first + j]))) << eta[first + j];
    }
  }
  // Any tail length, and a predictor that is not a number, spoils the deviance.
  for (const double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    for (int n = 1; n <= 9; ++n) {
      std::vector<double> some(eta.begin(), eta.begin() + n);
      std::vector<double> weight(n), response(n);
      double low, high;
      EXPECT_FALSE(std::isnan(avx2.sweep(some.data(), sign.data(), n, weight.data(), response.data(), &low, &high)));
      some[n - 1] = bad;
      EXPECT_TRUE(std::isnan(avx2.sweep(some.data(), sign.data(), n, weight.data(), response.data(), &low, &high))) << n;
    }
  }
}

TEST(LogisticKernels, Avx2WeightedGramAndPredictionMatchPlainLoops) {
  GORVA_SKIP_UNLESS_SIMD_PATH_RUNS(SimdPath::kAvx2, simdPathSupported(SimdPath::kAvx2));
  std::mt19937_64 random(9);
  std::normal_distribution<double> normal(0, 1);
  const LogisticKernels& avx2 = logisticKernels(SimdPath::kAvx2);
  for (const long n : {1L, 2L, 3L, 4L, 5L, 7L, 8L, 37L, 203L}) {
    for (int d = 0; d <= 15; ++d) {
      std::vector<double> x(n * d), w(n), r(n), beta(d);
      for (double& v : x) v = normal(random);
      for (long i = 0; i < n; ++i) w[i] = std::fabs(normal(random)) / 4, r[i] = normal(random);
      for (double& b : beta) b = normal(random);
      std::vector<double> gram[2] = {std::vector<double>(d * d), std::vector<double>(d * d)};
      std::vector<double> response[2] = {std::vector<double>(d), std::vector<double>(d)};
      std::vector<double> eta[2] = {std::vector<double>(n), std::vector<double>(n)};
      // Runs of 1, 2, 3, ... samples.
      std::vector<long> run_end;
      for (long end = 1; end < n; end += static_cast<long>(run_end.size()) + 1) run_end.push_back(end);
      run_end.push_back(n);
      const int runs = static_cast<int>(run_end.size());
      std::vector<double> run_sums[2] = {std::vector<double>(runs * (d + 2)), std::vector<double>(runs * (d + 2))};
      avx2.weightedGram(x.data(), n, d, w.data(), r.data(), run_end.data(), runs, gram[0].data(),
                        response[0].data(), run_sums[0].data());
      kScalarLogisticKernels.weightedGram(x.data(), n, d, w.data(), r.data(), run_end.data(), runs, gram[1].data(), response[1].data(),
                         run_sums[1].data());
      for (int j = 0; j < runs * (d + 2); ++j) EXPECT_NEAR(run_sums[0][j], run_sums[1][j], 1e-12 * n) << n << " " << d;
      std::vector<double> offset(runs);
      for (double& o : offset) o = normal(random);
      avx2.predict(x.data(), n, d, beta.data(), run_end.data(), offset.data(), runs, eta[0].data());
      kScalarLogisticKernels.predict(x.data(), n, d, beta.data(), run_end.data(), offset.data(), runs, eta[1].data());
      for (int c = 0; c < d; ++c) {
        EXPECT_NEAR(response[0][c], response[1][c], 1e-12 * n) << n << " " << d << " " << c;
        for (int b = c; b < d; ++b) EXPECT_NEAR(gram[0][b + c * d], gram[1][b + c * d], 1e-12 * n) << n << " " << d;
      }
      for (long i = 0; i < n; ++i) EXPECT_NEAR(eta[0][i], eta[1][i], 1e-13 * (d + 1)) << n << " " << d;
    }
  }
}

}  // namespace
