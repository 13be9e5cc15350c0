// The last step of the information-gain bound, shared by its versions.
#ifndef GORVA_ENGINE_COUNT_INFORMATION_GAIN_BOUND_FINISH_H
#define GORVA_ENGINE_COUNT_INFORMATION_GAIN_BOUND_FINISH_H

#include <limits>
#include <numbers>

// Relative slack for the shifted sum: covers the rounding of its terms and
// sums and a reciprocal good to 14 bits in the vector version, so that the
// sum used is never below the true one.
constexpr double kShiftedSumSlack = 1.0 + 0x1p-12;
// Slack for the rounding of the last few operations: a relative one, and an
// absolute one that also covers how far the exact measure's own sum over
// the cells may drift up (half an ulp of at most 1 bit per cell).
constexpr double kBoundSlack = 1.0 + 0x1p-20;
inline double boundFloor(int cells) { return 1e-12 + (cells + 16.0) * 0x1p-52; }
constexpr double kInverseLn2 = std::numbers::log2e;
// 2 / ln 2, a little low: it scales what the bound subtracts.
constexpr double kPinskerBits = 2 * std::numbers::log2e * (1.0 - 0x1p-40);

// IG <= (factor S - 2 (B - q N)^2 / (N ln 2)) / N, from the shifted sum S,
// the controls A and the cases B of a table.
inline double informationGainBoundFrom(double shifted, double controls, double cases, double q,
                                       double factor, int cells) {
  if (!(controls > 0) || !(cases > 0)) return std::numeric_limits<double>::infinity();
  const double n = controls + cases;
  const double off = cases - q * n;
  double numerator = factor * (shifted * kShiftedSumSlack) - kPinskerBits * off * off / n;
  if (numerator < 0) numerator = 0;  // a NaN stays NaN, and no table is ruled out by it
  return numerator / n * kBoundSlack + boundFloor(cells);
}

// The vector versions sum in single precision where every rounding stays
// relative and inside the sum's slack: at most 64 cells (the sum's own
// rounding), totals below 2^24 (counts convert exactly; checked per group by
// the versions) and q a float as it stands (b - q n is then one rounding away
// from its true value, and the divergence factor is that of the q used).
constexpr int kSinglePrecisionCells = 64;
constexpr int kSinglePrecisionTotal = 1 << 24;
inline bool singlePrecisionServes(int cells, double q) {
  return cells <= kSinglePrecisionCells && static_cast<double>(static_cast<float>(q)) == q;
}

#endif  // GORVA_ENGINE_COUNT_INFORMATION_GAIN_BOUND_FINISH_H
