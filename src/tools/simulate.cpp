// gorva-simulate: case/control data with a planted interaction of 2 or 3
// markers, in GORVA's text format and optionally as PLINK files.
//
// Samples are drawn case-control style: a fixed number of cases and of
// controls, the planted markers' genotypes of each from P(cell | status),
// which is proportional to P(cell) x penetrance for a case and to
// P(cell) x (1 - penetrance) for a control, with Hardy-Weinberg cell
// frequencies. Every other marker is independent of the phenotype. All
// draws come from one MT19937-64 stream in a fixed order, so a seed gives
// the same files on every platform.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

constexpr const char* kUsage =
    "Usage: gorva-simulate --out FILE [options]\n"
    "Writes a case/control data set with a planted interaction of 2 or 3 markers.\n"
    "\n"
    "  --out FILE            text data file for gorva --in (phenotype first, 1 = case)\n"
    "  --bfile-out PREFIX    also write PLINK PREFIX.bed/.bim/.fam (A1 = minor allele)\n"
    "  --markers N           markers in all, planted ones included (default 100)\n"
    "  --samples N           samples (default 2000)\n"
    "  --case-fraction F     share of cases, 0 < F < 1 (default 0.5)\n"
    "  --maf LO-HI           minor allele frequencies, uniform in [LO, HI] (default 0.05-0.5)\n"
    "  --missing-rate R      chance that a genotype is missing (code 3) (default 0)\n"
    "  --seed N              seed of the random numbers (default 1)\n"
    "  --planted A,B[,C]     names of the 2 or 3 interacting markers (default P1,P2)\n"
    "  --planted-at I,J[,K]  their positions among the markers, from 1 (default: drawn)\n"
    "  --planted-maf F       their minor allele frequency, 0 < F <= 0.5 (default: drawn like the others)\n"
    "  --penetrance V,...    P(case | genotypes) for the 3^k genotype cells, first marker\n"
    "                        slowest: for 2 markers 00,01,02,10,...,22 (genotype = copies\n"
    "                        of the minor allele) (default 0.1,0.4,0.1,0.4,0.1,0.4,0.1,0.4,0.1\n"
    "                        for 2 markers: no effect of either marker alone at MAF 0.5)\n"
    "  --odds-ratio R        instead of --penetrance: odds R times the baseline in one cell\n"
    "  --risk-cell G,H[,I]   that cell's genotypes (default 1,1 or 1,1,1)\n"
    "  --baseline-risk P     penetrance of the other cells under --odds-ratio (default 0.1)\n"
    "Two populations (population structure):\n"
    "  --population-2 F      share of the samples drawn from a second population (default 0)\n"
    "  --case-fraction-2 F   share of cases within population 2 (population 1 keeps\n"
    "                        --case-fraction) (default: --case-fraction)\n"
    "  --maf-shift D         population 2's allele frequency of every unplanted marker:\n"
    "                        population 1's plus D x u, u uniform in [-1, 1], kept within\n"
    "                        [0.01, 0.99] (default 0.1)\n"
    "  --strata-out FILE     FID IID POP lines (POP1, POP2) for gorva --strata\n"
    "  --covar-out FILE      FID IID PC1 covariate file for gorva --covar: PC1 is -1 in\n"
    "                        population 1, +1 in population 2, plus normal noise (sd 0.5)\n"
    "Samples are named as the .fam names them (F<n> S<n>) with --bfile-out, else by data\n"
    "line number (F<n> <n>), as gorva matches text samples.\n"
    "Other markers are named M<position>. The same options and seed give the same files.\n";

// The files this run has created: a run that fails part-way removes them, so
// that no cut data file (whose last line may well be whole) is taken for one
// the run finished.
std::vector<std::string> created_files;

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "gorva-simulate: %s\n", message.c_str());
  for (const std::string& path : created_files) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) std::remove(path.c_str());
  }
  std::exit(2);
}

