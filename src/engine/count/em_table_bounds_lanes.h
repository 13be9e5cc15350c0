// The em tables' bounds a register of tables at a time in GCC's vector
// types, for the source file of each SIMD path to compile under its own
// target: define GORVA_LANES_TARGET to that target's attribute and
// GORVA_EM_LANES to the floats of its register before including this, and
// define gatherCounts after it. (Wider vectors than the target's registers
// would be taken apart lane by lane wherever they are compared.)
//
// Single precision: counts below 2^24 convert exactly; every term added to
// either sum is non-negative (a negative rise is raised to 0, which only
// loosens the bound; the corners' sum adds each cell's largest f, not its
// rise), so that the sums' roundings stay relative; each rise is raised by
// 2^-16 absolute past the roundings of its quotient and product, and each
// sum by 2^-16 relative. The last step is the reference's own, in double
// precision.
#ifndef GORVA_ENGINE_COUNT_EM_TABLE_BOUNDS_LANES_H
#define GORVA_ENGINE_COUNT_EM_TABLE_BOUNDS_LANES_H

#include <algorithm>

#include "engine/count/em_table_bounds.h"
#include "engine/count/information_gain_bound_finish.h"
#include "engine/count/simd_targets.h"

// A register of floats passes between functions that are always inlined
// and internal: no call ever crosses the ABI GCC warns about.
#pragma GCC diagnostic ignored "-Wpsabi"

// Internal to each including file: the paths' copies must never be merged.
namespace {

constexpr int kLanes = GORVA_EM_LANES;

typedef float Lanes __attribute__((vector_size(4 * kLanes)));

GORVA_LANES_TARGET GORVA_INLINE Lanes splat(float x) { return Lanes{} + x; }
GORVA_LANES_TARGET GORVA_INLINE bool anyPositive(Lanes x) {
  bool any = false;
  for (int j = 0; j < kLanes; ++j) any |= x[j] > 0;
  return any;
}
GORVA_LANES_TARGET GORVA_INLINE Lanes larger(Lanes a, Lanes b) { return a > b ? a : b; }

// Lane j (j < lanes) = counted[j * stride + k] as a float, the rest 0: the
// path's gather.
GORVA_LANES_TARGET GORVA_INLINE Lanes gatherCounts(const int* counted, int stride, int k, int lanes);

// (b - q n)^2 / n, 0 for an empty cell (whose b - q n is 0).
GORVA_LANES_TARGET GORVA_INLINE Lanes shiftedTerm(Lanes q, Lanes b, Lanes n) {
  const Lanes d = b - q * n;
  return d * d / larger(n, splat(1.0f));
}

GORVA_LANES_TARGET GORVA_INLINE void emTableBoundsLanes(const EmBoundRequest& request, double* bounds) {
  const EmBoundShape& shape = *request.shape;
  const int cells = shape.cells;
  const int kinds = shape.kinds;
  const int* entries = shape.entries.data();
  const int* kind_first = shape.kind_first.data();
  const float q_float = static_cast<float>(request.q);
  const Lanes q = splat(q_float);
  const Lanes q_squared = splat(q_float * q_float);  // rounded either way: inside the rise's slack
  const Lanes two_less_q = splat(2.0f - q_float);
  const Lanes one = splat(1.0f);
  const Lanes zero{};
  const Lanes slack = splat(0x1p-16f);
  for (int first = 0; first < request.count; first += kLanes) {
    const int lanes = std::min(kLanes, request.count - first);
    const int* counted = request.counted + static_cast<long>(first) * shape.counted_ints;
    Lanes observed[2][kEmBoundMostCells];
    Lanes kind[2][kEmBoundMostKinds];
    Lanes totals[2] = {zero, zero};
    for (int c = 0; 2 * c < shape.counted_ints; ++c) {
      for (int y = 0; y < 2; ++y) {
        const Lanes count = gatherCounts(counted, shape.counted_ints, 2 * c + y, lanes);
        totals[y] += count;
        if (shape.entry_of[c] >= 0) {
          observed[y][shape.entry_of[c]] = count;
        } else {
          kind[y][shape.kind_of[c]] = count;
        }
      }
    }
    // Kinds no table of the register holds (most kinds that miss several
    // genotypes) change nothing.
    int present[2][kEmBoundMostKinds];
    int present_count[2] = {0, 0};
    for (int y = 0; y < 2; ++y)
      for (int k = 0; k < kinds; ++k)
        if (anyPositive(kind[y][k])) present[y][present_count[y]++] = k;
    Lanes most[2][kEmBoundMostKinds];
    Lanes reach[2][kEmBoundMostCells];
    Lanes ending[2][kEmBoundMostCells];
    for (int y = 0; y < 2; ++y) {
      for (int e = 0; e < cells; ++e) {
        reach[y][e] = observed[y][e];
        ending[y][e] = zero;
      }
      for (int p = 0; p < present_count[y]; ++p) {
        const int k = present[y][p];
        most[y][k] = zero;
        for (int i = kind_first[k]; i < kind_first[k + 1]; ++i) {
          reach[y][entries[i]] += kind[y][k];
          most[y][k] = larger(most[y][k], observed[y][entries[i]]);
        }
      }
      for (int p = 0; p < present_count[y]; ++p) {
        const int k = present[y][p];
        for (int i = kind_first[k]; i < kind_first[k + 1]; ++i)
          ending[y][entries[i]] += reach[y][entries[i]] >= most[y][k] ? kind[y][k] : zero;
      }
    }
    Lanes shifted = zero;
    Lanes corners = zero;
    Lanes rise[2][kEmBoundMostCells];
    for (int e = 0; e < cells; ++e) {
      const Lanes b = observed[1][e];
      const Lanes n = observed[0][e] + b;
      const Lanes own = shiftedTerm(q, b, n);
      shifted += own;
      const Lanes cases_in = ending[1][e];
      const Lanes controls_in = ending[0][e];
      const Lanes with_cases = b + cases_in;
      corners += larger(larger(own, shiftedTerm(q, with_cases, n + cases_in)),
                        larger(shiftedTerm(q, b, n + controls_in), shiftedTerm(q, with_cases, n + cases_in + controls_in)));
      // Where samples may end, n + what may end there > 0.
      const Lanes high = with_cases / larger(n + cases_in, one);
      const Lanes low = b / larger(n + controls_in, one);
      rise[0][e] = larger(q_squared - low * low, zero) + slack;
      rise[1][e] = larger((high - q) * (two_less_q - high), zero) + slack;
    }
    for (int y = 0; y < 2; ++y) {
      for (int p = 0; p < present_count[y]; ++p) {
        const int k = present[y][p];
        Lanes worst = zero;
        for (int i = kind_first[k]; i < kind_first[k + 1]; ++i)
          worst = reach[y][entries[i]] >= most[y][k] ? larger(worst, rise[y][entries[i]]) : worst;
        shifted += kind[y][k] * worst;
      }
    }
    const Lanes sums = shifted < corners ? shifted : corners;
    for (int j = 0; j < lanes; ++j)
      bounds[first + j] = informationGainBoundFrom(static_cast<double>(sums[j]) * (1 + 0x1p-16), totals[0][j],
                                                   totals[1][j], request.q, request.factor, cells);
  }
}

}  // namespace

#endif  // GORVA_ENGINE_COUNT_EM_TABLE_BOUNDS_LANES_H
