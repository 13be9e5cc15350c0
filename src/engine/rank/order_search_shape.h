// The sizes the memory of one order's search depends on, shared by the
// bounds of the search as a whole and of each worker's scorer.
#ifndef GORVA_ENGINE_RANK_ORDER_SEARCH_SHAPE_H
#define GORVA_ENGINE_RANK_ORDER_SEARCH_SHAPE_H

// `threads` as the search gets them; planes of `row_words` words per row
// and `levels` levels.
struct OrderSearchShape {
  int marker_count = 0;
  double sample_count = 0;
  int order = 0;
  int K = 0;
  int threads = 1;
  int batch_size = 0;
  int levels = 3;
  double row_words = 0;
};

// The words of one plane row that the bounds assume: a bit per sample and
// the row's alignment padding.
constexpr double planeRowWordsBound(double sample_count) { return sample_count / 64 + 16; }

#endif  // GORVA_ENGINE_RANK_ORDER_SEARCH_SHAPE_H
