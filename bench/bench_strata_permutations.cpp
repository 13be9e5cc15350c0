// bench_strata_permutations: what a permutation within strata costs the
// order-2 search, as whole runs of the program, against the stratified
// search without permutations of the same ranking:
//
//   W2: 4,000 markers x 2,000 samples (1,000 cases), 1% missing, order 2,
//       "available", K = 10, 2 threads; samples given to 2 and to 8 strata
//       at random (fixed seed), so that every stratum holds both classes.
//
// One permutation's cost = (time with --permutations N - time without) / N
// / time without, as CPU time of the program's threads (a shared machine
// disturbs it less than wall clock) and as wall clock, best of three runs
// each, the runs interleaved. With --baseline PATH another build is timed
// the same way, interleaved with this one, so that a change is measured in
// one run.
//
// usage: bench_strata_permutations [--gorva PATH] [--baseline PATH]
//          [--permutations N] [--ranks LIST] [--strata LIST] [--quick]
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
#include "program_runs.h"

namespace {

// Text samples are named by their data line number.
bool writeStrata(const std::string& path, int samples, int strata) {
  std::mt19937 random(7 + static_cast<unsigned>(strata));
  std::uniform_int_distribution<int> pick(0, strata - 1);
  std::ofstream file(path);
  for (int s = 1; s <= samples; ++s) file << s << ' ' << s << " S" << pick(random) << "\n";
  file.close();
  return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv) {
  std::string gorva = defaultGorvaPath();
  std::string baseline;
  int permutations = 10;
  int markers = 4000;
  std::vector<std::string> ranks = {"ig", "rig", "synergy", "p"};
  std::vector<std::string> strata = {"2", "8"};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--gorva" && i + 1 < argc) {
      gorva = argv[++i];
    } else if (arg == "--baseline" && i + 1 < argc) {
      baseline = argv[++i];
    } else if (arg == "--permutations" && i + 1 < argc) {
      permutations = std::atoi(argv[++i]);
    } else if (arg == "--ranks" && i + 1 < argc) {
      ranks = splitList(argv[++i]);
    } else if (arg == "--strata" && i + 1 < argc) {
      strata = splitList(argv[++i]);
    } else if (arg == "--quick") {
      markers = 1000;
    } else {
      std::fprintf(stderr,
                   "usage: bench_strata_permutations [--gorva PATH] [--baseline PATH] [--permutations N] "
                   "[--ranks LIST] [--strata LIST] [--quick]\n");
      return 2;
    }
  }
  char dir_template[] = "/tmp/bench_strata_permutations_XXXXXX";
  const char* dir = mkdtemp(dir_template);
  if (dir == nullptr) return 1;
  const std::string data = std::string(dir) + "/w2.txt";
  if (!writeWorkload(data, markers, 2000, 0.01)) return 1;
  std::printf("CPU: %s; W2: %d markers x 2000 samples, 1%% missing, order 2, 2 threads, %d permutations\n",
              cpuModel().c_str(), markers, permutations);
  std::vector<std::string> programs = {gorva};
  if (!baseline.empty()) programs.push_back(baseline);
  const std::string quiet = " > /dev/null 2>&1";
  for (const std::string& count : strata) {
    const std::string strata_file = std::string(dir) + "/s" + count + ".strata";
    if (!writeStrata(strata_file, 2000, std::atoi(count.c_str()))) return 1;
    for (const std::string& rank : ranks) {
      // Family-wise p-values are a column of the table: both runs write one,
      // its lambda line from a single combination, so that the plain run
      // stays the search and the difference the permutations.
      const std::string arguments = " --in " + data + " --out " + dir + "/r.txt --order 2 --threads 2 --strata " +
                                    strata_file + " --rank " + rank + " --table " + dir +
                                    "/t.tsv --lambda-sample 1";
      std::vector<BestTimes> plain(programs.size());
      std::vector<BestTimes> permuted(programs.size());
      for (int repeat = 0; repeat < 3; ++repeat) {
        for (std::size_t p = 0; p < programs.size(); ++p) {
          timeOnce(plain[p], programs[p] + arguments + quiet);
          timeOnce(permuted[p], programs[p] + arguments + " --permutations " + std::to_string(permutations) + quiet);
        }
      }
      for (std::size_t p = 0; p < programs.size(); ++p) {
        std::printf("%s strata, --rank %-7s %s: plain CPU %.2f s (wall %.2f), with permutations CPU %.2f s "
                    "(wall %.2f): one permutation %.3f of the search in CPU time (%.3f wall)\n",
                    count.c_str(), rank.c_str(), p == 0 ? "this build" : "baseline  ", plain[p].cpu_seconds,
                    plain[p].seconds, permuted[p].cpu_seconds, permuted[p].seconds,
                    permutationShare(permuted[p].cpu_seconds, plain[p].cpu_seconds, permutations),
                    permutationShare(permuted[p].seconds, plain[p].seconds, permutations));
        std::fflush(stdout);
      }
    }
    std::remove(strata_file.c_str());
  }
  std::remove(data.c_str());
  std::remove((std::string(dir) + "/r.txt").c_str());
  std::remove((std::string(dir) + "/r.txt.log").c_str());
  rmdir(dir);
  return 0;
}
