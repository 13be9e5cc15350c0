#ifndef GORVA_ENGINE_SEARCH_SINGLE_MARKER_GAINS_H
#define GORVA_ENGINE_SEARCH_SINGLE_MARKER_GAINS_H

#include <vector>

#include "engine/rank/search_context.h"

// Each marker's IG alone, as the context scores order 1.
std::vector<double> singleMarkerGains(const SearchContext& context);

#endif  // GORVA_ENGINE_SEARCH_SINGLE_MARKER_GAINS_H
