// The program's own messages on the error stream: "gorva: " before a
// refusal, a failure or a note, "gorva: warning: " before a warning, one line
// each. Every message of the program passes through here, so the run log
// can repeat the warnings without changing what the error stream shows.
#ifndef GORVA_IO_MESSAGES_H
#define GORVA_IO_MESSAGES_H

#include <string>
#include <string_view>
#include <vector>

// "gorva: TEXT", for failures that are carried to where they are printed.
std::string programMessage(const std::string& text);
// The TEXT of such a message, to be quoted inside another (a message
// without the prefix is returned whole).
std::string programMessageText(const std::string& message);

// "gorva: warning: TEXT\n", for readers that collect their warnings.
std::string warningLine(const std::string& text);

// Prints warningLine(text) on the error stream and keeps the text.
void printWarning(const std::string& text);

// Prints lines made by warningLine (any number, each ended by "\n") on the
// error stream and keeps each one's text.
void printWarningLines(const std::string& lines);

// The texts of the warnings printed so far, in order, without their prefix.
const std::vector<std::string>& warningsGiven();

// A word of the input as a one-line message can show it: without a trailing
// CR, control bytes (tabs, line ends) as '?', cut to `longest` bytes with
// "..." behind.
std::string shownText(std::string_view text, std::size_t longest);

// Prints "gorva: TEXT\n" on the error stream: a note, a failure or a refusal.
void printMessage(const std::string& text);
inline void printRefusal(const std::string& text) { printMessage(text); }

// Why a missing genotype is refused under the method "none", and which
// methods count missing data: as the command line spells them ("--missing
// none counts ... (use --missing available, ...)"), or as the Python
// module's keyword does (missing="none", "available", ...).
enum class OptionSpelling { kCommandLine, kPython };
std::string missingUnderNoneAdvice(OptionSpelling spelling);

#endif  // GORVA_IO_MESSAGES_H
