#include "app/run.h"

#include <cstdio>
#include <string>

#include "app/helper.h"
#include "app/options.h"
#include "app/tfmmdr.h"
#include "app/usage.h"

const char* const VERSION = "1.5";
const char* const DISTDATE = "04/19/2017";

namespace {
constexpr const char* kRule = "----------------------------------------------------";
}  // namespace

bool answerHelpRequest(int argc, char** argv, bool print) {
  // Answered before the options are read, so the usage shows the defaults.
  const HelpRequest help = findHelpRequest(argc, argv);
  if (help == HelpRequest::kNone) return false;
  if (print) std::fputs(help == HelpRequest::kUsage ? usageText().c_str() : versionText().c_str(), stdout);
  return true;
}

void readOptions(int argc, char** argv) {
  CArgs args(argc, argv);
  setOptions(args);
  setExtensionOptions(args);
}

int runAnalysis() {
  // Names of any length reach the driver unchanged, so the buffers grow with them.
  std::string input_file = opt::input_file;
  std::string output_file = opt::output_file;
  std::string score_file = opt::score_file;

  std::puts(kRule);
  std::printf("# GORVA ver. %s @ ZURL\n", VERSION);
  std::printf("# Release date %s\n", DISTDATE);
  std::puts(kRule);
  std::puts("# options");
  std::puts(kRule);
  std::fputs(getOptionString(), stdout);
  std::puts(kRule);
  std::fflush(stdout);

  TFmMDR* engine = new TFmMDR;
  engine->MdrMethod(input_file.data(), output_file.data(), score_file.data(), opt::order,
                    opt::init_order, 0, 1, 1, opt::testing_idx, opt::measure_idx,
                    opt::missing_idx, opt::tie_idx, 0.001, opt::report_top_k, 1, opt::perm, 1,
                    opt::shuffling_idx, 0);
  const int status = engine->exitStatus();
  delete engine;
  if (status != kExitOk) return status;

  std::puts(kRule);
  std::puts("# GORVA complete");
  std::puts(kRule);
  return 0;
}

int runGorva(int argc, char** argv) {
  if (answerHelpRequest(argc, argv, true)) return 0;
  readOptions(argc, argv);
  return runAnalysis();
}
