// bench_counting: the search beside the bare counting it cannot beat, in one
// run, at 1 thread and at every hardware thread.
//
//   C2: 4,000 markers x 2,000 samples (1,000 cases), order 2
//   C3: 600 markers x 2,000 samples, order 3
// each with complete data and (C2m, C3m) with 1% missing, under "available",
// and C2L: 1,500 markers x 60,000 samples, 0.3% missing, order 2 (a large
// cohort, whose rows outgrow the caches),
// K = 10.
//
// The bare kernels count every combination's cells from the bit-planes and
// fold them into a checksum, nothing else: 2 levels per marker when the data
// are complete (the free counts: the third level follows from the marginals),
// all 3 with missing genotypes. Order 2 runs two ways, the best of which is
// this CPU's limit:
//   popcnt: one pair at a time, 64-bit AND + POPCNT (bench_support.h's, the
//           one bench_fast_engine measures against too);
//   avx2:   four second markers' words side by side in one register (a block
//           of them repacked once), ANDed with the first marker's word
//           broadcast, counted by a nibble table and summed per lane.
// Order 3 (popcnt) ANDs the three markers' rows for every triple anew.
//
// Order 2 is also measured against this CPU's counting limit, the all-pairs
// kernel of ../shared/bench/pairs (`pairs best`, complete data, one core),
// when that folder was there at build time: the search's rate divided by
// the kernel's, per CPU second and wall-clock. Under GORVA_SIMD=avx2 the
// kernel is built without AVX-512, which is the limit of a CPU that has
// AVX2 only.
//
// usage: bench_counting [--quick] [--only C2|C2m|C2L|C3|C3m] [--repetitions N] [--search-only]
//   (m: 1% missing)
//   --quick: a fifth of the markers, for a smoke run; each part's fastest of
//   N repetitions (default 3) counts. --search-only: the search and the
//   counting limit at 1 thread, no bare kernel (for comparing builds).
// Besides wall-clock seconds each row gives the process's CPU seconds and the
// rate per CPU second, which other programs sharing the cores distort much
// less; the ratios to the bare kernel use it. The two-thread ratio is
// wall-clock and only means something on an otherwise idle machine.
#include <immintrin.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "engine/count/avx2_popcount.h"
#include "engine/count/bitplanes.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/count/simd_targets.h"
#include "engine/count/unrank.h"
#include "engine/search/batch_pool.h"

namespace {

constexpr int kBatchSize = 100000;
constexpr int kMethodAvailableCode = 4;

using Bare = BareCounts;

// Runs part(thread, threads) on `threads` threads and adds up the parts.
template <class Part>
Bare onThreads(int threads, Part part) {
  std::vector<Bare> parts(threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) workers.emplace_back([&, t] { parts[t] = part(t, threads); });
  for (std::thread& worker : workers) worker.join();
  Bare total;
  for (const Bare& p : parts) {
    total.combinations += p.combinations;
    total.checksum += p.checksum;
  }
  return total;
}

// ---------------------------------------------------------------------------
// Order 2, four second markers per register.

// Markers [first, first + count) as groups of four: word w of row l of
// the group's markers t = 0..3 at packed[((group * rows + l) * words + w) * 4 + t],
// missing markers zero.
void packBlock(const BitPlanes& planes, int first, int count, int rows,
               std::vector<std::uint64_t>& packed) {
  const int words = planes.shape().rowWords();
  const int groups = (count + 3) / 4;
  packed.assign(static_cast<std::size_t>(groups) * rows * words * 4, 0);
  for (int k = 0; k < count; ++k) {
    const std::uint64_t* marker = planes.marker(first + k);
    for (int l = 0; l < rows; ++l) {
      for (int w = 0; w < words; ++w)
        packed[((static_cast<std::size_t>(k / 4) * rows + l) * words + w) * 4 + k % 4] =
            marker[l * words + w];
    }
  }
}

template <int kRows>
GORVA_TARGET_AVX2 Bare pairsAvx2(const BitPlanes& planes, int thread, int threads) {
  constexpr int kStepsPerByteSum = 31;  // 8 bits a step: at most 248 per byte
  const int n = planes.markerCount();
  const int words = planes.shape().rowWords();
  const int controls = planes.shape().control_words;
  const int block =
      std::max(4, static_cast<int>(kBareBlockBytes / (planes.markerStrideWords() * 8)) / 4 * 4);
  std::vector<std::uint64_t> packed;
  __m256i checksum = _mm256_setzero_si256();
  Bare result;
  for (int first = 0; first < n; first += block) {
    const int end = std::min(n, first + block);
    packBlock(planes, first, end - first, kRows, packed);
    for (int i = thread; i < end - 1; i += threads) {
      const std::uint64_t* a = planes.marker(i);
      const int from = std::max(i + 1, first);
      for (int group = (from - first) / 4; group * 4 < end - first; ++group) {
        // Lanes of markers after i and inside the block.
        alignas(32) std::int64_t lanes[4];
        for (int t = 0; t < 4; ++t) {
          const int j = first + group * 4 + t;
          lanes[t] = j > i && j < end ? -1 : 0;
          result.combinations += j > i && j < end ? 1 : 0;
        }
        const __m256i valid = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes));
        const std::uint64_t* b = packed.data() + static_cast<std::size_t>(group) * kRows * words * 4;
        for (int l = 0; l < kRows; ++l) {
          for (int c = 0; c < 2; ++c) {
            const int w_end = c == 0 ? controls : words;
            for (int w0 = c == 0 ? 0 : controls; w0 < w_end; w0 += kStepsPerByteSum) {
              __m256i acc[kRows];
              for (int m = 0; m < kRows; ++m) acc[m] = _mm256_setzero_si256();
              for (int w = w0; w < std::min(w_end, w0 + kStepsPerByteSum); ++w) {
                const __m256i x = _mm256_set1_epi64x(static_cast<long long>(a[l * words + w]));
                for (int m = 0; m < kRows; ++m) {
                  const __m256i y = _mm256_load_si256(
                      reinterpret_cast<const __m256i*>(b + (static_cast<std::size_t>(m) * words + w) * 4));
                  acc[m] = _mm256_add_epi8(acc[m], popcountBytes(_mm256_and_si256(x, y)));
                }
              }
              for (int m = 0; m < kRows; ++m) {
                const __m256i counts = _mm256_sad_epu8(acc[m], _mm256_setzero_si256());
                checksum = _mm256_add_epi64(
                    checksum, _mm256_and_si256(valid, _mm256_mul_epu32(
                                                          counts, _mm256_set1_epi64x(l * kRows + m + 1))));
              }
            }
          }
        }
      }
    }
  }
  alignas(32) std::uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), checksum);
  result.checksum = lanes[0] + lanes[1] + lanes[2] + lanes[3];
  return result;
}