// A whole word as a number, or a refusal naming the option.
double toNumber(const std::string& option, const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value)) {
    fail(option + " " + text + ": not a number");
  }
  return value;
}

long toCount(const std::string& option, const std::string& text, long low, long high) {
  const double value = toNumber(option, text);
  if (value != std::floor(value) || value < low || value > high) {
    fail(option + " " + text + ": expected a whole number from " + std::to_string(low) + " to " +
         std::to_string(high));
  }
  return static_cast<long>(value);
}

std::vector<std::string> splitList(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

struct Settings {
  std::string out;
  std::string bfile_out;
  long markers = 100;
  long samples = 2000;
  double case_fraction = 0.5;
  double maf_low = 0.05;
  double maf_high = 0.5;
  double missing_rate = 0;
  std::uint64_t seed = 1;
  std::vector<std::string> planted = {"P1", "P2"};
  std::vector<long> planted_at;  // 0-based, empty: drawn
  double planted_maf = -1;       // below 0: drawn
  std::vector<double> penetrance;
  double odds_ratio = 0;  // with --odds-ratio given: the one-cell model
  std::vector<int> risk_cell;
  double baseline_risk = 0.1;
  double population_2 = 0;       // share of samples from population 2
  double case_fraction_2 = -1;   // below 0: --case-fraction
  double maf_shift = 0.1;
  std::string strata_out;
  std::string covar_out;
  std::map<std::string, std::string> given;  // option -> value, as written
};

// 0.3 rather than 0.300000 or 0.30000000000000004.
std::string shortNumber(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

double fraction(const std::string& option, const std::string& text, bool open_low, bool open_high) {
  const double value = toNumber(option, text);
  if ((open_low ? value <= 0 : value < 0) || (open_high ? value >= 1 : value > 1)) {
    fail(option + " " + text + ": expected a value " + (open_low ? "above" : "from") + " 0 " +
         (open_high ? "and below" : "to") + " 1");
  }
  return value;
}

Settings parseSettings(int argc, char** argv) {
  Settings s;
  std::map<std::string, std::string>& given = s.given;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--help" || word == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (word.rfind("--", 0) != 0) fail("unexpected word " + word + " (see --help)");
    if (i + 1 >= argc) fail(word + " needs a value");
    // A repeated option is refused rather than one of its values dropped unseen.
    const std::string value = argv[++i];
    if (!given.emplace(word, value).second)
      fail(word + " is given twice (" + given[word] + " and " + value + "): give it once");
  }
  for (const auto& [option, value] : given) {
    if (option == "--out")
      s.out = value;
    else if (option == "--bfile-out")
      s.bfile_out = value;
    else if (option == "--markers")
      s.markers = toCount(option, value, 2, 1000000);
    else if (option == "--samples")
      s.samples = toCount(option, value, 2, 100000000);
    else if (option == "--case-fraction")
      s.case_fraction = fraction(option, value, true, true);
    else if (option == "--missing-rate")
      s.missing_rate = fraction(option, value, false, true);
    else if (option == "--seed")
      s.seed = static_cast<std::uint64_t>(toCount(option, value, 0, 1L << 53));
    else if (option == "--planted")
      s.planted = splitList(value, ',');
    else if (option == "--planted-maf") {
      s.planted_maf = fraction(option, value, true, false);
      // The genotype counts copies of the minor allele, as --maf draws them;
      // a frequency above 0.5 would count the major one and turn the
      // penetrance table's cells around.
      if (s.planted_maf > 0.5) {
        fail("--planted-maf " + value + ": expected a minor allele frequency above 0 and at most 0.5 (a "
             "genotype counts copies of the minor allele: give the other allele's frequency, " +
             shortNumber(1 - s.planted_maf) + ", and --penetrance's values in reverse order)");
      }
    }
    else if (option == "--odds-ratio")
      s.odds_ratio = toNumber(option, value);
    else if (option == "--baseline-risk")
      s.baseline_risk = fraction(option, value, true, true);
    else if (option == "--maf") {
      const std::vector<std::string> range = splitList(value, '-');
      if (range.size() != 2) fail("--maf " + value + ": expected LO-HI, e.g. 0.05-0.5");
      s.maf_low = fraction(option, range[0], true, false);
      s.maf_high = fraction(option, range[1], true, false);
      if (s.maf_low > s.maf_high || s.maf_high > 0.5) {
        fail("--maf " + value + ": expected 0 < LO <= HI <= 0.5");
      }
    } else if (option == "--planted-at") {
      for (const std::string& part : splitList(value, ',')) {
        s.planted_at.push_back(toCount(option, part, 1, 1000000) - 1);
      }
    } else if (option == "--penetrance") {
      for (const std::string& part : splitList(value, ',')) {
        s.penetrance.push_back(fraction(option, part, false, false));
      }
    } else if (option == "--population-2") {
      s.population_2 = fraction(option, value, false, true);
    } else if (option == "--case-fraction-2") {
      s.case_fraction_2 = fraction(option, value, true, true);
    } else if (option == "--maf-shift") {
      s.maf_shift = fraction(option, value, false, false);
    } else if (option == "--strata-out") {
      s.strata_out = value;
    } else if (option == "--covar-out") {
      s.covar_out = value;
    } else if (option == "--risk-cell") {
      for (const std::string& part : splitList(value, ',')) {
        s.risk_cell.push_back(static_cast<int>(toCount(option, part, 0, 2)));
      }
    } else {
      fail("unknown option " + option + " (see --help)");
    }
  }
  return s;
}

// Two outputs on one file would leave only the last written, under a run that
// ends as if every file had been made: `--out d.txt --covar-out d.txt`, or
// `--strata-out d.bed` beside `--bfile-out d`. Names are compared as written
// and, for files that exist, by device and inode (a link, `./d.txt`).
void refuseSharedOutputs(const Settings& s) {
  std::vector<std::pair<std::string, std::string>> outputs;  // option, file
  if (!s.out.empty()) outputs.emplace_back("--out", s.out);
  if (!s.bfile_out.empty()) {
    for (const char* suffix : {".bed", ".bim", ".fam"}) outputs.emplace_back("--bfile-out", s.bfile_out + suffix);
  }
  if (!s.strata_out.empty()) outputs.emplace_back("--strata-out", s.strata_out);
  if (!s.covar_out.empty()) outputs.emplace_back("--covar-out", s.covar_out);
  for (std::size_t a = 0; a < outputs.size(); ++a) {
    struct stat a_status {};
    const bool a_exists = ::stat(outputs[a].second.c_str(), &a_status) == 0;
    for (std::size_t b = a + 1; b < outputs.size(); ++b) {
      struct stat b_status {};
      const bool same = outputs[a].second == outputs[b].second ||
                        (a_exists && ::stat(outputs[b].second.c_str(), &b_status) == 0 &&
                         a_status.st_dev == b_status.st_dev && a_status.st_ino == b_status.st_ino);
      if (same) {
        fail(outputs[a].first + " and " + outputs[b].first + " both write " + outputs[b].second +
             ": give each output a file of its own");
      }
    }
  }
}

// Checks the settings against each other and fills the model defaults.
void completeSettings(Settings& s) {
  const std::map<std::string, std::string>& given = s.given;
  if (s.out.empty() && s.bfile_out.empty()) fail("nothing to write: give --out FILE (see --help)");
  const std::size_t k = s.planted.size();
  if (k != 2 && k != 3) fail("--planted: give 2 or 3 names, separated by commas");
  if (s.markers < static_cast<long>(k)) fail("--markers: fewer markers than planted ones");
  if (static_cast<double>(s.markers) * s.samples > 2147483647.0) {
    fail("--markers x --samples: more than 2147483647 genotypes, which gorva cannot read");
  }
  for (const std::string& name : s.planted) {
    if (name.empty() || name.size() > 254 || name.find_first_of(" \t\r\n") != std::string::npos) {
      fail("--planted: the name \"" + name + "\" must have 1 to 254 characters without blanks");
    }
  }
  if (!s.planted_at.empty()) {
    if (s.planted_at.size() != k) fail("--planted-at: give one position per planted marker");
    for (const long position : s.planted_at) {
      if (position >= s.markers)
        fail("--planted-at: position " + std::to_string(position + 1) + " is beyond --markers");
    }
    if (std::set<long>(s.planted_at.begin(), s.planted_at.end()).size() != k) {
      fail("--planted-at: the positions must differ");
    }
  }
  refuseSharedOutputs(s);
  if (s.case_fraction_2 < 0) s.case_fraction_2 = s.case_fraction;
  // The class sizes drawn below: a file of fewer than 2 cases or controls
  // is one gorva refuses to search, written as if it were a data set.
  const long second_population = std::lround(s.population_2 * s.samples);
  const long drawn_cases = std::lround(s.case_fraction * (s.samples - second_population)) +
                           std::lround(s.case_fraction_2 * second_population);
  if (drawn_cases < 2 || s.samples - drawn_cases < 2) {
    const long controls = s.samples - drawn_cases;
    fail("--case-fraction of " + std::to_string(s.samples) + " samples gives " + std::to_string(drawn_cases) +
         (drawn_cases == 1 ? " case and " : " cases and ") + std::to_string(controls) +
         (controls == 1 ? " control" : " controls") +
         ": a case/control search needs at least 2 of each (more samples, or a share nearer 0.5)");
  }
  if (s.population_2 == 0 && (!s.strata_out.empty() || !s.covar_out.empty())) {
    fail("--strata-out and --covar-out describe two populations: give --population-2 F too");
  }
  // A setting of a model the run does not draw would be dropped unseen, so it is refused.
  if (s.population_2 == 0 && (given.count("--case-fraction-2") || given.count("--maf-shift"))) {
    fail("--case-fraction-2 and --maf-shift describe the second population: give --population-2 F too");
  }
  if (!given.count("--odds-ratio") && (given.count("--risk-cell") || given.count("--baseline-risk"))) {
    fail("--risk-cell and --baseline-risk describe the --odds-ratio model: give --odds-ratio R too");
  }
  const std::size_t cells = k == 2 ? 9 : 27;
  if (given.count("--odds-ratio")) {
    if (s.odds_ratio <= 0) fail("--odds-ratio " + given.at("--odds-ratio") + ": expected a value above 0");
    if (!s.penetrance.empty()) fail("give either --penetrance or --odds-ratio, not both");
    if (s.risk_cell.empty()) s.risk_cell.assign(k, 1);
    if (s.risk_cell.size() != k)
      fail("--risk-cell: give one genotype (0, 1, 2) per planted marker");
    const double base_odds = s.baseline_risk / (1 - s.baseline_risk);
    const double risk_odds = base_odds * s.odds_ratio;
    std::size_t risk_index = 0;
    for (const int g : s.risk_cell) risk_index = risk_index * 3 + g;
    s.penetrance.assign(cells, s.baseline_risk);
    s.penetrance[risk_index] = risk_odds / (1 + risk_odds);
  } else if (s.penetrance.empty()) {
    for (std::size_t c = 0; c < cells; ++c) {
      int digit_sum = 0;
      for (std::size_t rest = c; rest > 0; rest /= 3) digit_sum += static_cast<int>(rest % 3);
      s.penetrance.push_back(digit_sum % 2 == 0 ? 0.1 : 0.4);
    }
  }
  if (s.penetrance.size() != cells) {
    fail("--penetrance: " + std::to_string(k) + " planted markers need " + std::to_string(cells) +
         " values, " + std::to_string(s.penetrance.size()) + " given");
  }
}

class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}
  double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
  long below(long n) { return static_cast<long>(uniform() * static_cast<double>(n)); }
  // Copies of the minor allele under Hardy-Weinberg equilibrium.
  unsigned char genotype(double maf) {
    return static_cast<unsigned char>((uniform() < maf) + (uniform() < maf));
  }

 private:
  std::mt19937_64 engine_;
};

