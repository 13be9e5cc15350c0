#include "engine/count/em_table_bounds.h"

#include <algorithm>
#include <limits>

#include "engine/count/information_gain_bound_finish.h"

EmBoundShape::EmBoundShape(int k) : order(k) {
  constexpr int kLevels = 3;
  constexpr int kMissing = 3;
  cells = 1;
  int counted = 1;
  for (int j = 0; j < k; ++j) {
    cells *= kLevels;
    counted *= kLevels + 1;
  }
  counted_ints = 2 * counted;
  entry_of.assign(counted, -1);
  kind_of.assign(counted, -1);
  kind_first.push_back(0);
  for (int c = 0; c < counted; ++c) {
    int digits[kEmBoundMostOrder + 2] = {};
    int entry = 0;
    int step = 1;
    bool missing = false;
    for (int j = 0, rest = c; j < k; ++j, rest /= kLevels + 1, step *= kLevels) {
      digits[j] = rest % (kLevels + 1);
      if (digits[j] == kMissing) {
        missing = true;
      } else {
        entry += digits[j] * step;
      }
    }
    if (!missing) {
      entry_of[c] = entry;
      continue;
    }
    kind_of[c] = kinds++;
    // Every entry with the observed digits, the missing ones from 0 to 2.
    for (int e = 0; e < cells; ++e) {
      bool agrees = true;
      for (int j = 0, rest = e; j < k; ++j, rest /= kLevels)
        agrees = agrees && (digits[j] == kMissing || digits[j] == rest % kLevels);
      if (agrees) entries.push_back(e);
    }
    kind_first.push_back(static_cast<int>(entries.size()));
  }
}

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
// A kind (the samples of one class observed at the same marker levels) may
// be put in any cell that agrees with its observed genotypes; and every
// round puts it in the compatible cell holding the
// most samples of its class in a table made of the observed ones and every
// kind placed somewhere. So it ends in a cell only if that cell's observed
// count plus every sample of its class that may come there reaches the
// observed count of each cell it could have chosen instead: the large
// cells, where a few samples move f little. The em table holds every
// sample, so its totals are the counted ones.
void emTableBoundsScalar(const EmBoundRequest& request, double* bounds) {
  const EmBoundShape& shape = *request.shape;
  const double q = request.q;
  const int cells = shape.cells;
  const int kinds = shape.kinds;
  const auto f = [q](double cases, double samples) {
    const double d = cases - q * samples;
    return samples > 0 ? d * d / samples : 0.0;
  };
  const auto entriesOf = [&shape](int k) {
    return std::pair{shape.entries.data() + shape.kind_first[k], shape.entries.data() + shape.kind_first[k + 1]};
  };
  for (int t = 0; t < request.count; ++t) {
    const int* counted = request.counted + static_cast<long>(t) * shape.counted_ints;
    double observed[2][kEmBoundMostCells] = {};
    double kind[2][kEmBoundMostKinds] = {};
    double totals[2] = {0, 0};
    for (int c = 0; 2 * c < shape.counted_ints; ++c) {
      for (int y = 0; y < 2; ++y) {
        totals[y] += counted[2 * c + y];
        if (shape.entry_of[c] >= 0) {
          observed[y][shape.entry_of[c]] = counted[2 * c + y];
        } else {
          kind[y][shape.kind_of[c]] = counted[2 * c + y];
        }
      }
    }
    // Per class: what may reach each cell, the most a kind's cells hold
    // observed, and the samples that may end in each cell.
    double most[2][kEmBoundMostKinds];
    double reach[2][kEmBoundMostCells];
    double ending[2][kEmBoundMostCells];
    for (int y = 0; y < 2; ++y) {
      for (int e = 0; e < cells; ++e) {
        reach[y][e] = observed[y][e];
        ending[y][e] = 0;
      }
      for (int k = 0; k < kinds; ++k) {
        most[y][k] = 0;
        for (auto [e, end] = entriesOf(k); e < end; ++e) {
          reach[y][*e] += kind[y][k];
          most[y][k] = std::max(most[y][k], observed[y][*e]);
        }
      }
      for (int k = 0; k < kinds; ++k)
        for (auto [e, end] = entriesOf(k); e < end; ++e)
          if (kind[y][k] > 0 && reach[y][*e] >= most[y][k]) ending[y][*e] += kind[y][k];
    }
    double shifted = 0;
    double corners = 0;
    double rise[2][kEmBoundMostCells];
    for (int e = 0; e < cells; ++e) {
      const double b = observed[1][e];
      const double n = observed[0][e] + b;
      const double cases_in = ending[1][e];
      const double controls_in = ending[0][e];
      shifted += f(b, n);
      corners += std::max({f(b, n), f(b + cases_in, n + cases_in), f(b, n + controls_in),
                           f(b + cases_in, n + cases_in + controls_in)});
      const double high = n + cases_in > 0 ? (b + cases_in) / (n + cases_in) : 1.0;
      const double low = n + controls_in > 0 ? b / (n + controls_in) : 0.0;
      rise[1][e] = (high - q) * (2 - q - high);
      rise[0][e] = q * q - low * low;
    }
    for (int y = 0; y < 2; ++y) {
      for (int k = 0; k < kinds; ++k) {
        if (kind[y][k] == 0) continue;
        double worst = -std::numeric_limits<double>::infinity();
        for (auto [e, end] = entriesOf(k); e < end; ++e)
          if (reach[y][*e] >= most[y][k]) worst = std::max(worst, rise[y][*e]);
        shifted += kind[y][k] * worst;
      }
    }
    // Roundings of a few dozen sums and products, far inside the slack the
    // bound adds to the shifted sum.
    bounds[t] = informationGainBoundFrom(std::max(std::min(shifted, corners), 0.0), totals[0], totals[1], q,
                                         request.factor, cells);
  }
}
