// The em pairs' bounds a register of pairs at a time in GCC's vector types,
// for the source file of each SIMD path to compile under its own target:
// define GORVA_LANES_TARGET to that target's attribute and GORVA_EM_LANES to
// the floats of its register before including this, and define
// gatherCounts after it. (Wider vectors than the target's registers would be
// taken apart lane by lane wherever they are compared.)
//
// Single precision: counts below 2^24 convert exactly; every term added to
// either sum is non-negative (a negative rise is raised to 0, which only
// loosens the bound; the corners' sum adds each cell's largest f, not its
// rise), so that the sums' roundings stay relative; each rise is raised by
// 2^-16 absolute past the roundings of its quotient and product, and each
// sum by 2^-16 relative. The last step is emPairBound's own, in double
// precision.
#ifndef GORVA_ENGINE_COUNT_EM_PAIR_BOUNDS_LANES_H
#define GORVA_ENGINE_COUNT_EM_PAIR_BOUNDS_LANES_H

#include <algorithm>

#include "engine/count/em_pair_bounds.h"
#include "engine/count/information_gain_bound_finish.h"
#include "engine/count/simd_targets.h"

// A register of floats passes between functions that are always inlined and
// internal: no call ever crosses the ABI GCC warns about.
#pragma GCC diagnostic ignored "-Wpsabi"

