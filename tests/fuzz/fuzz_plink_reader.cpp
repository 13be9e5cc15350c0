// Fuzz target: a PLINK file set (.fam, .bim, .bed) through PlinkReader, as
// the driver uses it: open() to check and count, then read() into arrays of
// exactly the counted size with guard bytes behind each.
//
// Input layout: one flag byte (bit 0: refuse missing genotypes, as under
// --missing none), the .fam length and the .bim length as two bytes each
// (little-endian, cut to what is left), the .fam, the .bim, and the rest is
// the .bed.
//
// Invariants, beyond "no crash":
// - a refusal names one of the three files;
// - an accepted set has samples and markers, and a .bed of exactly
//   3 + .bim markers x ceil(.fam lines / 4) bytes starting with 6c 1b 01,
//   and takes each of its markers from a distinct .bim line, in order;
// - read() writes inside its arrays only, every genotype is the 2-bit code
//   of the .bed decoded independently here, phenotypes are 0 or 1, names
//   are terminated and equal the reader's ids, and with the flag set no
//   genotype is missing.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "io/plink_reader.h"

namespace {

using fuzz::fail;
using fuzz::require;

// Plain buffers, not std::strings: the exit handler that removes the files
// runs after static destructors.
char scratch_dir[64];

char scratch_file[96];

void removeScratch() {
  for (const char* extension : {".fam", ".bim", ".bed"}) {
    std::snprintf(scratch_file, sizeof scratch_file, "%s/set%s", scratch_dir, extension);
    unlink(scratch_file);
  }
  rmdir(scratch_dir);
}

std::string scratchPrefix() {
  static const bool created = [] {
    fuzz::scratchPattern(scratch_dir, sizeof scratch_dir, "gorva-fuzz-plink");
    if (mkdtemp(scratch_dir) == nullptr) fail("cannot create a scratch directory");
    std::atexit(removeScratch);
    return true;
  }();
  (void)created;
  return std::string(scratch_dir) + "/set";
}

std::size_t takeLength(const std::uint8_t* data, std::size_t& offset, std::size_t size) {
  if (offset + 2 > size) {
    offset = size;
    return 0;
  }
  const std::size_t length = data[offset] | (static_cast<std::size_t>(data[offset + 1]) << 8);
  offset += 2;
  return length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool refuse_missing = (data[0] & 1) != 0;
  std::size_t offset = 1;
  std::size_t fam_length = takeLength(data, offset, size);
  std::size_t bim_length = takeLength(data, offset, size);
  fam_length = std::min(fam_length, size - offset);
  const std::uint8_t* fam = data + offset;
  offset += fam_length;
  bim_length = std::min(bim_length, size - offset);
  const std::uint8_t* bim = data + offset;
  offset += bim_length;
  const std::uint8_t* bed = data + offset;
  const std::size_t bed_length = size - offset;

  const std::string prefix = scratchPrefix();
  fuzz::writeScratch((prefix + ".fam").c_str(), fam, fam_length);
  fuzz::writeScratch((prefix + ".bim").c_str(), bim, bim_length);
  fuzz::writeScratch((prefix + ".bed").c_str(), bed, bed_length);

  PlinkReader reader;
  if (!reader.open(prefix, refuse_missing)) {
    require(reader.error().find(prefix + ".") != std::string::npos, "a refusal names a file");
    return 0;
  }
  const int samples = reader.sampleCount();
  const int markers = reader.markerCount();
  const int fam_samples = reader.famSampleCount();
  const int bim_markers = reader.bimMarkerCount();
  require(samples > 0 && markers > 0, "an accepted set has samples and markers");
  require(samples <= fam_samples, "more samples taken than the .fam holds");
  require(markers <= bim_markers, "more markers taken than the .bim holds");
  for (int m = 0; m < markers; ++m) {
    require(reader.bimMarkerOfRow(m) >= 0 && reader.bimMarkerOfRow(m) < bim_markers, "row from outside the .bim");
    if (m > 0) require(reader.bimMarkerOfRow(m) > reader.bimMarkerOfRow(m - 1), "rows out of .bim order");
  }
  const std::size_t per_marker = (static_cast<std::size_t>(fam_samples) + 3) / 4;
  require(bed_length == 3 + per_marker * static_cast<std::size_t>(bim_markers), ".bed size accepted");
  require(bed[0] == 0x6c && bed[1] == 0x1b && bed[2] == 0x01, ".bed magic accepted");

  fuzz::GuardedReadArrays arrays(static_cast<std::size_t>(markers), static_cast<std::size_t>(samples));
  const fuzz::Guarded& genotypes = arrays.genotypes;
  require(reader.read(arrays.genotypes.bytes.data(), arrays.phenotypes.bytes.data(), arrays.name_slots.data()),
          "read after a successful open");
  arrays.requireInside();
  for (int s = 0; s < samples; ++s) require(arrays.phenotypes.bytes[s] <= 1, "phenotype not 0 or 1");
  for (int m = 0; m < markers; ++m) {
    require(reader.markerName(reader.bimMarkerOfRow(m)) == arrays.name(m), "marker name differs from the reader's id");
  }

  // Which .fam positions take part is the reader's business; every kept
  // sample must be some position whose code, decoded here, matches in every
  // marker, and the kept positions come in .fam order.
  int position = 0;
  for (int k = 0; k < samples; ++k, ++position) {
    bool matched = false;
    for (; position < fam_samples && !matched; ++position) {
      matched = true;
      for (int m = 0; m < markers && matched; ++m) {
        const std::size_t bim_marker = static_cast<std::size_t>(reader.bimMarkerOfRow(m));
        const unsigned char packed = bed[3 + bim_marker * per_marker + position / 4];
        const unsigned char code = kBedCodeToGenotype[(packed >> ((position % 4) * 2)) & 3];
        matched = genotypes.bytes[static_cast<std::size_t>(m) * samples + k] == code;
      }
    }
    require(matched, "a sample's genotypes match no .fam position in order");
    --position;
  }
  for (std::size_t i = 0; i < genotypes.size; ++i) {
    require(genotypes.bytes[i] <= 3, "genotype code above 3");
    if (refuse_missing) require(genotypes.bytes[i] != 3, "missing genotype under refusal");
  }
  return 0;
}
