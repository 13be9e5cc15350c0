// TFmMDR's driver: one whole analysis from the data file to the report.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "engine/run_memory.h"
#include "io/system_memory.h"
#include "app/options.h"
#include "app/planes_road.h"
#include "app/plot.h"
#include "app/qq_plot.h"
#include "app/reader_budget.h"
#include "app/result_files.h"
#include "app/run_inputs.h"
#include "app/run_log.h"
#include "app/results_table.h"
#include "engine/significance/order_warnings.h"
#include "app/run_plan.h"
#include "app/text_subset.h"
#include "app/tfmmdr.h"
#include "engine/mdrresult.h"
#include "engine/rank/em_tables.h"
#include "io/covariate_file.h"
#include "io/data_check.h"
#include "io/file_safety.h"
#include "io/messages.h"
#include "io/option_values.h"
#include "io/plink_reader.h"
#include "io/subset.h"
#include "io/vcf_reader.h"
#include "core/search_constants.h"

namespace {

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

}  // namespace

void TFmMDR::refuseMissingUnderNone(const char* input_file, const MdrReader& reader,
                                    const DataCheck& check) {
  refuse(kExitBadInput,
         "%s line %d, column %d: marker %s has a missing genotype (code 3), but %s", input_file, check.first_missing_line, check.first_missing_column,
         columnName(reader, check.first_missing_column).c_str(),
         missingUnderNoneAdvice(OptionSpelling::kCommandLine).c_str());
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
  return readCountedDataFile(file_name, genotypes, phenotypes, sample_count, column_count, phenotype_column,
                             marker_names);
}

bool TFmMDR::settleSubset(RunPlan& plan, const SubsetInput& input) {
  plan.holding = "the samples and markers chosen from " + input.name + " by";
  for (const RunFile& file : selectionFiles()) plan.holding += " " + file.option + " " + file.path;
  if (!chooseSubset(plan.subset_files, input, plan.init_order, plan.subset)) {
    // What left samples out so far (covariates missing everywhere, say) explains the refusal.
    printWarningLines(plan.subset.warnings);
    refuse(kExitBadInput, "%s", plan.subset.error.c_str());
    return false;
  }
  printWarningLines(plan.subset.warnings);
  settings.sample_strata = plan.subset.strata;
  stratum_names = plan.subset.stratum_names;
  settings.stratum_count = static_cast<int>(stratum_names.size());
  return true;
}

bool TFmMDR::chooseDataSource(RunPlan& plan) {
  plan.inputs = dataFiles(plan.input_file);
  // "--in -" names a file called -; when there is none, the count pass
  // gives the fixed message for a data file that cannot be opened.
  if (plan.inputs.front().read_twice && plan.inputs.front().path == "-") plan.inputs.front().path = "./-";
  for (const RunFile& file : selectionFiles()) plan.inputs.push_back(file);
  if (const std::string refusal = refuseIrregularInputs(plan.inputs); !refusal.empty()) {
    refuse(kExitBadInput, "%s", refusal.c_str());
    return false;
  }
  // Checked as a result's or a console's victim only: it is never read.
  for (const RunFile& file : ignoredDataFiles(plan.input_file)) plan.inputs.push_back(file);
  plan.from_plink = !opt::bfile.empty();
  plan.from_vcf = !opt::vcf.empty() || !opt::bcf.empty();
  plan.subset_files = SubsetFiles{opt::pheno,   opt::keep,  opt::remove, opt::extract, opt::exclude,
                                  opt::covar, covariateNames(opt::covar_name), opt::strata};
  plan.subsetting = plan.subset_files.any();
  plan.reader_option = plan.from_plink ? "--bfile" : !opt::vcf.empty() ? "--vcf" : "--bcf";
  plan.reader_input = plan.from_plink ? opt::bfile : !opt::vcf.empty() ? opt::vcf : opt::bcf;
  if (plan.from_plink + !opt::vcf.empty() + !opt::bcf.empty() > 1) {
    refuse(kExitBadInput, "--bfile, --vcf and --bcf each name the whole input: give one of them");
    return false;
  }
  if (plan.from_vcf && opt::pheno.empty()) {
    refuse(kExitBadInput, "%s %s needs --pheno FILE: a VCF holds no phenotypes (FID IID value lines, 2 case, 1 control)",
           plan.reader_option.c_str(), plan.reader_input.c_str());
    return false;
  }
  const std::uint64_t available = availableMemoryBytes();
  if (const std::string refusal = refuseSelectionFilesOverBudget(selectionFiles(), available); !refusal.empty()) {
    refuse(kExitNoMemory, "%s", refusal.c_str());
    return false;
  }
  if (!plan.fromReader()) return true;
  // A PLINK file set or a VCF is checked whole here, before the report
  // exists; the text file's steps then see a closed reader.
  plan.holding = "the samples and markers of " + plan.reader_option + " " + plan.reader_input;
  plan.vcf.limitMemory(available);
  const bool refuse_missing = plan.missing_code == kMethodNone;
  const bool opened = plan.from_plink
                          ? plan.plink.open(opt::bfile, refuse_missing && !plan.subsetting, opt::pheno.empty())
                          : plan.vcf.open(plan.reader_input);
  const auto readerError = [&plan]() { return plan.from_plink ? plan.plink.error() : plan.vcf.error(); };
  if (!opened) {
    refuse(plan.plink.outOfMemory() || plan.vcf.outOfMemory() ? kExitNoMemory : kExitBadInput, "%s",
           readerError().c_str());
    return false;
  }
  if (plan.input_file[0] != '\0') {
    printWarning(std::string("--in ") + plan.input_file + " is ignored: " + plan.reader_option + " " +
                 plan.reader_input + " gives the data");
  }
  printWarningLines(plan.from_plink ? plan.plink.warnings() : plan.vcf.warnings());
  if (!plan.subsetting) return true;
  if (!settleSubset(plan, plan.from_plink ? plan.plink.subsetInput() : plan.vcf.subsetInput())) return false;
  plan.from_plink ? plan.plink.select(plan.subset) : plan.vcf.select(plan.subset);
  if (refuse_missing &&
      !(plan.from_plink ? plan.plink.refuseFirstMissingGenotype() : plan.vcf.refuseFirstMissingGenotype())) {
    refuse(kExitBadInput, "%s", readerError().c_str());
    return false;
  }
  return true;
}

