// bench_covariates: the cost of the covariate-adjusted p-values, computed
// for listed rows only: 100,000 pairs (p_adjusted and
// p_interaction_adjusted, three logistic fits each) with 10 covariates on
// 1,000 samples, 1 % missing genotypes ("available"), on 2 threads.
//
// usage: bench_covariates [--rows N] [--samples N] [--covariates N] [--threads N]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "engine/significance/covariate_tests.h"

int main(int argc, char** argv) {
  int rows = 100000;
  int samples = 1000;
  int covariates = 10;
  int threads = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    const int value = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--rows") == 0) rows = value;
    if (std::strcmp(argv[i], "--samples") == 0) samples = value;
    if (std::strcmp(argv[i], "--covariates") == 0) covariates = value;
    if (std::strcmp(argv[i], "--threads") == 0) threads = value;
  }
  constexpr int kMarkers = 400;
  Workload w = makeWorkload("covariates", kMarkers, samples, 0.01, 2, 7);
  SearchContext context;
  prepareSearchContext(w.genotypes.data(),
                       {w.phenotypes.data(), nullptr, samples, kMarkers, 1, kMethodAvailable}, context);
  std::mt19937_64 random(11);
  std::normal_distribution<double> normal(0, 1);
  CovariateModel model;
  model.count = covariates;
  for (int v = 0; v < samples * covariates; ++v) model.values.push_back(normal(random));
  std::uniform_int_distribution<int> marker(0, kMarkers - 1);
  std::vector<int> pairs;
  for (int r = 0; r < rows; ++r) {
    int a = marker(random);
    int b = marker(random);
    while (b == a) b = marker(random);
    pairs.push_back(std::min(a, b));
    pairs.push_back(std::max(a, b));
  }
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  const auto start = std::chrono::steady_clock::now();
  const std::vector<AdjustedPValues> out = adjustedPValues(context, model, pairs, 2, threads);
  const double seconds = secondsSince(start);
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  const auto cpu = [](const rusage& u) { return u.ru_utime.tv_sec + u.ru_stime.tv_sec + 1e-6 * (u.ru_utime.tv_usec + u.ru_stime.tv_usec); };
  const double cpu_seconds = cpu(after) - cpu(before);
  long not_fitted = 0;
  for (const AdjustedPValues& row : out) not_fitted += row.not_fitted;
  std::printf("CPU: %s\n", cpuModel().c_str());
  std::printf("%d pairs, %d covariates, %d samples, %d threads: %.2f s wall (%.0f rows/s), %.2f s CPU "
              "(so at best %.2f s wall on idle cores); %ld rows with a model not fitted\n",
              rows, covariates, samples, threads, seconds, rows / seconds, cpu_seconds, cpu_seconds / threads,
              not_fitted);
  return 0;
}
