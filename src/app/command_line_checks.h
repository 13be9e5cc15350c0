// What the command line says beyond the option values it sets: words that
// nothing reads (a misspelt option, "--order=3"), values that the classic
// options read otherwise than the user evidently meant ("--top 1e3" reads
// as 1), and extension option values that cannot be read at all.
//
// The classic options keep their classic readings: the checks only warn
// about them. An extension option's value that cannot be read is refused.
#ifndef GORVA_APP_COMMAND_LINE_CHECKS_H
#define GORVA_APP_COMMAND_LINE_CHECKS_H

#include <string>
#include <utility>
#include <vector>

// The command line with the value word of each classic option blanked. Such
// a word is a file name, a number or a method word: "--out --threads"
// names a report file, so an extension option or a help word standing there
// must ask for nothing.
class WordsOutsideValues {
 public:
  WordsOutsideValues(int argc, char** argv);
  int count() const { return static_cast<int>(pointers_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

struct CommandLineVerdict {
  std::vector<std::string> warnings;  // texts without the "gorva: warning: " prefix
  std::string refusal;                // the first unreadable extension value, or ""
  // Each unknown option with its value ({"--stratta", "s.txt"}, also from
  // "--stratta=s.txt"): a misspelt input option's file, not read, which no
  // result file may replace.
  std::vector<std::pair<std::string, std::string>> unknown_values;
};

// Judges the words of a command line whose options are already set in the
// option globals (setOptions and setExtensionOptions have run on them).
CommandLineVerdict judgeCommandLine(int argc, char** argv);

// The known option nearest to `word` as a user might have meant it
// ("--order=3" gives "--order 3", "--permutation" gives "--permutations"),
// or "" when none is near.
std::string nearestOption(const std::string& word);

#endif  // GORVA_APP_COMMAND_LINE_CHECKS_H
