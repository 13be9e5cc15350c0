#include "engine/significance/counted_pair_screen.h"

const CountedPairScreen* countedPairScreen(SimdPath path) {
  static const CountedPairScreen avx512 = {prepareScreenTotals, screenCountedPairs, slotOrderedValues};
  static const CountedPairScreen avx2 = {prepareScreenTotalsAvx2, screenCountedPairsAvx2, slotOrderedValuesAvx2};
  switch (path) {
    case SimdPath::kAvx512:
      return &avx512;
    case SimdPath::kAvx2:
      return &avx2;
    case SimdPath::kScalar:
      break;
  }
  return nullptr;
}
