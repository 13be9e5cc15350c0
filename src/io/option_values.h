// The numbers that options and the Python module's arguments take, read
// whole: a value either means exactly what it spells or is refused. Every
// refusal names the option as the caller spells it ("--threads",
// "threads=") and the value, so the program and the module say the same.
#ifndef GORVA_IO_OPTION_VALUES_H
#define GORVA_IO_OPTION_VALUES_H

#include <string>
#include <string_view>

// An optional sign and decimal digits, nothing before or after; false also
// when the number lies outside [low, high].
bool readWholeNumber(std::string_view text, long long low, long long high, long long& value);

// A finite decimal number as strtod reads it, the whole text and nothing
// else ("0.05", "1e-8"; not "", " 1", "nan", "0.05x").
bool readRealNumber(std::string_view text, double& value);

// Worker threads a run may ask for: more would only share the same cores.
constexpr long long kMostWorkerThreads = 4096;

// What a value outside [low, high] is not: "not a whole number from LOW to
// HIGH", or "not a whole number at least LOW" when high is the largest
// long long.
std::string wholeNumberRange(long long low, long long high);

// "" when `text` is a whole number in [low, high], else
// "NAME TEXT: not a whole number from LOW to HIGH" (or "... at least LOW"
// when high is the largest long long).
std::string wholeNumberRefusal(const std::string& name, const std::string& text, long long low,
                               long long high);

// "" when first <= last and both lie in 1 .. markers, else why not, e.g.
// "--order 2-40: the orders must lie from 1 to 30, the number of markers".
// `spelled` is the option and value as the user gave them, `example` how
// an order and a range are written there.
std::string orderRangeRefusal(const std::string& spelled, long long first, long long last,
                              long long markers, const std::string& example = "2 or 2-3");

#endif  // GORVA_IO_OPTION_VALUES_H
