// TFmMDR's driver: one whole analysis from the data file to the report.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "app/memorybudget.h"
#include "app/options.h"
#include "app/plot.h"
#include "app/tfmmdr.h"
#include "engine/mdrresult.h"
#include "io/DataCheck.h"
#include "io/PlinkReader.h"
#include "io/messages.h"
#include "search_constants.h"

namespace {

// The largest number of combinations of any order of the run, as a double;
// no order can keep more rows than this.
double largestCombinationCount(int marker_count, int init_order, int order) {
  double largest = 0;
  for (int k = init_order; k <= order; ++k) {
    const double count = combinationsOf(marker_count, k);
    if (count > largest) largest = count;
  }
  return largest;
}

// The verdict on input that its own reader has checked (a PLINK file set).
DataCheck checkedElsewhere() {
  DataCheck check;
  check.ok = true;
  return check;
}

// The header's name of a data column (from 1), for messages.
std::string columnName(const MdrReader& reader, int column) {
  const char* begin = reinterpret_cast<const char*>(reader.bytes());
  const char* end = begin + reader.byteCount();
  const char* line_end = std::find(begin, end, '\n');
  const char* field = begin;
  for (int c = 1; c < column && field < line_end; ++c) field = std::find(field, line_end, '\t') + 1;
  if (field >= line_end) return "?";
  const char* field_end = std::find(field, line_end, '\t');
  if (field_end > field && field_end[-1] == '\r') --field_end;
  return std::string(field, field_end);
}

}  // namespace

void TFmMDR::refuseMissingUnderNone(const char* input_file, const MdrReader& reader,
                                    const DataCheck& check) {
  refuse(kExitBadInput,
         "%s line %d, column %d: marker %s has a missing genotype (code 3), but --missing none "
         "counts no missing data (use --missing available, complete, mc, imputation or em)",
         input_file, check.first_missing_line, check.first_missing_column,
         columnName(reader, check.first_missing_column).c_str());
}

TFmMDR::TFmMDR() : start_time(0), end_time(0), elapsed(0), line_buffer{}, all_writer(new MdrWriter) {}

TFmMDR::~TFmMDR() {
  if (all_writer_open_) all_writer->Close();
  delete all_writer;
}

void TFmMDR::refuse(int status, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  char* message = nullptr;
  const int length = vasprintf(&message, format, args);
  va_end(args);
  printRefusal(length >= 0 ? message : format);
  std::free(message);
  exit_status_ = status;
}

void TFmMDR::ReadMDRFile(char* file_name, unsigned char* genotypes, unsigned char* phenotypes,
                         int sample_count, int column_count, int phenotype_column,
                         char** marker_names) {
  MdrReader* reader = new MdrReader;
  if (reader->Open(file_name)) {
    // The limit must be known before the header, which fills one name per column.
    reader->SetFieldLimit(column_count);
    reader->ReadHeader(marker_names, phenotype_column - 1);
    for (int row = 0; row < sample_count; ++row) {
      reader->ReadLine(genotypes, phenotypes, phenotype_column - 1, row, sample_count);
    }
    reader->Close();
  }
  delete reader;
}