// ---------------------------------------------------------------------------
// Order 3, every triple's rows ANDed anew.

template <int kRows>
GORVA_TARGET_POPCNT Bare triplesPopcnt(const BitPlanes& planes, int thread, int threads) {
  const int n = planes.markerCount();
  const int words = planes.shape().rowWords();
  const int controls = planes.shape().control_words;
  constexpr int kCells = kRows * kRows * kRows;
  Bare result;
  for (int i = thread; i < n - 2; i += threads) {
    const std::uint64_t* a = planes.marker(i);
    for (int j = i + 1; j < n - 1; ++j) {
      const std::uint64_t* b = planes.marker(j);
      for (int k = j + 1; k < n; ++k) {
        const std::uint64_t* d = planes.marker(k);
        for (int e = 0; e < kCells; ++e) {
          const std::uint64_t* x = a + e / (kRows * kRows) * words;
          const std::uint64_t* y = b + e / kRows % kRows * words;
          const std::uint64_t* z = d + e % kRows * words;
          std::uint64_t cell[2] = {0, 0};
          for (int w = 0; w < controls; ++w)
            cell[0] += static_cast<std::uint64_t>(__builtin_popcountll(x[w] & y[w] & z[w]));
          for (int w = controls; w < words; ++w)
            cell[1] += static_cast<std::uint64_t>(__builtin_popcountll(x[w] & y[w] & z[w]));
          result.checksum += (cell[0] + cell[1]) * (e + 1);
        }
        result.combinations += 1;
      }
    }
  }
  return result;
}

// ---------------------------------------------------------------------------

struct Rate {
  double combinations = 0;
  double seconds = 0;
  double cpu_seconds = 0;
  double perSecond() const { return seconds > 0 ? combinations / seconds : 0; }
  double perCpuSecond() const { return cpu_seconds > 0 ? combinations / cpu_seconds : 0; }
};

// Repetitions of each timed part; the fastest counts.
int g_repetitions = 3;
bool g_search_only = false;

template <class Run>
Rate timed(Run run) {
  double combinations = 0;
  const BestTimes best = bestOf(g_repetitions, [&] { combinations = run(); });
  return {combinations, best.seconds, best.cpu_seconds};
}

void printRate(const char* what, int threads, const Rate& rate, int samples, double reference) {
  std::printf("  %-28s %7d %12.0f %8.3f %8.3f %11.3e %11.3e %13.3e", what, threads,
              rate.combinations, rate.seconds, rate.cpu_seconds, rate.perSecond(),
              rate.perCpuSecond(), rate.perCpuSecond() * samples);
  if (reference > 0) std::printf("  %6.2f", rate.perCpuSecond() / reference);
  std::printf("\n");
}