bool TFmMDR::prepareRun(RunPlan& plan) {
  // The readers run before the run's own estimate can be made; an
  // allocation that fails in them ends the run like one in the search.
  try {
    if (!chooseDataSource(plan)) return false;
    // The checks in their fixed order: the data file, then everything the
    // run needs of it, then the report and the all-results file.
    MdrReader reader;
    MdrWriter writer;
    if (!countData(plan, reader) || !checkData(plan, reader) || !createResultFiles(plan, writer)) return false;
    reader.Close();
    writer.Close();
    return true;
  } catch (const std::bad_alloc&) {
    refuse(kExitNoMemory, "out of memory: could not hold %s", plan.holding.c_str());
    return false;
  }
}

bool TFmMDR::countData(RunPlan& plan, MdrReader& reader) {
  plan.holding = std::string("the lines and columns of ") + plan.dataName();
  // Taken before the open: a file replaced after it then differs from it at
  // the second reading, whichever of the two files the checks read.
  if (!plan.fromReader()) plan.input_stamp = stampOf(plan.input_file);
  if (!plan.fromReader() && !reader.Open(plan.input_file)) {
    const int open_error = errno;
    if (reader.outOfMemory()) {
      refuse(kExitNoMemory, "out of memory: could not load %s whole to count its lines", plan.input_file);
    } else {
      std::puts("Cannot open the text file!!");
      // Such a run says why and ends with a status that says it failed.
      if (opt::extensions_given) refuse(kExitBadInput, "%s: cannot open: %s", plan.input_file, std::strerror(open_error));
    }
    return false;
  }
  plan.line_count = plan.from_plink ? plan.plink.sampleCount() + 2
                    : plan.from_vcf ? plan.vcf.sampleCount() + 2
                                    : reader.GetLineCount();
  reader.Reset();
  plan.column_count = plan.from_plink ? plan.plink.markerCount() + 1
                      : plan.from_vcf ? plan.vcf.markerCount() + 1
                                      : reader.GetColCount();
  reader.Reset();
  return true;
}

