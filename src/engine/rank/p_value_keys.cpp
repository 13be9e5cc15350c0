#include "engine/rank/p_value_keys.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "engine/rank/table_test.h"

namespace {

// The IG and the quantile are each off by rounding: a table is ruled out
// only when it falls short by more than this share.
constexpr double kBoundMargin = 1e-7;

}  // namespace

double shortfallCut(double statistic) { return statistic * (1 - kBoundMargin); }

bool fallsShortOf(double samples, double ig_upper, double statistic) {
  return 2 * std::numbers::ln2 * samples * ig_upper < shortfallCut(statistic);
}

bool statisticFallsShort(double upper, double statistic) { return upper < shortfallCut(statistic); }

void PValueKeys::startBatch(int K) {
  K_ = K;
  best_ = {};
  floor_ = -std::numeric_limits<double>::infinity();
  ruled_out_ = 0;
  thresholdChanged();
}

void PValueKeys::setFloor(double key) {
  floor_ = key;
  thresholdChanged();
}

double PValueKeys::kthBest() const {
  return K_ > 0 && static_cast<int>(best_.size()) == K_ ? best_.top()
                                                        : -std::numeric_limits<double>::infinity();
}

void PValueKeys::thresholdChanged() {
  const double threshold = std::fmax(kthBest(), floor_);
  if (threshold == threshold_) return;
  threshold_ = threshold;
  std::fill(reaching_.begin(), reaching_.end(), std::numeric_limits<double>::quiet_NaN());
  reaching_[1] = statisticReachingKey(threshold_, 1);
}

double PValueKeys::reachingOn(int df) {
  if (df >= static_cast<int>(reaching_.size()))
    reaching_.resize(df + 1, std::numeric_limits<double>::quiet_NaN());
  if (std::isnan(reaching_[df])) reaching_[df] = statisticReachingKey(threshold_, df);
  return reaching_[df];
}

double PValueKeys::next(const int* table, int cells, double ig_upper) {
  if (reaching_[1] > 0) {
    double samples = 0;
    for (int c = 0; c < 2 * cells; ++c) samples += table[c];
    if (fallsShortOf(samples, ig_upper, reaching_[1]) ||
        fallsShortOf(samples, ig_upper, reachingOn(associationDfAtLeast(table, cells)))) {
      ++ruled_out_;
      return -std::numeric_limits<double>::infinity();
    }
    const TableTest upper = associationStatisticBound(table, 1, cells);
    if (upper.df >= 1 && statisticFallsShort(upper.statistic, reachingOn(upper.df))) {
      ++ruled_out_;
      return -std::numeric_limits<double>::infinity();
    }
  }
  const double key = pValueKey(associationTest(table, 1, cells));
  if (!(key >= floor_)) return std::isnan(key) ? key : -std::numeric_limits<double>::infinity();
  if (K_ <= 0) return key;
  if (static_cast<int>(best_.size()) < K_) {
    best_.push(key);
  } else if (key > best_.top()) {
    best_.pop();
    best_.push(key);
  } else {
    return key;
  }
  thresholdChanged();
  return key;
}