double genotypeFrequency(int g, double maf) {
  return g == 0 ? (1 - maf) * (1 - maf) : g == 1 ? 2 * maf * (1 - maf) : maf * maf;
}

struct DataSet {
  std::vector<std::string> names;
  std::vector<char> allele1;  // minor allele letter per marker
  std::vector<char> allele2;
  std::vector<unsigned char> cases;      // per sample: 1 case, 0 control
  std::vector<unsigned char> genotypes;  // marker-major, 3 = missing
  std::vector<unsigned char> population;  // per sample 0 or 1; empty: one population
  std::vector<double> pc1;                // per sample, with two populations
};

DataSet simulate(const Settings& s, std::vector<long>& planted_at) {
  Random random(s.seed);
  const long M = s.markers;
  const long N = s.samples;
  const std::size_t k = s.planted.size();
  DataSet data;
  std::vector<double> maf(M);
  for (long m = 0; m < M; ++m) maf[m] = s.maf_low + (s.maf_high - s.maf_low) * random.uniform();
  planted_at = s.planted_at;
  while (planted_at.size() < k) {
    const long position = random.below(M);
    if (std::find(planted_at.begin(), planted_at.end(), position) == planted_at.end())
      planted_at.push_back(position);
  }
  if (s.planted_maf > 0) {
    for (const long position : planted_at) maf[position] = s.planted_maf;
  }
  const char letters[4] = {'A', 'C', 'G', 'T'};
  for (long m = 0; m < M; ++m) {
    data.names.push_back("M" + std::to_string(m + 1));
    const long first = random.below(4);
    data.allele1.push_back(letters[first]);
    data.allele2.push_back(letters[(first + 1 + random.below(3)) % 4]);
  }
  for (std::size_t j = 0; j < k; ++j) data.names[planted_at[j]] = s.planted[j];
  if (std::set<std::string>(data.names.begin(), data.names.end()).size() != data.names.size()) {
    fail("--planted: a name repeats another marker's name (the others are M1, M2, ...)");
  }

  // P(cell | case) and P(cell | control) as cumulative tables.
  const std::size_t cells = s.penetrance.size();
  std::vector<double> case_weight(cells), control_weight(cells);
  for (std::size_t c = 0; c < cells; ++c) {
    double frequency = 1;
    std::size_t rest = c;
    for (std::size_t j = k; j-- > 0; rest /= 3)
      frequency *= genotypeFrequency(static_cast<int>(rest % 3), maf[planted_at[j]]);
    case_weight[c] = frequency * s.penetrance[c] + (c ? case_weight[c - 1] : 0);
    control_weight[c] = frequency * (1 - s.penetrance[c]) + (c ? control_weight[c - 1] : 0);
  }
  if (case_weight.back() <= 0) fail("the penetrance is 0 in every cell: no case can be drawn");
  if (control_weight.back() <= 0)
    fail("the penetrance is 1 in every cell: no control can be drawn");

  const long case_count = std::lround(s.case_fraction * N);
  data.cases.assign(N, 0);
  std::vector<double> maf_2;
  if (s.population_2 > 0) {
    // Population 2 holds the last samples before the shuffle, with cases
    // in its own share; both shuffled together.
    const long second = std::lround(s.population_2 * N);
    const long first = N - second;
    data.population.assign(N, 0);
    std::fill(data.population.begin() + first, data.population.end(), 1);
    std::fill_n(data.cases.begin(), std::lround(s.case_fraction * first), 1);
    std::fill_n(data.cases.begin() + first, std::lround(s.case_fraction_2 * second), 1);
    for (long i = N - 1; i > 0; --i) {
      const long j = random.below(i + 1);
      std::swap(data.cases[i], data.cases[j]);
      std::swap(data.population[i], data.population[j]);
    }
    for (long m = 0; m < M; ++m) {
      maf_2.push_back(std::clamp(maf[m] + s.maf_shift * (2 * random.uniform() - 1), 0.01, 0.99));
    }
  } else {
    std::fill_n(data.cases.begin(), case_count, 1);
    for (long i = N - 1; i > 0; --i) std::swap(data.cases[i], data.cases[random.below(i + 1)]);
  }

  data.genotypes.assign(static_cast<std::size_t>(M) * N, 0);
  for (long s_index = 0; s_index < N; ++s_index) {
    const std::vector<double>& weight = data.cases[s_index] ? case_weight : control_weight;
    const double pick = random.uniform() * weight.back();
    std::size_t cell = 0;
    while (cell + 1 < cells && weight[cell] <= pick) ++cell;
    std::vector<int> digits(k);
    for (std::size_t j = k; j-- > 0; cell /= 3) digits[j] = static_cast<int>(cell % 3);
    for (long m = 0; m < M; ++m) {
      const auto planted = std::find(planted_at.begin(), planted_at.end(), m);
      unsigned char g = planted != planted_at.end()
                            ? static_cast<unsigned char>(digits[planted - planted_at.begin()])
                            : random.genotype(maf_2.empty() || !data.population[s_index] ? maf[m] : maf_2[m]);
      if (s.missing_rate > 0 && random.uniform() < s.missing_rate) g = 3;
      data.genotypes[static_cast<std::size_t>(m) * N + s_index] = g;
    }
  }
  for (long s_index = 0; s_index < static_cast<long>(data.population.size()); ++s_index) {
    // Box-Muller: one normal draw from two uniforms.
    const double noise = std::sqrt(-2 * std::log(1 - random.uniform())) * std::cos(2 * M_PI * random.uniform());
    data.pc1.push_back((data.population[s_index] ? 1.0 : -1.0) + 0.5 * noise);
  }
  return data;
}

