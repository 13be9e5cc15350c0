#include "python/data_readers.h"

#include <cstdio>
#include <cstring>

#include "io/FileIO.h"
#include "io/data_check.h"
#include "io/exit_status.h"
#include "io/file_safety.h"
#include "io/plink_reader.h"
#include "io/subset.h"
#include "io/vcf_reader.h"
#include "python/search_errors.h"
#include "core/search_constants.h"

namespace {

// Name buffers as the readers fill them, then as strings.
class NameBuffers {
 public:
  explicit NameBuffers(int count)
      : text_(static_cast<std::size_t>(count) * kFieldTextBuffer, '\0'), pointers_(count) {
    for (int i = 0; i < count; ++i) pointers_[i] = &text_[static_cast<std::size_t>(i) * kFieldTextBuffer];
  }
  char** pointers() { return pointers_.data(); }
  std::vector<std::string> names() const {
    return std::vector<std::string>(pointers_.begin(), pointers_.end());
  }

 private:
  std::vector<char> text_;
  std::vector<char*> pointers_;
};

void refuseTooManyGenotypes(const std::string& name, int markers, int samples) {
  const double cells = static_cast<double>(markers) * samples;
  if (cells <= kMaxIndexedCount) return;
  char count[32];
  std::snprintf(count, sizeof count, "%.0f", cells);
  throw BadSearchInput(name + ": " + std::to_string(markers) + " markers x " +
                       std::to_string(samples) + " samples are " + count +
                       " genotypes; this version indexes at most 2147483647 (split the markers "
                       "into several files)");
}

void sizeArrays(LoadedData& data, int markers, int samples) {
  data.marker_count = markers;
  data.sample_count = samples;
  data.genotypes.assign(static_cast<std::size_t>(markers) * samples, 0);
  data.phenotype.assign(samples, 0);
}

// A PLINK file set or a VCF: opened and checked, cut to the samples with
// a phenotype (from `pheno` when given), then read.
template <typename Reader>
LoadedData readWithSubset(Reader& reader, const std::string& pheno) {
  Subset subset;
  SubsetFiles files;
  files.pheno = pheno;
  const SubsetInput input = reader.subsetInput();
  if (!chooseSubset(files, input, 1, subset)) throw BadSearchInput(subset.error);
  reader.select(subset);
  LoadedData data;
  data.warnings = reader.warnings() + subset.warnings;
  sizeArrays(data, reader.markerCount(), reader.sampleCount());
  NameBuffers names(reader.markerCount());
  if (!reader.read(data.genotypes.data(), data.phenotype.data(), names.pointers()))
    throw DataFileError(reader.error());
  data.markers = names.names();
  for (const int s : subset.samples) {
    data.samples.push_back(input.samples[s].iid);
    data.families.push_back(input.samples[s].fid);
  }
  return data;
}

// A FIFO would block the open below until something writes to it, and a
// device never ends: the program's check of its inputs, before any open.
void refuseIrregular(const std::string& path, const char* role, const char* argument, bool read_twice = false) {
  const std::string refusal = refuseIrregularInputs({RunFile{path, role, argument, read_twice}});
  if (!refusal.empty()) throw BadSearchInput(refusal);
}

bool opens(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

void refuseUnreadable(const std::string& path) {
  if (!opens(path)) throw DataFileError("cannot open " + path);
}

}  // namespace

LoadedData readTextData(const std::string& path) {
  refuseIrregular(path, "the data file", "path", true);
  MdrReader reader;
  if (!reader.Open(path.c_str())) throw DataFileError("cannot open " + path);
  const int line_count = reader.GetLineCount();
  reader.Reset();
  const int column_count = reader.GetColCount();
  reader.Reset();
  if (startsAsVcf(reader.bytes(), reader.byteCount())) {
    throw BadSearchInput(path + " line 1: the file is a VCF, not the tab-separated table read_text reads: "
                         "read it with read_vcf(path, pheno), pheno naming its phenotype file");
  }
  if (startsAsBed(reader.bytes(), reader.byteCount())) {
    throw BadSearchInput(path + " line 1: the file is a PLINK .bed (it starts with a .bed's magic bytes), not the "
                         "tab-separated table read_text reads: read it with read_plink(prefix), which reads "
                         "prefix.bed, prefix.bim and prefix.fam");
  }
  constexpr int kPhenotypeColumn = 1;
  const DataCheck check = checkDataFile(path, reader.bytes(), reader.byteCount(), kPhenotypeColumn);
  if (!check.ok) throw BadSearchInput(check.error);
  reader.Close();
  const int markers = column_count - 1;
  const int samples = line_count - 2;
  refuseTooManyGenotypes(path, markers, samples);

  LoadedData data;
  data.warnings = check.warning;
  sizeArrays(data, markers, samples);
  NameBuffers names(markers);
  int open_error = 0;
  const int status = readCountedDataFile(path.c_str(), data.genotypes.data(), data.phenotype.data(), samples,
                                        column_count, kPhenotypeColumn, names.pointers(), &open_error);
  if (status == kExitNoMemory) throw SearchOutOfMemory("out of memory: could not load " + path + " to read its values");
  // Out of descriptors (a low ulimit -n), say: the reason tells what to fix.
  if (status != kExitOk)
    throw DataFileError(path + ": could not be opened a second time to read its values" +
                        (open_error != 0 ? std::string(": ") + std::strerror(open_error) : std::string()));
  constexpr unsigned char kCaseValue = 1;
  for (unsigned char& value : data.phenotype) value = value == kCaseValue ? 1 : 0;
  data.markers = names.names();
  // Named as the program's sample files (--keep, --covar) name them: by
  // data line number.
  for (int s = 0; s < samples; ++s) {
    data.samples.push_back(std::to_string(s + 1));
    data.families.push_back("F" + std::to_string(s + 1));
  }
  return data;
}

LoadedData readPlinkData(const std::string& prefix, const std::string& pheno) {
  for (const char* extension : {".bed", ".bim", ".fam"}) {
    refuseIrregular(prefix + extension, "a PLINK file", "prefix", true);
    if (!opens(prefix + extension)) throw DataFileError(plinkUnopenedMessage(prefix + extension, PlinkCaller::kPython));
  }
  if (!pheno.empty()) {
    refuseIrregular(pheno, "the phenotype file", "pheno");
    refuseUnreadable(pheno);
  }
  PlinkReader plink;
  if (!plink.open(prefix, false, pheno.empty())) throw BadSearchInput(plink.error());
  return readWithSubset(plink, pheno);
}

LoadedData readVcfData(const std::string& path, const std::string& pheno) {
  refuseIrregular(path, "the VCF or BCF", "path", true);
  refuseIrregular(pheno, "the phenotype file", "pheno");
  refuseUnreadable(path);
  refuseUnreadable(pheno);
  VcfReader vcf;
  if (!vcf.open(path)) throw BadSearchInput(vcf.error());
  return readWithSubset(vcf, pheno);
}
