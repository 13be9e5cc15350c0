// Fuzz target: the command line. The input is cut at NUL bytes into words
// (the program name comes first, as the runtime gives it), CArgs is built
// from them and setOptions and setExtensionOptions run on option globals
// brought back to their start values first.
//
// error() ends the process when the first occurrence of an option is the
// last word. libFuzzer takes any exit of the target as a failure, and a
// forked child per input would inherit the fuzzer's exit handler and lose
// its coverage feedback, so the target keeps clear of that one path: when
// the last word could be an option name (it starts with "--"), it appends
// the value "1". Every
// other path stays reachable; the exit itself is covered by the end-to-end
// tests of the command line.
//
// Invariants: every global equals what a model of the rules computes from
// the words independently - first occurrence wins, the value is the next
// word, numbers read like atoi but saturate at the int range, the two word
// lists give their index or keep the default, --score overrides --type,
// --perm moves the testing method to 2 - and the options summary shows
// the values in force. The command line's checks run on every input too.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line_checks.h"
#include "app/helper.h"
#include "app/options.h"
#include "fuzz_support.h"

namespace {

using fuzz::require;

// Every global that the options write, as one value.
struct Globals {
  std::string input_file, output_file, score_file, order_str, mdr_type, tie, missing, all_opt,
      bfile;
  int init_order, order, is_gmdr, tie_idx, missing_idx, shuffling_idx, report_top_k, perm,
      testing_idx, threads, progress;
  bool shuffling, debug, save_all, plot;

  static Globals current() {
    return {opt::input_file, opt::output_file, opt::score_file, opt::order_str, opt::mdr_type,
            opt::tie, opt::missing, opt::all_opt, opt::bfile, opt::init_order, opt::order,
            opt::is_gmdr, opt::tie_idx, opt::missing_idx, opt::shuffling_idx,
            opt::report_top_k, opt::perm, opt::testing_idx, opt::threads, opt::progress,
            opt::shuffling, opt::debug, opt::save_all, opt::plot};
  }
  void install() const {
    opt::input_file = input_file;
    opt::output_file = output_file;
    opt::score_file = score_file;
    opt::order_str = order_str;
    opt::mdr_type = mdr_type;
    opt::tie = tie;
    opt::missing = missing;
    opt::all_opt = all_opt;
    opt::bfile = bfile;
    opt::init_order = init_order;
    opt::order = order;
    opt::is_gmdr = is_gmdr;
    opt::tie_idx = tie_idx;
    opt::missing_idx = missing_idx;
    opt::shuffling_idx = shuffling_idx;
    opt::report_top_k = report_top_k;
    opt::perm = perm;
    opt::testing_idx = testing_idx;
    opt::threads = threads;
    opt::progress = progress;
    opt::shuffling = shuffling;
    opt::debug = debug;
    opt::save_all = save_all;
    opt::plot = plot;
  }
};

const Globals& startValues() {
  static const Globals values = Globals::current();
  return values;
}

// The model of the rules, written apart from CArgs and setOptions.
class Model {
 public:
  explicit Model(const std::vector<std::string>& words) : words_(words) {}

  bool has(const std::string& name) const { return indexOf(name) >= 0; }
  const std::string& text(const std::string& name) const { return words_[indexOf(name) + 1]; }
  int number(const std::string& name) const { return readInt(text(name)); }

  // atoi's reading with saturation, digit by digit.
  static int readInt(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      value = value * 10 + (text[i] - '0');
      if (value > 1LL + INT_MAX) value = 1LL + INT_MAX;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
  }

 private:
  int indexOf(const std::string& name) const {
    for (std::size_t i = 0; i < words_.size(); ++i) {
      if (words_[i] == name) return static_cast<int>(i);
    }
    return -1;
  }
  const std::vector<std::string>& words_;
};

int wordIndex(const std::string& word, const std::vector<std::string>& list, int fallback) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i] == word) return static_cast<int>(i);
  }
  return fallback;
}

// Any word of the form "--name" may be an option (new ones included), so
// none may stand last without a value.
bool endsInPossibleOption(const std::vector<std::string>& words) {
  return words.back().rfind("--", 0) == 0;
}

