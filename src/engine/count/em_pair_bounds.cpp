#include "engine/count/em_pair_bounds.h"

#include <algorithm>
#include <limits>

#include "engine/count/information_gain_bound_finish.h"

// With S = sum_c f(b_c, n_c), f(b, n) = (b - q n)^2 / n (jointly convex and
// homogeneous), a sample added to a cell whose case share is p raises f by
// at most (p - q)(2 - q - p) if a case, q^2 - p^2 if a control (f's
// derivatives). Along the straight path from the observed table to the em
// table every cell's share stays between b / (n + the controls that may end
// in it) and (b + the cases that may) / (n + those cases); the first
// derivative rises with p and the second falls, so each incomplete sample
// adds at most its class's derivative at the end of that range in the worst
// cell it may end in.
// Or, cell by cell: f is convex, so over the cases and controls that may
// end in a cell (any number of each up to those totals) it is largest at a
// corner of that box, and the em table's S is at most the sum of each
// cell's largest corner. That is the tighter bound where a kind may end in
// one cell only (most kinds: the large cell of their row or column), the
// first where many may end in several; the smaller of the two holds.
// A kind (the samples of one class observed at the same marker levels)
// may be put in its observed marker's row or column, or anywhere when it
// misses both; and every round puts it in the compatible cell holding the
// most samples of its class in a table made of the observed ones and every
// kind placed somewhere. So it ends in a cell only if that cell's observed
// count plus every sample of its class that may come there reaches the
// observed count of each cell it could have chosen instead: the large
// cells, where a few samples move f little. The em table holds every
// sample, so its totals are the counted ones.
void emPairBoundsScalar(const EmPairBoundRequest& request, double* bounds) {
  for (int j = 0; j < request.count; ++j)
    bounds[j] = emPairBound(request.counted + static_cast<long>(j) * kEmPairCountedInts, request.q, request.factor);
}

double emPairBound(const int* counted, double q, double factor) {
  constexpr int L = kEmPairLevels;
  constexpr int kCounted = kEmPairLevels + 1;
  // Per class: observed samples in cell (l, m), l the first marker's level;
  // kinds observed at the first marker only (by its level), at the second
  // only, at neither.
  double observed[2][L][L];
  double row_kind[2][L];
  double column_kind[2][L];
  double both_kind[2];
  double totals[2] = {0, 0};
  for (int y = 0; y < 2; ++y) {
    for (int m = 0; m < kCounted; ++m) {
      for (int l = 0; l < kCounted; ++l) {
        const double count = counted[2 * (l + kCounted * m) + y];
        totals[y] += count;
        if (l < L && m < L) {
          observed[y][l][m] = count;
        } else if (l < L) {
          row_kind[y][l] = count;
        } else if (m < L) {
          column_kind[y][m] = count;
        } else {
          both_kind[y] = count;
        }
      }
    }
  }
  // Per class, the cells each kind may end in, and the samples that may
  // end in each cell.
  bool row_ends[2][L][L];     // [y][l][m]: row kind l may end in (l, m)
  bool column_ends[2][L][L];  // [y][l][m]: column kind m may end in (l, m)
  bool both_ends[2][L][L];
  double ending[2][L][L];
  for (int y = 0; y < 2; ++y) {
    const auto& o = observed[y];
    double reach[L][L];
    double most = 0;
    for (int l = 0; l < L; ++l) {
      for (int m = 0; m < L; ++m) {
        reach[l][m] = o[l][m] + row_kind[y][l] + column_kind[y][m] + both_kind[y];
        most = std::max(most, o[l][m]);
        ending[y][l][m] = 0;
      }
    }
    for (int l = 0; l < L; ++l) {
      const double row_most = std::max({o[l][0], o[l][1], o[l][2]});
      const double column_most = std::max({o[0][l], o[1][l], o[2][l]});
      for (int m = 0; m < L; ++m) {
        row_ends[y][l][m] = row_kind[y][l] > 0 && reach[l][m] >= row_most;
        column_ends[y][m][l] = column_kind[y][l] > 0 && reach[m][l] >= column_most;
      }
    }
    for (int l = 0; l < L; ++l) {
      for (int m = 0; m < L; ++m) {
        both_ends[y][l][m] = both_kind[y] > 0 && reach[l][m] >= most;
        ending[y][l][m] = (row_ends[y][l][m] ? row_kind[y][l] : 0) + (column_ends[y][l][m] ? column_kind[y][m] : 0) +
                          (both_ends[y][l][m] ? both_kind[y] : 0);
      }
    }
  }
  double shifted = 0;
  double corners = 0;
  double row_worst[2][L];
  double column_worst[2][L];
  double both_worst[2];
  const double lowest = -std::numeric_limits<double>::infinity();
  for (int y = 0; y < 2; ++y) {
    both_worst[y] = lowest;
    for (int l = 0; l < L; ++l) row_worst[y][l] = column_worst[y][l] = lowest;
  }
  for (int l = 0; l < L; ++l) {
    for (int m = 0; m < L; ++m) {
      const double n = observed[0][l][m] + observed[1][l][m];
      const double b = observed[1][l][m];
      const auto f = [q](double cases, double samples) {
        const double d = cases - q * samples;
        return samples > 0 ? d * d / samples : 0.0;
      };
      shifted += f(b, n);
      const double cases_in = ending[1][l][m];
      const double controls_in = ending[0][l][m];
      corners += std::max({f(b, n), f(b + cases_in, n + cases_in), f(b, n + controls_in),
                           f(b + cases_in, n + cases_in + controls_in)});
      for (int y = 0; y < 2; ++y) {
        if (ending[y][l][m] == 0) continue;
        double rise;
        if (y == 1) {
          const double high = (b + ending[1][l][m]) / (n + ending[1][l][m]);
          rise = (high - q) * (2 - q - high);
        } else {
          const double low = b / (n + ending[0][l][m]);
          rise = q * q - low * low;
        }
        if (row_ends[y][l][m]) row_worst[y][l] = std::max(row_worst[y][l], rise);
        if (column_ends[y][l][m]) column_worst[y][m] = std::max(column_worst[y][m], rise);
        if (both_ends[y][l][m]) both_worst[y] = std::max(both_worst[y], rise);
      }
    }
  }
  for (int y = 0; y < 2; ++y) {
    for (int l = 0; l < L; ++l) {
      if (row_kind[y][l] > 0) shifted += row_kind[y][l] * row_worst[y][l];
      if (column_kind[y][l] > 0) shifted += column_kind[y][l] * column_worst[y][l];
    }
    if (both_kind[y] > 0) shifted += both_kind[y] * both_worst[y];
  }
  // Roundings of a few dozen sums and products, far inside the slack the
  // bound adds to the shifted sum.
  return informationGainBoundFrom(std::max(std::min(shifted, corners), 0.0), totals[0], totals[1], q, factor, L * L);
}
