// bench_many_strata: what many small strata (matched designs) cost, in one
// run: the order-2 search and the p-values behind lambda_gc (every pair's
// stratified test, as --table computes them) without strata, with 100
// random strata of 20 samples and with 1,000 matched pairs (one case and one
// control each), on 200 markers x 2,000 samples (1,000 cases, 1% missing,
// "available", K = 10). Timed interleaved, best of `--repeats` each, since
// the machine is shared; ratios are of the best wall times to the
// unstratified ones.
//
// usage: bench_many_strata [--threads N] [--repeats N]
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "engine/count/bitplanes.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/search/batch_pool.h"
#include "engine/search/strata.h"
#include "engine/significance/population_structure.h"

namespace {

constexpr int kMethodAvailableCode = 4;

struct Design {
  const char* name;
  int strata = 1;  // 1: unstratified
  SearchContext context;
  std::vector<int> stratum_of;
  StrataParts parts;
  BestTimes search, lambda;
  long long combinations = 0;
  long long tested = 0;  // pairs with a p-value
};

}  // namespace

int main(int argc, char** argv) {
  int threads = 2;
  int repeats = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--threads" && i + 1 < argc) {
      threads = std::atoi(argv[++i]);
    } else if (arg == "--repeats" && i + 1 < argc) {
      repeats = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: bench_many_strata [--threads N] [--repeats N]\n");
      return 2;
    }
  }
  Workload w = makeWorkload("P", 200, 2000, 0.01, 2, 3);
  std::printf("CPU: %s; fast kernel: %s; %d threads, best of %d\n", cpuModel().c_str(),
              simdPathName(activeSimdPath()), threads, repeats);
  std::printf("%d markers x %d samples (%d cases), %.0f%% missing, order 2, \"available\", K = 10\n", w.markers,
              w.samples, w.samples / 2, 100 * w.missing);
  std::vector<double> scores(w.samples, 0.0);
  SearchContext base;
  prepareSearchContext(w.genotypes.data(),
                       {w.phenotypes.data(), scores.data(), w.samples, w.markers, 1, kMethodAvailableCode}, base);
  base.K = 10;
  BitPlanes planes;
  if (!buildPlanesFor(base, planes, threads)) {
    std::printf("could not build the bit-planes\n");
    return 1;
  }
  base.planes = &planes;

  std::vector<Design> designs(3);
  designs[0].name = "none";
  designs[1].name = "100 of 20";
  designs[2].name = "1000 pairs";
  std::mt19937 random(5);
  for (Design& design : designs) {
    design.context = base;
    if (&design == &designs[0]) continue;
    design.stratum_of.resize(w.samples);
    if (&design == &designs[1]) {
      std::vector<int> order(w.samples);
      for (int s = 0; s < w.samples; ++s) order[s] = s;
      std::shuffle(order.begin(), order.end(), random);
      for (int j = 0; j < w.samples; ++j) design.stratum_of[order[j]] = j / 20;
    } else {
      // The first half are the cases: case s with control s + samples / 2.
      for (int s = 0; s < w.samples; ++s) design.stratum_of[s] = s % (w.samples / 2);
    }
    design.strata = *std::max_element(design.stratum_of.begin(), design.stratum_of.end()) + 1;
    design.context.stratum_of = design.stratum_of.data();
    design.context.stratum_count = design.strata;
    if (!splitByStrata(design.context, threads, design.parts)) {
      std::printf("could not split %d strata\n", design.strata);
      return 1;
    }
    design.context.strata = &design.parts;
  }
  bool sampled = false;
  const std::vector<int> pairs = combinationsBehindLambda(w.markers, 2, 1000000, 1, threads, sampled);
  for (int r = 0; r < repeats; ++r) {
    for (Design& design : designs) {
      OrderRequest request;
      request.order = 2;
      request.threads = threads;
      request.batch_size = 100000;
      OrderOutcome outcome;
      timeInto(design.search, [&] { searchOrder(design.context, request, outcome); });
      design.combinations = outcome.combinations;
      std::vector<double> p_values;
      timeInto(design.lambda, [&] { p_values = combinationPValues(design.context, pairs, 2, threads); });
      design.tested = 0;
      for (const double p : p_values) design.tested += p == p ? 1 : 0;
    }
  }
  const Design& plain = designs[0];
  std::printf("  %-11s %12s %10s %8s %14s %8s %8s\n", "strata", "combinations", "search s", "ratio", "lambda pass s",
              "ratio", "tested");
  for (const Design& design : designs) {
    std::printf("  %-11s %12lld %10.3f %7.1fx %14.3f %7.1fx %8lld\n", design.name, design.combinations,
                design.search.seconds, design.search.seconds / plain.search.seconds, design.lambda.seconds,
                design.lambda.seconds / plain.lambda.seconds, design.tested);
  }
  return 0;
}
