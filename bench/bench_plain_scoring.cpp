// bench_plain_scoring: throughput of the plain scoring path (combSNP batches
// scored by mdrCombinationAll) on random data, for orders 2 and 3. This is the
// reference figure that faster engines are measured against.
//
// usage: bench_plain_scoring [markers_k2 [samples [markers_k3 [missing_code [seed]]]]]
//        defaults: 200 markers, 2000 samples, 60 markers, 1 ("none"), 1
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "core/gorva.h"

namespace {

struct Workload {
  int markers;
  int samples;
  std::vector<unsigned char> genotypes;  // marker-major
  std::vector<unsigned char> phenotypes;
};

// Genotype codes 0-2 drawn uniformly (3 too, at about 2%, when the method
// has something to do with missing codes); phenotypes are half cases.
Workload make_workload(int markers, int samples, int missing_code, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> code(0, 2), percent(0, 99);
  const bool with_missing = missing_code != 1 && missing_code != 3 && missing_code != 5;
  Workload w{markers, samples, {}, {}};
  w.genotypes.resize(static_cast<size_t>(markers) * static_cast<size_t>(samples));
  for (auto& g : w.genotypes) {
    g = static_cast<unsigned char>(with_missing && percent(rng) < 2 ? 3 : code(rng));
  }
  for (int s = 0; s < samples; ++s) w.phenotypes.push_back(static_cast<unsigned char>(s % 2));
  return w;
}

struct Result {
  long long combinations = 0;
  double seconds = 0.0;
  double checksum = 0.0;  // sum of IG, printed so runs can be compared
};

Result run_order(Workload& w, int k, int missing_code) {
  constexpr int kBatch = 100000;
  std::vector<int> state(static_cast<size_t>(k), -1);
  std::vector<int> batch(static_cast<size_t>(kBatch) * static_cast<size_t>(k));
  std::vector<double> pairs(2 * static_cast<size_t>(kBatch));
  std::vector<int> sample_list(static_cast<size_t>(w.samples));
  std::vector<double> scores(static_cast<size_t>(w.samples), 0.0);
  int cases = 0;
  for (int s = 0; s < w.samples; ++s) {
    sample_list[static_cast<size_t>(s)] = s;
    cases += w.phenotypes[static_cast<size_t>(s)];
  }
  int controls = w.samples - cases, n = w.samples, capacity = kBatch, option = 1;
  double ratio = static_cast<double>(cases) / controls;

  // Whole walks are repeated until a second has passed, so that the small
  // default workloads still give a stable rate.
  Result result;
  const auto start = std::chrono::steady_clock::now();
  for (int pass = 0; result.seconds < 1.0; ++pass) {
    for (int i = 0; i < k; ++i) state[static_cast<size_t>(i)] = -1;
    for (;;) {
      int count = 0;
      combSNP(&k, &w.markers, &capacity, state.data(), &count, batch.data());
      if (count == 0) break;
      mdrCombinationAll(batch.data(), &k, &count, w.genotypes.data(), &w.markers,
                        w.phenotypes.data(), scores.data(), &w.samples, sample_list.data(), &n,
                        &cases, &controls, &ratio, &option, &missing_code, pairs.data());
      for (int i = 0; pass == 0 && i < count; ++i)
        result.checksum += pairs[2 * static_cast<size_t>(i)];
      result.combinations += count;
    }
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (result.combinations == 0) break;
  }
  return result;
}

void report(int k, const Workload& w, const Result& r) {
  const double evaluations = static_cast<double>(r.combinations) * w.samples;
  std::printf(
      "k=%d  markers=%d  samples=%d  combinations scored=%lld (repeated walks)  time=%.3f s\n", k,
      w.markers, w.samples, r.combinations, r.seconds);
  std::printf(
      "     %.4g combinations/s  %.4g sample-combination evaluations/s  (IG sum of one walk "
      "%.9g)\n",
      r.combinations / r.seconds, evaluations / r.seconds, r.checksum);
}

int positive_arg(int argc, char** argv, int index, int fallback) {
  if (argc <= index) return fallback;
  const int value = std::atoi(argv[index]);
  if (value < 1) {
    std::fprintf(stderr, "bench_plain_scoring: argument %d must be a positive integer\n", index);
    std::exit(2);
  }
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  const int markers2 = positive_arg(argc, argv, 1, 200);
  const int samples = positive_arg(argc, argv, 2, 2000);
  const int markers3 = positive_arg(argc, argv, 3, 60);
  const int missing_code = positive_arg(argc, argv, 4, 1);
  const auto seed = static_cast<unsigned>(positive_arg(argc, argv, 5, 1));

  std::printf("plain scoring, missing-data method code %d\n", missing_code);
  Workload pairs = make_workload(markers2, samples, missing_code, seed);
  report(2, pairs, run_order(pairs, 2, missing_code));
  Workload triples = make_workload(markers3, samples, missing_code, seed + 1);
  report(3, triples, run_order(triples, 3, missing_code));
  return 0;
}
