// bench_bed_planes: the floor of a PLINK run's time, reading a .bed into
// bit-planes alone (as a fast run does, a block of markers at a time), to
// compare a whole run against.
//
// Usage: bench_bed_planes PREFIX [threads]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <vector>

#include "app/planes_road.h"
#include "engine/count/bitplanes.h"
#include "io/FileIO.h"
#include "io/plink_reader.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_bed_planes PREFIX [threads]\n");
    return 2;
  }
  const int threads = argc > 2 ? std::atoi(argv[2]) : 2;
  const auto start = std::chrono::steady_clock::now();
  PlinkReader reader;
  if (!reader.open(argv[1])) {
    std::fprintf(stderr, "%s\n", reader.error().c_str());
    return 1;
  }
  const int samples = reader.sampleCount();
  const int markers = reader.markerCount();
  std::vector<unsigned char> phenotypes(samples);
  std::vector<char> name_text(static_cast<std::size_t>(markers) * kFieldTextBuffer);
  std::vector<char*> names(markers);
  for (int m = 0; m < markers; ++m) names[m] = &name_text[static_cast<std::size_t>(m) * kFieldTextBuffer];
  reader.readLabels(phenotypes.data(), names.data());
  std::vector<int> listed(samples);
  std::iota(listed.begin(), listed.end(), 0);
  BitPlanes planes;
  if (!planes.prepare(markers, listed.data(), samples, phenotypes.data(), 3)) return 3;
  const int block = planesBlockMarkers(samples, markers);
  std::vector<unsigned char> codes(static_cast<std::size_t>(block) * samples);
  const bool read = reader.readInBlocks(codes.data(), block, [&](int first, int end) {
    planes.fillMarkers(GenotypeView::markerMajor(codes.data(), samples), first, end - first, threads);
  });
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!read) return 1;
  std::printf("%d markers x %d samples: .bed into planes in %.2f s (%.0f MB/s of .bed), %d threads\n", markers,
              samples, seconds, markers * ((samples + 3) / 4.0) / seconds / 1e6, threads);
  return 0;
}
