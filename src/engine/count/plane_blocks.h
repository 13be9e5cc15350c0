// How many decoded codes are held at once while bit-planes are filled from
// an input a block at a time.
#ifndef GORVA_ENGINE_COUNT_PLANE_BLOCKS_H
#define GORVA_ENGINE_COUNT_PLANE_BLOCKS_H

// Bytes of decoded codes held at once while the planes are filled.
constexpr long long kPlanesBlockBytes = 32LL << 20;

// Markers per block for this many samples and markers (at least one) and
// the block's bytes; the same with the roles swapped gives the data lines
// per block of a text file.
int planesBlockMarkers(long long sample_count, long long marker_count);
double planesBlockBytes(long long sample_count, long long marker_count);

#endif  // GORVA_ENGINE_COUNT_PLANE_BLOCKS_H
