// Which of a stretch's pairs may beat a permutation's running maximum, four
// bounds to a register: the cut each ranking measure puts on the IG bound.
#ifndef GORVA_ENGINE_SIGNIFICANCE_KEY_THRESHOLDS_H
#define GORVA_ENGINE_SIGNIFICANCE_KEY_THRESHOLDS_H

#include "engine/count/kernel_dispatch.h"

// What a pair's bound is held against. IG: the maximum. Synergy: the
// maximum plus the prefix's gains and the last marker's (gains[j] for pair
// j). RIG: the maximum times 4 p (1 - p) (a floor of the phenotype
// entropy), p from the pair's own cases and samples (cases[j] of
// samples[j]) or, with own_totals false, from fixed ones, less a slack.
// P: 2 ln2 samples[j] times the bound against `statistic_cut`, the
// shortfallCut of the statistic that reaches the maximum on one degree of
// freedom (a test's statistic is at most that G, and has at least one).
struct KeyThreshold {
  int measure = 0;  // kRankByIG, kRankByRIG, kRankBySynergy or kRankByP
  double maximum = 0;
  double prefix_gains = 0;
  const double* gains = nullptr;
  bool own_totals = true;
  const int* cases = nullptr;
  const int* samples = nullptr;
  double fixed_cases = 0;
  double fixed_samples = 0;
  double entropy_floor_slack = 1;
  double statistic_cut = 0;
};

// Bit t set when pair j + t (t < 4) may reach a key above the maximum: its
// bound is not below the cut, or is NaN. Reads four of every array.
int mayExceedFourScalar(const double* bounds, const KeyThreshold& threshold, int j);
int mayExceedFourAvx2(const double* bounds, const KeyThreshold& threshold, int j);
using KeyCutFour = int (*)(const double* bounds, const KeyThreshold& threshold, int j);
// The version `path` runs (the path must be supported), chosen as the
// path's other kernels are (count/path_kernels.h).
KeyCutFour keyCutFour(SimdPath path);
// The same eight pairs at a time, where a path has it (null elsewhere):
// from pair j on, while a whole eight is left before `end`, the first
// eight holding a pair that may exceed the cut, with bit t of *lanes set
// for pair j + t (t < 8; reads eight of every array); or, with *lanes 0,
// the first pair past the last whole eight. One call for a stretch of
// pairs that stay below the cut.
int firstExceedingEightAvx512(const double* bounds, const KeyThreshold& threshold, int j, int end,
                              int* lanes);
using KeyCutScan = int (*)(const double* bounds, const KeyThreshold& threshold, int j, int end, int* lanes);
KeyCutScan keyCutScan(SimdPath path);

#endif  // GORVA_ENGINE_SIGNIFICANCE_KEY_THRESHOLDS_H
