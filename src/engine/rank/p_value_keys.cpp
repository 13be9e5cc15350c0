#include "engine/rank/p_value_keys.h"

#include <cmath>
#include <limits>

#include "engine/significance/table_test.h"

namespace {

constexpr double kLn2 = 0.6931471805599453;
// The IG and the quantile are each off by rounding: a table is ruled out
// only when it falls short by more than this share.
constexpr double kBoundMargin = 1e-7;

}  // namespace

void PValueKeys::startBatch(int K) {
  K_ = K;
  best_ = {};
  reaching_statistic_ = 0;
  ruled_out_ = 0;
}

double PValueKeys::next(const int* table, int cells, double ig_upper) {
  if (K_ > 0 && static_cast<int>(best_.size()) == K_) {
    double samples = 0;
    for (int c = 0; c < 2 * cells; ++c) samples += table[c];
    if (2 * kLn2 * samples * ig_upper < reaching_statistic_ * (1 - kBoundMargin)) {
      ++ruled_out_;
      return -std::numeric_limits<double>::infinity();
    }
  }
  const double key = pValueKey(associationTest(table, 1, cells));
  if (std::isnan(key) || K_ <= 0) return key;
  if (static_cast<int>(best_.size()) < K_) {
    best_.push(key);
  } else if (key > best_.top()) {
    best_.pop();
    best_.push(key);
  } else {
    return key;
  }
  if (static_cast<int>(best_.size()) == K_) reaching_statistic_ = statisticReachingKey(best_.top());
  return key;
}
