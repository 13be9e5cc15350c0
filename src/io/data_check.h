// data_check.h: the input checker that runs between counting a data file and
// creating the report, so that a file the reader cannot take safely, or whose
// values would be silently misread as genotypes, is refused with a message
// naming the line and the column.
#ifndef GORVA_IO_DATACHECK_H
#define GORVA_IO_DATACHECK_H

#include <functional>
#include <string>

struct DataCheck {
  // False when the file must be refused; `error` then says why, without a
  // program prefix: "data.txt line 9, column 4: ...".
  bool ok = false;
  std::string error;
  // Zero or more complete lines, each starting with "gorva: warning: " and
  // ending with a line feed; empty when there is nothing to warn about.
  std::string warning;
  // The reader's counts: 1 + the number of line ends, and the header's
  // fields. Filled as far as the scan got, also on refusal.
  int line_count = 0;
  int column_count = 0;
  // Where the first missing genotype (code 3) stands, 0 when there is none;
  // the column counts from 1 like the message columns.
  int first_missing_line = 0;
  int first_missing_column = 0;
};

// Scans the loaded bytes of a data file once, with the reader's own field
// scanner (io/field_scanner.h), and judges them. `file_name` is used only in messages.
// `phenotype_column` counts from 1. `bytes` may be null when `size` is 0.
//
// Refused: an empty file; a file with a NUL byte (compressed, binary or
// UTF-16 data); a file without any line end; a header without the
// phenotype column; a marker name or data field (spaces removed) longer than
// 254 characters; a data line with more fields than the header; a genotype
// field whose stored byte is not 0, 1, 2 or 3.
// Warned about, each once with its count and first place: data lines with
// fewer fields than the header; fields that are not numbers (read as 0);
// fields read otherwise than written ("2.7" as 2, "258" as 2); a last line
// without a line end, which is not read as a sample.
// `scanned`, when given, hears how far the scan has got from time to time
// (a pointer into `bytes`), so that a mapped file's pages can be given back.
// With `phenotypes_replaced` (--pheno gives them) the phenotype column is
// read as nothing, and nothing is said about its fields.
// True when the bytes begin as a VCF does ("##fileformat=VCF"): such a file
// is refused at line 1 as a VCF, not at its #CHROM line for its field count.
bool startsAsVcf(const unsigned char* bytes, long size);
// True when the bytes begin with a PLINK .bed's magic bytes.
bool startsAsBed(const unsigned char* bytes, long size);

using ScannedUpTo = std::function<void(const unsigned char* done)>;
DataCheck checkDataFile(const std::string& file_name, const unsigned char* bytes, long size,
                        int phenotype_column, const ScannedUpTo& scanned = {}, bool phenotypes_replaced = false);

#endif  // GORVA_IO_DATACHECK_H