bool TFmMDR::checkData(RunPlan& plan, MdrReader& reader) {
  if (plan.init_order < 1 || plan.init_order > plan.order) {
    refuse(kExitBadInput,
           "the order range %d-%d is not valid: the first order must be at least 1 and not "
           "above the highest (for example --order 2 or --order 2-3)",
           plan.init_order, plan.order);
    return false;
  }
  DataCheck check = plan.fromReader() ? checkedElsewhere()
                                      : checkDataFile(plan.input_file, reader.bytes(), reader.byteCount(),
                                                      plan.phenotype_column, [&reader](const unsigned char* done) {
                                                        reader.releaseScanned(done);
                                                      }, !opt::pheno.empty());
  if (!check.ok) {
    refuse(kExitBadInput, "%s", check.error.c_str());
    return false;
  }
  if (plan.textSubset()) {
    if (!settleSubset(plan, textSubsetInput(plan.input_file, reader, plan.sampleCount(), plan.column_count,
                                            plan.phenotype_column)))
      return false;
    const TextPlace missing =
        plan.missing_code == kMethodNone
            ? firstMissingInSubset(reader, plan.sampleCount(), plan.column_count, plan.phenotype_column,
                                   plan.subset)
            : TextPlace{};
    check.first_missing_line = missing.line;
    check.first_missing_column = missing.column;
  }
  if (plan.missing_code == kMethodNone && check.first_missing_line > 0) {
    refuseMissingUnderNone(plan.input_file, reader, check);
    return false;
  }
  printWarningLines(check.warning);
  // Runs that need no byte matrix fill the planes straight from the input.
  plan.planes_road = planesRoadServes({settings.search.use_planes, plan.missing_code, opt::plot, !plan.fromReader(),
                                       plan.subsetting, std::min(plan.order, plan.runMarkers())});
  const double cells = static_cast<double>(plan.markerCount()) * plan.sampleCount();
  if (cells > kMaxIndexedCount && !plan.planes_road) {
    refuse(kExitBadInput, "%s: %d markers x %d samples are %.0f genotypes; %s",
           plan.fromReader() ? (plan.reader_option + " " + plan.reader_input).c_str() : plan.input_file,
           plan.markerCount(), plan.sampleCount(), cells, planesRoadRefusal(!plan.fromReader()));
    return false;
  }
  // Count tables are indexed by int; an order with combinations beyond that
  // must be refused, not counted past the table's end.
  const int base = genotypeLevels(plan.missing_code);
  const int highest_countable = highestCountableOrder(base);
  const int marker_count = plan.runMarkers();
  if (std::min(plan.order, marker_count) > highest_countable && plan.init_order <= marker_count) {
    refuse(kExitBadInput,
           "order %d needs count tables of 2 x %d^%d cells; this version counts orders up to %d%s",
           std::min(plan.order, marker_count), base, std::min(plan.order, marker_count), highest_countable,
           base == 4 ? " under --missing mc" : "");
    return false;
  }
  // A text file that stops after its header has no sample, and often no
  // marker: say that, not what follows from it (orders above 0 markers).
  if (opt::extensions_given && !plan.fromReader() && plan.sampleCount() <= 0) {
    refuse(kExitBadInput, "%s: the file has no data line after its header, so there is no sample to analyse",
           plan.input_file);
    return false;
  }
  if (!checkOrdersAgainstMarkers(plan)) return false;
  // Everything the run will hold at its peak must fit before the report
  // exists: a run killed half-way would leave nothing but a broken report.
  // A mapped file holds only the pages a scan has not yet given back.
  const long file_bytes =
      reader.byteCount() > MdrReader::kLoadedFileLimit ? 2 * MdrReader::kReleaseStep : reader.byteCount();
  RunShape shape{plan.markerCount(), plan.sampleCount(), plan.init_order, plan.order, plan.top_k,
                 opt::threads, plan.fromReader() ? 0 : file_bytes, base,
                 plan.from_plink ? plan.plink.bytesHeld() : 0, plan.planes_road,
                 opt::permutations, samplesPerStratum(settings.sample_strata, settings.stratum_count)};
  // em's search counts the missing genotype as a level and completes its tables.
  if (plan.missing_code == kMethodEm) shape.counted_base = kEmCountedLevels;
  const MemoryNeed need = estimateRunMemory(shape);
  const std::uint64_t available = availableMemoryBytes();
  if (need.total() > available) {
    refuse(kExitNoMemory, "%s", memoryRefusal(plan.dataName(), shape, need, available).c_str());
    return false;
  }
  return true;
}

