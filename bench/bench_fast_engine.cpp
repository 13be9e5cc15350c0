// bench_fast_engine: the plain and the fast search side by side in one run,
// on generated workloads, at 1 thread and at every hardware thread, with a
// bare AND + popcount kernel over the same pairs as the reference and the
// time of a whole `gorva --order 2` run on W2.
//
//   W2:  10,000 markers x 2,000 samples (1,000 cases), 1% missing, order 2
//   W3:  500 markers x 2,000 samples, 1% missing, order 3
//   W2n: W2 without missing genotypes
// all under "available", K = 10.
//
// usage: bench_fast_engine [--quick] [--plain-batches N] [--gorva PATH] [--only W2|W3|W2n]
//   --plain-batches: batches of 100,000 the plain path scores per thread
//     (default 4: it runs at about 1/300 of the fast speed, and a few
//     batches give its rate to a percent);
//   --gorva: the executable for the whole run (default: the one of this build);
//   --quick: workloads a fifth of the size, for a smoke run.
// Other programs running at the same time distort the thread ratios.
#include <immintrin.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "engine/count/bitplanes.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/count/unrank.h"
#include "engine/search/batch_pool.h"

namespace {

constexpr int kBatchSize = 100000;
constexpr int kMethodAvailableCode = 4;

// ---------------------------------------------------------------------------
// The reference: every pair (i, j) of markers, all 9 cells of 3 x 3 levels,
// controls and cases apart: AND + popcount over the class-split rows and one
// horizontal sum per count, nothing else (no enumeration state, no measures,
// no ranking). Blocks of last markers stay in cache as in the engine.

struct ReferenceResult {
  double pairs = 0;
  std::uint64_t checksum = 0;
  const char* path = "none";
};

int referenceBlock(const BitPlanes& planes) {
  return static_cast<int>(
      std::max(1L, kBareBlockBytes / std::max(8L, planes.markerStrideWords() * 8)));
}

#define BENCH_AVX512 __attribute__((target("avx512f,avx512bw,avx512vpopcntdq")))
// GCC 12 takes the undefined pass-through operand of unmasked shuffles and
// reductions for an uninitialised variable (a false positive).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

// Lane i = horizontal sum of acc[i].
BENCH_AVX512 inline __m512i sumEight(const __m512i* acc) {
  __m512i pair[4];
  for (int i = 0; i < 4; ++i) {
    pair[i] = _mm512_add_epi64(_mm512_unpacklo_epi64(acc[2 * i], acc[2 * i + 1]),
                               _mm512_unpackhi_epi64(acc[2 * i], acc[2 * i + 1]));
  }
  const __m512i q0 = _mm512_add_epi64(_mm512_shuffle_i64x2(pair[0], pair[1], 0x88),
                                      _mm512_shuffle_i64x2(pair[0], pair[1], 0xDD));
  const __m512i q1 = _mm512_add_epi64(_mm512_shuffle_i64x2(pair[2], pair[3], 0x88),
                                      _mm512_shuffle_i64x2(pair[2], pair[3], 0xDD));
  return _mm512_add_epi64(_mm512_shuffle_i64x2(q0, q1, 0x88), _mm512_shuffle_i64x2(q0, q1, 0xDD));
}

// kControls / kCases: vectors per class fixed at compile time (0: read
// from the shape), so that the loops unroll as in the engine's kernel.
template <int kControls, int kCases>
BENCH_AVX512 ReferenceResult referenceAvx512(const BitPlanes& planes, int thread, int threads) {
  const int n = planes.markerCount();
  const int words = planes.shape().rowWords();
  const int controls = kControls > 0 ? kControls : planes.shape().control_words / 8;
  const int cases = kCases > 0 ? kCases : planes.shape().case_words / 8;
  const int block = referenceBlock(planes);
  __m512i checksum = _mm512_setzero_si512();
  ReferenceResult result;
  for (int first = 0; first < n; first += block) {
    const int end = std::min(n, first + block);
    for (int i = thread; i < end - 1; i += threads) {
      const std::uint64_t* a = planes.marker(i);
      for (int j = std::max(i + 1, first); j < end; ++j) {
        const std::uint64_t* b = planes.marker(j);
        __m512i acc[24];
        for (int cell = 0; cell < 9; ++cell) {
          const std::uint64_t* x = a + (cell / 3) * words;
          const std::uint64_t* y = b + (cell % 3) * words;
          __m512i c0 = _mm512_setzero_si512();
          __m512i c1 = _mm512_setzero_si512();
          for (int v = 0; v < controls; ++v) {
            c0 = _mm512_add_epi64(
                c0, _mm512_popcnt_epi64(_mm512_and_si512(_mm512_loadu_si512(x + 8 * v),
                                                         _mm512_loadu_si512(y + 8 * v))));
          }
          for (int v = controls; v < controls + cases; ++v) {
            c1 = _mm512_add_epi64(
                c1, _mm512_popcnt_epi64(_mm512_and_si512(_mm512_loadu_si512(x + 8 * v),
                                                         _mm512_loadu_si512(y + 8 * v))));
          }
          acc[2 * cell] = c0;
          acc[2 * cell + 1] = c1;
        }
        for (int e = 18; e < 24; ++e) acc[e] = _mm512_setzero_si512();
        for (int group = 0; group < 3; ++group)
          checksum = _mm512_add_epi64(checksum, sumEight(acc + 8 * group));
        result.pairs += 1;
      }
    }
  }
  result.checksum = static_cast<std::uint64_t>(_mm512_reduce_add_epi64(checksum));
  result.path = "avx512";
  return result;
}

// The scalar reference: bench_support.h's all-pairs kernel over all 9 cells.
ReferenceResult referencePopcnt(const BitPlanes& planes, int thread, int threads) {
  const BareCounts counts = bareAllPairsPopcnt<3>(planes, thread, threads);
  ReferenceResult result;
  result.pairs = counts.combinations;
  result.checksum = counts.checksum;
  result.path = "popcnt";
  return result;
}

// Every pair of the planes' markers on `threads` threads.
ReferenceResult bareAndPopcountPairs(const BitPlanes& planes, int threads) {
  const bool avx512 = simdPathSupported(SimdPath::kAvx512);
  if (!avx512 && !__builtin_cpu_supports("popcnt")) return ReferenceResult();
  const bool two_by_two = planes.shape().control_words == 16 && planes.shape().case_words == 16;
  std::vector<ReferenceResult> parts(threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      if (!avx512) {
        parts[t] = referencePopcnt(planes, t, threads);
      } else if (two_by_two) {
        parts[t] = referenceAvx512<2, 2>(planes, t, threads);
      } else {
        parts[t] = referenceAvx512<0, 0>(planes, t, threads);
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  ReferenceResult total;
  for (const ReferenceResult& part : parts) {
    total.pairs += part.pairs;
    total.checksum += part.checksum;
    total.path = part.path;
  }
  return total;
}

// ---------------------------------------------------------------------------
// Workloads and runs

struct Timed {
  OrderOutcome outcome;
  double seconds = 0;
};

Timed timedSearch(const SearchContext& context, int order, int threads, long long batch_limit) {
  Timed timed;
  const auto start = std::chrono::steady_clock::now();
  OrderRequest request;
  request.order = order;
  request.threads = threads;
  request.batch_size = kBatchSize;
  request.end_batch = batch_limit;
  searchOrder(context, request, timed.outcome);
  timed.seconds = secondsSince(start);
  return timed;
}

void printRow(const char* engine, int threads, const Timed& t, int samples, const char* note) {
  const double rate = t.outcome.combinations / t.seconds;
  std::printf("  %-6s %7d %12lld %10.3f %12.3e %14.3e  %s\n", engine, threads,
              t.outcome.combinations, t.seconds, rate, rate * samples, note);
}

bool sameRows(const RankedRows& a, const RankedRows& b) {
  return a.markers == b.markers && a.pairs.size() == b.pairs.size() &&
         std::memcmp(a.pairs.data(), b.pairs.data(), a.pairs.size() * sizeof(double)) == 0;
}

// The executable beside this benchmark's build directory.
std::string defaultGorvaPath() {
  char self[4096] = {0};
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return "gorva";
  std::string path(self, static_cast<std::size_t>(length));
  path = path.substr(0, path.rfind('/'));
  return path.substr(0, path.rfind('/')) + "/gorva";
}

void writeDataFile(const Workload& w, const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return;
  std::string line = "Class";
  for (int m = 0; m < w.markers; ++m) line += "\tM" + std::to_string(m);
  line += "\n";
  std::fputs(line.c_str(), file);
  for (int s = 0; s < w.samples; ++s) {
    line.assign(1, static_cast<char>('0' + w.phenotypes[s]));
    for (int m = 0; m < w.markers; ++m) {
      line += '\t';
      line += static_cast<char>('0' + w.genotypes[static_cast<std::size_t>(m) * w.samples + s]);
    }
    line += '\n';
    std::fputs(line.c_str(), file);
  }
  std::fclose(file);
}

struct Options {
  bool quick = false;
  long long plain_batches = 4;
  std::string gorva = defaultGorvaPath();
  std::string only;
};

void runWorkload(Workload& w, const Options& options, int hardware) {
  const long long total = combinationCount(w.markers, w.order);
  std::printf(
      "\n%s: %d markers x %d samples (%d cases), %.0f%% missing, order %d, \"available\": %lld "
      "combinations\n",
      w.name.c_str(), w.markers, w.samples, w.samples / 2, 100 * w.missing, w.order, total);
  std::vector<double> scores(w.samples, 0.0);
  SearchContext context;
  prepareSearchContext(w.genotypes.data(),
                       {w.phenotypes.data(), scores.data(), w.samples, w.markers, 1, kMethodAvailableCode}, context);
  context.K = 10;
  BitPlanes planes;
  const auto build_start = std::chrono::steady_clock::now();
  if (!buildPlanesFor(context, planes)) {
    std::printf("  could not build the bit-planes\n");
    return;
  }
  std::printf("  bit-planes: %.3f s, %.1f MB\n", secondsSince(build_start),
              planes.markerStrideWords() * 8.0 * w.markers / 1e6);
  SearchContext fast = context;
  fast.planes = &planes;

  std::printf("  %-6s %7s %12s %10s %12s %14s\n", "engine", "threads", "combinations", "seconds",
              "comb/s", "sample-comb/s");
  const int thread_counts[2] = {1, hardware};
  double plain_rate[2] = {0, 0};
  double fast_rate[2] = {0, 0};
  double fast_seconds[2] = {0, 0};
  for (int t = 0; t < (hardware > 1 ? 2 : 1); ++t) {
    const int threads = thread_counts[t];
    const long long limit = options.plain_batches * threads;
    const Timed plain = timedSearch(context, w.order, threads, limit);
    printRow("plain", threads, plain, w.samples, "(first batches only)");
    plain_rate[t] = plain.outcome.combinations / plain.seconds;
    const Timed fast_prefix = timedSearch(fast, w.order, threads, limit);
    const Timed fast_all = timedSearch(fast, w.order, threads, -1);
    printRow("fast", threads, fast_all, w.samples, "(every combination)");
    fast_rate[t] = fast_all.outcome.combinations / fast_all.seconds;
    fast_seconds[t] = fast_all.seconds;
    const ScorerStats& s = fast_all.outcome.stats;
    std::printf(
        "         same best rows as plain over its batches: %s; batches %lld: screened %lld, "
        "ranked in full %lld (fallbacks %lld), exact candidates per screened batch %.1f;\n"
        "         screening keys skipped by the IG bound: %.1f%%\n",
        sameRows(plain.outcome.kept, fast_prefix.outcome.kept) ? "yes" : "NO", s.batches,
        s.screened, s.ranked_in_full + s.fallbacks, s.fallbacks,
        s.screened > 0 ? static_cast<double>(s.candidates) / s.screened : 0.0,
        100.0 * static_cast<double>(s.ruled_out) /
            std::max(1.0, static_cast<double>(s.ruled_out + s.keys_computed)));
  }
  std::printf("  fast/plain at 1 thread: %.0fx", fast_rate[0] / plain_rate[0]);
  if (hardware > 1) {
    std::printf("; at %d threads: %.0fx; fast %d threads / 1 thread: %.2fx; plain: %.2fx", hardware,
                fast_rate[1] / plain_rate[1], hardware, fast_rate[1] / fast_rate[0],
                plain_rate[1] / plain_rate[0]);
  }
  std::printf("\n");
  if (w.order != 2) return;

  for (int t = 0; t < (hardware > 1 ? 2 : 1); ++t) {
    const int threads = thread_counts[t];
    const auto start = std::chrono::steady_clock::now();
    const ReferenceResult bare = bareAndPopcountPairs(planes, threads);
    const double seconds = secondsSince(start);
    std::printf(
        "  bare AND+popcount, 9 cells x 2 classes per pair (%s), %d thread%s: %.3f s, %.3e "
        "pairs/s, "
        "%.3e sample-pairs/s (checksum %llu); fast search = %.2fx its time\n",
        bare.path, threads, threads > 1 ? "s" : "", seconds, bare.pairs / seconds,
        bare.pairs / seconds * w.samples, static_cast<unsigned long long>(bare.checksum),
        fast_seconds[t] / seconds);
    if (w.missing > 0 && !options.gorva.empty() && access(options.gorva.c_str(), X_OK) == 0) {
      const std::string dir = "/tmp/bench_fast_engine_" + std::to_string(getpid());
      std::system(("mkdir -p " + dir).c_str());
      if (t == 0) writeDataFile(w, dir + "/w2.txt");
      const std::string command =
          "cd " + dir + " && " + options.gorva +
          " --in w2.txt --out report.txt --order 2 --progress 0 --threads " +
          std::to_string(threads) + " > /dev/null";
      const auto run_start = std::chrono::steady_clock::now();
      const int status = std::system(command.c_str());
      const double run_seconds = secondsSince(run_start);
      std::printf(
          "  whole `gorva --order 2 --threads %d` run (reading, search, report): %.3f s = %.2fx "
          "the "
          "bare kernel%s\n",
          threads, run_seconds, run_seconds / seconds, status == 0 ? "" : " (FAILED)");
      if (t == (hardware > 1 ? 1 : 0)) std::system(("rm -rf " + dir).c_str());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick")
      options.quick = true;
    else if (arg == "--plain-batches" && i + 1 < argc)
      options.plain_batches = std::atoll(argv[++i]);
    else if (arg == "--gorva" && i + 1 < argc)
      options.gorva = argv[++i];
    else if (arg == "--only" && i + 1 < argc)
      options.only = argv[++i];
  }
  const int hardware = workerCount(0);
  std::printf("CPU: %s, %d hardware threads; fast kernel: %s\n", cpuModel().c_str(), hardware,
              simdPathName(activeSimdPath()));
  const int scale = options.quick ? 5 : 1;
  std::vector<Workload> workloads;
  if (options.only.empty() || options.only == "W2")
    workloads.push_back(makeWorkload("W2", 10000 / scale, 2000, 0.01, 2, 1));
  if (options.only.empty() || options.only == "W3")
    workloads.push_back(makeWorkload("W3", 500 / scale, 2000, 0.01, 3, 2));
  if (options.only.empty() || options.only == "W2n")
    workloads.push_back(makeWorkload("W2n", 10000 / scale, 2000, 0.0, 2, 3));
  for (Workload& w : workloads) runWorkload(w, options, hardware);
  return 0;
}
