// The classic options' numbers, read the lenient way they always were.
#ifndef GORVA_APP_TEXT_TO_INT_H
#define GORVA_APP_TEXT_TO_INT_H

#include <string>

// The text read as atoi reads it (leading white space, an optional sign,
// digits up to the first other character; no digits give 0), except that a
// number beyond the range of int gives INT_MAX or INT_MIN instead of
// wrapping around: "--top 4294967295" must not become -1.
int textToInt(const std::string& text);

#endif  // GORVA_APP_TEXT_TO_INT_H
