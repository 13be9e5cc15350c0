// Test helper: a genotype table written as a VCF and a phenotype file, from
// the VCF format description alone, independently of the program's reader.
#ifndef GORVA_TESTS_SUPPORT_VCF_WRITER_H
#define GORVA_TESTS_SUPPORT_VCF_WRITER_H

#include <string>

#include "support/plink_writer.h"

// A VCF 4.2 text: samples id0, id1, ... (the IIDs writePlinkFiles gives),
// one biallelic record per marker on chromosome 1 with the marker name as
// ID, GT as copies of ALT (table codes 0, 1, 2; 3 is "./.").
std::string vcfFromTable(const GenotypeTable& table);

// "FID IID value" lines with the table's .fam phenotypes, after a header.
std::string phenoFromTable(const GenotypeTable& table);

// Runs bcftools with `args` in `dir`; false when bcftools is not installed
// or fails.
bool runBcftools(const std::string& args, const std::string& dir);

#endif  // GORVA_TESTS_SUPPORT_VCF_WRITER_H
