// bench_significance: what the significance options cost, as whole runs of
// the program on one generated workload, each against the plain search of
// the same run:
//
//   W2: 4,000 markers x 2,000 samples (1,000 cases), 1% missing, order 2,
//       "available", K = 10, 2 threads.
//
// Reported, with the CPU and the SIMD path the program ran: one
// permutation's cost ((time with --permutations N - time without) / N,
// relative to the plain search of the same ranking), --rank synergy against
// --rank ig, --table with its rows, and --max-p 1e-4 (every combination
// within the bound listed) against the plain search.
//
// The permutations are timed against the plain search in interleaved runs
// (best of three each), as wall clock and as the CPU time of the program's
// threads, which a shared machine disturbs less: under the default ranking
// (ig), and with --ranks LIST (comma-separated, e.g. ig,synergy,p) under
// each of those. With --baseline PATH, another build of the program is
// timed the same way, interleaved with this one, so that a change of the
// permutations' cost is measured in one run.
//
// usage: bench_significance [--gorva PATH] [--baseline PATH] [--permutations N]
//                           [--ranks LIST] [--quick]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
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

// Best wall clock of `repeats` runs.
double timeRun(const std::string& command, int repeats) {
  BestTimes best;
  for (int r = 0; r < repeats; ++r) timeOnce(best, command);
  return best.seconds;
}

// The SIMD path a run's log names ("SIMD path NAME"), or "unknown".
std::string simdPathOf(const std::string& log_path) {
  std::ifstream log(log_path);
  std::string line;
  const std::string marker = "SIMD path ";
  while (std::getline(log, line)) {
    const std::size_t at = line.find(marker);
    if (at == std::string::npos) continue;
    std::string path = line.substr(at + marker.size());
    return path.substr(0, path.find_first_of(" ;,"));
  }
  return "unknown";
}

}  // namespace

int main(int argc, char** argv) {
  std::string gorva = defaultGorvaPath();
  std::string baseline;
  int permutations = 20;
  int markers = 4000;
  std::vector<std::string> ranks = {"ig"};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--gorva" && i + 1 < argc) gorva = argv[++i];
    if (arg == "--baseline" && i + 1 < argc) baseline = argv[++i];
    if (arg == "--permutations" && i + 1 < argc) permutations = std::atoi(argv[++i]);
    if (arg == "--ranks" && i + 1 < argc) ranks = splitList(argv[++i]);
    if (arg == "--quick") markers = 1000;
  }
  char dir_template[] = "/tmp/bench_significance_XXXXXX";
  const char* dir = mkdtemp(dir_template);
  if (dir == nullptr) return 1;
  const std::string data = std::string(dir) + "/w2.txt";
  if (!writeWorkload(data, markers, 2000, 0.01)) return 1;
  const std::string arguments = " --in " + data + " --out " + dir + "/r.txt --order 2 --threads 2";
  const std::string base = gorva + arguments;
  const std::string quiet = " > /dev/null 2>&1";
  const std::string permute = " --permutations " + std::to_string(permutations);

  const double plain = timeRun(base + quiet, 3);
  std::printf("CPU: %s; SIMD path %s; W2: %d markers x 2000 samples, 1%% missing, order 2, "
              "2 threads\n",
              cpuModel().c_str(), simdPathOf(std::string(dir) + "/r.txt.log").c_str(), markers);
  const double table = timeRun(base + " --table " + dir + "/t.tsv" + quiet, 3);
  const double listed = timeRun(base + " --table " + dir + "/t.tsv --max-p 1e-4" + quiet, 3);
  const double synergy = timeRun(base + " --rank synergy" + quiet, 3);
  const double ig = timeRun(base + " --rank ig" + quiet, 3);
  std::printf("plain search                 %8.2f s\n", plain);
  std::printf("--table                      %8.2f s  (%.2fx)\n", table, table / plain);
  std::printf("--max-p 1e-4                 %8.2f s  (%.2fx)\n", listed, listed / plain);
  std::printf("--rank ig                    %8.2f s\n", ig);
  std::printf("--rank synergy               %8.2f s  (%.2fx of --rank ig)\n", synergy, synergy / ig);
  // The permutations and their plain searches interleaved (with the
  // baseline's, if any), best of three: the machine may be shared.
  std::vector<std::string> programs = {gorva};
  if (!baseline.empty()) programs.push_back(baseline);
  // Family-wise p-values are a column of the table: both runs write one,
  // its lambda line from a single combination, so that the plain run stays
  // the search and the difference the permutations.
  for (const std::string& rank : ranks) {
    const std::string ranked =
        arguments + " --rank " + rank + " --table " + dir + "/rank.tsv --lambda-sample 1";
    std::vector<BestTimes> plain_runs(programs.size());
    std::vector<BestTimes> permuted_runs(programs.size());
    for (int repeat = 0; repeat < 3; ++repeat) {
      for (std::size_t p = 0; p < programs.size(); ++p) {
        timeOnce(plain_runs[p], programs[p] + ranked + quiet);
        timeOnce(permuted_runs[p], programs[p] + ranked + permute + quiet);
      }
    }
    for (std::size_t p = 0; p < programs.size(); ++p) {
      std::printf("--rank %s, %s: plain %.2f s (CPU %.2f s), --permutations %d %.2f s (CPU %.2f "
                  "s): one permutation %.2f of the plain search (CPU time: %.2f)\n",
                  rank.c_str(), p == 0 ? "this build" : "baseline  ", plain_runs[p].seconds,
                  plain_runs[p].cpu_seconds, permutations, permuted_runs[p].seconds,
                  permuted_runs[p].cpu_seconds,
                  permutationShare(permuted_runs[p].seconds, plain_runs[p].seconds, permutations),
                  permutationShare(permuted_runs[p].cpu_seconds, plain_runs[p].cpu_seconds,
                                   permutations));
    }
  }
  std::remove(data.c_str());
  std::remove((std::string(dir) + "/r.txt").c_str());
  std::remove((std::string(dir) + "/r.txt.log").c_str());
  std::remove((std::string(dir) + "/t.tsv").c_str());
  rmdir(dir);
  return 0;
}

