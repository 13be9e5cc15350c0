// Preparations of the genotype data that some missing-data methods need
// before the search.
#ifndef GORVA_ENGINE_RANK_MISSINGDATA_H
#define GORVA_ENGINE_RANK_MISSINGDATA_H

// Replaces every missing code (3) of a marker by the marker's most frequent
// observed genotype (ties to the lower code; 0 when nothing was observed).
void imputeMarkerModes(unsigned char* genotypes, int marker_count, int sample_count);

#include "engine/count/genotype_view.h"

// True when sample s has no missing code at any of the markers.
bool sampleIsComplete(const GenotypeView& genotypes, int marker_count, int s);
inline bool sampleIsComplete(const unsigned char* genotypes, int marker_count, int sample_count,
                             int s) {
  return sampleIsComplete(GenotypeView::markerMajor(genotypes, sample_count), marker_count, s);
}

#endif  // GORVA_ENGINE_RANK_MISSINGDATA_H
