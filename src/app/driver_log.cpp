// What the driver tells the run log: the options as it read them, the
// inputs, what each order tested, and at the end the log itself.
#include <cstdio>
#include <string>
#include <tuple>

#include "app/options.h"
#include "app/result_files.h"
#include "app/run_log.h"
#include "app/run_plan.h"
#include "app/results_table.h"
#include "app/tfmmdr.h"
#include "io/messages.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/count/worker_threads.h"
#include "core/search_constants.h"

namespace {

constexpr double kFamilyLevel = 0.05;

std::string orNone(const std::string& text) { return text.empty() ? "none" : text; }

}  // namespace

void TFmMDR::logSettings(const RunPlan& plan) {
  const int missing_word = plan.missing_code - 1;  // method codes count from 1
  addRunLogLine("options: order " + std::to_string(plan.init_order) + "-" + std::to_string(plan.order) +
                "; top " + std::to_string(plan.top_k) + "; missing " +
                std::string(kMissingWords[missing_word]) + "; rank " + opt::rank + "; engine " + opt::engine +
                "; threads " + std::to_string(workerCount(opt::threads)) + " (asked " +
                std::to_string(opt::threads) + ", 0 = every hardware thread); SIMD path " +
                simdPathName(activeSimdPath()));
  addRunLogLine("significance: table " + orNone(opt::table_file) + "; permutations " +
                std::to_string(settings.significance.permutations.count) + "; seed " +
                std::to_string(settings.significance.permutations.seed) + "; max-p " +
                (opt::max_p.empty() ? "off" : opt::max_p) +
                (opt::lambda_sample.empty() ? "" : "; lambda-sample " + opt::lambda_sample) + "; save_all " +
                (opt::save_all ? "1" : "0") +
                "; plot " + (opt::plot ? "1" : "0"));
  const char* kind = plan.from_plink ? "PLINK file set" : plan.from_vcf ? "VCF/BCF" : "text file";
  addRunLogLine("input: " + plan.dataName() + " (" + kind + "): " + std::to_string(plan.sampleCount()) +
                " samples and " + std::to_string(plan.markerCount()) + " markers read");
  for (const auto& [option, path] : {std::pair{"--pheno", opt::pheno}, {"--keep", opt::keep},
                                     {"--remove", opt::remove}, {"--extract", opt::extract},
                                     {"--exclude", opt::exclude}}) {
    if (!path.empty()) addRunLogLine(std::string("selection: ") + option + " " + path);
  }
  if (plan.textSubset()) {
    addRunLogLine("chosen: " + std::to_string(plan.runSamples()) + " samples and " +
                  std::to_string(plan.runMarkers()) + " markers (left out: " +
                  std::to_string(plan.sampleCount() - plan.runSamples()) + " samples, " +
                  std::to_string(plan.markerCount() - plan.runMarkers()) + " markers, by the sample and marker options and their warnings)");
  }
}

void TFmMDR::logOutcome(const RunPlan& plan) {
  addRunLogLine("counted: " + std::to_string(outcome_.counted_samples) + " samples (" + std::to_string(outcome_.counted_cases) +
                " cases, " + std::to_string(outcome_.counted_samples - outcome_.counted_cases) + " controls) under --missing " +
                std::string(kMissingWords[plan.missing_code - 1]));
  for (int k = plan.init_order; k <= plan.order && k <= plan.runMarkers(); ++k) {
    const double tests = combinationsOf(plan.runMarkers(), k);
    char line[160];
    std::snprintf(line, sizeof line, "order %d: %.0f tests; Bonferroni threshold at %.2f: p_chisq <= %.6E", k,
                  tests, kFamilyLevel, tests > 0 ? kFamilyLevel / tests : 1.0);
    addRunLogLine(line);
  }
  for (const OrderSignificance& order : outcome_.orders) {
    const OrderStructure& structure = order.structure;
    for (const auto& [name, control, shown] :
         {std::tuple{"lambda_gc", structure.control, structure.assessed},
          std::tuple{"lambda_gc_adjusted", structure.adjusted_control, structure.adjusted}}) {
      if (!shown) continue;
      // As the table prints them: NA, never inf, where the median p underflowed.
      const std::string lambda = lambdaText(orderLambda(control, static_cast<std::size_t>(control.combinations)));
      char line[160];
      std::snprintf(line, sizeof line, "order %d: %s = %s from %lld combinations (%s)", order.order, name,
                    lambda.c_str(), control.combinations, control.sampled ? "a uniform random sample" : "all");
      addRunLogLine(line);
    }
  }
}

void TFmMDR::writeLog(const char* output_file, double seconds) {
  if (!runLogWanted()) return;
  std::string error;
  if (writeRunLog(runLogPath(output_file), seconds, error)) return;
  // A log asked for is a result like the others; the default one is not
  // worth failing a run whose results are whole (a report name at the file
  // system's limit leaves no room for ".log").
  if (opt::log == 1) {
    std::fprintf(stderr, "%s\n", error.c_str());
    exit_status_ = kExitWriteFailed;
  } else {
    printWarning("no run log: " + programMessageText(error) + " (--log 0 turns it off)");
  }
}
