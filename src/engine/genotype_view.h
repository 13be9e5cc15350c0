// Read-only access to genotype codes wherever they are stored: the program's
// marker-major byte matrix, or an array a caller already holds in another
// layout (samples x markers, either order, any integer width), without
// copying it.
#ifndef GORVA_ENGINE_GENOTYPE_VIEW_H
#define GORVA_ENGINE_GENOTYPE_VIEW_H

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

#endif  // GORVA_ENGINE_GENOTYPE_VIEW_H
