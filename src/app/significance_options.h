// The significance options checked and turned into the engine's request.
#ifndef GORVA_APP_SIGNIFICANCE_OPTIONS_H
#define GORVA_APP_SIGNIFICANCE_OPTIONS_H

#include <string>

#include "engine/significance/significance.h"

// Fills `request` from the options; false with a refusal naming the option
// when a value is outside what they accept (an unknown --rank word,
// --max-p outside (0, 1], a --seed that is not a whole number, a --max-p
// without --table); --permutations is read by the command line's checks. A --table that names an input is
// refused with the other result files.
bool significanceRequestFromOptions(SignificanceRequest& request, std::string& refusal);

#endif  // GORVA_APP_SIGNIFICANCE_OPTIONS_H
