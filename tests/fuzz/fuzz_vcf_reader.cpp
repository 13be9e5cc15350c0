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
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "io/vcf_reader.h"

using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // htslib tells a plain VCF by its content; the name only has to end in .vcf.
  const std::string path = fuzz::scratchFile("gorva-fuzz-vcf", ".vcf");
  fuzz::writeScratch(path.c_str(), data, size);

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

  fuzz::GuardedReadArrays arrays(static_cast<std::size_t>(markers), static_cast<std::size_t>(samples));
  require(reader.read(arrays.genotypes.bytes.data(), arrays.phenotypes.bytes.data(), arrays.name_slots.data()),
          "read after an open");
  arrays.requireInside();
  bool any_missing = false;
  for (std::size_t i = 0; i < arrays.genotypes.size; ++i) {
    require(arrays.genotypes.bytes[i] <= 3, "genotype code above 3");
    any_missing = any_missing || arrays.genotypes.bytes[i] == 3;
  }
  for (int s = 0; s < samples; ++s) require(arrays.phenotypes.bytes[s] == s % 2, "phenotype as selected");
  const bool refused = !reader.refuseFirstMissingGenotype();
  require(refused == any_missing, "the missing-genotype refusal agrees with the codes read");
  if (refused) require(reader.error().find(path) != std::string::npos, "a missing-genotype refusal names the file");
  return 0;
}
