// The screen's pass over a stretch's IG bounds: nearly every bound falls
// below the cutoff, so the walk needs only where the next one does not.
#ifndef GORVA_ENGINE_COUNT_BOUND_SCREEN_H
#define GORVA_ENGINE_COUNT_BOUND_SCREEN_H

// The first j in [from, count) whose bounds[j] is not below pass (a NaN
// bound is not), or count.
using NextReaching = int (*)(const double* bounds, int from, int count, double pass);
int nextReachingScalar(const double* bounds, int from, int count, double pass);
int nextReachingAvx2(const double* bounds, int from, int count, double pass);
int nextReachingAvx512(const double* bounds, int from, int count, double pass);

#endif  // GORVA_ENGINE_COUNT_BOUND_SCREEN_H
