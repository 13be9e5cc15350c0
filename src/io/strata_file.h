// strata_file.h: PLINK's cluster files (FID IID STRATUM per line), which put
// each sample of a run into the population stratum its measures are
// conditioned on.
#ifndef GORVA_IO_STRATA_FILE_H
#define GORVA_IO_STRATA_FILE_H

#include <string>
#include <vector>

#include "io/sample_ids.h"

struct StrataFile {
  std::vector<int> of_sample;       // per input sample: its stratum, or -1 when the file does not name it
  std::vector<std::string> names;   // each stratum once, as the file first names it
  std::vector<int> first_line;      // the line that first names each stratum
};

// Reads `file` against the input's samples (matched as --keep matches them).
// False, with `error` naming the file, line and field, when the file cannot
// be read, a line has fewer than 3 fields, a sample is named twice, or no
// line names a sample of the input. Names the input lacks are counted in
// one warning line added to `warnings`.
bool readStrataFile(const std::string& file, const SubsetInput& input, StrataFile& out, std::string& warnings,
                    std::string& error);

#endif  // GORVA_IO_STRATA_FILE_H