void writeOrFail(std::FILE* file, const std::string& bytes, const std::string& path) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size())
    fail("cannot write " + path + ": " + std::strerror(errno));
}

std::FILE* create(const std::string& path, const char* mode) {
  std::FILE* file = std::fopen(path.c_str(), mode);
  if (file == nullptr) fail("cannot create " + path + ": " + std::strerror(errno));
  created_files.push_back(path);
  return file;
}

void finish(std::FILE* file, const std::string& path) {
  if (std::fclose(file) != 0) fail("cannot write " + path + ": " + std::strerror(errno));
}

void writeText(const DataSet& data, const std::string& path) {
  const long M = static_cast<long>(data.names.size());
  const long N = static_cast<long>(data.cases.size());
  std::FILE* file = create(path, "wb");
  std::string line = "Class";
  for (const std::string& name : data.names) line += "\t" + name;
  writeOrFail(file, line + "\n", path);
  for (long s = 0; s < N; ++s) {
    line.assign(1, data.cases[s] ? '1' : '0');
    for (long m = 0; m < M; ++m) {
      line += '\t';
      line += static_cast<char>('0' + data.genotypes[static_cast<std::size_t>(m) * N + s]);
    }
    writeOrFail(file, line + "\n", path);
  }
  finish(file, path);
}

