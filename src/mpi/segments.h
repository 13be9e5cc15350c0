// The per-batch best rows of one rank's batch range, compressed without
// changing what merging them in batch order gives.
#ifndef GORVA_MPI_SEGMENTS_H
#define GORVA_MPI_SEGMENTS_H

#include <vector>

#include "engine/rank/bestrows.h"

// Consecutive batches whose best rows are sorted best first and hold no NaN
// key merge into one segment: merging such lists is associative, so a
// segment merged into the kept rows gives what merging its batches one by
// one gives. Any other batch stands alone as a segment of its own.
class SegmentBuilder {
 public:
  SegmentBuilder(int order, int K) : order_(order), K_(K) {}

  void add(const RankedRows& batch_best);
  // The segments in batch order; the builder is empty afterwards.
  std::vector<RankedRows> finish();

 private:
  void closeRun();

  int order_;
  int K_;
  RankedRows run_;
  bool run_open_ = false;
  std::vector<RankedRows> segments_;
};

// True when the keys are non-increasing and none is NaN.
bool sortedWithoutNaN(const RankedRows& rows);

// Serialised segments: order, count, then per segment its rows.
std::vector<char> packSegments(int order, const std::vector<RankedRows>& segments);
std::vector<RankedRows> unpackSegments(const std::vector<char>& bytes);

#endif  // GORVA_MPI_SEGMENTS_H
