#include "engine/count/information_gain_bound.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/count/information_gain_bound_finish.h"

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
                                                               static_cast<double>(cases), q,
                                                               request.divergence_factor,
                                                               request.cells);
  }
}

void countedClassBoundsScalar(const CountedClassBoundRequest& request, double* bounds, int* cases) {
  constexpr int kCells = 9;
  const int counted_class = request.counted_class;
  BoundRequest one = request.bound;
  one.cells = kCells;
  one.count = 1;
  one.stride = 2 * kCells;
  for (int j = 0; j < request.count; ++j) {
    int table[2 * kCells];
    long case_sum = 0;
    for (int e = 0; e < kCells; ++e) {
      int own = request.counted[0][e * request.counted_stride + j];
      if (request.counted[1] != nullptr) own += request.counted[1][e * request.counted_stride + j];
      const int total = request.totals[e * request.totals_stride + j];
      table[2 * e + counted_class] = own;
      table[2 * e + 1 - counted_class] = total - own;
      case_sum += table[2 * e + 1];
    }
    one.tables = table;
    informationGainBoundsScalar(one, bounds + j);
    if (cases != nullptr) cases[j] = static_cast<int>(case_sum);
  }
}

double divergenceFactor(double q) {
  if (!(q > 0 && q < 1)) return std::numeric_limits<double>::infinity();
  const double at_zero = -std::log1p(-q) / (q * q);
  const double at_q = 0.5 / (q * (1 - q));
  const double at_one = -std::log(q) / ((1 - q) * (1 - q));
  // A relative 1e-12 covers the rounding of the logarithms and divisions.
  return std::max({at_zero, at_q, at_one}) * kInverseLn2 * (1.0 + 1e-12);
}

namespace {

// The bound of one completed table in double precision.
double tableBound(const BoundRequest& terms, const int* table) {
  BoundRequest one = terms;
  one.tables = table;
  one.count = 1;
  one.stride = 2 * terms.cells;
  double bound = 0;
  informationGainBoundsScalar(one, &bound);
  return bound;
}

}  // namespace

void pairInformationGainBoundsScalar(const PairBoundRequest& request, double* bounds) {
  int table[2 * 9];
  for (long p = 0; p < request.pairs; ++p) {
    if (request.from_free != nullptr) {
      completePairFromFree(*request.from_free, p, table);
    } else if (request.whole) {
      wholePairTable(request.counts, p, table);
    } else {
      completePairTable(request.counts, p, request.totals, request.first_second + static_cast<int>(p), table);
    }
    bounds[p] = tableBound(request.bound, table);
  }
}

void tripleInformationGainBoundsScalar(const TripleBoundRequest& request, double* bounds) {
  int table[2 * 27];
  for (int j = 0; j <= request.last; ++j) {
    const long p = request.lead + j;
    completeTripleTable(request.counts, p, request.totals, j, request.first_third_marker + static_cast<int>(p),
                        table);
    bounds[p] = tableBound(request.bound, table);
  }
}
