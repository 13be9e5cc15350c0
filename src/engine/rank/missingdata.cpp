#include "engine/rank/missingdata.h"

void imputeMarkerModes(unsigned char* genotypes, int marker_count, int sample_count) {
  for (int m = 0; m < marker_count; ++m) {
    unsigned char* codes = genotypes + static_cast<long>(m) * sample_count;
    long tally[3] = {0, 0, 0};
    bool any_missing = false;
    for (int s = 0; s < sample_count; ++s) {
      if (codes[s] < 3) ++tally[codes[s]];
      else any_missing = true;
    }
    if (!any_missing) continue;
    unsigned char mode = 0;
    for (unsigned char g = 1; g < 3; ++g) {
      if (tally[g] > tally[mode]) mode = g;
    }
    for (int s = 0; s < sample_count; ++s) {
      if (codes[s] == 3) codes[s] = mode;
    }
  }
}

bool sampleIsComplete(const GenotypeView& genotypes, int marker_count, int s) {
  for (int m = 0; m < marker_count; ++m) {
    if (genotypes.code(m, s) == 3) return false;
  }
  return true;
}
