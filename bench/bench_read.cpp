// bench_read: how fast a large data file is loaded the way a run loads it.
//
// Writes a tab-separated file of random genotypes (default 10,000 markers x
// 5,000 samples, about 100 MB), then times the three steps of a run's load:
// the counting pass (Open, GetLineCount, Reset, GetColCount), the input
// check over the same loaded bytes, and the fill pass (Open, ReadHeader,
// ReadLine into a marker-major byte matrix). Prints MB/s for each.
//
// Usage: bench_read [markers [samples [path]]]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"
#include "io/FileIO.h"
#include "io/data_check.h"

namespace {

using Clock = std::chrono::steady_clock;


// Genotypes 0, 1, 2 and now and then 3 (missing); phenotypes 0 and 1.
bool writeDataFile(const std::string& path, int markers, int samples) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  std::string line = "Class";
  for (int m = 0; m < markers; ++m) line += "\tM" + std::to_string(m);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), file);
  unsigned long long state = 0x9E3779B97F4A7C15ull;
  for (int s = 0; s < samples; ++s) {
    line.assign(1, static_cast<char>('0' + (s & 1)));
    for (int m = 0; m < markers; ++m) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      const unsigned draw = static_cast<unsigned>(state >> 33) % 100;
      line += '\t';
      line += static_cast<char>('0' + (draw < 2 ? 3 : draw % 3));
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), file);
  }
  return std::fclose(file) == 0;
}

void report(const char* step, double seconds, double megabytes) {
  std::printf("%-34s %8.3f s %9.1f MB/s\n", step, seconds, megabytes / seconds);
}

}  // namespace

int main(int argc, char** argv) {
  const int markers = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int samples = argc > 2 ? std::atoi(argv[2]) : 5000;
  const std::string path = argc > 3 ? argv[3] : "/tmp/gorva_bench_read.txt";
  if (markers < 1 || samples < 1) {
    std::fprintf(stderr, "bench_read: markers and samples must be at least 1\n");
    return 1;
  }

  Clock::time_point start = Clock::now();
  if (!writeDataFile(path, markers, samples)) {
    std::fprintf(stderr, "bench_read: cannot write %s\n", path.c_str());
    return 1;
  }
  const double write_seconds = secondsSince(start);

  // Counting pass, as the driver does it, then the check over the same bytes.
  start = Clock::now();
  MdrReader counter;
  if (!counter.Open(path.c_str())) {
    std::fprintf(stderr, "bench_read: cannot open %s\n", path.c_str());
    return 1;
  }
  const int line_count = counter.GetLineCount();
  counter.Reset();
  const int column_count = counter.GetColCount();
  counter.Reset();
  const double count_seconds = secondsSince(start);
  const double megabytes = counter.byteCount() / 1e6;

  start = Clock::now();
  const DataCheck check = checkDataFile(path, counter.bytes(), counter.byteCount(), 1);
  const double check_seconds = secondsSince(start);
  counter.Close();
  if (!check.ok) {
    std::fprintf(stderr, "bench_read: the generated file was refused: %s\n", check.error.c_str());
    return 1;
  }

  // Fill pass into arrays sized from the counts.
  start = Clock::now();
  const int sample_count = line_count - 2;
  const int marker_count = column_count - 1;
  std::vector<unsigned char> genotypes(static_cast<std::size_t>(marker_count) * sample_count);
  std::vector<unsigned char> phenotypes(static_cast<std::size_t>(sample_count));
  std::vector<std::vector<char>> name_buffers(static_cast<std::size_t>(marker_count),
                                              std::vector<char>(kFieldTextBuffer));
  std::vector<char*> names;
  for (auto& buffer : name_buffers) names.push_back(buffer.data());
  MdrReader reader;
  reader.Open(path.c_str());
  reader.SetFieldLimit(column_count);
  reader.ReadHeader(names.data(), 0);
  for (int row = 0; row < sample_count; ++row) {
    reader.ReadLine(genotypes.data(), phenotypes.data(), 0, row, sample_count);
  }
  reader.Close();
  const double fill_seconds = secondsSince(start);

  unsigned long long code_sum = 0;
  int cases = 0;
  for (unsigned char code : genotypes) code_sum += code;
  for (unsigned char phenotype : phenotypes) cases += phenotype == 1;

  std::printf("file %s: %d markers x %d samples, %.1f MB (written in %.2f s)\n", path.c_str(),
              marker_count, sample_count, megabytes, write_seconds);
  report("counting pass (load + counts)", count_seconds, megabytes);
  report("input check", check_seconds, megabytes);
  report("fill pass (load + header + lines)", fill_seconds, megabytes);
  report("whole load", count_seconds + check_seconds + fill_seconds, megabytes);
  std::printf("checksum: %llu over the genotype codes, %d cases%s\n", code_sum, cases,
              check.warning.empty() ? "" : " (the check warned)");
  std::remove(path.c_str());
  return 0;
}
