// TFmMDR, the analysis engine: one object serves one run of the program.
#ifndef GORVA_APP_TFMMDR_H
#define GORVA_APP_TFMMDR_H

#include <ctime>
#include <string>
#include <vector>

#include "app/planes_road.h"
#include "engine/rank/search_context.h"
#include "engine/run_settings.h"
#include "io/FileIO.h"
#include "io/exit_status.h"
#include "io/output_file.h"
#include "io/output_file_set.h"

class BitPlanes;
class MDRResult;
struct RunData;
struct RunPlan;
struct SubsetInput;
struct DataCheck;

constexpr int kLineBufferBytes = 20480;

// How far past the marker count the highest order of a classic run may go,
// each such order an empty block of the report.
constexpr int kMostOrdersAboveMarkers = 100;

class TFmMDR {
 public:
  TFmMDR();
  ~TFmMDR();
  TFmMDR(const TFmMDR&) = delete;
  TFmMDR& operator=(const TFmMDR&) = delete;

  // One whole analysis: checks, reading, search, report, closing message.
  void MdrMethod(char* input_file, char* output_file, char* score_file, int order,
                 int init_order, int fold_count, int phenotype_column, int case_value,
                 int testing_idx, int measure_idx, int missing_idx, int tie_idx, double real_param,
                 int top_k, int int_param, int perm, int unused_param, int shuffling_idx,
                 int aux_code);

  // Fills the data of a file whose counts are known (phenotype_column from 1);
  // names are buffers of kFieldTextBuffer characters. kExitOk, or
  // kExitNoMemory / kExitBadInput when the file could not be loaded again
  // (nothing is filled then).
  static int ReadMDRFile(char* file_name, unsigned char* genotypes, unsigned char* phenotypes,
                          int sample_count, int column_count, int phenotype_column,
                          char** marker_names);

  // The exhaustive search over every order; fills the records.
  void CalcMdrMethodALL(unsigned char* genotypes, unsigned char* phenotypes, double* scores,
                        int sample_count, int column_count, int phenotype_column_0,
                        int case_value, int measure_idx, int option_code, int missing_code,
                        int testing_idx, double real_param, int int_param, int perm,
                        int fold_count, MDRResult** results);

  // The same on a prepared context (its phenotypes recoded, its samples
  // listed), counted on `planes` when given (codes read straight into them,
  // with no byte matrix), otherwise on planes built here or the plain path.
  void searchOrders(SearchContext& context, const BitPlanes* planes, int measure_idx, int option_code,
                    MDRResult** results);

  // The search of a run on the planes road: the samples listed and the
  // planes filled by `pass` a block of markers at a time (two passes
  // under "complete"), then searchOrders(). The phenotypes are the run's.
  PlanesRoadStatus searchFromBlocks(const BlockPass& pass, const SearchInput& input, int measure_idx,
                                    int option_code, MDRResult** results);

  // The same from a text file, read by lines: the phenotypes first, then
  // the genotypes a block of lines at a time into the planes.
  // The input's counts are the text's.
  PlanesRoadStatus searchFromTextRows(const TextRows& text, char** marker_names, const SearchInput& input,
                                      int measure_idx, int option_code, MDRResult** results);

  // The integer between the position-th and the next comma of a combination text.
  int GetComb(char* text, int position);

  // Writes the whole report file: beside its name, renamed into place when
  // complete; a failure ends the run with kExitWriteFailed.
  void WriteResultALL(char* output_file, double elapsed_seconds, int phenotype_column,
                      int case_value, int testing_idx, char** marker_names,
                      MDRResult** results);

  // One "%d,%s,%f,%f" line per combination to the all-results file.
  void saveAllResult(double* measures, int* combinations, int last_position, int count,
                     int tag);

  // kExitOk unless the run refused its input, ran out of memory or could not
  // write a result file.
  int exitStatus() const { return exit_status_; }

  // Set before MdrMethod (threads, counting path, progress, significance,
  // who searches each order); the driver adds the rest from its options.
  RunSettings settings;

