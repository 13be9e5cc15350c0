// vcf_reader.h: VCF (plain, gzip or bgzip) and BCF input through htslib, read
// into the same in-memory layout as the text data file and PLINK files.
//
// Like PlinkReader, open() reads the whole file once to check it and to
// learn its samples and markers, before a run creates its report; read()
// then goes through it again and fills the caller's arrays. A VCF holds no
// phenotypes: they come from a --pheno file through select().
#ifndef GORVA_IO_VCFREADER_H
#define GORVA_IO_VCFREADER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "io/file_safety.h"
#include "io/subset.h"

// The genotype byte of one sample's GT: copies of the ALT allele (0/0 -> 0,
// 0/1 and 1/0 -> 1, 1/1 -> 2, phased or not; haploid 0 -> 0, 1 -> 2); 3 when
// any allele is missing or the call holds more than two. `alleles` holds
// htslib's encoded values, `ploidy` of them at most.
unsigned char genotypeFromGt(const std::int32_t* alleles, int ploidy);

class VcfReader {
 public:
  // False when the file must be refused; error() then says why, naming the
  // file and the line of the record (for BCF, which has no lines, the
  // record's number and CHROM:POS). Refused: a file htslib cannot open or
  // whose header it cannot read; a header naming no sample or one sample
  // twice; a malformed record (wrong number of fields, a GT allele the record
  // does not have, a name longer than 254 characters); a compressed file cut
  // short; a file without any biallelic record with GT. Warned about once
  // (warnings()): multi-allelic records and records without GT, which are
  // skipped; calls of more than two alleles, read as missing; records whose
  // ALT equals REF, read as written.
  bool open(const std::string& path);

  // The bytes open() may hold for the samples' and records' names; past
  // them it refuses, with outOfMemory(), rather than be killed half-way.
  void limitMemory(std::uint64_t bytes) { memory_limit_ = bytes; }
  bool outOfMemory() const { return out_of_memory_; }

  const std::string& error() const { return error_; }
  const std::string& warnings() const { return warnings_; }

  int sampleCount() const { return static_cast<int>(kept_samples_.size()); }
  int markerCount() const { return static_cast<int>(selected_markers_.size()); }
  // CHR:BP of each marker that takes part, in the run's order.
  std::vector<std::string> selectedPositions() const { return chosenEntries(marker_positions_, selected_markers_); }

  // Every sample (its VCF name as IID) and marker (ID, or CHROM:POS when
  // the ID is "."); no phenotypes.
  SubsetInput subsetInput() const;
  // From now on only the subset's samples, with its phenotypes, and its
  // markers take part.
  void select(const Subset& subset);
  // False, with error() naming record and sample, at the first missing
  // genotype of a sample and marker that take part.
  bool refuseFirstMissingGenotype();

  // Fills the caller's arrays like PlinkReader::read (genotypes marker-major,
  // copies of ALT, 3 missing; phenotypes 1 case, 0 control; names in buffers
  // of 255 characters). Only after open() and select(). False, with error()
  // set, when the file no longer reads as it did.
  bool read(unsigned char* genotypes, unsigned char* phenotypes, char** marker_names);

  // The same in parts, for a caller that never holds every genotype: the
  // phenotypes and names, then the genotypes in one pass, block_markers
  // markers at a time into `genotypes` (block_markers x sampleCount()
  // bytes), calling filled(first, end) for each block as it is complete.
  using BlockFilled = std::function<void(int first, int end)>;
  void readLabels(unsigned char* phenotypes, char** marker_names) const;
  bool readInBlocks(unsigned char* genotypes, int block_markers, const BlockFilled& filled);

 private:
  // One usable record: its marker number, GT values (ploidy per sample) and
  // where it stands, for messages.
  using RecordVisit = std::function<bool(int marker, const std::int32_t* gt, int ploidy, const std::string& place)>;
  bool forEachRecord(const RecordVisit& visit, bool first_pass);
  bool refuse(const std::string& message);
  // Counts a name's bytes against the limit; false (refused) past it.
  bool holdName(std::uint64_t characters, const std::string& place);

  std::string path_;
  FileStamp stamp_;  // the file as its checking pass found it
  std::string error_;
  std::string warnings_;
  std::vector<SampleId> samples_;
  std::vector<std::string> marker_names_;
  std::vector<int> kept_samples_;
  std::vector<unsigned char> phenotypes_;
  std::vector<int> selected_markers_;
  std::vector<std::string> marker_positions_;  // CHR:BP of each marker read, as its name
  std::uint64_t memory_limit_ = UINT64_MAX;
  std::uint64_t names_bytes_ = 0;
  bool out_of_memory_ = false;
};

#endif  // GORVA_IO_VCFREADER_H
