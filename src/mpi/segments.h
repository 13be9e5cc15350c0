// The per-batch best rows of one rank's batch range, compressed without
// changing what merging them in batch order gives.
#ifndef GORVA_MPI_SEGMENTS_H
#define GORVA_MPI_SEGMENTS_H

#include <vector>

#include "engine/rank/bestrows.h"

// Consecutive batches whose best rows are sorted best first (by key, and by
// IG where that orders equal keys) and hold no NaN key merge into one
// segment: merging such lists is associative, so a
// segment merged into the kept rows gives what merging its batches one by
// one gives. Any other batch stands alone as a segment of its own.
class SegmentBuilder {
 public:
  SegmentBuilder(int order, int K, EqualKeys ties) : order_(order), K_(K), ties_(ties) {}

  void add(const RankedRows& batch_best);
  // The segments in batch order; the builder is empty afterwards.
  std::vector<RankedRows> finish();

 private:
  void closeRun();

  int order_;
  int K_;
  EqualKeys ties_;
  RankedRows run_;
  bool run_open_ = false;
  std::vector<RankedRows> segments_;
};

// True when no row ranks above the one before it and no key is NaN.
bool sortedWithoutNaN(const RankedRows& rows, EqualKeys ties);

// Serialised segments: order, count, then per segment its rows.
std::vector<char> packSegments(int order, const std::vector<RankedRows>& segments);
std::vector<RankedRows> unpackSegments(const std::vector<char>& bytes);

#endif  // GORVA_MPI_SEGMENTS_H
