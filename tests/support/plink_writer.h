// Test helper: a small genotype table written both as the program's text
// format and as PLINK binary files, so that runs on the two can be compared.
// The encoding here is written from the PLINK format description on its
// own, independently of the program's reader.
#ifndef GORVA_TESTS_SUPPORT_PLINK_WRITER_H
#define GORVA_TESTS_SUPPORT_PLINK_WRITER_H

#include <string>
#include <vector>

struct GenotypeTable {
  std::vector<std::string> markers;
  // Column 6 of each sample's .fam line: "2" case, "1" control, anything
  // else a missing phenotype.
  std::vector<std::string> fam_phenotypes;
  // genotypes[sample][marker]: copies of A1 (0, 1, 2), 3 for missing.
  std::vector<std::vector<int>> genotypes;
};

// Reads a text data set (LF line ends, phenotype in column 1, 1 = case);
// text phenotype 1 becomes "2", any other "1".
GenotypeTable tableFromText(const std::string& text);

// The text data set of the samples with a case or control phenotype, in
// order (case 1, control 0), header "Class" and the marker names.
std::string textFromTable(const GenotypeTable& table);

// Writes PREFIX.bed (SNP-major), PREFIX.bim and PREFIX.fam.
void writePlinkFiles(const std::string& prefix, const GenotypeTable& table);

// The packed .bed bytes of one marker (without the magic bytes).
std::string packMarker(const std::vector<int>& codes);

#endif  // GORVA_TESTS_SUPPORT_PLINK_WRITER_H
