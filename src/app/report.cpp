// The report file and the all-results lines.
#include <cstdio>
#include <string>

#include "app/options.h"
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

}  // namespace

void TFmMDR::WriteResultALL(char* output_file, double elapsed_seconds, int /*phenotype_column*/,
                            int /*case_value*/, int /*testing_idx*/, char** marker_names,
                            MDRResult** results) {
  MdrWriter* writer = new MdrWriter;
  if (!writer->Save(output_file)) {
    delete writer;
    return;
  }
  writer->WriteLine(kTimeBanner);
  std::snprintf(line_buffer, sizeof line_buffer, "Total time,%.5f sec", elapsed_seconds);
  writer->WriteLine(line_buffer);
  writer->WriteLine(kOptionsBanner);
  const std::string command = "Command : " + opt::all_opt;
  writer->WriteLine(command.c_str());
  writer->WriteLine(getOptionString());
  writer->WriteLine(kResultsBanner);

  const int max_order = results[0]->max_order;
  const int init_order = results[0]->init_order;
  std::string combination;
  for (int k = init_order; k <= max_order; ++k) {
    const MDRResult& record = *results[k - init_order];
    std::snprintf(line_buffer, sizeof line_buffer, "<<%d-Order Best Combination Sets>>", k);
    writer->WriteLine(line_buffer);
    writer->WriteLine("Rank,Best Combination,IG,RIG,p-value(IG)");
    for (int r = 0; r < record.row_count; ++r) {
      combination.clear();
      for (int m = 0; m < k; ++m) {
        combination += marker_names[record.snp_index[r * k + m]];
        if (m + 1 < k) combination += ' ';
      }
      std::snprintf(line_buffer, sizeof line_buffer, "%d,%s,%f,%f,%E", r + 1, combination.c_str(),
                    record.ig[r], record.rig[r], record.p_value[r]);
      writer->WriteLine(line_buffer);
    }
    writer->WriteLine(kClosingRule);
  }
  writer->Close();
  delete writer;
}

void TFmMDR::saveAllResult(double* measures, int* combinations, int last_position, int count,
                           int tag) {
  std::string text;
  for (int c = 0; c < count; ++c) {
    text.clear();
    for (int p = 0; p <= last_position; ++p) {
      if (p > 0) text += '-';
      text += std::to_string(combinations[static_cast<long>(c) * (last_position + 1) + p]);
    }
    std::snprintf(line_buffer, sizeof line_buffer, "%d,%s,%f,%f", tag + 1, text.c_str(),
                  measures[2L * c], measures[2L * c + 1]);
    all_writer->WriteLine(line_buffer);
  }
}
