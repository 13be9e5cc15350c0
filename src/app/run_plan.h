// What the driver settles about a run before anything of it is allocated
// (where the data come from, their counts, the chosen samples and markers),
// and the run's data and records, released together.
#ifndef GORVA_APP_RUN_PLAN_H
#define GORVA_APP_RUN_PLAN_H

#include <string>
#include <vector>

#include "io/file_safety.h"
#include "io/plink_reader.h"
#include "io/subset.h"
#include "io/vcf_reader.h"

class MDRResult;

struct RunPlan {
  // The driver's arguments that its steps share.
  char* input_file = nullptr;
  char* output_file = nullptr;
  int order = 0;
  int init_order = 0;
  int phenotype_column = 1;
  int missing_code = 0;
  int top_k = 0;

  // Where the data come from: a PLINK file set, a VCF or BCF (each checked
  // whole before the report exists), or else the text file.
  bool from_plink = false;
  bool from_vcf = false;
  std::string reader_option;  // "--bfile", "--vcf" or "--bcf"
  std::string reader_input;
  PlinkReader plink;
  VcfReader vcf;
  std::vector<RunFile> inputs;  // every file the run reads
  // The text data file as its checks read it; read a second time for its
  // values, it must still be that file.
  FileStamp input_stamp;

  // Samples and markers chosen by --pheno, --keep, --remove, --extract and
  // --exclude. The readers read only those; a text file is read whole and
  // cut to them afterwards.
  SubsetFiles subset_files;
  Subset subset;
  bool subsetting = false;

  // The fast path's planes are filled straight from the input, without
  // the byte matrix.
  bool planes_road = false;

  int line_count = 0;    // of the data as a text file: samples + 2
  int column_count = 0;  // markers + 1

  // What the step under way holds, for a message when memory runs out.
  std::string holding = "the names of the input files";

  bool fromReader() const { return from_plink || from_vcf; }
  bool textSubset() const { return subsetting && !fromReader(); }
  // What the reader fills, and what the run uses: less for a text file cut
  // to a subset after reading.
  int markerCount() const { return column_count - 1; }
  int sampleCount() const { return line_count - 2; }
  int runMarkers() const { return textSubset() ? static_cast<int>(subset.markers.size()) : markerCount(); }
  int runSamples() const { return textSubset() ? static_cast<int>(subset.samples.size()) : sampleCount(); }
  const std::string& dataName() const { return fromReader() ? reader_input : input_file_name_; }
  void setInputFile(char* name) {
    input_file = name;
    input_file_name_ = name;
  }

 private:
  std::string input_file_name_;
};

// The data of a run and one result record per order; the destructor
// releases whatever was allocated.
struct RunData {
  RunData() = default;
  ~RunData();
  RunData(const RunData&) = delete;
  RunData& operator=(const RunData&) = delete;

  // False when any array could not be had.
  bool allocate(const RunPlan& plan, int record_folds, int testing_idx, int aux_code);

  int order_count = 0;
  int marker_count = 0;
  int sample_count = 0;
  int row_capacity = 0;
  MDRResult** results = nullptr;
  char** marker_names = nullptr;
  unsigned char* genotypes = nullptr;
  unsigned char* phenotypes = nullptr;
  double* scores = nullptr;
};

#endif  // GORVA_APP_RUN_PLAN_H
