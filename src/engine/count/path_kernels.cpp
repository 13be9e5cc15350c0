#include "engine/count/path_kernels.h"

const PathKernels& pathKernels(SimdPath path) {
  // The portable counters use the POPCNT instruction where the CPU has it.
  static const bool popcnt = __builtin_cpu_supports("popcnt");
  static const PathKernels scalar{
      popcnt ? countCellsScalarPopcnt : countCellsScalar,
      informationGainBoundsScalar,
      popcnt ? countPairFreeCellsScalarPopcnt : countPairFreeCellsScalar,
      nullptr,
      pairInformationGainBoundsScalar,
      tripleInformationGainBoundsScalar,
      countedClassBoundsScalar,
      mayExceedFourScalar};
  static const PathKernels avx2{countCellsAvx2,
                                informationGainBoundsAvx2,
                                countPairFreeCellsAvx2,
                                countNibblePairsAvx2,
                                pairInformationGainBoundsAvx2,
                                tripleInformationGainBoundsAvx2,
                                countedClassBoundsAvx2,
                                mayExceedFourAvx2};
  static const PathKernels avx512{countCellsAvx512,
                                  informationGainBoundsAvx512,
                                  countPairFreeCellsAvx2,
                                  countNibblePairsAvx2,
                                  pairInformationGainBoundsAvx2,
                                  tripleInformationGainBoundsAvx2,
                                countedClassBoundsAvx2,
                                mayExceedFourAvx2};
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
