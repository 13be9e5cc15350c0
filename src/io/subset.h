// subset.h: PLINK's sample and marker files (--pheno, --keep, --remove,
// --extract, --exclude) turned into the samples and markers a run keeps.
//
// Every input describes itself the same way (SubsetInput); chooseSubset
// reads the files named and answers with positions into that description,
// in the input's own order, so a run on the subset equals a run on a file
// holding only the chosen samples and markers.
#ifndef GORVA_IO_SUBSET_H
#define GORVA_IO_SUBSET_H

#include <string>
#include <vector>

#include "io/sample_ids.h"

struct SubsetFiles {
  std::string pheno;
  std::string keep;
  std::string remove;
  std::string extract;
  std::string exclude;
  std::string covar;                     // samples without every covariate are left out
  std::vector<std::string> covar_names;  // empty: every column of the covariate file
  std::string strata;                    // samples without a stratum are left out

  bool any() const {
    return !pheno.empty() || !keep.empty() || !remove.empty() || !extract.empty() || !exclude.empty() ||
           !covar.empty() || !strata.empty();
  }
};

struct Subset {
  std::vector<int> samples;  // positions of the kept samples, ascending
  // Per kept sample 1 case, 0 control; empty when the input's own
  // phenotypes stand (no --pheno and no status in the input).
  std::vector<unsigned char> phenotypes;
  std::vector<int> markers;  // positions of the kept markers, ascending
  // With a covariate file: its chosen names, and their values per kept
  // sample (sample-major).
  std::vector<std::string> covariate_names;
  std::vector<double> covariates;
  // With --strata: per kept sample its stratum, numbered in order of first
  // appearance among the kept samples, and each stratum's name.
  std::vector<int> strata;
  std::vector<std::string> stratum_names;
  std::string warnings;      // zero or more lines "gorva: warning: ...\n"
  std::string error;         // why the subset is refused (no program prefix)
};

// Reads the files named in `files` and chooses the samples and markers of a
// run. False, with out.error naming the file, line and field, when a file
// cannot be read or is malformed (a line with too few fields, a phenotype
// that is not 2, 1, 0, -9 or NA, a sample named twice in --pheno), when
// --pheno matches no sample, --keep names no sample, the covariate file is
// malformed or matches no sample, no sample is left, or
// fewer markers than `lowest_order` are left; also when --strata names no
// sample or a sample twice, or a stratum keeps no sample (samples without a
// stratum are left out with one warning).
bool chooseSubset(const SubsetFiles& files, const SubsetInput& input, int lowest_order, Subset& out);

// Moves the kept samples of the kept markers of a marker-major matrix
// (stored_samples bytes per marker) to its front, in order: afterwards it is
// the markers.size() x samples.size() matrix of the subset.
void compactGenotypes(unsigned char* genotypes, long stored_samples, const Subset& subset);

// The entries of a per-marker (or per-sample) list at the chosen positions,
// in the order chosen.
inline std::vector<std::string> chosenEntries(const std::vector<std::string>& all, const std::vector<int>& chosen) {
  std::vector<std::string> entries;
  entries.reserve(chosen.size());
  for (const int position : chosen) entries.push_back(all[position]);
  return entries;
}

#endif  // GORVA_IO_SUBSET_H
