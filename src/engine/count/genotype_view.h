// Read-only access to genotype codes wherever they are stored: the program's
// marker-major byte matrix, or an array a caller already holds in another
// layout (samples x markers, either order, any integer width), without
// copying it.
#ifndef GORVA_ENGINE_COUNT_GENOTYPE_VIEW_H
#define GORVA_ENGINE_COUNT_GENOTYPE_VIEW_H

#include <cstddef>
#include <vector>

struct GenotypeView {
  // The lowest byte of the code of marker 0, sample 0. Wider items are read
  // by that byte alone, so their codes must already be known to be 0-3.
  const unsigned char* first = nullptr;
  long sample_stride = 1;  // bytes from one sample to the next
  long marker_stride = 0;  // bytes from one marker to the next

  unsigned char code(int m, int s) const {
    return first[m * marker_stride + s * sample_stride];
  }

  // The layout of the program's own matrix: m * sample_count + s.
  static GenotypeView markerMajor(const unsigned char* genotypes, int sample_count) {
    return GenotypeView{genotypes, 1, sample_count};
  }
};

// The codes of `count` markers (marker numbers in `markers`), marker-major
// like the program's matrix: for the few steps that count from bytes.
inline std::vector<unsigned char> copyColumns(const GenotypeView& genotypes, const int* markers,
                                              int count, int sample_count) {
  std::vector<unsigned char> bytes(static_cast<std::size_t>(count) * sample_count);
  for (int j = 0; j < count; ++j) {
    // data(), not [], so that no sample at all (an empty vector) is no null reference.
    unsigned char* column = bytes.data() + static_cast<std::size_t>(j) * sample_count;
    for (int s = 0; s < sample_count; ++s) column[s] = genotypes.code(markers[j], s);
  }
  return bytes;
}

#endif  // GORVA_ENGINE_COUNT_GENOTYPE_VIEW_H
