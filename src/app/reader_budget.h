// What the readers hold before the run's own estimate can be made: the
// selection files (--pheno, --keep, ...) are read whole and indexed by line,
// so their need follows from their size and line count, measured by a scan
// that allocates nothing; a VCF's names are held as its records are read.
#ifndef GORVA_APP_READER_BUDGET_H
#define GORVA_APP_READER_BUDGET_H

#include <cstdint>
#include <string>
#include <vector>

#include "io/file_safety.h"

// Bytes held per line of a selection file beside its text: the line's key
// as a string, its node in a hash map and its place in the lists.
constexpr std::uint64_t kBytesPerSelectionLine = 224;

// Bytes held per VCF record beside its name's characters, and per sample.
constexpr std::uint64_t kBytesPerVcfRecord = 64;
constexpr std::uint64_t kBytesPerVcfSample = 96;

// The bytes that reading `file` whole and indexing its lines holds; 0 when
// it cannot be opened (its reader then says so).
std::uint64_t selectionFileNeed(const std::string& file);

// "" when every file fits into `available` together, else the refusal (no
// program prefix) naming the files, their need and the memory available.
std::string refuseSelectionFilesOverBudget(const std::vector<RunFile>& files, std::uint64_t available);

#endif  // GORVA_APP_READER_BUDGET_H
