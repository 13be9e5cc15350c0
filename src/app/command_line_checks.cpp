#include "app/command_line_checks.h"

#include <algorithm>
#include <climits>
#include <string_view>

#include "app/options.h"
#include "app/text_to_int.h"
#include "io/option_values.h"
#include "core/search_constants.h"

namespace {

constexpr std::array<std::string_view, 3> kTieWords = {"high", "low", "ignore"};
constexpr std::array<std::string_view, 2> kEngineWords = {"fast", "plain"};
constexpr std::array<std::string_view, 3> kHelpWords = {"--help", "-h", "--version"};

bool isSpecified(std::string_view word) {
  return std::find(kSpecifiedOptions.begin(), kSpecifiedOptions.end(), word) != kSpecifiedOptions.end();
}

bool isExtension(std::string_view word) {
  return std::find(kExtensionOptions.begin(), kExtensionOptions.end(), word) != kExtensionOptions.end();
}

bool isKnownOption(std::string_view word) {
  return isSpecified(word) || isExtension(word) ||
         std::find(kHelpWords.begin(), kHelpWords.end(), word) != kHelpWords.end();
}

// Edits (insert, delete, replace, swap two neighbours) that turn a into b.
std::size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

template <std::size_t N>
std::string joined(const std::array<std::string_view, N>& words) {
  std::string text;
  for (std::size_t i = 0; i < N; ++i) text += (i == 0 ? "" : ", ") + std::string(words[i]);
  return text;
}

template <std::size_t N>
bool isOneOf(const std::string& word, const std::array<std::string_view, N>& words) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

// The nearest of `words` to an unknown one, when it is near enough to be a
// typo (an empty word, an unset shell variable's, is a typo of nothing).
template <std::size_t N>
std::string nearestWord(const std::string& word, const std::array<std::string_view, N>& words) {
  std::string best;
  if (word.empty()) return best;
  std::size_t best_distance = std::max<std::size_t>(2, word.size() / 3) + 1;
  for (const std::string_view candidate : words) {
    const std::size_t distance = editDistance(word, candidate);
    if (distance < best_distance) {
      best_distance = distance;
      best = candidate;
    }
  }
  return best;
}

// Finds options and their values in one list of words (the raw command line
// for the classic options, the blanked one for the extensions).
class OptionWords {
 public:
  explicit OptionWords(std::vector<std::string> words) : words_(std::move(words)), used_(words_.size()) {}

  // Marks the option's words as read; the index of its value word, or -1.
  int take(std::string_view name, std::vector<std::string>& warnings, bool warn_of_option_values = true) {
    int first = -1;
    int occurrences = 0;
    for (std::size_t i = 1; i < words_.size(); ++i) {
      if (words_[i] != name) continue;
      used_[i] = true;
      if (occurrences++ == 0) first = static_cast<int>(i);
      // A repeated option's value is named in the warning below.
      else if (i + 1 < words_.size() && !isKnownOption(words_[i + 1])) used_[i + 1] = true;
    }
    if (first < 0 || first + 1 >= static_cast<int>(words_.size())) return -1;
    used_[first + 1] = true;
    const std::string& value = words_[first + 1];
    if (occurrences > 1) {
      warnings.push_back(std::string(name) + " is given " + std::to_string(occurrences) +
                         " times: the first, " + std::string(name) + " " + value + ", is used");
    }
    if (warn_of_option_values && isKnownOption(value)) {
      warnings.push_back(std::string(name) + " takes the option name " + value +
                         " as its value: give " + std::string(name) + " a value of its own");
    }
    return first + 1;
  }
  const std::string* value(std::string_view name) const {
    for (std::size_t i = 1; i + 1 < words_.size(); ++i) {
      if (words_[i] == name) return &words_[i + 1];
    }
    return nullptr;
  }
  bool used(std::size_t i) const { return used_[i]; }

