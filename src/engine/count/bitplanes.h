// Genotypes as bit rows: per marker and genotype level, one bit per listed
// sample, cases and controls in separate word blocks. Built once per run;
// a cell count of a combination is then an AND of rows and a popcount.
#ifndef GORVA_ENGINE_COUNT_BITPLANES_H
#define GORVA_ENGINE_COUNT_BITPLANES_H

#include <cstdint>
#include <vector>

#include "engine/count/genotype_view.h"
#include "engine/count/kernel_dispatch.h"

// 64-byte aligned words, zero-filled, so vector loads never split a line.
class AlignedWords {
 public:
  AlignedWords() = default;
  ~AlignedWords();
  AlignedWords(const AlignedWords&) = delete;
  AlignedWords& operator=(const AlignedWords&) = delete;

  // Makes room for `count` zero words (old contents are dropped); false
  // when the memory could not be had.
  bool reset(long count);
  std::uint64_t* data() { return words_; }
  const std::uint64_t* data() const { return words_; }
  long size() const { return count_; }

 private:
  std::uint64_t* words_ = nullptr;
  long count_ = 0;
};

// What the rows are built over: the listed samples (list order, controls
// and cases counted apart by their 0/1 phenotype) and the levels, 3, or 4
// when the missing code is a level of its own; a code at or above `levels`
// sets no bit, so that sample falls in no cell of the marker. Up to
// `threads` threads share the markers. Each class block of a row is padded
// to a multiple of `word_multiple` words (1 to 8): 8 suits every count
// kernel, rowWordMultiple() of a path suits that path's.
struct PlanesRequest {
  const int* samples = nullptr;
  int sample_len = 0;
  const unsigned char* phenotypes = nullptr;
  int levels = 3;
  int threads = 1;
  int word_multiple = 8;
};

class BitPlanes {
 public:
  // Builds the rows of every marker of the program's byte matrix. False
  // when the memory could not be had.
  bool build(const unsigned char* genotypes, int marker_count, int sample_count, const PlanesRequest& request);
  // The same from codes in any layout; the request's samples and
  // phenotypes index the view's samples.
  bool build(const GenotypeView& genotypes, int marker_count, const PlanesRequest& request);

  // Bytes that build() holds at its peak for these counts, at most: the rows
  // with their padding, marginals and the temporary row order.
  static double bytesBound(long long marker_count, long long sample_count, int levels,
                           int threads);

  // The same in steps, for codes that arrive a block of markers at a time
  // (read from a file, never held whole): prepare() sizes the rows for the
  // listed samples, then fillMarkers() turns each block into its rows;
  // `block` sees markers first .. first + count - 1 as its markers 0 ..
  // count - 1, its samples as the view's. False when memory is short.
  bool prepare(int marker_count, const int* samples, int sample_len, const unsigned char* phenotypes,
               int levels, int word_multiple = 8);
  void fillMarkers(const GenotypeView& block, int first, int count, int threads = 1);

  // The same by samples, for codes that arrive a block of samples (data
  // lines) at a time: after prepare(), fillSamples() sets the bits of
  // samples first .. first + count - 1 of every marker (`block` sees them
  // as its samples 0 .. count - 1, every marker as the run's); finishSamples()
  // then counts the marginals once every sample is in.
  void fillSamples(const GenotypeView& block, int first, int count, int threads = 1);
  void finishSamples(int threads = 1);

  // The codes of `count` markers back from the rows, marker-major over
  // `sample_count` samples: a listed sample's level, kMissingCode for one
  // in no level or not listed (no count reads those).
  std::vector<unsigned char> columns(const int* markers, int count, int sample_count) const;

  // For handing finished planes whole to another process: the scalars
  // that size them, then every array as bytes. A receiver calls
  // allocate() with the sender's scalars and fills the same arrays.
  struct Scalars {
    int levels, marker_count, control_words, case_words, sample_len, controls, cases;
  };
  Scalars scalars() const;
  bool allocate(const Scalars& scalars);
  template <typename Visit>
  void forEachArray(Visit visit) {
    visit(reinterpret_cast<unsigned char*>(words_.data()), words_.size() * 8L);
    visit(reinterpret_cast<unsigned char*>(everyone_.data()), everyone_.size() * 8L);
    visit(reinterpret_cast<unsigned char*>(marginals_.data()), static_cast<long>(marginals_.size() * sizeof(int)));
    visit(complete_.data(), static_cast<long>(complete_.size()));
    visit(reinterpret_cast<unsigned char*>(row_order_.data()), static_cast<long>(row_order_.size() * sizeof(int)));
    visit(reinterpret_cast<unsigned char*>(position_.data()), static_cast<long>(position_.size() * sizeof(int)));
  }

  int levels() const { return levels_; }
  int markerCount() const { return marker_count_; }
  const PlaneShape& shape() const { return shape_; }
  long markerStrideWords() const { return static_cast<long>(levels_) * shape_.rowWords(); }

  // The `levels` rows of marker m, one after another.
  const std::uint64_t* marker(int m) const { return words_.data() + m * markerStrideWords(); }
  // One row holding every listed sample (the empty combination's only cell).
  const std::uint64_t* everyone() const { return everyone_.data(); }
  // Samples of marker m per level and class: entry 2 * level + class.
  const int* marginals(int m) const { return &marginals_[2L * levels_ * m]; }
  // The listed sample (an index of the request's phenotypes) at a filled
  // bit position.
  int sampleAtBit(int bit) const {
    const int case_bits = 64 * shape_.control_words;
    return bit < case_bits ? row_order_[bit] : row_order_[everyone_counts_[0] + bit - case_bits];
  }
  // Listed controls and cases: entry 0 and 1.
  const int* everyoneCounts() const { return everyone_counts_; }
  // True when every listed sample has a level at marker m, so that the
  // levels partition the list and one level's count follows from the others.
  bool complete(int m) const { return complete_[m] != 0; }

 private:
  int levels_ = 0;
  int marker_count_ = 0;
  PlaneShape shape_;
  AlignedWords words_;
  AlignedWords everyone_;
  int everyone_counts_[2] = {0, 0};
  std::vector<int> marginals_;
  std::vector<unsigned char> complete_;
  std::vector<int> row_order_;  // the sample at each filled bit position
  std::vector<int> position_;   // the bit position of each
};

#endif  // GORVA_ENGINE_COUNT_BITPLANES_H