void checkAgainstModel(const std::vector<std::string>& words) {
  const Model model(words);
  const Globals& start = startValues();

  require(opt::input_file == (model.has("--in") ? model.text("--in") : start.input_file), "--in");
  require(opt::output_file == (model.has("--out") ? model.text("--out") : start.output_file), "--out");
  require(opt::bfile == (model.has("--bfile") ? model.text("--bfile") : start.bfile), "--bfile");

  if (model.has("--order")) {
    const std::string& order = model.text("--order");
    require(opt::order_str == order, "--order text");
    const std::size_t dash = order.find('-');
    const int low = Model::readInt(order.substr(0, dash));
    const int high = dash == std::string::npos ? low : Model::readInt(order.substr(dash + 1));
    require(opt::init_order == low && opt::order == high, "--order numbers");
  } else {
    require(opt::init_order == start.init_order && opt::order == start.order, "default order");
  }

  std::string type = model.has("--type") ? model.text("--type") : start.mdr_type;
  if (model.has("--score")) type = "gmdr";
  require(opt::mdr_type == type, "analysis type");
  require(opt::is_gmdr == (model.has("--type") || model.has("--score") ? (type == "gmdr" ? 1 : 0)
                                                                        : start.is_gmdr),
          "gmdr flag");
  require(opt::score_file == (model.has("--score") ? model.text("--score") : start.score_file),
          "--score");

  const std::string tie = model.has("--tie") ? model.text("--tie") : start.tie;
  require(opt::tie == tie, "--tie text");
  require(opt::tie_idx == wordIndex(tie, {"high", "low", "ignore"}, start.tie_idx), "tie index");
  const std::string missing = model.has("--missing") ? model.text("--missing") : start.missing;
  require(opt::missing == missing, "--missing text");
  require(opt::missing_idx ==
              wordIndex(missing, {"none", "mc", "complete", "available", "imputation", "em"},
                        start.missing_idx),
          "missing index");
  require(opt::tie_idx >= 0 && opt::tie_idx <= 2 && opt::missing_idx >= 0 && opt::missing_idx <= 5,
          "indexes stay in their lists");

  const bool shuffle = model.has("--shuffle") && model.number("--shuffle") == 1;
  require(opt::shuffling_idx == (model.has("--shuffle") ? (shuffle ? 1 : 0) : start.shuffling_idx),
          "--shuffle index");
  require(opt::shuffling == (shuffle || start.shuffling), "--shuffle flag");
  require(opt::debug == (model.has("--debug") ? model.number("--debug") == 1 : start.debug), "--debug");
  require(opt::save_all == (model.has("--save_all") ? model.number("--save_all") == 1 : start.save_all),
          "--save_all");
  require(opt::plot == (model.has("--plot") ? model.number("--plot") == 1 : start.plot), "--plot");
  require(opt::report_top_k == (model.has("--top") ? model.number("--top") : start.report_top_k), "--top");
  require(opt::perm == (model.has("--perm") ? model.number("--perm") : start.perm), "--perm");
  require(opt::testing_idx == (model.has("--perm") && start.testing_idx == 3 ? 2 : start.testing_idx),
          "testing method");
  require(opt::threads == (model.has("--threads") ? model.number("--threads") : start.threads),
          "--threads");
  require(opt::progress ==
              (model.has("--progress") ? (model.number("--progress") == 1 ? 1 : 0) : start.progress),
          "--progress");

  std::string line;
  for (const std::string& word : words) line += word + " ";
  require(opt::all_opt == line, "the whole command line");

  // Names print with their line ends written \n and \r, so that no name
  // starts a line of its own.
  const auto one_line = [](const std::string& name) {
    std::string text;
    for (const char c : name) text += c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
    return text;
  };
  // A PLINK set or a VCF/BCF file is what a run reads, not --in.
  const std::string input = !opt::bfile.empty() ? opt::bfile + ".bed"
                            : !opt::vcf.empty() ? opt::vcf
                            : !opt::bcf.empty() ? opt::bcf
                                                : opt::input_file;
  const std::string summary = getOptionString();
  require(summary == "# input file : " + one_line(input) + "\n# result file : " +
                         one_line(opt::output_file) + "\n# combination order : " +
                         std::to_string(opt::order) +
                         "\n# K=number of final significant snps for presentation : " +
                         std::to_string(opt::report_top_k) + "\n",
          "options summary");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  startValues();  // taken before the first input changes anything
  std::vector<std::string> words{"gorva"};
  std::string word;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  if (size > 0) words.push_back(word);
  if (words.size() > 64) return 0;  // longer lines add nothing but time
  if (endsInPossibleOption(words)) words.push_back("1");

  startValues().install();
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  CArgs args(static_cast<int>(words.size()), argv.data());
  setOptions(args);
  setExtensionOptions(args);
  checkAgainstModel(words);
  // The checks only judge: they change no option, and a refusal names one.
  const Globals before = Globals::current();
  const CommandLineVerdict verdict = judgeCommandLine(static_cast<int>(words.size()), argv.data());
  require(Globals::current().order == before.order && Globals::current().all_opt == before.all_opt,
          "the checks change no option");
  require(verdict.refusal.empty() || verdict.refusal.rfind("--", 0) == 0, "a refusal starts with its option");
  for (const std::string& warning : verdict.warnings) require(!warning.empty(), "no empty warning");
  return 0;
}