// Internal to each including file: the paths' copies must never be merged.
namespace {

constexpr int kLanes = GORVA_EM_LANES;
constexpr int L = kEmPairLevels;
constexpr int kCounted = L + 1;

typedef float Lanes __attribute__((vector_size(4 * kLanes)));

GORVA_LANES_TARGET GORVA_INLINE Lanes splat(float x) { return Lanes{} + x; }
GORVA_LANES_TARGET GORVA_INLINE Lanes larger(Lanes a, Lanes b) { return a > b ? a : b; }

// Lane j (j < lanes) = counted[j * kEmPairCountedInts + k] as a float, the
// rest 0: the path's gather.
GORVA_LANES_TARGET GORVA_INLINE Lanes gatherCounts(const int* counted, int k, int lanes);

// (b - q n)^2 / n, 0 for an empty cell (whose b - q n is 0).
GORVA_LANES_TARGET GORVA_INLINE Lanes shiftedTerm(Lanes q, Lanes b, Lanes n) {
  const Lanes d = b - q * n;
  return d * d / larger(n, splat(1.0f));
}

struct Class {
  Lanes observed[L][L];  // [l][m]
  Lanes row[L];          // observed at the first marker only, by its level
  Lanes column[L];
  Lanes both;
  // 1 where a kind may end in cell (l, m), else 0; and the samples that may.
  Lanes row_ends[L][L];
  Lanes column_ends[L][L];
  Lanes both_ends[L][L];
  Lanes ending[L][L];
};

GORVA_LANES_TARGET GORVA_INLINE void loadClass(const int* counted, int lanes, int y, Class& c, Lanes& total) {
  total = Lanes{};
  for (int m = 0; m < kCounted; ++m) {
    for (int l = 0; l < kCounted; ++l) {
      const Lanes count = gatherCounts(counted, 2 * (l + kCounted * m) + y, lanes);
      total += count;
      Lanes& into = l < L && m < L ? c.observed[l][m] : l < L ? c.row[l] : m < L ? c.column[m] : c.both;
      into = count;
    }
  }
}

GORVA_LANES_TARGET GORVA_INLINE void whereKindsEnd(Class& c) {
  const Lanes zero{};
  const Lanes one = splat(1.0f);
  Lanes reach[L][L];
  Lanes most = zero;
  for (int l = 0; l < L; ++l) {
    for (int m = 0; m < L; ++m) {
      reach[l][m] = c.observed[l][m] + c.row[l] + c.column[m] + c.both;
      most = larger(most, c.observed[l][m]);
    }
  }
  for (int l = 0; l < L; ++l) {
    const Lanes row_most = larger(larger(c.observed[l][0], c.observed[l][1]), c.observed[l][2]);
    const Lanes column_most = larger(larger(c.observed[0][l], c.observed[1][l]), c.observed[2][l]);
    for (int m = 0; m < L; ++m) {
      c.row_ends[l][m] = c.row[l] > zero && reach[l][m] >= row_most ? one : zero;
      c.column_ends[m][l] = c.column[l] > zero && reach[m][l] >= column_most ? one : zero;
    }
  }
  for (int l = 0; l < L; ++l) {
    for (int m = 0; m < L; ++m) {
      c.both_ends[l][m] = c.both > zero && reach[l][m] >= most ? one : zero;
      c.ending[l][m] = c.row_ends[l][m] * c.row[l] + c.column_ends[l][m] * c.column[m] + c.both_ends[l][m] * c.both;
    }
  }
}

GORVA_LANES_TARGET GORVA_INLINE void emPairBoundsLanes(const EmPairBoundRequest& request, double* bounds) {
  const float q_float = static_cast<float>(request.q);
  const Lanes q = splat(q_float);
  const Lanes q_squared = splat(q_float * q_float);  // rounded either way: inside the rise's slack
  const Lanes two_less_q = splat(2.0f - q_float);
  const Lanes one = splat(1.0f);
  const Lanes zero{};
  const Lanes slack = splat(0x1p-16f);
  for (int first = 0; first < request.count; first += kLanes) {
    const int lanes = std::min(kLanes, request.count - first);
    const int* counted = request.counted + static_cast<long>(first) * kEmPairCountedInts;
    Class classes[2];
    Lanes totals[2];
    for (int y = 0; y < 2; ++y) {
      loadClass(counted, lanes, y, classes[y], totals[y]);
      whereKindsEnd(classes[y]);
    }
    Lanes shifted = zero;
    Lanes corners = zero;
    Lanes row_worst[2][L] = {};
    Lanes column_worst[2][L] = {};
    Lanes both_worst[2] = {};
    for (int l = 0; l < L; ++l) {
      for (int m = 0; m < L; ++m) {
        const Lanes b = classes[1].observed[l][m];
        const Lanes n = classes[0].observed[l][m] + b;
        const Lanes own = shiftedTerm(q, b, n);
        shifted += own;
        const Lanes cases_in = classes[1].ending[l][m];
        const Lanes controls_in = classes[0].ending[l][m];
        const Lanes with_cases = b + cases_in;
        corners += larger(larger(own, shiftedTerm(q, with_cases, n + cases_in)),
                          larger(shiftedTerm(q, b, n + controls_in), shiftedTerm(q, with_cases, n + cases_in + controls_in)));
        // Where samples may end, n + what may end there > 0.
        const Lanes high = with_cases / larger(n + cases_in, one);
        const Lanes low = b / larger(n + controls_in, one);
        const Lanes rises[2] = {larger(q_squared - low * low, zero) + slack,
                                larger((high - q) * (two_less_q - high), zero) + slack};
        for (int y = 0; y < 2; ++y) {
          const Class& c = classes[y];
          row_worst[y][l] = larger(row_worst[y][l], c.row_ends[l][m] * rises[y]);
          column_worst[y][m] = larger(column_worst[y][m], c.column_ends[l][m] * rises[y]);
          both_worst[y] = larger(both_worst[y], c.both_ends[l][m] * rises[y]);
        }
      }
    }
    for (int y = 0; y < 2; ++y) {
      const Class& c = classes[y];
      for (int l = 0; l < L; ++l) shifted += c.row[l] * row_worst[y][l] + c.column[l] * column_worst[y][l];
      shifted += c.both * both_worst[y];
    }
    const Lanes sums = shifted < corners ? shifted : corners;
    for (int j = 0; j < lanes; ++j)
      bounds[first + j] = informationGainBoundFrom(static_cast<double>(sums[j]) * (1 + 0x1p-16), totals[0][j],
                                                   totals[1][j], request.q, request.factor, L * L);
  }
}

}  // namespace

#endif  // GORVA_ENGINE_COUNT_EM_PAIR_BOUNDS_LANES_H
