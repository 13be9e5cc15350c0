// plink_reader.h: PLINK 1 binary input (PREFIX.bed, PREFIX.bim, PREFIX.fam)
// read into the same in-memory layout as the text data file, so the search
// and the report cannot tell where their data came from.
//
// open() reads the two small text files whole and checks the .bed's header
// and size without reading a genotype; read() then decodes the .bed one
// marker at a time. A run can thus refuse a bad file set before it creates
// its report, and holds only one packed marker beside the genotype matrix.
#ifndef GORVA_IO_PLINKREADER_H
#define GORVA_IO_PLINKREADER_H

#include <functional>
#include <string>
#include <vector>

#include "io/file_safety.h"
#include "io/subset.h"

// The three magic bytes of a SNP-major .bed; a third byte 0 marks the old
// individual-major layout, which is refused.
constexpr unsigned char kBedMagic[3] = {0x6c, 0x1b, 0x01};

// Genotype byte of a 2-bit .bed code (SNP-major, lowest bits first):
// 00 homozygous A1 -> 2 copies of A1, 01 missing -> 3, 10 heterozygous -> 1,
// 11 homozygous A2 -> 0.
constexpr unsigned char kBedCodeToGenotype[4] = {2, 3, 1, 0};

// Who names the prefix, so that a member that cannot be opened is told in
// the caller's own words: the program's --bfile or the Python module's
// read_plink.
enum class PlinkCaller { kProgram, kPython };

// "cannot open FILE", what the prefix names, and the set the caller more
// likely meant: PREFIX.pgen is PLINK 2's format, and a prefix ending in
// .bed, .bim or .fam names the set without that extension.
std::string plinkUnopenedMessage(const std::string& file, PlinkCaller caller);

class PlinkReader {
 public:
  // False when the file set must be refused; error() then says why, naming
  // the file and the line (no program prefix). Reads PREFIX.fam and
  // PREFIX.bim whole and checks PREFIX.bed's magic bytes and its size
  // against 3 + markers x ceil(samples / 4).
  //
  // Refused: a file that cannot be opened; a .fam or .bim line whose column
  // count (fields separated by blanks or tabs) is not 6; a SNP id longer
  // than 254 characters; a .fam without any sample with a case or control
  // phenotype; a .bim without markers; a .bed
  // with other magic bytes or another size. Blank lines are skipped.
  // Warned about (warnings()): samples with a missing phenotype, which are
  // left out; SNP ids that occur more than once; markers with a negative
  // base-pair position, which are left out as PLINK leaves them out (a .bim
  // whose markers are all such is refused).
  //
  // With refuse_missing_genotypes (a run whose missing-data method counts
  // no missing genotype) the .bed is read once more here and its first
  // missing genotype among the samples that take part is refused.
  //
  // With fam_phenotypes false (the phenotypes come from elsewhere) column 6
  // decides nothing: every sample takes part until select() chooses.
  bool open(const std::string& prefix, bool refuse_missing_genotypes = false,
            bool fam_phenotypes = true);

  // Every sample (FID, IID, case status of column 6) and marker of the file
  // set, for choosing a subset.
  SubsetInput subsetInput() const;
  // From now on only the subset's samples, with its phenotypes, and its
  // markers take part, in read() and in refuseFirstMissingGenotype().
  void select(const Subset& subset);
  // False, with error() naming marker and sample, at the first missing
  // genotype of a sample and marker that take part.
  bool refuseFirstMissingGenotype();

  const std::string& error() const { return error_; }
  // True when open() or read() failed for want of memory (error() names what).
  bool outOfMemory() const { return out_of_memory_; }
  // Bytes the reader holds at its peak beside the caller's arrays, at most:
  // the text of the .fam or the .bim with the lists built from it.
  double bytesHeld() const;
  // Zero or more whole lines "gorva: warning: ...\n".
  const std::string& warnings() const { return warnings_; }