  time_t start_time;
  time_t end_time;
  double elapsed;
  char line_buffer[kLineBufferBytes];
  MdrWriter* all_writer;
  // With --strata: the strata's names, in order of first appearance (each
  // sample's stratum is in the settings); empty otherwise.
  std::vector<std::string> stratum_names;

 private:
  // Prints "gorva: <message>" on the error stream and records the status.
  void refuse(int status, const char* format, ...) __attribute__((format(printf, 3, 4)));

  void refuseMissingUnderNone(const char* input_file, const MdrReader& reader,
                              const DataCheck& check);

  // The driver's steps, in the order it takes them; each returns false
  // after a refusal or a fixed message, and the run then ends.
  // Every step before the report exists; an allocation that fails there
  // ends the run with kExitNoMemory.
  bool prepareRun(RunPlan& plan);
  // Where the data come from, and the chosen samples and markers.
  bool chooseDataSource(RunPlan& plan);
  bool settleSubset(RunPlan& plan, const SubsetInput& input);
  // The text file's first load and its counts ("Cannot open the text file!!").
  bool countData(RunPlan& plan, MdrReader& reader);
  // Order range, data check, indexing limits and memory, before any file exists.
  bool checkData(RunPlan& plan, MdrReader& reader);
  // Orders above the marker count: refused with an extension option or far
  // past the markers, else a warning (their blocks are empty).
  bool checkOrdersAgainstMarkers(const RunPlan& plan);
  // The report and the all-results file ("Cannot save the text file!!").
  bool createResultFiles(const RunPlan& plan, MdrWriter& writer);
  // False (refused) when the text data file is no longer the file its checks read.
  bool inputUnchanged(const RunPlan& plan);
  void refuseChangedInput(const RunPlan& plan);
  // The data file could not be opened for its values after its checks had
  // read it (`error`: errno, 0 when unknown).
  void refuseReread(const RunPlan& plan, int error);
  // The second reading, into the allocated arrays.
  bool readData(RunPlan& plan, RunData& data);
  // The second reading straight into the planes, and the search, for a run
  // on the planes road (false after a refusal).
  bool searchOnPlanes(RunPlan& plan, RunData& data, int case_value, int measure_idx, int option_code);
  PlanesRoadStatus fillAndSearch(RunPlan& plan, RunData& data, int case_value, int measure_idx, int option_code);
  // The report, the all-results file, the table and the charts.
  void writeResults(const RunPlan& plan, const RunData& data, int case_value, int testing_idx);

  // The run log's lines: the settings and inputs once the checks are
  // passed, the counted samples and each order's tests after the search;
  // then the log itself, when the run writes one.
  void logSettings(const RunPlan& plan);
  void logOutcome(const RunPlan& plan);
  void writeLog(const char* output_file, double seconds);

  // Warns of measures that are not numbers and writes the results table.
  void reportSignificance(char** marker_names, int marker_count);

  // CHR:BP of each marker of the run, for the table; empty for text input.
  std::vector<std::string> marker_positions_;
  // Filled by the search: the counted samples and one entry per order.
  RunOutcome outcome_;
  // The covariates of the run's samples (from the covariate file), which
  // the significance request points to.
  CovariateModel covariates_;
  // Prints the file's "gorva: FILE: cannot write: REASON" and records the status.
  void failWrite(const OutputFile& file);
  // Opens the all-results file's content beside it (all_writer has created it).
  bool openAllResults(const std::string& path);
  // Finishes the all-results file's content; false after a failed write.
  bool finishAllResults();

  // Every result file of the run; none replaces its final name before all
  // are written, and then all do.
  OutputFileSet results_;
  bool all_writer_open_ = false;  // the search feeds the all-results file
  OutputFile* all_results_ = nullptr;
  // A run with options beyond the classic twelve opens its report here when
  // the result files are checked, and the old report stays as it was until
  // this one replaces it whole.
  OutputFile* report_ = nullptr;
  OutputFile* table_ = nullptr;  // opened with the report, when asked for
  int exit_status_ = kExitOk;
  int reread_error_ = 0;  // why the planes road could not open the text file again
};

#endif  // GORVA_APP_TFMMDR_H
