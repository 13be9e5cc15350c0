// bench_strata: what population strata cost the fast order-2 search, in one
// run: the unstratified search against the same search conditional on 2 and
// on 8 strata, on W2 (10,000 markers x 2,000 samples, 1,000 cases, 1%
// missing, "available", K = 10), at 2 threads by default.
//
// Samples go to strata at random (fixed seed), so every stratum holds both
// classes; the stratified searches therefore count every combination once
// per stratum and screen the weighted sum of the strata's IG bounds. The
// three searches are timed interleaved, best of `--repeats` each, since the
// machine is shared; ratios are of the best wall times and of the best CPU
// times of the process (which other programs' load disturbs less).
//
// usage: bench_strata [--quick] [--scalar] [--threads N] [--repeats N] [--strata LIST]
//   --quick: a fifth of the markers; --scalar: the portable path, as on a
//   CPU without AVX2; --strata: comma-separated counts (default 2,8).
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "engine/count/bitplanes.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/search/batch_pool.h"
#include "engine/search/strata.h"

namespace {

constexpr int kBatchSize = 100000;
constexpr int kMethodAvailableCode = 4;

struct Search {
  int strata = 1;  // 1: unstratified
  SearchContext context;
  std::vector<int> stratum_of;
  StrataParts parts;
  BestTimes best;
  OrderOutcome outcome;
};

bool prepare(Search& search, const SearchContext& base, int threads, unsigned seed) {
  search.context = base;
  if (search.strata <= 1) return true;
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> pick(0, search.strata - 1);
  search.stratum_of.resize(base.sample_count);
  for (int& stratum : search.stratum_of) stratum = pick(random);
  search.context.stratum_of = search.stratum_of.data();
  search.context.stratum_count = search.strata;
  if (!splitByStrata(search.context, threads, search.parts)) return false;
  search.context.strata = &search.parts;
  return true;
}

void timeOnce(Search& search, int threads) {
  OrderRequest request;
  request.order = 2;
  request.threads = threads;
  request.batch_size = kBatchSize;
  OrderOutcome outcome;
  timeInto(search.best, [&] { searchOrder(search.context, request, outcome); });
  search.outcome = std::move(outcome);
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  bool scalar = false;
  int threads = 2;
  int repeats = 3;
  std::vector<int> strata_counts = {2, 8};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--scalar") {
      scalar = true;
    } else if (arg == "--threads" && i + 1 < argc) {
      threads = std::atoi(argv[++i]);
    } else if (arg == "--repeats" && i + 1 < argc) {
      repeats = std::atoi(argv[++i]);
    } else if (arg == "--strata" && i + 1 < argc) {
      strata_counts.clear();
      std::string list = argv[++i];
      for (std::size_t at = 0; at <= list.size();) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        strata_counts.push_back(std::atoi(list.substr(at, comma - at).c_str()));
        at = comma + 1;
      }
    } else {
      std::fprintf(stderr, "usage: bench_strata [--quick] [--scalar] [--threads N] [--repeats N] [--strata LIST]\n");
      return 2;
    }
  }
  Workload w = makeWorkload("W2", quick ? 2000 : 10000, 2000, 0.01, 2, 1);
  const SimdPath path = scalar ? SimdPath::kScalar : activeSimdPath();
  std::printf("CPU: %s; fast kernel: %s; %d threads, best of %d\n", cpuModel().c_str(), simdPathName(path), threads,
              repeats);
  std::printf("W2: %d markers x %d samples (%d cases), %.0f%% missing, order 2, \"available\", K = 10\n",
              w.markers, w.samples, w.samples / 2, 100 * w.missing);

  std::vector<double> scores(w.samples, 0.0);
  SearchContext base;
  prepareSearchContext(w.genotypes.data(),
                       {w.phenotypes.data(), scores.data(), w.samples, w.markers, 1, kMethodAvailableCode}, base);
  base.K = 10;
  base.settings.simd = path;
  BitPlanes planes;
  if (!buildPlanesFor(base, planes, threads)) {
    std::printf("could not build the bit-planes\n");
    return 1;
  }
  base.planes = &planes;

  std::vector<Search> searches(1 + strata_counts.size());
  for (std::size_t i = 0; i < strata_counts.size(); ++i) searches[i + 1].strata = strata_counts[i];
  for (Search& search : searches) {
    if (!prepare(search, base, threads, 7 + static_cast<unsigned>(search.strata))) {
      std::printf("could not split %d strata\n", search.strata);
      return 1;
    }
  }
  for (int r = 0; r < repeats; ++r) {
    for (Search& search : searches) timeOnce(search, threads);
  }

  const Search& plain = searches[0];
  std::printf("  %-8s %12s %10s %12s %8s %11s %9s %11s\n", "strata", "combinations", "seconds", "comb/s", "ratio",
              "CPU seconds", "CPU ratio", "candidates");
  for (const Search& search : searches) {
    const double rate = search.outcome.combinations / search.best.seconds;
    std::printf("  %-8s %12lld %10.3f %12.3e %7.2fx %11.3f %8.2fx %11lld\n",
                search.strata <= 1 ? "none" : std::to_string(search.strata).c_str(),
                search.outcome.combinations, search.best.seconds, rate,
                search.best.seconds / plain.best.seconds, search.best.cpu_seconds,
                search.best.cpu_seconds / plain.best.cpu_seconds, search.outcome.stats.candidates);
  }
  return 0;
}
