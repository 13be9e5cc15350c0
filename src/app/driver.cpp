// TFmMDR's driver: one whole analysis from the data file to the report.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "app/memorybudget.h"
#include "app/options.h"
#include "app/plot.h"
#include "app/results_table.h"
#include "app/text_subset.h"
#include "app/tfmmdr.h"
#include "engine/mdrresult.h"
#include "io/DataCheck.h"
#include "io/FileSafety.h"
#include "io/PlinkReader.h"
#include "io/messages.h"
#include "search_constants.h"
#include "io/Subset.h"
#include "io/VcfReader.h"

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

// A text file's data, read whole, cut to the subset in place: genotypes,
// phenotypes (or those of --pheno) and marker names move to the front.
void cutToSubset(unsigned char* genotypes, unsigned char* phenotypes, char** marker_names, int sample_count,
                 const Subset& subset) {
  compactGenotypes(genotypes, sample_count, subset);
  for (std::size_t k = 0; k < subset.samples.size(); ++k) {
    phenotypes[k] = subset.phenotypes.empty() ? phenotypes[subset.samples[k]] : subset.phenotypes[k];
  }
  for (std::size_t j = 0; j < subset.markers.size(); ++j) {
    if (static_cast<int>(j) != subset.markers[j]) std::strcpy(marker_names[j], marker_names[subset.markers[j]]);
  }
}

// The files a run reads.
std::vector<RunFile> dataFiles(const char* input_file) {
  if (!opt::bfile.empty()) {
    return {{opt::bfile + ".bed", "the PLINK .bed file"},
            {opt::bfile + ".bim", "the PLINK .bim file"},
            {opt::bfile + ".fam", "the PLINK .fam file"}};
  }
  if (!opt::vcf.empty()) return {{opt::vcf, "the VCF file"}};
  if (!opt::bcf.empty()) return {{opt::bcf, "the BCF file"}};
  return {{input_file, "the data file"}};
}

// The files that choose samples, markers and phenotypes (read once).
std::vector<RunFile> selectionFiles() {
  std::vector<RunFile> files;
  for (const auto& [path, role] : {std::pair{opt::pheno, "the phenotype file"},
                                   std::pair{opt::keep, "the --keep file"},
                                   std::pair{opt::remove, "the --remove file"},
                                   std::pair{opt::extract, "the --extract file"},
                                   std::pair{opt::exclude, "the --exclude file"}}) {
    if (!path.empty()) files.push_back({path, role});
  }
  return files;
}

