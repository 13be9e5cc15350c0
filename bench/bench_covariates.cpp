// bench_covariates: the cost of the covariate-adjusted p-values, computed
// for listed rows only. Shape: 100,000 listed rows of each order 1 and 2
// (pairs: p_adjusted and p_interaction_adjusted), 10 covariates (the first
// two shifted in cases, as principal components of a structured cohort
// are), 2,000 samples, 1 % missing genotypes ("available"), on 1 and then
// 2 threads in the same run; then the pairs' p_adjusted alone, as
// lambda_gc_adjusted computes it.
//
// usage: bench_covariates [--rows N] [--samples N] [--covariates N] [--strata N] [--order K] [--dump FILE]
//   --order K measures order K alone.
//   --dump writes every row's p-values (%.17g) to FILE, so that two builds
//   can be compared on the same rows.
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
  int samples = 2000;
  int covariates = 10;
  int strata = 1;
  int only_order = 0;
  const char* dump = nullptr;
  for (int i = 1; i + 1 < argc; i += 2) {
    const int value = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--rows") == 0) rows = value;
    if (std::strcmp(argv[i], "--samples") == 0) samples = value;
    if (std::strcmp(argv[i], "--covariates") == 0) covariates = value;
    if (std::strcmp(argv[i], "--strata") == 0) strata = value;
    if (std::strcmp(argv[i], "--order") == 0) only_order = value;
    if (std::strcmp(argv[i], "--dump") == 0) dump = argv[i + 1];
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
  for (int s = 0; s < samples; ++s)
    for (int c = 0; c < covariates; ++c) model.values.push_back(normal(random) + (c < 2 && w.phenotypes[s] ? 0.3 : 0));
  if (strata > 1) {
    model.stratum_count = strata;
    for (int s = 0; s < samples; ++s) model.strata.push_back(static_cast<int>(random() % strata));
  }
  std::uniform_int_distribution<int> marker(0, kMarkers - 1);
  std::vector<int> singles;
  std::vector<int> pairs;
  for (int r = 0; r < rows; ++r) {
    singles.push_back(marker(random));
    int a = marker(random);
    int b = marker(random);
    while (b == a) b = marker(random);
    pairs.push_back(std::min(a, b));
    pairs.push_back(std::max(a, b));
  }
  std::printf("CPU: %s\n", cpuModel().c_str());
  std::FILE* out = dump != nullptr ? std::fopen(dump, "w") : nullptr;
  if (dump != nullptr && out == nullptr) {
    std::perror(dump);
    return 1;
  }
  for (const int k : {1, 2}) {
    if (only_order != 0 && k != only_order) continue;
    for (const int threads : {1, 2}) {
      const double cpu_before = cpuSecondsOf(RUSAGE_SELF);
      const auto start = std::chrono::steady_clock::now();
      const std::vector<AdjustedPValues> found = adjustedPValues(context, model, k == 1 ? singles : pairs, k, threads);
      const double seconds = secondsSince(start);
      const double cpu = cpuSecondsOf(RUSAGE_SELF) - cpu_before;
      long not_fitted = 0;
      for (const AdjustedPValues& row : found) not_fitted += row.not_fitted;
      std::printf("order %d, %d rows, %d covariates, %d samples, %d strata, %d threads: %.2f s wall "
                  "(%.0f rows/s), %.2f s CPU; %ld rows with a model not fitted\n",
                  k, rows, covariates, samples, strata, threads, seconds, rows / seconds, cpu, not_fitted);
      if (out != nullptr && threads == 1)
        for (const AdjustedPValues& row : found) std::fprintf(out, "%.17g %.17g\n", row.p_adjusted, row.p_interaction_adjusted);
    }
  }
  // What lambda_gc_adjusted's sample of pairs costs: p_adjusted alone.
  if (only_order != 1) {
    const double cpu_before = cpuSecondsOf(RUSAGE_SELF);
    const auto start = std::chrono::steady_clock::now();
    adjustedPValues(context, model, pairs, 2, 2, AdjustedTests::kAssociationOnly);
    std::printf("order 2, p_adjusted alone (the fits behind lambda_gc_adjusted), 2 threads: %.2f s wall, %.2f s CPU\n",
                secondsSince(start), cpuSecondsOf(RUSAGE_SELF) - cpu_before);
  }
  if (out != nullptr && std::fclose(out) != 0) {
    std::perror(dump);
    return 1;
  }
  return 0;
}
