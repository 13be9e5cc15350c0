// bench_significance: what the significance options cost, as whole runs of
// the program on one generated workload, each against the plain search of
// the same run:
//
//   W2: 4,000 markers x 2,000 samples (1,000 cases), 1% missing, order 2,
//       "available", K = 10, 2 threads.
//
// Reported: one permutation's cost ((time with --permutations N - time
// without) / N, relative to the plain search), --rank synergy against
// --rank ig, --table with its rows, and --max-p 1e-4 (every combination
// within the bound listed) against the plain search.
//
// With --baseline PATH, the permutations are also timed with that build of
// the program (its own plain search as the reference), in the same run, so
// that a change of the permutations' cost is measured on one machine state.
//
// usage: bench_significance [--gorva PATH] [--baseline PATH] [--permutations N] [--quick]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "bench_support.h"

namespace {


// The gorva executable beside this program's directory (build/bench/..).
std::string defaultGorvaPath() {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return "gorva";
  std::string path(self, static_cast<std::size_t>(length));
  path = path.substr(0, path.rfind('/'));
  return path.substr(0, path.rfind('/')) + "/gorva";
}

bool writeWorkload(const std::string& path, int markers, int samples, double missing) {
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
  return static_cast<bool>(file);
}

// Seconds of one whole run (best of `repeats`).
double timeRun(const std::string& command, int repeats) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "failed: %s\n", command.c_str());
      std::exit(1);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (seconds < best) best = seconds;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::string gorva = defaultGorvaPath();
  std::string baseline;
  int permutations = 20;
  int markers = 4000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--gorva" && i + 1 < argc) gorva = argv[++i];
    if (arg == "--baseline" && i + 1 < argc) baseline = argv[++i];
    if (arg == "--permutations" && i + 1 < argc) permutations = std::atoi(argv[++i]);
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

  std::printf("CPU: %s; W2: %d markers x 2000 samples, 1%% missing, order 2, 2 threads\n",
              cpuModel().c_str(), markers);
  const double plain = timeRun(base + quiet, 3);
  const double table = timeRun(base + " --table " + dir + "/t.tsv" + quiet, 3);
  const double listed = timeRun(base + " --table " + dir + "/t.tsv --max-p 1e-4" + quiet, 3);
  const double synergy = timeRun(base + " --rank synergy" + quiet, 3);
  const double ig = timeRun(base + " --rank ig" + quiet, 3);
  const double permuted = timeRun(base + permute + quiet, 2);
  std::printf("plain search                 %8.2f s\n", plain);
  std::printf("--table                      %8.2f s  (%.2fx)\n", table, table / plain);
  std::printf("--max-p 1e-4                 %8.2f s  (%.2fx)\n", listed, listed / plain);
  std::printf("--rank ig                    %8.2f s\n", ig);
  std::printf("--rank synergy               %8.2f s  (%.2fx of --rank ig)\n", synergy, synergy / ig);
  std::printf("--permutations %-4d          %8.2f s  one permutation: %.2f of the plain search\n",
              permutations, permuted, (permuted - plain) / permutations / plain);
  if (!baseline.empty()) {
    const double baseline_plain = timeRun(baseline + arguments + quiet, 3);
    const double baseline_permuted = timeRun(baseline + arguments + permute + quiet, 2);
    std::printf("baseline plain search        %8.2f s\n", baseline_plain);
    std::printf("baseline --permutations %-4d %8.2f s  one permutation: %.2f of the plain search\n",
                permutations, baseline_permuted,
                (baseline_permuted - baseline_plain) / permutations / baseline_plain);
  }
  std::remove(data.c_str());
  std::remove((std::string(dir) + "/r.txt").c_str());
  std::remove((std::string(dir) + "/t.tsv").c_str());
  rmdir(dir);
  return 0;
}

