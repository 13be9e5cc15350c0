#include "app/options.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "app/helper.h"
#include "app/text_to_int.h"
#include "core/search_constants.h"

namespace opt {
std::string input_file;
std::string output_file;
std::string score_file;
std::string order_str = "2";
int init_order = 2;
int order = 2;
std::string mdr_type = "mdr";
int is_gmdr = 0;
std::string tie = "high";
int tie_idx = 0;
std::string missing = "available";
int missing_idx = 3;
int shuffling_idx = 0;
bool shuffling = false;
bool debug = false;
int report_top_k = 10;
bool save_all = false;
int perm = 0;
int testing_idx = 3;
int measure_idx = 0;
bool is_partialcv = false;
std::string all_opt;
int cv_fold = 0;
std::string testing_method = "all";
std::string measure = "ig";
int threads = 0;
int progress = -1;
std::string bfile;
bool plot = false;
std::string engine = "fast";
std::string vcf;
std::string bcf;
std::string pheno;
std::string covar;
std::string covar_name;
std::string keep;
std::string remove;
std::string extract;
std::string exclude;
std::string strata;
bool significance_asked = false;
std::string table_file;
std::string rank = "ig";
int permutations = 0;
std::string seed = "1";
std::string max_p;
std::string lambda_sample;
int log = -1;
std::vector<std::pair<std::string, std::string>> unread_inputs;
std::string refusal;
bool extensions_given = false;
}  // namespace opt

namespace {

constexpr std::array<std::string_view, 3> kTieWords = {"high", "low", "ignore"};

// The word's position in its list; an unknown word leaves the index as it was.
template <std::size_t N>
void setWordIndex(const std::string& word, const std::array<std::string_view, N>& words, int& index) {
  for (std::size_t i = 0; i < N; ++i) {
    if (word == words[i]) {
      index = static_cast<int>(i);
      return;
    }
  }
}

// "2-4" gives 2 and 4, "3" gives 3 and 3; each side is read as atoi reads it
// (textToInt: out-of-range numbers saturate).
void parseOrder(const std::string& text) {
  const std::size_t dash = text.find('-');
  if (dash == std::string::npos) {
    opt::init_order = opt::order = textToInt(text);
    return;
  }
  opt::init_order = textToInt(text.substr(0, dash));
  opt::order = textToInt(text.substr(dash + 1));
}

}  // namespace

void setOptions(CArgs& args) {
  if (args.find("--in")) opt::input_file = args.value("--in");
  if (args.find("--out")) opt::output_file = args.value("--out");
  if (args.find("--order")) {
    opt::order_str = args.value("--order");
    parseOrder(opt::order_str);
  }
  if (args.find("--type")) {
    opt::mdr_type = args.value("--type");
    opt::is_gmdr = opt::mdr_type == "gmdr" ? 1 : 0;
  }
  if (args.find("--score")) {
    opt::score_file = args.value("--score");
    opt::mdr_type = "gmdr";
    opt::is_gmdr = 1;
  }
  if (args.find("--tie")) {
    opt::tie = args.value("--tie");
    setWordIndex(opt::tie, kTieWords, opt::tie_idx);
  }
  if (args.find("--missing")) {
    opt::missing = args.value("--missing");
    setWordIndex(opt::missing, kMissingWords, opt::missing_idx);
  }
  if (args.find("--shuffle")) {
    const bool shuffle = args.value_int("--shuffle") == 1;
    opt::shuffling_idx = shuffle ? 1 : 0;
    if (shuffle) opt::shuffling = true;
  }
  if (args.find("--debug")) opt::debug = args.value_int("--debug") == 1;
  if (args.find("--top")) opt::report_top_k = args.value_int("--top");
  if (args.find("--save_all")) opt::save_all = args.value_int("--save_all") == 1;
  if (args.find("--perm")) {
    opt::perm = args.value_int("--perm");
    if (opt::testing_idx == 3) opt::testing_idx = 2;
  }
  opt::all_opt = args.get_string();
  opt::unread_inputs.clear();  // setExtensionOptions adds its own after these
  for (const std::string& path : args.laterValues("--in")) opt::unread_inputs.emplace_back("--in", path);
  if (args.find("--score")) opt::unread_inputs.emplace_back("--score", opt::score_file);
  for (const std::string& path : args.laterValues("--score")) opt::unread_inputs.emplace_back("--score", path);
}

void setExtensionOptions(CArgs& args) {
  if (args.find("--threads")) opt::threads = args.value_int("--threads");
  if (args.find("--progress")) opt::progress = args.value_int("--progress") == 1 ? 1 : 0;
  if (args.find("--bfile")) opt::bfile = args.value("--bfile");
  if (args.find("--plot")) opt::plot = args.value_int("--plot") == 1;
  if (args.find("--engine")) opt::engine = args.value("--engine");
  for (auto [name, value] : {std::pair{"--vcf", &opt::vcf}, {"--bcf", &opt::bcf}, {"--pheno", &opt::pheno},
                             {"--keep", &opt::keep}, {"--remove", &opt::remove}, {"--extract", &opt::extract},
                             {"--exclude", &opt::exclude}, {"--covar", &opt::covar},
                             {"--covar-name", &opt::covar_name}, {"--strata", &opt::strata}}) {
    if (args.find(name)) *value = args.value(name);
  }
  for (const char* name : {"--bfile", "--vcf", "--bcf", "--pheno", "--keep", "--remove", "--extract", "--exclude",
                           "--covar", "--strata"}) {
    for (const std::string& path : args.laterValues(name)) opt::unread_inputs.emplace_back(name, path);
  }
  if (args.find("--table")) opt::table_file = args.value("--table");
  if (args.find("--rank")) opt::rank = args.value("--rank");
  if (args.find("--permutations")) opt::permutations = args.value_int("--permutations");
  if (args.find("--seed")) opt::seed = args.value("--seed");
  if (args.find("--max-p")) opt::max_p = args.value("--max-p");
  if (args.find("--lambda-sample")) opt::lambda_sample = args.value("--lambda-sample");
  if (args.find("--log")) opt::log = args.value_int("--log") == 1 ? 1 : 0;
  for (const std::string_view name : kExtensionOptions) {
    if (args.find(std::string(name))) opt::extensions_given = true;
  }
  opt::significance_asked = args.find("--table") || args.find("--rank") ||
                            args.find("--permutations") || args.find("--max-p");
}

const char* getOptionString() {
  static std::string str_opt;
  str_opt.clear();
  // A PLINK set or a VCF/BCF replaces --in: name what was read.
  std::string input = opt::input_file;
  if (!opt::bfile.empty()) {
    input = opt::bfile + ".bed";
  } else if (!opt::vcf.empty()) {
    input = opt::vcf;
  } else if (!opt::bcf.empty()) {
    input = opt::bcf;
  }
  str_opt += "# input file : " + withLineEndsEscaped(input) + "\n";
  str_opt += "# result file : " + withLineEndsEscaped(opt::output_file) + "\n";
  str_opt += "# combination order : " + std::to_string(opt::order) + "\n";
  str_opt += "# K=number of final significant snps for presentation : " +
             std::to_string(opt::report_top_k) + "\n";
  return str_opt.c_str();
}

std::string withLineEndsEscaped(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) escaped += c == '\n' ? std::string("\\n") : c == '\r' ? std::string("\\r") : std::string(1, c);
  return escaped;
}

char* int2str(int value) {
  char* text = static_cast<char*>(std::malloc(100));
  if (text != nullptr) std::snprintf(text, 100, "%d", value);
  return text;
}
