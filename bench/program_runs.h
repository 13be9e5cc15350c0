// What the benchmarks that time whole program runs share: where the
// program is, the text workload they give it, one checked timed run, and
// their list options.
#ifndef GORVA_BENCH_PROGRAM_RUNS_H
#define GORVA_BENCH_PROGRAM_RUNS_H

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"

// The gorva executable beside this program's directory (build/bench/..).
inline std::string defaultGorvaPath() {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return "gorva";
  std::string path(self, static_cast<std::size_t>(length));
  path = path.substr(0, path.rfind('/'));
  return path.substr(0, path.rfind('/')) + "/gorva";
}

// A text data file of `markers` markers (MAF 0.05-0.5) over `samples`
// samples, the first half cases, each genotype missing with chance
// `missing`; the same file every time.
inline bool writeWorkload(const std::string& path, int markers, int samples, double missing) {
  std::mt19937 random(20240601);
  std::uniform_real_distribution<double> unit(0, 1);
  std::ofstream file(path);
  file << "Class";
  for (int m = 0; m < markers; ++m) file << "\tM" << m;
  file << "\n";
  std::vector<double> maf(markers);
  for (double& f : maf) f = 0.05 + 0.45 * unit(random);
  for (int s = 0; s < samples; ++s) {
    std::string line(1, s < samples / 2 ? '1' : '0');
    for (int m = 0; m < markers; ++m) {
      const int copies = (unit(random) < maf[m]) + (unit(random) < maf[m]);
      line += '\t';
      line += static_cast<char>('0' + (unit(random) < missing ? 3 : copies));
    }
    file << line << "\n";
  }
  file.close();
  return static_cast<bool>(file);
}

// One whole run of `command`, which must succeed: its wall clock and the
// CPU time of all its threads.
inline void timeOnce(BestTimes& best, const std::string& command) {
  timeInto(best, [&] {
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "failed: %s\n", command.c_str());
      std::exit(1);
    }
  }, RUSAGE_CHILDREN);
}

inline std::vector<std::string> splitList(const std::string& list) {
  std::vector<std::string> items;
  std::stringstream stream(list);
  for (std::string item; std::getline(stream, item, ',');)
    if (!item.empty()) items.push_back(item);
  return items;
}

// One permutation's cost relative to the plain search: (with - without) / N / without.
inline double permutationShare(double with, double without, int permutations) {
  return (with - without) / permutations / without;
}

#endif  // GORVA_BENCH_PROGRAM_RUNS_H
