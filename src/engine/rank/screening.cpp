#include "engine/rank/screening.h"

#include <cmath>
#include <limits>

namespace {

constexpr double kUnitRoundoff = 0x1p-53;
constexpr double kNoCutoff = -std::numeric_limits<double>::infinity();

}  // namespace

double informationGainErrorBound(int cells, int max_total) {
  // Screening: 3 cells + 3 table terms, each within 2 ulp of F(x) <= F(N),
  // summed with partial sums below 6 F(N); multiplied by 1/N (two more
  // roundings) that is a few ulp of log2 N per term. Exact: per cell a few ulp of log2 N on weights
  // that sum to 1, plus one rounding per cell. Counted four times over.
  const double terms = 3.0 * cells + 3.0;
  const double log_total = std::log2(max_total > 2 ? static_cast<double>(max_total) : 2.0);
  return 4.0 * (6.0 * terms + 40.0 + cells) * kUnitRoundoff * (log_total + 2.0);
}

ScreeningKeys::ScreeningKeys(int cells, int max_total, int measure, bool recount_totals, int cases,
                             int controls)
    : cells_(cells),
      measure_(measure),
      recount_totals_(recount_totals),
      cases_(cases),
      controls_(controls),
      ig_error_(informationGainErrorBound(cells, max_total)),
      terms_(static_cast<std::size_t>(max_total > 0 ? max_total : 0) + 1, 0.0),
      inverse_(terms_.size(), 0.0) {
  for (std::size_t x = 1; x < terms_.size(); ++x) {
    const double value = static_cast<double>(x);
    terms_[x] = value * std::log2(value);
    inverse_[x] = 1.0 / value;
  }
}

bool ScreeningKeys::relativeKey(double ig, double hy, double& key, double& error) const {
  // |IG/Hy - IG'/Hy'| <= E (1 + |RIG|) / (Hy - E) when both IG and Hy are
  // within E; Hy > 4E keeps the denominator above 3/4 of Hy.
  if (!(hy > 4.0 * ig_error_)) {
    key = 0;
    error = std::numeric_limits<double>::infinity();
    return true;
  }
  key = ig / hy;
  const double magnitude = std::fabs(key);
  error = 2.0 * ig_error_ * (1.0 + magnitude) / hy + 8.0 * kUnitRoundoff * (1.0 + magnitude);
  return true;
}

double ScreeningKeys::informationGainCutoff(double threshold) const {
  // A table's key is within E of its exact measure, so its interval's top is
  // at most the exact measure plus 2E.
  if (measure_ == 0) return threshold - 2.0 * ig_error_;
  // RIG with fixed totals: IG over a constant entropy. Keys stay below 2 in
  // size, which bounds the error relativeKey states.
  if (recount_totals_ || cases_ <= 0 || controls_ <= 0) return kNoCutoff;
  const double n = static_cast<double>(cases_) + controls_;
  const double hy = -(cases_ / n) * std::log2(cases_ / n) - (controls_ / n) * std::log2(controls_ / n);
  if (!(hy > 1e-3)) return kNoCutoff;
  const double key_error = 2.0 * ig_error_ * 3.0 / (0.75 * hy) + 24.0 * kUnitRoundoff;
  const double cutoff = (threshold - 2.0 * key_error - 1e-12) * hy;
  return cutoff - 1e-9 * std::fabs(cutoff);  // a little lower, whatever its sign
}
