// The usage text lists the options in the order a user needs them: input,
// output, the search, then the words that are only recorded.
#include "app/usage.h"

#include <cstdio>
#include <string_view>

#include "app/options.h"
#include "core/search_constants.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/significance/structure_results.h"

namespace {

std::string orNone(const std::string& value) { return value.empty() ? "none" : value; }

std::string flag(bool value) { return value ? "1" : "0"; }

constexpr std::size_t kMeaningColumn = 24;
constexpr std::size_t kLineWidth = 79;

// One option: its name and value word, then its meaning wrapped into the
// column beside it, ending with its default when it has one.
void addOption(std::string& text, std::string_view name, std::string_view meaning,
               const std::string& default_value = "") {
  std::string line = "  ";
  line += name;
  line.append(line.size() < kMeaningColumn ? kMeaningColumn - line.size() : 1, ' ');
  std::string words(meaning);
  if (!default_value.empty()) words += " (default: " + default_value + ")";
  std::size_t start = 0;
  bool first_word = true;
  while (start < words.size()) {
    std::size_t end = words.find(' ', start);
    if (end == std::string::npos) end = words.size();
    const std::string_view word = std::string_view(words).substr(start, end - start);
    if (!first_word && line.size() + 1 + word.size() > kLineWidth) {
      text += line + "\n";
      line.assign(kMeaningColumn, ' ');
      first_word = true;
    }
    if (!first_word) line += ' ';
    line += word;
    first_word = false;
    start = end + 1;
  }
  text += line + "\n";
}

}  // namespace

HelpRequest findHelpRequest(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (word == "--help" || word == "-h") return HelpRequest::kUsage;
    if (word == "--version") {
      for (int j = 1; j < argc; ++j)
        if (std::string_view(argv[j]) == "--verbose") return HelpRequest::kVerboseVersion;
      return HelpRequest::kVersion;
    }
    if (word.size() > 2 && word.substr(0, 2) == "--") ++i;  // its value word
  }
  return HelpRequest::kNone;
}