void TFmMDR::MdrMethod(char* input_file, char* output_file, char* /*score_file*/, int order,
                       int init_order, int fold_count, int phenotype_column, int case_value,
                       int testing_idx, int measure_idx, int missing_idx, int tie_idx,
                       double real_param, int top_k, int int_param, int perm,
                       int /*unused_param*/, int /*shuffling_idx*/, int aux_code) {
  int line_count = 0;
  int column_count = 0;
  // --bfile: the data come from a PLINK file set, checked whole here, before
  // the report exists; the text file's steps then see a closed reader.
  const bool from_plink = !opt::bfile.empty();
  PlinkReader plink;
  if (from_plink) {
    if (!plink.open(opt::bfile, methodCodeOfWordIndex(missing_idx) == kMethodNone)) {
      refuse(kExitBadInput, "%s", plink.error().c_str());
      return;
    }
    if (input_file[0] != '\0') {
      printWarning(std::string("--in ") + input_file + " is ignored: --bfile " + opt::bfile +
                   " gives the data");
    }
    std::fputs(plink.warnings().c_str(), stderr);
  }
  {
    MdrReader reader;
    MdrWriter writer;
    if (!from_plink && !reader.Open(input_file)) {
      std::puts("Cannot open the text file!!");
      return;
    }
    line_count = from_plink ? plink.sampleCount() + 2 : reader.GetLineCount();
    reader.Reset();
    column_count = from_plink ? plink.markerCount() + 1 : reader.GetColCount();
    reader.Reset();

    if (init_order < 1 || init_order > order) {
      refuse(kExitBadInput,
             "the order range %d-%d is not valid: the first order must be at least 1 and not "
             "above the highest (for example --order 2 or --order 2-3)",
             init_order, order);
      return;
    }
    const DataCheck check = from_plink ? checkedElsewhere()
                                       : checkDataFile(input_file, reader.bytes(),
                                                       reader.byteCount(), phenotype_column);
    if (!check.ok) {
      refuse(kExitBadInput, "%s", check.error.c_str());
      return;
    }
    if (methodCodeOfWordIndex(missing_idx) == kMethodNone && check.first_missing_line > 0) {
      refuseMissingUnderNone(input_file, reader, check);
      return;
    }
    if (!check.warning.empty()) std::fputs(check.warning.c_str(), stderr);
    const double cells = static_cast<double>(column_count - 1) * (line_count - 2);
    if (cells > kMaxIndexedCount) {
      refuse(kExitBadInput,
             "%s: %d markers x %d samples are %.0f genotypes; this version indexes at most "
             "2147483647 (split the markers into several files)",
             input_file, column_count - 1, line_count - 2, cells);
      return;
    }
    // Count tables are indexed by int; an order with combinations beyond that
    // must be refused, not counted past the table's end.
    const int base = genotypeLevels(methodCodeOfWordIndex(missing_idx));
    const int highest_countable = highestCountableOrder(base);
    const int marker_count = column_count - 1;
    if (std::min(order, marker_count) > highest_countable && init_order <= marker_count) {
      refuse(kExitBadInput,
             "order %d needs count tables of 2 x %d^%d cells; this version counts orders up to %d%s",
             std::min(order, marker_count), base, std::min(order, marker_count),
             highest_countable, base == 4 ? " under --missing mc" : "");
      return;
    }
    // Everything the run will hold at its peak must fit before the report
    // exists: a run killed half-way would leave nothing but a broken report.
    const RunShape shape{column_count - 1, line_count - 2, init_order, order, top_k,
                         opt::threads, from_plink ? 0 : reader.byteCount(), base};
    const MemoryNeed need = estimateRunMemory(shape);
    const std::uint64_t available = availableMemoryBytes();
    if (need.total() > available) {
      refuse(kExitNoMemory, "%s",
             memoryRefusal(from_plink ? opt::bfile : input_file, shape, need, available).c_str());
      return;
    }

    if (!writer.Save(output_file)) {
      std::puts("Cannot save the text file!!");
      return;
    }
    if (opt::save_all) {
      const std::string all_name = std::string(output_file) + ".all";
      if (!all_writer->Save(all_name.c_str())) {
        writer.Close();
        std::puts("Cannot save the text file!!");
        return;
      }
      all_writer_open_ = true;
    }
    reader.Close();
    writer.Close();
  }

  start_time = std::time(nullptr);
  const int record_folds = opt::is_partialcv ? (fold_count > 10 ? 10 : fold_count) : fold_count;
  const int search_folds = opt::is_partialcv ? 10 : fold_count;

  const int order_count = order - init_order + 1;
  const int marker_count = column_count - 1;
  const int sample_count = line_count - 2;
  // Rows beyond the number of combinations can never be filled, so a huge
  // --top does not make the records huge.
  const double reachable = largestCombinationCount(marker_count, init_order, order);
  const int row_capacity = top_k > reachable ? static_cast<int>(reachable) : top_k;
  const int text_bytes = combinationTextCapacity(order, marker_count);

  MDRResult** results = new (std::nothrow) MDRResult*[order_count]();
  char** marker_names = new (std::nothrow) char*[marker_count > 0 ? marker_count : 1]();
  const long genotype_bytes = static_cast<long>(marker_count) * sample_count;
  unsigned char* genotypes = new (std::nothrow) unsigned char[genotype_bytes > 0 ? genotype_bytes : 1]();
  unsigned char* phenotypes = new (std::nothrow) unsigned char[sample_count > 0 ? sample_count : 1]();
  double* scores = new (std::nothrow) double[sample_count > 0 ? sample_count : 1]();

  bool ready = results && marker_names && genotypes && phenotypes && scores;
  for (int i = 0; ready && i < order_count; ++i) {
    results[i] = new (std::nothrow) MDRResult(order, init_order, record_folds, row_capacity,
                                              row_capacity, testing_idx, aux_code, text_bytes);
    ready = results[i] != nullptr && results[i]->allocated();
  }
  for (int m = 0; ready && m < marker_count; ++m) {
    marker_names[m] = new (std::nothrow) char[kCombinationTextBytes]();
    ready = marker_names[m] != nullptr;
  }

  if (!ready) {
    refuse(kExitNoMemory,
           "out of memory: could not allocate the data of %d markers x %d samples "
           "(%ld bytes of genotypes) and %d result records of %d rows",
           marker_count, sample_count, genotype_bytes, order_count, row_capacity);
  } else if (from_plink && !plink.read(genotypes, phenotypes, marker_names)) {
    refuse(kExitBadInput, "%s", plink.error().c_str());
  } else {
    if (!from_plink) {
      ReadMDRFile(input_file, genotypes, phenotypes, sample_count, column_count,
                  phenotype_column, marker_names);
    }
    CalcMdrMethodALL(genotypes, phenotypes, scores, sample_count, column_count,
                     phenotype_column - 1, case_value, measure_idx, tie_idx + 1,
                     methodCodeOfWordIndex(missing_idx),
                     testing_idx, real_param, int_param, perm, search_folds, results);
  }

  if (exit_status_ == kExitOk) {
    end_time = std::time(nullptr);
    elapsed = std::difftime(end_time, start_time);
    WriteResultALL(output_file, elapsed, phenotype_column, case_value, testing_idx, marker_names,
                   results);
    if (opt::plot) {
      writeCellCharts(output_file, results, marker_names, genotypes, phenotypes, sample_count,
                      marker_count, methodCodeOfWordIndex(missing_idx));
    }
    std::snprintf(line_buffer, sizeof line_buffer,
                  "GORVA Analysis finished!!\nTotal excuting time is %.2f second\n", elapsed);
    std::fputs(line_buffer, stdout);
  }

  for (int i = 0; results && i < order_count; ++i) delete results[i];
  delete[] results;
  for (int m = 0; marker_names && m < marker_count; ++m) delete[] marker_names[m];
  delete[] marker_names;
  delete[] genotypes;
  delete[] phenotypes;
  delete[] scores;
}