// The counting limit of this CPU for order 2: the all-pairs kernel of
// ../shared/bench/pairs, the fastest mode its build has, one core, over
// `markers` x `samples`. It prints wall-clock rates, which on a shared
// machine follow the other programs' load; its CPU seconds per repetition
// are had instead as the difference of two runs (one repetition, then
// 1 + repetitions), which also takes out its data generation and packing;
// the median of three such differences counts.
// Zero rates when it was not built or did not run.
struct CountingLimit {
  double pairs_per_cpu_second = 0;
  double pairs_per_second = 0;  // its own wall-clock figure, best repetition
  std::string mode;
};

// One run of the kernel with `repetitions`; false when it failed.
bool runCountingLimit(int markers, int samples, int repetitions, CountingLimit& limit) {
#ifdef GORVA_COUNTING_LIMIT
  // The search's AVX2 path is held to the kernel built without AVX-512.
  const char* const kernel = activeSimdPath() == SimdPath::kAvx2 ? GORVA_COUNTING_LIMIT_AVX2 : GORVA_COUNTING_LIMIT;
  const std::string command = std::string(kernel) + " best " + std::to_string(markers) +
                              " " + std::to_string(samples) + " " + std::to_string(repetitions);
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    // "<mode>   M=.. S=..   T ms   R Mpairs/s ..."
    const std::string text = line;
    const std::size_t unit = text.find(" Mpairs/s");
    const std::size_t shape = text.find(" M=");
    if (unit == std::string::npos || shape == std::string::npos) continue;
    const std::size_t start = text.find_last_of(' ', unit - 1);
    limit.pairs_per_second =
        std::max(limit.pairs_per_second, 1e6 * std::atof(text.substr(start + 1, unit - start - 1).c_str()));
    limit.mode = text.substr(0, text.find_last_not_of(' ', shape) + 1);
  }
  return pclose(pipe) == 0;
#else
  (void)markers;
  (void)samples;
  (void)repetitions;
  (void)limit;
  return false;
#endif
}

CountingLimit countingLimit(int markers, int samples) {
  CountingLimit limit;
  const int repetitions = std::max(3, g_repetitions);
  const double pairs = 0.5 * markers * (markers - 1.0);
  // Three differences, the median of their rates: one difference can be
  // far off either way when the machine is busy.
  std::vector<double> rates;
  for (int trial = 0; trial < 3; ++trial) {
    const double start = cpuSecondsOf(RUSAGE_CHILDREN);
    if (!runCountingLimit(markers, samples, 1, limit)) return CountingLimit{};
    const double one = cpuSecondsOf(RUSAGE_CHILDREN);
    if (!runCountingLimit(markers, samples, 1 + repetitions, limit)) return CountingLimit{};
    const double more = cpuSecondsOf(RUSAGE_CHILDREN) - one - (one - start);
    rates.push_back(more > 0 ? pairs * repetitions / more : 0);
  }
  std::sort(rates.begin(), rates.end());
  limit.pairs_per_cpu_second = rates[1];
  return limit;
}