std::string usageText() {
  std::string text =
      "Usage: gorva --in DATA.txt --out REPORT.txt [options]\n"
      "       gorva --bfile PREFIX --out REPORT.txt [options]\n"
      "       gorva --vcf FILE.vcf[.gz] --pheno PHENO.txt --out REPORT.txt [options]\n"
      "\n"
      "Searches every combination of k markers, for each order k of the range, for the\n"
      "combinations whose genotype cells tell most about a case/control phenotype\n"
      "(information gain IG in bits, RIG = IG / phenotype entropy), keeps the best of\n"
      "each order with a chi-square p-value and writes them to the report.\n"
      "Every option takes one value; unknown words are ignored.\n"
      "\n"
      "Input and output:\n";
  addOption(text, "--in FILE",
            "tab-separated data: a header line, then one line per sample with the "
            "phenotype first (1 = case) and genotype codes 0, 1, 2 (3 = missing)",
            orNone(opt::input_file));
  addOption(text, "--bfile PREFIX",
            "read PLINK PREFIX.bed/.bim/.fam instead of --in (SNP-major .bed; .fam "
            "phenotype 2 = case, 1 = control, others left out)",
            orNone(opt::bfile));
  addOption(text, "--vcf FILE",
            "read a VCF (plain, gzip or bgzip) instead of --in: genotype = copies of ALT "
            "from GT; multi-allelic records and records without GT are skipped; needs --pheno",
            orNone(opt::vcf));
  addOption(text, "--bcf FILE", "read a BCF instead of --in, like --vcf", orNone(opt::bcf));
  addOption(text, "--pheno FILE",
            "FID IID value lines (2 = case, 1 = control, 0/-9/NA missing) replacing the "
            "input's phenotypes; samples without one are left out",
            orNone(opt::pheno));
  addOption(text, "--keep FILE",
            "only the samples named (FID IID per line; for text and VCF the IID alone will "
            "do; text samples are named by their data line number)",
            orNone(opt::keep));
  addOption(text, "--remove FILE", "all but the samples named, as --keep", orNone(opt::remove));
  addOption(text, "--extract FILE", "only the markers named, one per line", orNone(opt::extract));
  addOption(text, "--exclude FILE", "all but the markers named, one per line", orNone(opt::exclude));
  addOption(text, "--strata FILE",
            "FID IID STRATUM lines: every measure conditional on the stratum, permutations "
            "within strata; samples without one are left out",
            orNone(opt::strata));
  addOption(text, "--out FILE", "the report file, created or emptied", orNone(opt::output_file));
  addOption(text, "--save_all 0|1", "1: also write every scored combination to FILE.all",
            flag(opt::save_all));
  addOption(text, "--plot 0|1", "1: one SVG cell chart per order, FILE.order<k>.svg",
            flag(opt::plot));
  addOption(text, "--log 0|1",
            "1: a run log FILE.log beside the report (the options as read, the inputs, "
            "what was left out and warned about, the tests of each order, time and memory); "
            "a run that names only the classic twelve options writes none unless asked",
            opt::log < 0 ? "1 with any other option" : flag(opt::log == 1));
  text += "\nSearch:\n";
  addOption(text, "--order K|K1-K2", "the combination orders searched, e.g. 2 or 2-3",
            opt::order_str);
  addOption(text, "--top N", "combinations kept and reported per order",
            std::to_string(opt::report_top_k));
  addOption(text, "--missing WORD",
            "missing-data method: none, mc, complete, available, imputation, em", opt::missing);
  addOption(text, "--threads N", "worker threads of the search, 0 = every hardware thread",
            std::to_string(opt::threads));
  addOption(text, "--engine WORD",
            "counting engine: fast (bit-planes) or plain (byte counting); the results "
            "are the same",
            opt::engine);
  addOption(text, "--progress 0|1",
            "a progress line per order on the error stream; without the option it is "
            "shown only when the error stream is a terminal",
            opt::progress < 0 ? "terminal only" : flag(opt::progress == 1));
  text += "\nSignificance (measures that are not numbers are then left out of the ranking):\n";
  addOption(text, "--table FILE",
            "tab-separated table of the reported combinations with their own counts, df, "
            "chi-square, Bonferroni, permutation and interaction p-values",
            orNone(opt::table_file));
  addOption(text, "--rank WORD", "ranking measure: ig, rig, synergy (IG less the markers' own) or p (p_chisq)",
            opt::rank);
  addOption(text, "--permutations N",
            "with --table: phenotype permutations per order for family-wise p-values (max statistic)",
            std::to_string(opt::permutations));
  addOption(text, "--seed S", "seed of the permutations", opt::seed);
  addOption(text, "--max-p P",
            "with --table: list every combination with p_chisq <= P, not only the --top best",
            opt::max_p.empty() ? "off" : opt::max_p);
  addOption(text, "--covar FILE",
            "with --table: PLINK covariate file (FID IID name...; -9/NA missing, such samples "
            "left out); adds logistic-regression p_adjusted and p_interaction_adjusted",
            orNone(opt::covar));
  addOption(text, "--covar-name A,B", "the covariate columns used", opt::covar_name.empty() ? "all" : opt::covar_name);
  addOption(text, "--lambda-sample N",
            "with --table: each order's lambda_gc and lambda_gc_adjusted from all its combinations up to N, "
            "else from N drawn with --seed (fewer: faster, noisier)",
            opt::lambda_sample.empty() ? std::to_string(kGenomicControlCombinations) : opt::lambda_sample);
  text += "\nRecorded in the report, no effect on the results:\n";
  addOption(text, "--type WORD", "analysis type word (mdr, gmdr)", opt::mdr_type);
  addOption(text, "--score FILE", "score file name (not read)", orNone(opt::score_file));
  addOption(text, "--tie WORD", "tie rule: high, low, ignore", opt::tie);
  addOption(text, "--shuffle 0|1", "shuffling flag", std::to_string(opt::shuffling_idx));
  addOption(text, "--debug 0|1", "debug flag", flag(opt::debug));
  addOption(text, "--perm N", "permutation count", std::to_string(opt::perm));
  text += "\nOther:\n";
  addOption(text, "-h, --help", "this text");
  addOption(text, "--version",
            "the version line; with --verbose also the SIMD path searches take here and the paths this CPU lacks");
  text +=
      "\n"
      "Exit status: 0 after a run (also after \"Cannot open the text file!!\" and\n"
      "\"Cannot save the text file!!\" when only the classic options are given), 1 an\n"
      "option without its value, 2 input refused (nothing is created or changed),\n"
      "3 out of memory, 4 a result file could not be created or written completely.\n"
      "See gorva(1) for the formats, the missing-data methods and the report.\n";
  return text;
}

std::string versionText(bool verbose) {
  std::string text = std::string("GORVA ") + kVersionText + "\n";
  if (!verbose) return text;
  std::string lacking;
  for (int p = 0; p < kSimdPathCount; ++p) {
    const auto path = static_cast<SimdPath>(p);
    if (!simdPathSupported(path)) lacking += std::string(lacking.empty() ? "" : ", ") + simdPathName(path);
  }
  return text + "SIMD path: " + simdPathName(activeSimdPath()) + " (this CPU lacks: " +
         (lacking.empty() ? "none" : lacking) + ")\n";
}