bool TFmMDR::checkOrdersAgainstMarkers(const RunPlan& plan) {
  const int markers = plan.runMarkers();
  if (plan.order <= markers) return true;
  const std::string spelled = "--order " + opt::order_str;
  // An order above the marker count has no combination, and its block of the
  // report stays empty; a run with an extension option asks for results
  // that such an order cannot give, and a range far past the markers is a
  // typo (an order of 2^31 would be two billion empty blocks).
  if (opt::extensions_given || plan.order > markers + kMostOrdersAboveMarkers) {
    refuse(kExitBadInput, "%s", orderRangeRefusal(spelled, plan.init_order, plan.order, markers).c_str());
    return false;
  }
  printWarning(spelled + ": the data have " + std::to_string(markers) + " markers, so orders above " +
               std::to_string(markers) + " have no combination and their blocks of the report are empty");
  return true;
}

bool TFmMDR::createResultFiles(const RunPlan& plan, MdrWriter& writer) {
  const std::vector<RunFile> outputs = runResultFiles(
      {plan.output_file, opt::save_all, opt::plot, plan.init_order, std::min(plan.order, plan.markerCount()),
       opt::table_file, runLogWanted()});
  for (const std::string& refusal : {refuseClashingOutputs(outputs), refuseOutputOverInput(plan.inputs, outputs)}) {
    if (refusal.empty()) continue;
    refuse(kExitBadInput, "%s", refusal.c_str());
    return false;
  }
  // Charts, the .all file and the log are named after the report: beside a
  // device's name they would be left in /dev, where nobody looks for them.
  if (opt::extensions_given && (opt::save_all || opt::plot || opt::log == 1) &&
      !reportKeptAsAFile(plan.output_file)) {
    refuse(kExitBadInput, "%s",
           (std::string(plan.output_file) + " (--out) is not kept as a file (a device, a pipe or a descriptor), and " +
            (opt::plot       ? "--plot 1 names its charts after it, which would leave them"
             : opt::save_all ? "--save_all 1 names its file after it, which would leave that"
                             : "--log 1 names its log after it, which would leave that") +
            " in its folder: give --out a file name")
               .c_str());
    return false;
  }
  // The classic options create or empty the report and the .all file here,
  // as ever. A run with more options refuses after this point too (too few
  // cases, a bad VCF record): it only opens their replacements, so that an
  // existing report keeps its content until the run has succeeded.
  const bool keep_old = opt::extensions_given;
  // A console saved to a file (--out /dev/stdout) is not emptied under the
  // lines already written to it: the report follows them there.
  const bool emptied = descriptorNamed(plan.output_file) < 0;
  if (keep_old ? !(report_ = &results_.add())->open(plan.output_file) : emptied && !writer.Save(plan.output_file)) {
    std::puts("Cannot save the text file!!");
    // Such a run says why and ends with a status that says it failed; a
    // forgotten --out is no file called "".
    if (keep_old && *plan.output_file == '\0') {
      printRefusal("no --out: give the report a file (--out FILE), which every run writes");
      exit_status_ = kExitWriteFailed;
    } else if (keep_old) {
      failWrite(*report_);
    }
    return false;
  }
  // The table is opened now too: a name it cannot have is told before the
  // search, not after it.
  if (!opt::table_file.empty()) {
    table_ = &results_.add();
    if (!table_->open(opt::table_file)) {
      failWrite(*table_);
      return false;
    }
  }
  if (!opt::save_all) return true;
  const std::string all_name = std::string(plan.output_file) + ".all";
  if (!keep_old && !all_writer->Save(all_name.c_str())) {
    writer.Close();
    std::puts("Cannot save the text file!!");
    return false;
  }
  // Created or emptied as ever; its lines go to a file beside it that
  // replaces it when the search is done.
  all_writer->Close();
  if (!openAllResults(all_name)) {
    writer.Close();
    return false;
  }
  all_writer_open_ = true;
  return true;
}

// The text file is checked on its first reading and its values taken on a
// second: a file replaced or rewritten in between (a pipeline moving a new
// file into place) would be searched unchecked, its counts reported as
// the checked file's.
bool TFmMDR::inputUnchanged(const RunPlan& plan) {
  if (plan.fromReader() || !plan.input_stamp.taken || stampOf(plan.input_file) == plan.input_stamp) return true;
  refuseChangedInput(plan);
  return false;
}

void TFmMDR::refuseReread(const RunPlan& plan, int error) {
  // Out of descriptors (a low ulimit -n), say: the reason tells what to fix.
  const std::string why = error != 0 ? std::string(": ") + std::strerror(error) : "";
  refuse(kExitBadInput, "%s: could not be opened a second time to read its values%s", plan.input_file, why.c_str());
}

void TFmMDR::refuseChangedInput(const RunPlan& plan) {
  refuse(kExitBadInput, "%s", changedMessage(plan.input_file).c_str());
}

