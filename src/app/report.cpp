// The report file and the all-results lines.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/options.h"
#include "app/results_table.h"
#include "app/tfmmdr.h"
#include "engine/mdrresult.h"

namespace {

constexpr const char* kTimeBanner =
    "====================================   Time   =====================================";
constexpr const char* kOptionsBanner =
    "====================================  Options  ====================================";
constexpr const char* kResultsBanner =
    "====================================  Results  ====================================";
constexpr const char* kClosingRule =
    "===============================================================================";

// One line and its line feed in one write, cut at the line limit as the
// line writer cuts it.
bool writeLine(OutputFile& file, const char* text) {
  std::size_t length = std::strlen(text);
  if (length > MdrWriter::kMaxLineText) length = MdrWriter::kMaxLineText;
  std::string line(text, length);
  line += '\n';
  return file.write(line);
}

}  // namespace

void TFmMDR::failWrite(const OutputFile& file) {
  std::fprintf(stderr, "%s\n", file.error().c_str());
  if (exit_status_ == kExitOk) exit_status_ = kExitWriteFailed;
}

bool TFmMDR::openAllResults(const std::string& path) {
  all_results_ = &results_.add();
  if (all_results_->open(path)) return true;
  failWrite(*all_results_);
  return false;
}

bool TFmMDR::finishAllResults() {
  if (!all_writer_open_ || all_results_->finish()) return true;
  failWrite(*all_results_);
  return false;
}

void TFmMDR::WriteResultALL(char* output_file, double elapsed_seconds, int /*phenotype_column*/,
                            int /*case_value*/, int /*testing_idx*/, char** marker_names,
                            MDRResult** results) {
  OutputFile& report = report_ != nullptr ? *report_ : results_.add();
  if (!report.isOpen() && !report.open(output_file)) {
    failWrite(report);
    return;
  }
  // Every line is checked; after the first failure the rest is not tried.
  bool ok = true;
  const auto line = [&](const char* text) { ok = ok && writeLine(report, text); };
  // The line writer cuts a longer line mid-name: thousands of strata are counted, not listed.
  if (!stratum_names.empty()) {
    line(("# " + strataDescription(stratum_names, outcome_.stratum_samples, MdrWriter::kMaxLineText - 2)).c_str());
  }
  line(kTimeBanner);
  std::snprintf(line_buffer, sizeof line_buffer, "Total time,%.5f sec", elapsed_seconds);
  line(line_buffer);
  line(kOptionsBanner);
  const std::string command = "Command : " + withLineEndsEscaped(opt::all_opt);
  line(command.c_str());
  line(getOptionString());
  line(kResultsBanner);

  const int max_order = results[0]->max_order;
  const int init_order = results[0]->init_order;
  std::string combination;
  for (int k = init_order; ok && k <= max_order; ++k) {
    const MDRResult& record = *results[k - init_order];
    std::snprintf(line_buffer, sizeof line_buffer, "<<%d-Order Best Combination Sets>>", k);
    line(line_buffer);
    line("Rank,Best Combination,IG,RIG,p-value(IG)");
    for (int r = 0; ok && r < record.row_count; ++r) {
      combination.clear();
      for (int m = 0; m < k; ++m) {
        combination += marker_names[record.snp_index[r * k + m]];
        if (m + 1 < k) combination += ' ';
      }
      std::snprintf(line_buffer, sizeof line_buffer, "%d,%s,%f,%f,%E", r + 1, combination.c_str(),
                    record.ig[r], record.rig[r], record.p_value[r]);
      line(line_buffer);
    }
    line(kClosingRule);
  }
  if (!ok || !report.finish()) failWrite(report);
}

void TFmMDR::saveAllResult(double* measures, int* combinations, int last_position, int count,
                           int tag) {
  if (!all_results_->error().empty()) return;
  std::string text;
  for (int c = 0; c < count; ++c) {
    text.clear();
    for (int p = 0; p <= last_position; ++p) {
      if (p > 0) text += '-';
      text += std::to_string(combinations[static_cast<long>(c) * (last_position + 1) + p]);
    }
    std::snprintf(line_buffer, sizeof line_buffer, "%d,%s,%f,%f", tag + 1, text.c_str(),
                  measures[2L * c], measures[2L * c + 1]);
    // The first failed line ends the file's content; finishing reports it.
    if (!writeLine(*all_results_, line_buffer)) return;
  }
}