 private:
  std::vector<std::string> words_;
  std::vector<bool> used_;
};

void warnWordOption(const std::string& name, const std::string* text, const std::string& used_word,
                    const std::string& accepted, const std::string& near, std::vector<std::string>& warnings) {
  if (text == nullptr || *text == used_word) return;
  warnings.push_back(name + " " + *text + " is not one of " + accepted + "; " + used_word + " is used" +
                     (near.empty() ? "" : " (did you mean " + near + "?)"));
}

// The classic options read their numbers as atoi does; say so where that
// reading is not what was written.
void warnNumberReading(const std::string& name, const std::string* text, std::vector<std::string>& warnings) {
  long long value = 0;
  if (text == nullptr || readWholeNumber(*text, INT_MIN, INT_MAX, value)) return;
  warnings.push_back(name + " " + *text + " is read as " + std::to_string(textToInt(*text)) +
                     " (its leading digits, within the range of int): write a whole number");
}

void warnSwitchReading(const std::string& name, const std::string* text, std::vector<std::string>& warnings) {
  if (text == nullptr || *text == "0" || *text == "1") return;
  warnings.push_back(name + " " + *text + " is read as " + (textToInt(*text) == 1 ? "1 (on)" : "0 (off)") +
                     ": only a value that reads as 1 turns it on");
}

// An order (2) or a range (2-3) of whole numbers, as --order is meant to be written.
bool orderReadsWhole(const std::string& text) {
  const std::size_t dash = text.find('-', text.empty() ? 0 : 1);
  long long value = 0;
  return dash == std::string::npos ? readWholeNumber(text, 1, INT_MAX, value)
                                   : readWholeNumber(std::string_view(text).substr(0, dash), 1, INT_MAX, value) &&
                                         readWholeNumber(std::string_view(text).substr(dash + 1), 1, INT_MAX, value);
}

void warnOrderReading(const std::string* text, std::vector<std::string>& warnings) {
  if (text == nullptr || orderReadsWhole(*text)) return;
  warnings.push_back("--order " + *text + " is read as " + std::to_string(opt::init_order) + "-" +
                     std::to_string(opt::order) + ": write an order (2) or a range (2-3)");
}

// An extension option's value that cannot be read: "" or the refusal.
std::string refuseExtensionValue(const OptionWords& words) {
  const auto text = [&words](std::string_view name) { return words.value(name); };
  // An unset shell variable ("--strata $STRATA") would otherwise quietly run
  // without the file: unstratified, without the table, on the input's own
  // phenotypes.
  for (const std::string_view name : kExtensionOptions) {
    const std::string* value = text(name);
    if (value != nullptr && value->empty())
      return std::string(name) + " is given an empty value: give it one, or leave the option out";
    // "--table --order 2" forgot the table's name: run on, it would write a
    // table named --order (or read a --keep file of that name).
    if (value != nullptr && isKnownOption(*value))
      return std::string(name) + " takes the option name " + *value + " as its value: give " + std::string(name) +
             " a value of its own (./" + *value + " names a file of that name)";
  }
  // "-" is standard output to many programs; a table written to a file
  // named - would be looked for on the console.
  if (const std::string* table = text("--table"); table != nullptr && *table == "-")
    return "--table -: write /dev/stdout for standard output (./- names a file called -)";
  if (const std::string* threads = text("--threads")) {
    const std::string refusal = wholeNumberRefusal("--threads", *threads, 0, kMostWorkerThreads);
    if (!refusal.empty()) return refusal + " (0 = every hardware thread)";
  }
  for (const std::string_view name : {"--progress", "--plot", "--log"}) {
    const std::string* value = text(name);
    if (value != nullptr && *value != "0" && *value != "1") return std::string(name) + " " + *value + ": write 0 or 1";
  }
  if (const std::string* engine = text("--engine"); engine != nullptr && !isOneOf(*engine, kEngineWords)) {
    return "--engine " + *engine + ": not one of " + joined(kEngineWords);
  }
  if (const std::string* permutations = text("--permutations")) {
    const std::string refusal = wholeNumberRefusal("--permutations", *permutations, 0, INT_MAX);
    if (!refusal.empty()) return refusal;
  }
  return "";
}

// A word written as an option by other means than "--": with a word
// processor's dash (en dash, em dash, minus sign or hyphen for "--", as text
// pasted from a document carries it), or an option's name without its
// dashes ("keep k.txt"). The option's spelling ("--keep"), else "".
std::string optionSpelledOtherwise(const std::string& word) {
  static constexpr std::array<std::string_view, 6> kDashes = {"\u2010", "\u2011", "\u2012",
                                                              "\u2013", "\u2014", "\u2212"};
  std::string_view rest(word);
  bool dashed = false;
  for (bool more = true; more;) {
    more = false;
    for (const std::string_view dash : kDashes) {
      if (rest.substr(0, dash.size()) != dash) continue;
      rest.remove_prefix(dash.size());
      dashed = more = true;
    }
    if (!rest.empty() && rest[0] == '-') {
      rest.remove_prefix(1);
      more = true;
    }
  }
  if (dashed) return rest.empty() ? "" : "--" + std::string(rest);
  if (word.empty() || word[0] == '-') return "";
  // Only the names that take a value: a bare "help" asks for nothing.
  const std::string name = "--" + word.substr(0, word.find('='));
  return isSpecified(name) || isExtension(name) ? "--" + word : "";
}

}  // namespace

WordsOutsideValues::WordsOutsideValues(int argc, char** argv) : words_(argv, argv + argc) {
  for (const std::string_view name : kSpecifiedOptions) {
    for (int i = 0; i < argc; ++i) {
      if (argv[i] != name) continue;
      if (i + 1 < argc) words_[i + 1].clear();
      break;
    }
  }
  for (std::string& word : words_) pointers_.push_back(word.data());
}

std::string nearestOption(const std::string& word) {
  const std::size_t equals = word.find('=');
  const std::string name = word.substr(0, equals);
  const std::string value = equals == std::string::npos ? "" : " " + word.substr(equals + 1);
  if (isKnownOption(name)) return name + value;
  std::string best = nearestWord(name, kSpecifiedOptions);
  const std::string extension = nearestWord(name, kExtensionOptions);
  if (best.empty() || (!extension.empty() && editDistance(name, extension) < editDistance(name, best))) {
    best = extension;
  }
  return best.empty() ? "" : best + value;
}

