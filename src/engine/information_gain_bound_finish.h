// The last step of the information-gain bound, shared by its versions.
#ifndef GORVA_ENGINE_INFORMATION_GAIN_BOUND_FINISH_H
#define GORVA_ENGINE_INFORMATION_GAIN_BOUND_FINISH_H

#include <limits>

// Relative slack for the shifted sum: covers the rounding of its terms and
// sums and a reciprocal good to 14 bits in the vector version, so that the
// sum used is never below the true one.
constexpr double kShiftedSumSlack = 1.0 + 0x1p-12;
// Slack for the rounding of the last few operations: a relative one and an
// absolute one far below any gap between measures that matters.
constexpr double kBoundSlack = 1.0 + 0x1p-20;
constexpr double kBoundFloor = 1e-12;
constexpr double kInverseLn2 = 1.4426950408889634;

// IG <= (N sum_c (b_c - q n_c)^2 / n_c - (B - q N)^2) / (A B ln 2), from the
// shifted sum, the controls A and the cases B of a table.
inline double informationGainBoundFrom(double shifted, double controls, double cases, double q) {
  if (!(controls > 0) || !(cases > 0)) return std::numeric_limits<double>::infinity();
  const double n = controls + cases;
  const double off = cases - q * n;
  double numerator = n * (shifted * kShiftedSumSlack) - off * off;
  if (numerator < 0) numerator = 0;
  return numerator / (controls * cases) * kInverseLn2 * kBoundSlack + kBoundFloor;
}

#endif  // GORVA_ENGINE_INFORMATION_GAIN_BOUND_FINISH_H
