// What every benchmark shares: the CPU its figures were measured on,
// wall-clock and CPU seconds, the best of repeated timings, the generated genotype workloads and the bare
// all-pairs counting kernel the searches are measured against.
#ifndef GORVA_BENCH_BENCH_SUPPORT_H
#define GORVA_BENCH_BENCH_SUPPORT_H

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/count/bitplanes.h"

// The model name with its family and model numbers: cloud machines often
// name every generation alike ("AMD EPYC"), and figures from a Zen 4 and
// a Zen 5 must not be taken for one another's.
inline std::string cpuModel() {
  std::ifstream info("/proc/cpuinfo");
  std::string line, name, family, model;
  auto valueOf = [&line] { return line.substr(line.find(':') + 2); };
  while (std::getline(info, line) && line.find_first_not_of(" \t") != std::string::npos) {
    if (line.rfind("model name", 0) == 0) name = valueOf();
    else if (line.rfind("cpu family", 0) == 0) family = valueOf();
    else if (line.rfind("model\t", 0) == 0 || line.rfind("model ", 0) == 0) model = valueOf();
  }
  if (name.empty()) return "unknown CPU";
  if (family.empty() || model.empty()) return name;
  return name + " (family " + family + " model " + model + ")";
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU seconds, user and system, of every thread of this process
// (RUSAGE_SELF) or of its children that have ended (RUSAGE_CHILDREN).
inline double cpuSecondsOf(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// The best of repeated timings of one thing, wall clock and CPU time each
// on its own: other programs share the cores and only ever slow a
// repetition down, so the least is the truest figure.
struct BestTimes {
  double seconds = 1e300;
  double cpu_seconds = 1e300;
  void keep(double wall, double cpu) {
    seconds = std::min(seconds, wall);
    cpu_seconds = std::min(cpu_seconds, cpu);
  }
};

// One more timing of `run` into `best`: its wall clock and the CPU time of
// `who` (RUSAGE_SELF for work in this process, RUSAGE_CHILDREN for a
// program it runs and waits for).
template <class Run>
void timeInto(BestTimes& best, Run run, int who = RUSAGE_SELF) {
  const double cpu_start = cpuSecondsOf(who);
  const auto start = std::chrono::steady_clock::now();
  run();
  const double wall = secondsSince(start);
  best.keep(wall, cpuSecondsOf(who) - cpu_start);
}

// The best of `repeats` timings of `run`.
template <class Run>
BestTimes bestOf(int repeats, Run run, int who = RUSAGE_SELF) {
  BestTimes best;
  for (int r = 0; r < repeats; ++r) timeInto(best, run, who);
  return best;
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

// Bytes of second markers a bare kernel keeps in cache, as the search does.
constexpr long kBareBlockBytes = 256 * 1024;

// Pairs counted and a checksum of their counts (so that no count is
// optimised away, and kernels over the same pairs can be compared).
struct BareCounts {
  double combinations = 0;
  std::uint64_t checksum = 0;
};

// The bare all-pairs kernel: every pair (i, j) of markers, the kRows x kRows
// cells of the first kRows levels of both (2: the free cells of complete
// markers; 3: all of them), controls and cases apart, by 64-bit AND +
// POPCNT, nothing else (no enumeration state, no measures, no ranking).
// Blocks of second markers (kBareBlockBytes) stay in cache; this
// thread takes first markers thread, thread + threads, ...
template <int kRows>
__attribute__((target("popcnt"))) BareCounts bareAllPairsPopcnt(const BitPlanes& planes,
                                                                int thread, int threads) {
  const int n = planes.markerCount();
  const int words = planes.shape().rowWords();
  const int controls = planes.shape().control_words;
  const int block = static_cast<int>(std::max(1L, kBareBlockBytes / std::max(8L, planes.markerStrideWords() * 8)));
  BareCounts result;
  for (int first = 0; first < n; first += block) {
    const int end = std::min(n, first + block);
    for (int i = thread; i < end - 1; i += threads) {
      const std::uint64_t* a = planes.marker(i);
      for (int j = std::max(i + 1, first); j < end; ++j) {
        const std::uint64_t* b = planes.marker(j);
        for (int c = 0; c < 2; ++c) {
          std::uint64_t cell[kRows * kRows] = {};
          for (int w = c == 0 ? 0 : controls; w < (c == 0 ? controls : words); ++w) {
            for (int l = 0; l < kRows; ++l) {
              for (int m = 0; m < kRows; ++m)
                cell[l * kRows + m] +=
                    static_cast<std::uint64_t>(__builtin_popcountll(a[l * words + w] & b[m * words + w]));
            }
          }
          for (int e = 0; e < kRows * kRows; ++e) result.checksum += cell[e] * (e + 1);
        }
        result.combinations += 1;
      }
    }
  }
  return result;
}

#endif  // GORVA_BENCH_BENCH_SUPPORT_H
