// One self-overwriting progress line per order on the error stream.
#ifndef GORVA_ENGINE_SEARCH_PROGRESS_H
#define GORVA_ENGINE_SEARCH_PROGRESS_H

#include <chrono>

class SearchProgress {
 public:
  // Draws nothing unless `enabled`.
  SearchProgress(int order, int marker_count, bool enabled);
  // The same for `total` units of other work of the order, named by `what`
  // ("pairs behind lambda_gc_adjusted").
  SearchProgress(int order, double total, const char* what, bool enabled);
  // Adds combinations done; redraws at most a few times per second.
  void advance(long combinations);
  // Draws the final state of the order and ends the line.
  void finish();

 private:
  void draw(bool final_line);

  bool enabled_;
  int order_;
  double total_;
  double done_ = 0;
  const char* what_ = "combinations";
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

#endif  // GORVA_ENGINE_SEARCH_PROGRESS_H