// The files a run writes: the report, the all-results file and one chart per
// order that can have a combination.
std::vector<RunFile> resultFiles(const char* output_file, int init_order, int order,
                                 int marker_count) {
  std::vector<RunFile> files = {{output_file, "the report"}};
  if (opt::save_all) files.push_back({std::string(output_file) + ".all", "the all-results file"});
  for (int k = init_order; opt::plot && k <= std::min(order, marker_count); ++k) {
    files.push_back({cellChartPath(output_file, k), "a chart"});
  }
  if (!opt::table_file.empty()) files.push_back({opt::table_file, "the results table", "--table"});
  return files;
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

TFmMDR::~TFmMDR() { delete all_writer; }

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

int TFmMDR::ReadMDRFile(char* file_name, unsigned char* genotypes, unsigned char* phenotypes,
                        int sample_count, int column_count, int phenotype_column,
                        char** marker_names) {
  MdrReader* reader = new MdrReader;
  int status = kExitOk;
  if (!reader->Open(file_name)) {
    status = reader->outOfMemory() ? kExitNoMemory : kExitBadInput;
  } else {
    // The limit must be known before the header, which fills one name per column.
    reader->SetFieldLimit(column_count);
    reader->ReadHeader(marker_names, phenotype_column - 1);
    for (int row = 0; row < sample_count; ++row) {
      reader->ReadLine(genotypes, phenotypes, phenotype_column - 1, row, sample_count);
    }
    reader->Close();
  }
  delete reader;
  return status;
}

void TFmMDR::MdrMethod(char* input_file, char* output_file, char* /*score_file*/, int order,
                       int init_order, int fold_count, int phenotype_column, int case_value,
                       int testing_idx, int measure_idx, int missing_idx, int tie_idx,
                       double real_param, int top_k, int int_param, int perm,
                       int /*unused_param*/, int /*shuffling_idx*/, int aux_code) {
  int line_count = 0;
  int column_count = 0;
  // --bfile, --vcf, --bcf: the data come from a PLINK file set or a VCF,
  // checked whole here, before the report exists; the text file's steps then
  // see a closed reader. The sample and marker options are settled here too.
  const bool from_plink = !opt::bfile.empty();
  const std::vector<RunFile> data_files = dataFiles(input_file);
  if (const std::string refusal = refuseIrregularInputs(data_files); !refusal.empty()) {
    refuse(kExitBadInput, "%s", refusal.c_str());
    return;
  }
  std::vector<RunFile> inputs = data_files;
  for (const RunFile& file : selectionFiles()) inputs.push_back(file);
  const bool from_vcf = !opt::vcf.empty() || !opt::bcf.empty();
  const bool from_reader = from_plink || from_vcf;
  const SubsetFiles subset_files{opt::pheno, opt::keep, opt::remove, opt::extract, opt::exclude};
  const bool subsetting = subset_files.any();
  Subset subset;
  const auto choose = [&](const SubsetInput& input) {
    if (!chooseSubset(subset_files, input, init_order, subset)) {
      refuse(kExitBadInput, "%s", subset.error.c_str());
      return false;
    }
    std::fputs(subset.warnings.c_str(), stderr);
    return true;
  };
  const std::string reader_option = from_plink ? "--bfile" : !opt::vcf.empty() ? "--vcf" : "--bcf";
  const std::string reader_input = from_plink ? opt::bfile : !opt::vcf.empty() ? opt::vcf : opt::bcf;
  PlinkReader plink;
  VcfReader vcf;
  if (from_plink + !opt::vcf.empty() + !opt::bcf.empty() > 1) {
    refuse(kExitBadInput, "--bfile, --vcf and --bcf each name the whole input: give one of them");
    return;
  }
  if (from_vcf && opt::pheno.empty()) {
    refuse(kExitBadInput, "%s %s needs --pheno FILE: a VCF holds no phenotypes (FID IID value lines, 2 case, 1 control)",
           reader_option.c_str(), reader_input.c_str());
    return;
  }
  if (from_reader) {
    const bool refuse_missing = methodCodeOfWordIndex(missing_idx) == kMethodNone;
    const bool opened = from_plink ? plink.open(opt::bfile, refuse_missing && !subsetting, opt::pheno.empty())
                                   : vcf.open(reader_input);
    if (!opened) {
      refuse(from_plink && plink.outOfMemory() ? kExitNoMemory : kExitBadInput, "%s",
             (from_plink ? plink.error() : vcf.error()).c_str());
      return;
    }
    if (input_file[0] != '\0') {
      printWarning(std::string("--in ") + input_file + " is ignored: " + reader_option + " " + reader_input +
                   " gives the data");
    }
    std::fputs((from_plink ? plink.warnings() : vcf.warnings()).c_str(), stderr);
    if (subsetting) {
      if (!choose(from_plink ? plink.subsetInput() : vcf.subsetInput())) return;
      from_plink ? plink.select(subset) : vcf.select(subset);
      if (refuse_missing && !(from_plink ? plink.refuseFirstMissingGenotype() : vcf.refuseFirstMissingGenotype())) {
        refuse(kExitBadInput, "%s", (from_plink ? plink.error() : vcf.error()).c_str());
        return;
      }
    }
  }
  // A text file is read whole and cut to the subset afterwards; the readers
  // above read only the subset.
  const bool text_subset = subsetting && !from_reader;
  {
    MdrReader reader;
    MdrWriter writer;
    if (!from_reader && !reader.Open(input_file)) {
      if (reader.outOfMemory()) {
        refuse(kExitNoMemory, "out of memory: could not load %s whole to count its lines",
               input_file);
      } else {
        std::puts("Cannot open the text file!!");
      }
      return;
    }
    line_count = from_plink ? plink.sampleCount() + 2 : from_vcf ? vcf.sampleCount() + 2 : reader.GetLineCount();
    reader.Reset();
    column_count = from_plink ? plink.markerCount() + 1 : from_vcf ? vcf.markerCount() + 1 : reader.GetColCount();
    reader.Reset();

    if (init_order < 1 || init_order > order) {
      refuse(kExitBadInput,
             "the order range %d-%d is not valid: the first order must be at least 1 and not "
             "above the highest (for example --order 2 or --order 2-3)",
             init_order, order);
      return;
    }
    DataCheck check = from_reader ? checkedElsewhere()
                                       : checkDataFile(input_file, reader.bytes(),
                                                       reader.byteCount(), phenotype_column);
    if (!check.ok) {
      refuse(kExitBadInput, "%s", check.error.c_str());
      return;
    }
    if (text_subset) {
      if (!choose(textSubsetInput(input_file, reader, line_count - 2, column_count, phenotype_column))) return;
      const TextPlace missing = methodCodeOfWordIndex(missing_idx) == kMethodNone
                                    ? firstMissingInSubset(reader, line_count - 2, column_count, phenotype_column, subset)
                                    : TextPlace{};
      check.first_missing_line = missing.line;
      check.first_missing_column = missing.column;
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
    const int marker_count = text_subset ? static_cast<int>(subset.markers.size()) : column_count - 1;
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
                         opt::threads, from_reader ? 0 : reader.byteCount(), base,
                         from_plink ? plink.bytesHeld() : 0};
    const MemoryNeed need = estimateRunMemory(shape);
    const std::uint64_t available = availableMemoryBytes();
    if (need.total() > available) {
      refuse(kExitNoMemory, "%s",
             memoryRefusal(from_reader ? reader_input : input_file, shape, need, available).c_str());
      return;
    }

    const std::vector<RunFile> outputs =
        resultFiles(output_file, init_order, order, column_count - 1);
    if (const std::string refusal = refuseOutputOverInput(inputs, outputs); !refusal.empty()) {
      refuse(kExitBadInput, "%s", refusal.c_str());
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
      // Created or emptied as ever; its lines go to a file beside it that
      // replaces it when the search is done.
      all_writer->Close();
      if (!openAllResults(all_name)) {
        writer.Close();
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
  // What the reader fills, and what the run uses: less for a text file cut
  // to a subset after reading.
  const int marker_count = column_count - 1;
  const int sample_count = line_count - 2;
  const int run_markers = text_subset ? static_cast<int>(subset.markers.size()) : marker_count;
  const int run_samples = text_subset ? static_cast<int>(subset.samples.size()) : sample_count;
  // Rows beyond the number of combinations can never be filled, so a huge
  // --top does not make the records huge.
  const double reachable = largestCombinationCount(run_markers, init_order, order);
  const int row_capacity = top_k > reachable ? static_cast<int>(reachable) : top_k;
  const int text_bytes = combinationTextCapacity(order, run_markers);

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
    refuse(plink.outOfMemory() ? kExitNoMemory : kExitBadInput, "%s", plink.error().c_str());
  } else if (from_vcf && !vcf.read(genotypes, phenotypes, marker_names)) {
    refuse(kExitBadInput, "%s", vcf.error().c_str());
  } else {
    if (!from_reader) {
      // The counts came from a first load of the same file: a second load
      // that fails must end the run, or it would report on arrays never filled.
      const int read_status = ReadMDRFile(input_file, genotypes, phenotypes, sample_count,
                                          column_count, phenotype_column, marker_names);
      if (read_status == kExitNoMemory) {
        refuse(kExitNoMemory, "out of memory: could not load %s whole a second time to read its values",
               input_file);
      } else if (read_status != kExitOk) {
        refuse(kExitBadInput, "%s: could not be opened a second time to read its values", input_file);
      }
    }
    if (exit_status_ == kExitOk) {
      if (text_subset) cutToSubset(genotypes, phenotypes, marker_names, sample_count, subset);
      try {
        CalcMdrMethodALL(genotypes, phenotypes, scores, run_samples, run_markers + 1,
                         phenotype_column - 1, case_value, measure_idx, tie_idx + 1,
                         methodCodeOfWordIndex(missing_idx), testing_idx, real_param, int_param,
                         perm, search_folds, results);
      } catch (const std::bad_alloc&) {
        refuse(kExitNoMemory,
               "out of memory: could not allocate the search's sample list, bit-planes or "
               "buffers for %d markers x %d samples",
               run_markers, run_samples);
      }
    }
  }

  if (exit_status_ == kExitOk) {
    end_time = std::time(nullptr);
    elapsed = std::difftime(end_time, start_time);
    // Each result file is tried, whatever became of the others.
    commitAllResults();
    WriteResultALL(output_file, elapsed, phenotype_column, case_value, testing_idx, marker_names,
                   results);
    reportSignificance(marker_names, marker_count);
  }
  if (exit_status_ == kExitOk) {
    if (opt::plot) {
      const std::string failure = writeCellCharts(output_file, results, marker_names, genotypes,
                                                  phenotypes, run_samples, run_markers,
                                                  methodCodeOfWordIndex(missing_idx));
      if (!failure.empty()) {
        std::fprintf(stderr, "%s\n", failure.c_str());
        exit_status_ = kExitWriteFailed;
      }
    }
  }
  if (exit_status_ == kExitOk) {
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

void TFmMDR::reportSignificance(char** marker_names, int marker_count) {
  if (counted_samples_ == 0) {
    printWarning("no sample can be counted (every measure of the report is not a number)");
  }
  for (const OrderSignificance& order : orders_)
    std::fputs(notANumberWarning(order, marker_names, significance.active).c_str(), stderr);
  if (opt::table_file.empty()) return;
  TableRun run;
  run.counted = counted_samples_;
  run.cases = counted_cases_;
  run.marker_count = marker_count;
  run.permutations = significance.permutations.count;
  run.seed = significance.permutations.seed;
  run.rank_word = opt::rank;
  std::string error;
  if (!writeResultsTable(opt::table_file, run, orders_, marker_names, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    exit_status_ = kExitWriteFailed;
  }
}
