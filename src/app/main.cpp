// The life of one invocation: options, banner, one analysis, closing lines.
#include <cstdio>
#include <string>

#include "app/helper.h"
#include "app/options.h"
#include "app/tfmmdr.h"

const char* const VERSION = "1.5";
const char* const DISTDATE = "04/19/2017";

namespace {
constexpr const char* kRule = "----------------------------------------------------";
}  // namespace

int main(int argc, char** argv) {
  CArgs* args = new CArgs(argc, argv);
  setOptions(*args);
  setExtensionOptions(*args);

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
  delete args;
  if (status != kExitOk) return status;

  std::puts(kRule);
  std::puts("# GORVA complete");
  std::puts(kRule);
  return 0;
}
