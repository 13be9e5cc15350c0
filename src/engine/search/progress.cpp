#include "engine/search/progress.h"

#include <cstdio>

#include "core/search_constants.h"


namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(250);

}  // namespace

SearchProgress::SearchProgress(int order, int marker_count, bool enabled)
    : enabled_(enabled),
      order_(order),
      total_(combinationsOf(marker_count, order)),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

SearchProgress::SearchProgress(int order, double total, const char* what, bool enabled)
    : enabled_(enabled),
      order_(order),
      total_(total),
      what_(what),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

void SearchProgress::advance(long combinations) {
  done_ += static_cast<double>(combinations);
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  draw(false);
}

void SearchProgress::finish() {
  if (enabled_) draw(true);
}

void SearchProgress::draw(bool final_line) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double rate = seconds > 0 ? done_ / seconds : 0;
  const double percent = total_ > 0 ? 100.0 * done_ / total_ : 100.0;
  const double left = rate > 0 ? (total_ - done_) / rate : 0;
  std::fprintf(stderr, "\rorder %d: %.0f / %.0f %s (%.1f%%), %.3g/s, %.0f s left   %s", order_, done_, total_,
               what_, percent, rate, left, final_line ? "\n" : "");
  std::fflush(stderr);
}