void writePlink(const DataSet& data, const std::string& prefix) {
  const long M = static_cast<long>(data.names.size());
  const long N = static_cast<long>(data.cases.size());
  std::FILE* fam = create(prefix + ".fam", "wb");
  for (long s = 0; s < N; ++s) {
    writeOrFail(fam,
                "F" + std::to_string(s + 1) + " S" + std::to_string(s + 1) + " 0 0 0 " +
                    (data.cases[s] ? "2" : "1") + "\n",
                prefix + ".fam");
  }
  finish(fam, prefix + ".fam");
  std::FILE* bim = create(prefix + ".bim", "wb");
  for (long m = 0; m < M; ++m) {
    writeOrFail(bim,
                "1\t" + data.names[m] + "\t0\t" + std::to_string((m + 1) * 1000) + "\t" +
                    data.allele1[m] + "\t" + data.allele2[m] + "\n",
                prefix + ".bim");
  }
  finish(bim, prefix + ".bim");
  // 2 copies of A1 -> 00, missing -> 01, 1 copy -> 10, 0 copies -> 11.
  constexpr unsigned char kBits[4] = {3, 2, 0, 1};
  std::FILE* bed = create(prefix + ".bed", "wb");
  std::string bytes = {0x6c, 0x1b, 0x01};
  std::string packed((N + 3) / 4, '\0');
  writeOrFail(bed, bytes, prefix + ".bed");
  for (long m = 0; m < M; ++m) {
    std::fill(packed.begin(), packed.end(), '\0');
    for (long s = 0; s < N; ++s) {
      const unsigned char g = data.genotypes[static_cast<std::size_t>(m) * N + s];
      packed[s / 4] = static_cast<char>(packed[s / 4] | (kBits[g] << (2 * (s % 4))));
    }
    writeOrFail(bed, packed, prefix + ".bed");
  }
  finish(bed, prefix + ".bed");
}

