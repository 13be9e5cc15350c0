#include "app/run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/command_line_checks.h"
#include "app/helper.h"
#include "app/options.h"
#include "app/run_inputs.h"
#include "app/significance_options.h"
#include "app/tfmmdr.h"
#include "app/usage.h"
#include "io/file_safety.h"
#include "io/messages.h"
#include "io/temporary_files.h"
#include "core/search_constants.h"

const char* const VERSION = kVersionText;
const char* const DISTDATE = "04/19/2017";

namespace {
constexpr const char* kRule = "----------------------------------------------------";

}  // namespace

void holdClosedStandardStreams() {
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number: this one, the lower ones being open by now.
    const int held = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
    if (held >= 0 && held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
}

bool answerHelpRequest(int argc, char** argv, bool print) {
  // Answered before the options are read, so the usage shows the defaults.
  WordsOutsideValues words(argc, argv);
  const HelpRequest help = findHelpRequest(words.count(), words.argv());
  if (help == HelpRequest::kNone) return false;
  if (print)
    std::fputs(help == HelpRequest::kUsage ? usageText().c_str()
                                           : versionText(help == HelpRequest::kVerboseVersion).c_str(),
               stdout);
  return true;
}

void readOptions(int argc, char** argv) {
  CArgs args(argc, argv);
  setOptions(args);
  WordsOutsideValues words(argc, argv);
  CArgs extension_args(words.count(), words.argv());
  setExtensionOptions(extension_args);
  const CommandLineVerdict verdict = judgeCommandLine(argc, argv);
  for (const std::string& warning : verdict.warnings) printWarning(warning);
  opt::refusal = verdict.refusal;
  for (const auto& unknown : verdict.unknown_values) opt::unread_inputs.push_back(unknown);
}

namespace {

// A console saved to a full disk ("> run.txt") loses the run's account of
// itself; a run with newer options says so and ends with 4 (a classic run's
// statuses stay those it always had).
int consoleStatus() {
  if (!opt::extensions_given || (std::fflush(stdout) == 0 && !std::ferror(stdout))) return kExitOk;
  std::fprintf(stderr, "gorva: standard output: cannot write: %s\n", std::strerror(errno));
  return kExitWriteFailed;
}

// A console saved into an input (">> data.txt", "2>> data.txt") would put
// the banner into the data before they are read, and the run would count
// its own lines as samples. Nothing is written then: the refusal goes to
// the stream that is not an input, and where both are, nowhere.
int refuseConsoleOverInputs() {
  const std::vector<RunFile> inputs = runInputFiles(opt::input_file);
  const std::string output = refuseStreamOverInput(inputs, STDOUT_FILENO, "standard output");
  const std::string error = refuseStreamOverInput(inputs, STDERR_FILENO, "the error stream");
  if (output.empty() && error.empty()) return kExitOk;
  if (error.empty()) {
    printRefusal(output);
  } else if (output.empty()) {
    std::fputs(programMessage(error + "\n").c_str(), stdout);
    std::fflush(stdout);
  }
  return kExitBadInput;
}

}  // namespace

int runAnalysis(const OrderSearch& order_search) {
  // Names of any length reach the driver unchanged, so the buffers grow with them.
  std::string input_file = opt::input_file;
  std::string output_file = opt::output_file;
  std::string score_file = opt::score_file;
  if (const int status = refuseConsoleOverInputs(); status != kExitOk) return status;

  std::puts(kRule);
  std::printf("# GORVA ver. %s @ ZURL\n", VERSION);
  std::printf("# Release date %s\n", DISTDATE);
  std::puts(kRule);
  std::puts("# options");
  std::puts(kRule);
  std::fputs(getOptionString(), stdout);
  std::puts(kRule);
  std::fflush(stdout);

  if (!opt::refusal.empty()) {
    printRefusal(opt::refusal);
    return kExitBadInput;
  }
  SignificanceRequest significance;
  std::string refusal;
  if (!significanceRequestFromOptions(significance, refusal)) {
    printRefusal(refusal);
    return kExitBadInput;
  }
  // Checked before anything is read or created, and again after the closing lines.
  if (const int status = consoleStatus(); status != kExitOk) return status;
  removeTemporariesOnSignals();
  TFmMDR* engine = new TFmMDR;
  engine->settings.significance = significance;
  engine->settings.order_search = order_search;
  engine->settings.search.requested_threads = opt::threads;
  engine->settings.search.use_planes = opt::engine != "plain";
  engine->settings.search.show_progress =
      opt::progress == 1 || (opt::progress < 0 && isatty(STDERR_FILENO));
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
  return consoleStatus();
}

int runGorva(int argc, char** argv) {
  holdClosedStandardStreams();
  if (answerHelpRequest(argc, argv, true)) return 0;
  readOptions(argc, argv);
  return runAnalysis();
}
