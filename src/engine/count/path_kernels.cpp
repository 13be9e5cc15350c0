#include "engine/count/path_kernels.h"

const PathKernels& pathKernels(SimdPath path) {
  // The portable kernels use the POPCNT and FMA instructions where the CPU
  // has them.
  static const bool popcnt = __builtin_cpu_supports("popcnt");
  static const bool fma = __builtin_cpu_supports("fma");
  static const PathKernels scalar{
      popcnt ? countCellsScalarPopcnt : countCellsScalar,
      informationGainBoundsScalar,
      popcnt ? countPairFreeCellsScalarPopcnt : countPairFreeCellsScalar,
      nullptr,
      nullptr,
      pairInformationGainBoundsScalar,
      tripleInformationGainBoundsScalar,
      countedClassBoundsScalar,
      popcnt ? countSegmentedPairsScalarPopcnt : countSegmentedPairsScalar,
      fma ? wholePairChordBoundsScalarFma : wholePairChordBoundsScalar,
      conditionalGainBoundsScalar,
      false,
      true,
      {sumBitRowsScalar, quadLanesScalar, transposeBitsScalar},
      nextReachingScalar,
      strataTestBoundScalar};
  static const PathKernels avx2{countCellsAvx2,
                                informationGainBoundsAvx2,
                                countPairFreeCellsAvx2,
                                nullptr,
                                countNibblePairsAvx2,
                                pairInformationGainBoundsAvx2,
                                tripleInformationGainBoundsAvx2,
                                countedClassBoundsAvx2,
                                countSegmentedPairsAvx2,
                                wholePairChordBoundsAvx2,
                                conditionalGainBoundsAvx2,
                                true,
                                true,
                                {sumBitRowsAvx2, quadLanesAvx2, transposeBitsScalar},
                                nextReachingAvx2,
                                strataTestBoundAvx2,
                                emTableBoundsAvx2};
  // An AVX-512 CPU has AVX2 too: its own kernels where they exist, the AVX2
  // walk kernels elsewhere.
  static const PathKernels avx512 = [] {
    PathKernels kernels = avx2;
    kernels.count_cells = countCellsAvx512;
    kernels.table_bounds = informationGainBoundsAvx512;
    kernels.free_cells = countPairFreeCellsAvx512;
    kernels.pair_rows = countPairRowsAvx512;
    kernels.pair_bounds = pairInformationGainBoundsAvx512;
    kernels.triple_bounds = tripleInformationGainBoundsAvx512;
    kernels.walk_nibbles = false;
    kernels.segmented_pairs = countSegmentedPairsAvx512;
    kernels.segmented_nibbles = false;
    kernels.chord_bounds = wholePairChordBoundsAvx512;
    kernels.conditional_bounds = conditionalGainBoundsAvx512;
    kernels.counted_class_bounds = countedClassBoundsAvx512;
    kernels.missing_pairs = {sumBitRowsAvx512, quadLanesAvx512, transposeBitsAvx512};
    kernels.next_reaching = nextReachingAvx512;
    kernels.strata_test_bound = strataTestBoundAvx512;
    kernels.em_table_bounds = emTableBoundsAvx512;
    return kernels;
  }();
  switch (path) {
    case SimdPath::kAvx512:
      return avx512;
    case SimdPath::kAvx2:
      return avx2;
    case SimdPath::kScalar:
      break;
  }
  return scalar;
}