bool TFmMDR::readData(RunPlan& plan, RunData& data) {
  if (plan.from_plink && !plan.plink.read(data.genotypes, data.phenotypes, data.marker_names)) {
    refuse(plan.plink.outOfMemory() ? kExitNoMemory : kExitBadInput, "%s", plan.plink.error().c_str());
    return false;
  }
  if (plan.from_vcf && !plan.vcf.read(data.genotypes, data.phenotypes, data.marker_names)) {
    refuse(kExitBadInput, "%s", plan.vcf.error().c_str());
    return false;
  }
  if (!plan.fromReader()) {
    // The counts came from a first load of the same file: a second load
    // that fails must end the run, or it would report on arrays never filled.
    int open_error = 0;
    const int read_status =
        readCountedDataFile(plan.input_file, data.genotypes, data.phenotypes, data.sample_count, plan.column_count,
                            plan.phenotype_column, data.marker_names, &open_error);
    if (read_status == kExitNoMemory) {
      refuse(kExitNoMemory, "out of memory: could not load %s whole a second time to read its values",
             plan.input_file);
      return false;
    }
    if (read_status != kExitOk) {
      refuseReread(plan, open_error);
      return false;
    }
    if (!inputUnchanged(plan)) return false;
  }
  if (plan.textSubset()) cutToSubset(data.genotypes, data.phenotypes, data.marker_names, data.sample_count, plan.subset);
  return true;
}

void TFmMDR::writeResults(const RunPlan& plan, const RunData& data, int case_value, int testing_idx) {
  // Each result file is tried, whatever became of the others, so that every
  // failure is told; none is published unless all were written.
  finishAllResults();
  WriteResultALL(plan.output_file, elapsed, plan.phenotype_column, case_value, testing_idx, data.marker_names,
                 data.results);
  // The markers searched: a text file is read whole and then cut to the subset.
  reportSignificance(data.marker_names, plan.runMarkers());
  if (exit_status_ == kExitOk && covariates_.count > 0 && notFittedWarning(outcome_.orders) != "") {
    // One per covariate row: the samples searched, which a text subset has cut to the front.
    std::vector<unsigned char> is_case(plan.runSamples());
    for (int k = 0; k < plan.runSamples(); ++k) is_case[k] = data.phenotypes[k] == case_value ? 1 : 0;
    printWarningLines(separatingCovariatesWarning(covariates_.values, covariates_.count, covariates_.names, is_case,
                                                  "leave it out with --covar-name"));
  }
  if (exit_status_ != kExitOk || !opt::plot) return;
  const std::string failure =
      writeCellCharts(plan.output_file, data.results, data.marker_names,
                      {data.genotypes, data.phenotypes, plan.runSamples(), plan.runMarkers(), plan.missing_code,
                       settings.sample_strata.empty() ? nullptr : settings.sample_strata.data(),
                       settings.stratum_count},
                      results_);
  const std::string qq_failure = writeQqPlots(plan.output_file, outcome_.orders, results_);
  if (!failure.empty() || !qq_failure.empty()) {
    std::fprintf(stderr, "%s\n", (failure.empty() ? qq_failure : failure).c_str());
    exit_status_ = kExitWriteFailed;
  }
}

