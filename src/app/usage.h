// The program's own help: the usage text with the defaults in force, and the
// version line. Both are answered before any option is read.
#ifndef GORVA_APP_USAGE_H
#define GORVA_APP_USAGE_H

#include <string>

enum class HelpRequest { kNone, kUsage, kVersion, kVerboseVersion };

// The first "--help", "-h" or "--version" among the words after the
// program name, skipping the value word that follows every "--NAME" option
// (so "--out --help" names a report file, it asks for nothing).
// "--version" with "--verbose" anywhere asks for the verbose version text.
HelpRequest findHelpRequest(int argc, const char* const* argv);

// Every option with its meaning and its default. The defaults are read from
// the option globals, so call it before the command line sets them.
std::string usageText();

// "GORVA 1.5\n"; verbose, also the instruction set searches run on here
// and the ones this CPU lacks.
std::string versionText(bool verbose = false);

#endif  // GORVA_APP_USAGE_H