  // Samples that take part: case (2) or control (1) in the .fam.
  int sampleCount() const { return static_cast<int>(kept_samples_.size()); }
  int markerCount() const { return static_cast<int>(selected_markers_.size()); }
  // CHR:BP of each marker that takes part, in the run's order.
  std::vector<std::string> selectedPositions() const { return chosenEntries(marker_positions_, selected_markers_); }
  // Every sample line of the .fam, the left-out ones included.
  int famSampleCount() const { return fam_sample_count_; }
  int missingPhenotypeCount() const { return fam_sample_count_ - sampleCount(); }
  // The name of marker m of the .bim (from 0), whether it takes part or not.
  const std::string& markerName(int m) const { return marker_names_[m]; }
  // Every marker line of the .bim, the left-out ones included, and the .bim
  // marker that is row `row` of the run.
  int bimMarkerCount() const { return static_cast<int>(marker_names_.size()); }
  int bimMarkerOfRow(int row) const { return selected_markers_[row]; }
  std::string bedName() const { return prefix_ + ".bed"; }

  // Fills the caller's arrays for the samples that take part, in .fam
  // order: genotypes marker-major (markerCount() x sampleCount() bytes,
  // codes 0/1/2 = copies of A1, 3 missing), phenotypes 1 for a case and 0
  // for a control (sampleCount() bytes), marker_names (markerCount()
  // buffers of 255 characters). Only after a successful open(). False, with
  // error() set, when the .bed cannot be read to its end any more.
  bool read(unsigned char* genotypes, unsigned char* phenotypes, char** marker_names);

  // The same in parts, for a caller that never holds every genotype: the
  // phenotypes and names, then the genotypes of markers first_row ..
  // end_row - 1 (those that take part, from 0) into (end_row - first_row) x
  // sampleCount() bytes.
  void readLabels(unsigned char* phenotypes, char** marker_names) const;
  bool readRows(unsigned char* genotypes, int first_row, int end_row);
  // Every marker in order, block_markers at a time into `genotypes`, each
  // block handed to filled(first, end) as it is complete.
  using BlockFilled = std::function<void(int first, int end)>;
  bool readInBlocks(unsigned char* genotypes, int block_markers, const BlockFilled& filled);

 private:
  bool refuse(const std::string& message);
  bool refuseOutOfMemory(const std::string& what);
  bool openFileSet(const std::string& prefix, bool refuse_missing_genotypes, bool fam_phenotypes);
  bool decodeInto(unsigned char* genotypes, unsigned char* phenotypes, char** marker_names);
  bool decodeRows(unsigned char* genotypes, int first_row, int end_row);
  bool readFam(bool fam_phenotypes);
  bool readBim();
  bool checkBed();
  void checkTheLastByte();
  // Calls decode(row, .bim marker, packed bytes) for every marker that takes
  // part, row counting them from 0 (rows first_row .. end_row - 1; -1: to
  // the last).
  template <typename Decode>
  bool forEachPackedMarker(Decode decode, int first_row = 0, int end_row = -1);

  std::string prefix_;
  std::string error_;
  std::string warnings_;
  int fam_sample_count_ = 0;
  bool out_of_memory_ = false;
  double fam_bytes_ = 0;
  double bim_bytes_ = 0;
  std::vector<SampleId> fam_ids_;           // every .fam sample
  FileStamp bed_stamp_;  // the .bed as its checks found it
  std::vector<int> fam_status_;             // its column 6: 1 case, 0 control, kNoStatus
  std::vector<int> fam_lines_;              // its .fam line number
  std::vector<int> selected_markers_;       // .bim positions of the markers that take part
  std::vector<bool> left_out_markers_;      // per .bim marker: a negative position left it out (empty: none)
  std::vector<std::string> marker_positions_;  // CHR:BP of each marker read, as its name
  std::vector<int> kept_samples_;           // .fam positions of the samples that take part
  std::vector<int> kept_lines_;             // their .fam line numbers
  std::vector<int> marker_lines_;           // .bim line number of each marker
  std::vector<unsigned char> case_status_;  // per kept sample: 1 case, 0 control
  std::vector<std::string> marker_names_;
};

#endif  // GORVA_IO_PLINKREADER_H
