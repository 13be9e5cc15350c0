// The association test's statistic bound over a combination's strata
// tables (associationStatisticBound, table_test.h, whose file holds the
// portable kernel), a kernel of every SIMD path: a
// stratified search ranked by p holds it against the statistic reaching
// its cut for nearly every pair the IG bound lets through, so it must cost
// far less than the test it spares. The vector paths work out up to eight
// strata at once, one a lane.
#ifndef GORVA_ENGINE_COUNT_STRATA_TEST_BOUND_H
#define GORVA_ENGINE_COUNT_STRATA_TEST_BOUND_H

struct StrataTestBound {
  double statistic;  // at least the test's statistic (G / q summed)
  int df;            // the test's degrees of freedom, exactly
};

// `tables`: strata x cells x 2 ints (controls, cases).
using StrataTestBoundKernel = StrataTestBound (*)(const int* tables, int strata, int cells);
StrataTestBound strataTestBoundScalar(const int* tables, int strata, int cells);
StrataTestBound strataTestBoundAvx2(const int* tables, int strata, int cells);
StrataTestBound strataTestBoundAvx512(const int* tables, int strata, int cells);

#endif  // GORVA_ENGINE_COUNT_STRATA_TEST_BOUND_H
