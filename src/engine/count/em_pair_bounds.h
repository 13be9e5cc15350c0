// Upper bounds of the information gain of "em" pair tables from the tables
// counted with the missing genotype as a fourth level, without making them:
// a search ranked by IG completes the em tables of the few pairs their
// bound does not rule out (em_pair_bounds.cpp says why the bound holds).
#ifndef GORVA_ENGINE_COUNT_EM_PAIR_BOUNDS_H
#define GORVA_ENGINE_COUNT_EM_PAIR_BOUNDS_H

constexpr int kEmPairLevels = 3;
// A counted pair table: controls and cases of cell l + 4 m (l the first
// marker's level, 3 its missing genotype).
constexpr int kEmPairCountedInts = 2 * (kEmPairLevels + 1) * (kEmPairLevels + 1);

// `count` counted tables one after another; q a fraction strictly between
// 0 and 1 that single precision holds, factor = divergenceFactor(q). The
// em tables hold every sample: bounds[j] >= the IG (bits) of pair j's em
// table with its totals, +infinity where a class is absent. Totals below
// 2^24.
struct EmPairBoundRequest {
  const int* counted = nullptr;
  int count = 0;
  double q = 0.5;
  double factor = 0;
};
using EmPairBounds = void (*)(const EmPairBoundRequest& request, double* bounds);
// The reference, and a register of pairs a step in single precision (at most a
// relative 2^-16 looser, and never lower than a rise's negative part).
void emPairBoundsScalar(const EmPairBoundRequest& request, double* bounds);
void emPairBoundsAvx2(const EmPairBoundRequest& request, double* bounds);
void emPairBoundsAvx512(const EmPairBoundRequest& request, double* bounds);
double emPairBound(const int* counted, double q, double factor);

#endif  // GORVA_ENGINE_COUNT_EM_PAIR_BOUNDS_H