void TFmMDR::MdrMethod(char* input_file, char* output_file, char* /*score_file*/, int order,
                       int init_order, int fold_count, int phenotype_column, int case_value,
                       int testing_idx, int measure_idx, int missing_idx, int tie_idx,
                       double real_param, int top_k, int int_param, int perm,
                       int /*unused_param*/, int /*shuffling_idx*/, int aux_code) {
  const auto run_began = std::chrono::steady_clock::now();
  RunPlan plan;
  plan.setInputFile(input_file);
  plan.output_file = output_file;
  plan.order = order;
  plan.init_order = init_order;
  plan.phenotype_column = phenotype_column;
  plan.missing_code = methodCodeOfWordIndex(missing_idx);
  plan.top_k = top_k;
  if (!prepareRun(plan)) return;
  settings.refuse_few_classes = opt::extensions_given;
  logSettings(plan);
  if (!plan.subset.covariate_names.empty()) {
    covariates_.count = static_cast<int>(plan.subset.covariate_names.size());
    covariates_.values = std::move(plan.subset.covariates);
    covariates_.names = plan.subset.covariate_names;
    settings.significance.structure.covariates = &covariates_;
  }
  if (plan.from_plink) marker_positions_ = plan.plink.selectedPositions();
  if (plan.from_vcf) marker_positions_ = plan.vcf.selectedPositions();

  start_time = std::time(nullptr);
  const int record_folds = opt::is_partialcv ? (fold_count > 10 ? 10 : fold_count) : fold_count;
  const int search_folds = opt::is_partialcv ? 10 : fold_count;
  RunData data;
  if (!data.allocate(plan, record_folds, testing_idx, aux_code)) {
    refuse(kExitNoMemory,
           "out of memory: could not allocate the data of %d markers x %d samples "
           "(%ld bytes of genotypes) and %d result records of %d rows",
           data.marker_count, data.sample_count, static_cast<long>(data.marker_count) * data.sample_count,
           data.order_count, data.row_capacity);
    return;
  }
  if (!inputUnchanged(plan)) return;
  if (plan.planes_road) {
    if (!searchOnPlanes(plan, data, case_value, measure_idx, tie_idx + 1)) return;
  } else {
    if (!readData(plan, data)) return;
    try {
      CalcMdrMethodALL(data.genotypes, data.phenotypes, data.scores, plan.runSamples(), plan.runMarkers() + 1,
                       phenotype_column - 1, case_value, measure_idx, tie_idx + 1, plan.missing_code, testing_idx,
                       real_param, int_param, perm, search_folds, data.results);
    } catch (const std::bad_alloc&) {
      refuse(kExitNoMemory,
             "out of memory: could not allocate the search's sample list, bit-planes or "
             "buffers for %d markers x %d samples",
             plan.runMarkers(), plan.runSamples());
    }
  }
  if (exit_status_ != kExitOk) return;
  end_time = std::time(nullptr);
  elapsed = std::difftime(end_time, start_time);
  writeResults(plan, data, case_value, testing_idx);
  if (exit_status_ != kExitOk) return;
  // The log is written once the set is published, under the same folder
  // lock: a run on the same name then never puts its set between them.
  const auto log = [&] {
    logOutcome(plan);
    writeLog(plan.output_file, std::chrono::duration<double>(std::chrono::steady_clock::now() - run_began).count());
  };
  // The previous run's log goes with its report: a run ended by a signal
  // between its report and its log leaves no log rather than another
  // run's, and so does a run with --log 0; so do its charts and .all file
  // that this run did not replace (a classic run leaves the files it always
  // left).
  const auto drop_previous_files = [&] {
    const bool replaces_report = opt::extensions_given && reportKeptAsAFile(plan.output_file);
    if (runLogWanted() || replaces_report) dropPreviousRunLog(plan.output_file, results_.paths(), plan.inputs);
    if (replaces_report) dropPreviousResultFiles(plan.output_file, results_.paths(), plan.inputs);
  };
  if (!results_.publishAll(log, drop_previous_files)) {
    std::fprintf(stderr, "%s\n", results_.error().c_str());
    exit_status_ = kExitWriteFailed;
    return;
  }
  if (exit_status_ != kExitOk) return;
  std::snprintf(line_buffer, sizeof line_buffer,
                "GORVA Analysis finished!!\nTotal excuting time is %.2f second\n", elapsed);
  std::fputs(line_buffer, stdout);
}

void TFmMDR::reportSignificance(char** marker_names, int marker_count) {
  if (outcome_.counted_samples == 0) {
    printWarning("no sample can be counted (every measure of the report is not a number)");
  }
  for (const OrderSignificance& order : outcome_.orders) {
    printWarningLines(notANumberWarning(order, marker_names, settings.significance.active));
    printWarningLines(emptyOrderWarning(order, opt::rank));
  }
  if (opt::table_file.empty()) return;
  printWarningLines(tableReadingWarning(marker_names, marker_count, &marker_positions_));
  printWarningLines(droppedCovariatesWarning(outcome_.orders, covariates_.names));
  printWarningLines(notFittedWarning(outcome_.orders));
  TableRun run;
  run.counted = outcome_.counted_samples;
  run.cases = outcome_.counted_cases;
  run.marker_count = marker_count;
  run.permutations = settings.significance.permutations.count;
  run.seed = settings.significance.permutations.seed;
  run.rank_word = opt::rank;
  run.positions = &marker_positions_;
  if (!stratum_names.empty()) run.strata = strataDescription(stratum_names, outcome_.stratum_samples);
  std::string error;
  if (!writeResultsTable(*table_, run, outcome_.orders, marker_names, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    exit_status_ = kExitWriteFailed;
  }
}
