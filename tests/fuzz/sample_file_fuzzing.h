// The one harness of the fuzz targets for the files that choose samples and
// markers (--pheno, --keep/--extract lists, --strata, --covar): the input is
// written as that one file and chooseSubset reads it against a fixed input
// of six samples and five markers, as a run does.
//
// Invariants, beyond "no crash":
// - a refusal names the file (and is one line);
// - an accepted subset holds samples and markers in ascending order inside
//   the input, phenotypes 0 or 1 (one per kept sample, or none), one row of
//   covariates per kept sample, finite, and a stratum per kept sample within
//   the strata it names.
#ifndef GORVA_TESTS_FUZZ_SAMPLE_FILE_FUZZING_H
#define GORVA_TESTS_FUZZ_SAMPLE_FILE_FUZZING_H

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "io/subset.h"

namespace fuzz {

enum class SampleFileKind { kPheno, kKeep, kRemove, kExtract, kExclude, kStrata, kCovar };

inline SubsetInput sampleFileInput() {
  SubsetInput input;
  input.name = "input.bed";
  input.marker_file = "input.bim";
  input.match_family = true;
  for (int s = 0; s < 6; ++s) input.samples.push_back({"F" + std::to_string(s % 3), "S" + std::to_string(s)});
  input.status = {1, 0, 1, 0, kNoStatus, 1};
  for (int m = 0; m < 5; ++m) input.markers.push_back("rs" + std::to_string(m));
  return input;
}

inline int fuzzSampleFile(SampleFileKind kind, const std::uint8_t* data, std::size_t size) {
  const char* path = scratchFile("gorva-fuzz-sample-file");
  writeScratch(path, data, size);

  static const SubsetInput input = sampleFileInput();
  SubsetFiles files;
  switch (kind) {
    case SampleFileKind::kPheno: files.pheno = path; break;
    case SampleFileKind::kKeep: files.keep = path; break;
    case SampleFileKind::kRemove: files.remove = path; break;
    case SampleFileKind::kExtract: files.extract = path; break;
    case SampleFileKind::kExclude: files.exclude = path; break;
    case SampleFileKind::kStrata: files.strata = path; break;
    case SampleFileKind::kCovar: files.covar = path; break;
  }
  Subset subset;
  if (!chooseSubset(files, input, 1, subset)) {
    require(subset.error.find(path) != std::string::npos || subset.error.find(input.name) != std::string::npos,
            "a refusal names the file or the input");
    require(subset.error.find('\n') == std::string::npos, "a refusal is one line");
    return 0;
  }
  const auto samples = static_cast<int>(subset.samples.size());
  require(samples > 0 && !subset.markers.empty(), "an accepted subset keeps samples and markers");
  for (int i = 0; i < samples; ++i) {
    require(subset.samples[i] >= 0 && subset.samples[i] < static_cast<int>(input.samples.size()), "sample inside");
    require(i == 0 || subset.samples[i - 1] < subset.samples[i], "samples ascending");
  }
  for (std::size_t i = 0; i < subset.markers.size(); ++i) {
    require(subset.markers[i] >= 0 && subset.markers[i] < static_cast<int>(input.markers.size()), "marker inside");
    require(i == 0 || subset.markers[i - 1] < subset.markers[i], "markers ascending");
  }
  require(subset.phenotypes.empty() || static_cast<int>(subset.phenotypes.size()) == samples,
          "one phenotype per kept sample");
  for (const unsigned char phenotype : subset.phenotypes) require(phenotype <= 1, "phenotype 0 or 1");
  require(subset.covariates.size() == subset.covariate_names.size() * static_cast<std::size_t>(samples),
          "one row of covariates per kept sample");
  for (const double value : subset.covariates) require(std::isfinite(value), "covariates finite");
  if (!subset.strata.empty()) {
    require(static_cast<int>(subset.strata.size()) == samples, "one stratum per kept sample");
    for (const int stratum : subset.strata)
      require(stratum >= 0 && stratum < static_cast<int>(subset.stratum_names.size()), "stratum named");
  }
  return 0;
}

}  // namespace fuzz

#endif  // GORVA_TESTS_FUZZ_SAMPLE_FILE_FUZZING_H
