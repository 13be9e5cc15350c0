// The settings of one run: globals of the namespace opt with their defaults,
// written once by setOptions before anything else runs, read-only afterwards.
#ifndef GORVA_APP_OPTIONS_H
#define GORVA_APP_OPTIONS_H

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class CArgs;

namespace opt {
extern std::string input_file;
extern std::string output_file;
extern std::string score_file;
extern std::string order_str;
extern int init_order;
extern int order;
extern std::string mdr_type;
extern int is_gmdr;
extern std::string tie;
extern int tie_idx;
extern std::string missing;
extern int missing_idx;
extern int shuffling_idx;
extern bool shuffling;
extern bool debug;
extern int report_top_k;
extern bool save_all;
extern int perm;
extern int testing_idx;
extern int measure_idx;
extern bool is_partialcv;
extern std::string all_opt;
extern int cv_fold;
extern std::string testing_method;
extern std::string measure;

// Extensions beyond the twelve classic options; a run that does not name them
// behaves exactly as without them.
extern int threads;        // "--threads": worker threads, 0 = every hardware thread
extern int progress;       // "--progress": -1 when the error stream is a terminal, 0 off, 1 on
extern std::string bfile;  // "--bfile": PLINK .bed/.bim/.fam prefix read instead of "--in"
extern bool plot;          // "--plot": one SVG cell chart per order beside the report
extern std::string engine;  // "--engine": "fast" (bit-planes) or "plain" (byte counting), same results
extern std::string vcf;      // "--vcf": VCF file (plain, gzip or bgzip) read instead of "--in"
extern std::string bcf;      // "--bcf": BCF file read instead of "--in"
extern std::string pheno;    // "--pheno": FID IID value lines, replacing the input's phenotypes
extern std::string keep;     // "--keep": only the samples named
extern std::string remove;   // "--remove": all but the samples named
extern std::string extract;  // "--extract": only the markers named
extern std::string exclude;  // "--exclude": all but the markers named
extern std::string strata;   // "--strata": each sample's population stratum (FID IID STRATUM)
// Significance: any of these given makes the run leave measures that are not
// numbers out of the ranking and assess every kept row.
extern bool significance_asked;  // "--table", "--rank", "--permutations" or "--max-p" given
extern std::string table_file;   // "--table": the tab-separated results table
extern std::string rank;         // "--rank": ig, rig, synergy or p
extern int permutations;         // "--permutations": phenotype permutations per order
extern std::string seed;         // "--seed": the generator's seed for them (text as typed)
extern std::string max_p;        // "--max-p": list every combination with p_chisq at most this
extern std::string lambda_sample;  // "--lambda-sample": combinations behind each lambda ("" = the default)
extern int log;  // "--log": REPORT.log beside the report; -1 = when an extension option is given
extern std::string covar;        // "--covar": PLINK covariate file for the adjusted p-values
extern std::string covar_name;   // "--covar-name": its columns used, "A,B"; empty: every one
// Files the command line names as inputs that the run does not read: the
// values of a repeated input option after its first (which alone counts),
// the --score file (recorded only) and the values of unknown options (a
// misspelt --strata's file). No result file may replace them.
// Each is {option, path}.
extern std::vector<std::pair<std::string, std::string>> unread_inputs;
// The first extension option value that cannot be read, as a refusal ("" when none).
extern std::string refusal;
// Some extension option is given: the run is held to the stricter rules
// (orders within the markers, two cases and two controls) and writes a log.
extern bool extensions_given;
}  // namespace opt

// The twelve options of the classic command line, each taking the word after
// its first occurrence as its value, whatever that word spells.
inline constexpr std::array<std::string_view, 12> kSpecifiedOptions = {
    "--in",      "--out",     "--order", "--type", "--score",    "--tie",
    "--missing", "--shuffle", "--debug", "--top",  "--save_all", "--perm"};

// Every option added since; each takes one value too. A new option is named
// here, or the command line calls it unknown.
inline constexpr std::array<std::string_view, 22> kExtensionOptions = {
    "--threads", "--progress", "--bfile",  "--plot",  "--engine",       "--vcf",  "--bcf",
    "--pheno",   "--keep",     "--remove", "--extract", "--exclude",    "--table", "--rank",
    "--permutations", "--seed", "--max-p", "--log", "--covar", "--covar-name",
    "--strata", "--lambda-sample"};

// Reads the extension options (they never change a classic option).
void setExtensionOptions(CArgs& args);

// Reads the twelve options of the command line into the globals of opt.
void setOptions(CArgs& args);

// The four-line summary of the principal options, each line ended by "\n".
// The text belongs to the function and is rebuilt on every call.
const char* getOptionString();

// `text` with each line feed written \n and each carriage return \r: a file
// name holding a line end cannot start a line of the report or the log that
// reads as another of its lines (a forged result row, say).
std::string withLineEndsEscaped(const std::string& text);

// The decimal text of value in a new 100-byte buffer; release it with free().
char* int2str(int value);

#endif  // GORVA_APP_OPTIONS_H
