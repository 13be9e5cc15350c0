// What every benchmark shares: the CPU its figures were measured on,
// wall-clock seconds and the generated genotype workloads.
#ifndef GORVA_BENCH_BENCH_SUPPORT_H
#define GORVA_BENCH_BENCH_SUPPORT_H

#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <vector>

inline std::string cpuModel() {
  std::ifstream info("/proc/cpuinfo");
  std::string line;
  while (std::getline(info, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown CPU";
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Workload {
  std::string name;
  int markers;
  int samples;
  double missing;
  int order;
  std::vector<unsigned char> genotypes;  // marker-major
  std::vector<unsigned char> phenotypes;
};

// Hardy-Weinberg genotypes at minor allele frequencies 0.05-0.5, each
// genotype missing (code 3) with probability `missing`; the first half of
// the samples are cases.
inline Workload makeWorkload(const std::string& name, int markers, int samples, double missing,
                             int order, unsigned seed) {
  Workload w{name, markers, samples, missing, order, {}, {}};
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> unit(0, 1);
  w.genotypes.resize(static_cast<std::size_t>(markers) * samples);
  for (int m = 0; m < markers; ++m) {
    const double maf = 0.05 + 0.45 * unit(random);
    for (int s = 0; s < samples; ++s) {
      const int copies = (unit(random) < maf) + (unit(random) < maf);
      w.genotypes[static_cast<std::size_t>(m) * samples + s] =
          static_cast<unsigned char>(unit(random) < missing ? 3 : copies);
    }
  }
  for (int s = 0; s < samples; ++s) w.phenotypes.push_back(s < samples / 2 ? 1 : 0);
  return w;
}

#endif  // GORVA_BENCH_BENCH_SUPPORT_H