CommandLineVerdict judgeCommandLine(int argc, char** argv) {
  CommandLineVerdict verdict;
  std::vector<std::string>& warnings = verdict.warnings;
  OptionWords classic(std::vector<std::string>(argv, argv + argc));
  for (const std::string_view name : kSpecifiedOptions) classic.take(name, warnings);
  WordsOutsideValues blanked(argc, argv);
  OptionWords extension(std::vector<std::string>(blanked.argv(), blanked.argv() + blanked.count()));
  // An extension option given an option's name is refused below, not warned about.
  for (const std::string_view name : kExtensionOptions) extension.take(name, warnings, false);

  for (int i = 1; i < argc; ++i) {
    if (classic.used(i) || extension.used(i)) continue;
    const std::string word = argv[i];
    // Read as the option it spells, so that its value is guarded as an
    // input: "\u2014strata s.txt --out s.txt" wrote the report over s.txt.
    const std::string spelled = optionSpelledOtherwise(word);
    if ((word.empty() || word[0] != '-') && spelled.empty()) {
      warnings.push_back("the word \"" + word + "\" is neither an option nor an option's value, and is ignored");
      continue;
    }
    // An unknown option's value word goes with it into one warning.
    std::string value;
    if (word.find('=') == std::string::npos && i + 1 < argc && !classic.used(i + 1) && !extension.used(i + 1) &&
        std::string_view(argv[i + 1]).substr(0, 2) != "--") {
      value = std::string(" ") + argv[++i];
    }
    if (const std::size_t equals = word.find('='); equals != std::string::npos && equals + 1 < word.size()) {
      verdict.unknown_values.emplace_back(word.substr(0, equals), word.substr(equals + 1));
    } else if (!value.empty()) {
      verdict.unknown_values.emplace_back(word, value.substr(1));
    }
    if (word == "--pfile" || word.rfind("--pfile=", 0) == 0) {
      // --bfile would not read such a set either.
      warnings.push_back(word + value + " is not an option and is ignored: PLINK 2's .pgen, .pvar and .psam "
                         "are not read (plink2 --pfile PREFIX --make-bed --out NEWPREFIX writes a set for "
                         "--bfile NEWPREFIX)");
      continue;
    }
    const std::string near = nearestOption(spelled.empty() ? word : spelled);
    warnings.push_back(word + value + " is not an option and is ignored" +
                       (near.empty() ? "" : "; did you mean " + near + value + "?"));
  }

  warnWordOption("--missing", classic.value("--missing"), opt::missing_idx >= 0 ? std::string(kMissingWords[opt::missing_idx]) : "",
                 joined(kMissingWords),
                 classic.value("--missing") ? nearestWord(*classic.value("--missing"), kMissingWords) : "", warnings);
  warnWordOption("--tie", classic.value("--tie"), std::string(kTieWords[opt::tie_idx]), joined(kTieWords),
                 classic.value("--tie") ? nearestWord(*classic.value("--tie"), kTieWords) : "", warnings);
  // A run with newer options reads its orders as strictly as their values:
  // "--order 2,3" meant orders 2 and 3, and a table of order 2 alone would
  // look like the whole answer.
  const std::string* order = classic.value("--order");
  if (opt::extensions_given && order != nullptr && !orderReadsWhole(*order)) {
    verdict.refusal = "--order " + *order + ": write an order (2) or a range (2-3)";
  } else {
    warnOrderReading(order, warnings);
  }
  warnNumberReading("--perm", classic.value("--perm"), warnings);
  for (const char* name : {"--shuffle", "--debug", "--save_all"}) warnSwitchReading(name, classic.value(name), warnings);

  const std::string* top = classic.value("--top");
  if (!opt::table_file.empty() && top != nullptr) {
    // A results table of no row is no result: the table's runs read --top strictly.
    const std::string refusal = wholeNumberRefusal("--top", *top, 1, INT_MAX);
    if (!refusal.empty() && verdict.refusal.empty())
      verdict.refusal = refusal + " (the rows each order lists in --table " + opt::table_file + ")";
  } else {
    warnNumberReading("--top", top, warnings);
    if (top != nullptr && opt::report_top_k < 1) {
      warnings.push_back("--top " + *top + " keeps no combination: every block of the report is empty");
    }
  }
  if (verdict.refusal.empty()) verdict.refusal = refuseExtensionValue(extension);
  // "-" is standard output to many programs, as it is to --table: a report
  // written to a file named - would be looked for on the console. A classic
  // run keeps writing that file, and is told so.
  if (const std::string* out = classic.value("--out"); out != nullptr && *out == "-") {
    if (!opt::extensions_given) {
      warnings.push_back("--out - writes the report to a file named -: write /dev/stdout for standard output");
    } else if (verdict.refusal.empty()) {
      verdict.refusal = "--out -: write /dev/stdout for standard output (./- names a file called -)";
    }
  }
  return verdict;
}
