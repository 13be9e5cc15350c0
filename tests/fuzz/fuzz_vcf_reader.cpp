// Fuzz target: the bytes of a plain-text VCF through VcfReader, as a run
// uses it: open() to check and count, every sample and marker selected with
// alternating phenotypes, then read() into arrays of exactly the counted
// size with guard bytes behind each.
//
// Invariants, beyond "no crash":
// - a refusal names the file and is one line;
// - an accepted file has samples and markers, read() succeeds on it, writes
//   inside its arrays only, every genotype is 0-3, every phenotype the one
//   selected, every name terminated inside its buffer;
// - a missing-genotype refusal after an accepted open names the file too,
//   and the reader finds one only when read() gave a 3.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "io/FileIO.h"
#include "io/vcf_reader.h"

namespace {

using fuzz::Guarded;
using fuzz::fail;
using fuzz::require;

char scratch_path[64];

void removeScratch() { unlink(scratch_path); }

// htslib tells a plain VCF by its content; the name only has to end in .vcf.
const char* scratchVcf() {
  static const bool created = [] {
    fuzz::scratchPattern(scratch_path, sizeof scratch_path - 4, "gorva-fuzz-vcf");
    std::strcat(scratch_path, ".vcf");
    const int fd = mkstemps(scratch_path, 4);
    if (fd < 0) fail("cannot create a scratch file");
    close(fd);
    std::atexit(removeScratch);
    return true;
  }();
  (void)created;
  return scratch_path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = scratchVcf();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) fail("cannot write the scratch file");
  if (size > 0 && std::fwrite(data, 1, size, file) != size) fail("short write");
  if (std::fclose(file) != 0) fail("cannot close the scratch file");

  VcfReader reader;
  // Names of a few megabytes at most: the fuzzer's memory stays small.
  reader.limitMemory(1 << 22);
  if (!reader.open(path)) {
    require(reader.error().find(path) != std::string::npos, "a refusal names the file");
    require(reader.error().find('\n') == std::string::npos, "a refusal is one line");
    return 0;
  }
  const SubsetInput input = reader.subsetInput();
  const int samples = static_cast<int>(input.samples.size());
  const int markers = static_cast<int>(input.markers.size());
  require(samples > 0 && markers > 0, "an accepted file has samples and markers");
  Subset subset;
  for (int s = 0; s < samples; ++s) {
    subset.samples.push_back(s);
    subset.phenotypes.push_back(static_cast<unsigned char>(s % 2));
  }
  for (int m = 0; m < markers; ++m) subset.markers.push_back(m);
  reader.select(subset);
  require(reader.sampleCount() == samples && reader.markerCount() == markers, "the selection's counts");

  Guarded genotypes(static_cast<std::size_t>(markers) * static_cast<std::size_t>(samples));
  Guarded phenotypes(static_cast<std::size_t>(samples));
  std::vector<Guarded> names;
  std::vector<char*> slots;
  names.reserve(static_cast<std::size_t>(markers));
  for (int m = 0; m < markers; ++m) {
    names.emplace_back(kFieldTextBuffer);
    slots.push_back(reinterpret_cast<char*>(names.back().bytes.data()));
  }
  require(reader.read(genotypes.bytes.data(), phenotypes.bytes.data(), slots.data()), "read after an open");
  require(genotypes.guardsIntact() && phenotypes.guardsIntact(), "write past the arrays");
  bool any_missing = false;
  for (std::size_t i = 0; i < genotypes.size; ++i) {
    require(genotypes.bytes[i] <= 3, "genotype code above 3");
    any_missing = any_missing || genotypes.bytes[i] == 3;
  }
  for (int s = 0; s < samples; ++s) require(phenotypes.bytes[s] == s % 2, "phenotype as selected");
  for (const Guarded& name : names) {
    require(name.guardsIntact(), "write past a marker name buffer");
    require(std::memchr(name.bytes.data(), '\0', kFieldTextBuffer) != nullptr, "a name is terminated");
  }
  const bool refused = !reader.refuseFirstMissingGenotype();
  require(refused == any_missing, "the missing-genotype refusal agrees with the codes read");
  if (refused) require(reader.error().find(path) != std::string::npos, "a missing-genotype refusal names the file");
  return 0;
}
