#include "engine/information_gain_bound.h"

#include <limits>

#include "engine/information_gain_bound_finish.h"

void informationGainBoundsScalar(const BoundRequest& request, double* bounds) {
  const double q = request.q;
  for (int j = 0; j < request.count; ++j) {
    const int* table = request.tables + static_cast<long>(j) * request.stride;
    long controls = 0;
    long cases = 0;
    double shifted = 0;
    for (int c = 0; c < request.cells; ++c) {
      const int a = table[2 * c];
      const int b = table[2 * c + 1];
      controls += a;
      cases += b;
      const double n = static_cast<double>(a) + b;
      const double d = b - q * n;
      if (n > 0) shifted += d * d / n;
    }
    const bool fixed_totals_differ =
        request.fixed_controls >= 0 &&
        (controls != request.fixed_controls || cases != request.fixed_cases);
    bounds[j] = fixed_totals_differ ? std::numeric_limits<double>::infinity()
                                    : informationGainBoundFrom(shifted, static_cast<double>(controls),
                                                               static_cast<double>(cases), q);
  }
}

InformationGainBounds informationGainBoundsFor(SimdPath path) {
  return path == SimdPath::kAvx512 ? informationGainBoundsAvx512 : nullptr;
}
