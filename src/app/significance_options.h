// The significance options checked and turned into the engine's request.
#ifndef GORVA_APP_SIGNIFICANCE_OPTIONS_H
#define GORVA_APP_SIGNIFICANCE_OPTIONS_H

#include <string>
#include <vector>

#include "engine/significance.h"

// Fills `request` from the options; false with a refusal naming the option
// when a value is outside what they accept (an unknown --rank word,
// --permutations below 0, --max-p outside (0, 1], a --seed that is not a
// number, a --table that is one of the `inputs`), and any --max-p, which
// this version does not carry out.
bool significanceRequestFromOptions(const std::vector<std::string>& inputs,
                                    SignificanceRequest& request, std::string& refusal);

// Whether the two paths name the same file (same device and inode when both
// exist, else the same text).
bool sameFile(const std::string& a, const std::string& b);

#endif  // GORVA_APP_SIGNIFICANCE_OPTIONS_H
