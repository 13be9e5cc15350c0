// The program's own readers (the text data file with its checks, a PLINK
// file set) filling plain arrays for the Python module.
#ifndef GORVA_PYTHON_DATA_READERS_H
#define GORVA_PYTHON_DATA_READERS_H

#include <string>
#include <vector>

struct LoadedData {
  int sample_count = 0;
  int marker_count = 0;
  std::vector<unsigned char> genotypes;  // marker-major, m * sample_count + s, codes 0-3
  std::vector<unsigned char> phenotype;  // 1 case, 0 control
  std::vector<std::string> markers;
  std::vector<std::string> samples;   // IIDs
  std::vector<std::string> families;  // FIDs, as a covariate or strata file names them
  std::string warnings;  // whole lines "gorva: warning: ...\n", as the program prints them
};

// A tab-separated data file as the program reads it with its defaults: the
// phenotype in the first column, 1 a case and any other value a control.
// Samples are named by data line number, 1, 2, ... (FID F1, F2, ...), as
// the program's sample files name them. Throws
// DataFileError when the file cannot be opened, BadSearchInput when the
// data check refuses it.
LoadedData readTextData(const std::string& path);

// PREFIX.bed, PREFIX.bim and PREFIX.fam as --bfile reads them: the samples
// with a case or control phenotype, named by their .fam sample id. A
// phenotype file `pheno` (FID IID value, as --pheno reads it; empty: none)
// replaces the .fam's phenotypes.
LoadedData readPlinkData(const std::string& prefix, const std::string& pheno);

// A VCF or BCF (plain or compressed) as --vcf reads it, with the phenotypes
// of the file `pheno`; samples named by their VCF names.
LoadedData readVcfData(const std::string& path, const std::string& pheno);

#endif  // GORVA_PYTHON_DATA_READERS_H