void runWorkload(const Workload& w, int hardware) {
  std::printf("\n%s: %d markers x %d samples (%d cases), %.3g%% missing, order %d, \"available\"\n",
              w.name.c_str(), w.markers, w.samples, w.samples / 2, 100 * w.missing, w.order);
  std::vector<unsigned char> genotypes = w.genotypes;
  std::vector<unsigned char> phenotypes = w.phenotypes;
  std::vector<double> scores(w.samples, 0.0);
  SearchContext context;
  prepareSearchContext(genotypes.data(), {phenotypes.data(), scores.data(), w.samples, w.markers, 1, kMethodAvailableCode},
                       context);
  context.K = 10;
  BitPlanes planes;
  if (!buildPlanesFor(context, planes)) {
    std::printf("  could not build the bit-planes\n");
    return;
  }
  context.planes = &planes;
  const bool complete = w.missing == 0;
  const int rows = complete ? 2 : 3;
  const bool avx2 = simdPathSupported(SimdPath::kAvx2);
  std::printf("  %-28s %7s %12s %8s %8s %11s %11s %13s  %6s\n", "", "threads", "combinations",
              "seconds", "cpu s", "comb/s", "comb/cpu-s", "x samples", "/bare");
  const int thread_counts[2] = {1, hardware};
  Rate search[2];
  const int thread_runs = hardware > 1 && !g_search_only ? 2 : 1;
  for (int t = 0; t < thread_runs; ++t) {
    const int threads = thread_counts[t];
    std::uint64_t checksums[2] = {0, 0};
    Rate bare;
    char label[64];
    if (g_search_only) {
      // No bare kernel: the search is compared with the limit only.
    } else if (w.order == 2) {
      const Rate popcnt = timed([&] {
        const auto run = [&](int thread, int count) {
          return complete ? bareAllPairsPopcnt<2>(planes, thread, count) : bareAllPairsPopcnt<3>(planes, thread, count);
        };
        const Bare b = onThreads(threads, run);
        checksums[0] = b.checksum;
        return b.combinations;
      });
      std::snprintf(label, sizeof label, "bare %d x %d cells, popcnt", rows, rows);
      printRate(label, threads, popcnt, w.samples, 0);
      bare = popcnt;
      if (avx2) {
        const Rate wide = timed([&] {
          const auto run = [&](int thread, int count) {
            return complete ? pairsAvx2<2>(planes, thread, count) : pairsAvx2<3>(planes, thread, count);
          };
          const Bare b = onThreads(threads, run);
          checksums[1] = b.checksum;
          return b.combinations;
        });
        std::snprintf(label, sizeof label, "bare %d x %d cells, avx2", rows, rows);
        printRate(label, threads, wide, w.samples, 0);
        if (checksums[0] != checksums[1]) std::printf("  CHECKSUMS DIFFER: the kernels disagree\n");
        if (wide.perCpuSecond() > bare.perCpuSecond()) bare = wide;
      }
    } else {
      bare = timed([&] {
        const auto run = [&](int thread, int count) {
          return complete ? triplesPopcnt<2>(planes, thread, count)
                          : triplesPopcnt<3>(planes, thread, count);
        };
        return onThreads(threads, run).combinations;
      });
      std::snprintf(label, sizeof label, "bare %d^3 cells, popcnt", rows);
      printRate(label, threads, bare, w.samples, 0);
    }
    OrderOutcome outcome;
    search[t] = timed([&] {
      OrderRequest request;
      request.order = w.order;
      request.threads = threads;
      request.batch_size = kBatchSize;
      searchOrder(context, request, outcome);
      return static_cast<double>(outcome.combinations);
    });
    std::snprintf(label, sizeof label, "search (%s)", simdPathName(activeSimdPath()));
    printRate(label, threads, search[t], w.samples, bare.perCpuSecond());
    if (w.order == 2 && threads == 1) {
      const CountingLimit limit = countingLimit(w.markers, w.samples);
      if (limit.pairs_per_cpu_second > 0) {
        std::printf("  %-28s %s, complete data, 1 thread: %.3e pairs/cpu-s (wall %.3e pairs/s)\n",
                    "counting limit", limit.mode.c_str(), limit.pairs_per_cpu_second,
                    limit.pairs_per_second);
        std::printf("  %-28s search / limit: %.2f per CPU second, %.2f wall-clock\n", "",
                    search[t].perCpuSecond() / limit.pairs_per_cpu_second,
                    search[t].perSecond() / limit.pairs_per_second);
      } else {
        std::printf("  %-28s not measured (../shared/bench/pairs absent when this was built)\n",
                    "counting limit");
      }
    }
    const ScorerStats& s = outcome.stats;
    std::printf("  %-28s screened %lld of %lld batches; keys skipped by the IG bound %.1f%%\n", "",
                s.screened, s.batches,
                100.0 * static_cast<double>(s.ruled_out) /
                    std::max(1.0, static_cast<double>(s.ruled_out + s.keys_computed)));
  }
  if (thread_runs > 1)
    std::printf("  search %d threads / 1 thread: %.2fx\n", hardware,
                search[1].perSecond() / search[0].perSecond());
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") quick = true;
    if (arg == "--search-only") g_search_only = true;
    if (arg == "--only" && i + 1 < argc) only = argv[++i];
    if (arg == "--repetitions" && i + 1 < argc) g_repetitions = std::max(1, std::atoi(argv[++i]));
  }
  const int hardware = workerCount(0);
  std::printf("CPU: %s, %d hardware threads; search kernel: %s\n", cpuModel().c_str(), hardware,
              simdPathName(activeSimdPath()));
  const int scale = quick ? 5 : 1;
  std::vector<Workload> workloads;
  const auto wanted = [&](const char* name) { return only.empty() || only == name; };
  if (wanted("C2")) workloads.push_back(makeWorkload("C2", 4000 / scale, 2000, 0.0, 2, 11));
  if (wanted("C2m")) workloads.push_back(makeWorkload("C2m", 4000 / scale, 2000, 0.01, 2, 12));
  // A biobank-sized cohort: a few markers' rows fill the caches.
  if (wanted("C2L")) workloads.push_back(makeWorkload("C2L", 1500 / scale, 60000, 0.003, 2, 15));
  if (wanted("C3")) workloads.push_back(makeWorkload("C3", 600 / scale, 2000, 0.0, 3, 13));
  if (wanted("C3m")) workloads.push_back(makeWorkload("C3m", 600 / scale, 2000, 0.01, 3, 14));
  for (const Workload& w : workloads) runWorkload(w, hardware);
  return 0;
}
