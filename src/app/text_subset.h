// The text data file seen by the sample and marker options: its samples are
// named by their data line number (1 for the line after the header), its
// markers by the header.
#ifndef GORVA_APP_TEXT_SUBSET_H
#define GORVA_APP_TEXT_SUBSET_H

#include "io/FileIO.h"
#include "io/subset.h"

// The samples and markers of an open, checked data file (phenotype_column
// from 1); leaves the reader at its first byte.
SubsetInput textSubsetInput(const char* input_file, MdrReader& reader, int sample_count, int column_count,
                            int phenotype_column);

// The line and column (from 1) of the first missing genotype (code 3) of a
// sample and marker of the subset; 0 and 0 when there is none. Leaves the
// reader at its first byte.
struct TextPlace {
  int line = 0;
  int column = 0;
};
TextPlace firstMissingInSubset(MdrReader& reader, int sample_count, int column_count, int phenotype_column,
                               const Subset& subset);

#endif  // GORVA_APP_TEXT_SUBSET_H