// "FID IID" of sample s as gorva matches it in the data written.
std::string sampleName(long s, bool plink) {
  return "F" + std::to_string(s + 1) + (plink ? " S" : " ") + std::to_string(s + 1);
}

void writeStrata(const DataSet& data, const std::string& path, bool plink) {
  std::FILE* file = create(path, "wb");
  writeOrFail(file, "FID IID POP\n", path);
  for (long s = 0; s < static_cast<long>(data.population.size()); ++s) {
    writeOrFail(file, sampleName(s, plink) + (data.population[s] ? " POP2\n" : " POP1\n"), path);
  }
  finish(file, path);
}

void writeCovariates(const DataSet& data, const std::string& path, bool plink) {
  std::FILE* file = create(path, "wb");
  writeOrFail(file, "FID IID PC1\n", path);
  char value[32];
  for (long s = 0; s < static_cast<long>(data.pc1.size()); ++s) {
    std::snprintf(value, sizeof value, " %.6f\n", data.pc1[s]);
    writeOrFail(file, sampleName(s, plink) + value, path);
  }
  finish(file, path);
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings = parseSettings(argc, argv);
  completeSettings(settings);
  std::vector<long> planted_at;
  const DataSet data = simulate(settings, planted_at);
  if (!settings.out.empty()) writeText(data, settings.out);
  if (!settings.bfile_out.empty()) writePlink(data, settings.bfile_out);
  if (!settings.strata_out.empty()) writeStrata(data, settings.strata_out, !settings.bfile_out.empty());
  if (!settings.covar_out.empty()) writeCovariates(data, settings.covar_out, !settings.bfile_out.empty());

  long cases = 0;
  for (const unsigned char c : data.cases) cases += c;
  std::printf("gorva-simulate: %ld markers x %ld samples (%ld cases), seed %llu; planted",
              settings.markers, settings.samples, cases,
              static_cast<unsigned long long>(settings.seed));
  for (std::size_t j = 0; j < planted_at.size(); ++j) {
    std::printf("%s %s at marker %ld", j ? "," : "", settings.planted[j].c_str(),
                planted_at[j] + 1);
  }
  std::printf("\npenetrance:");
  for (const double p : settings.penetrance) std::printf(" %g", p);
  std::printf("\n");
  return 0;
}
