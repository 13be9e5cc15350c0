// Every file a run reads, as its options name them: the checks that keep a
// run from writing into what it reads take them from here.
#ifndef GORVA_APP_RUN_INPUTS_H
#define GORVA_APP_RUN_INPUTS_H

#include <string>
#include <vector>

#include "io/file_safety.h"

// The data: the PLINK file set, the VCF or BCF, else the text file.
std::vector<RunFile> dataFiles(const std::string& input_file);

// The files that choose samples, markers and phenotypes (read once).
std::vector<RunFile> selectionFiles();

// Files named as inputs but not read: a --in beside --bfile, --vcf or
// --bcf, a repeated input option's later values (warnings say so) and the
// --score file. They are guarded as inputs all the same, so that no result
// file and no console replaces them.
std::vector<RunFile> ignoredDataFiles(const std::string& input_file);

// The data, the selection files and an ignored --in, the data first.
std::vector<RunFile> runInputFiles(const std::string& input_file);

#endif  // GORVA_APP_RUN_INPUTS_H
