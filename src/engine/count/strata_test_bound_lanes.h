// The strata test bound with one stratum a lane, in GCC's vector types, for
// the source file of each SIMD path to compile under its own target: define
// GORVA_LANES_TARGET to that target's attribute before including this, and
// define approximateReciprocal after it.
//
// Per lane it pools the stratum's cells as the test does (the cells whose
// total reaches 5 over the rarer class's share each a group, the others
// one pool, a pool still below that merged into the first smallest group)
// and sums groupsBound's terms over the groups (table_test.cpp): each cell
// as if kept, then the pool added as a group of its own or, when merged,
// the smallest group's term traded for the merged group's. Degrees of
// freedom come out exactly as the test's; the statistic's bound may differ
// from the scalar one by rounding only, far inside the margin its callers
// leave.
#ifndef GORVA_ENGINE_COUNT_STRATA_TEST_BOUND_LANES_H
#define GORVA_ENGINE_COUNT_STRATA_TEST_BOUND_LANES_H

#include <algorithm>
#include <limits>

#include "engine/count/simd_targets.h"
#include "engine/count/strata_test_bound.h"

// Eight doubles pass between functions that are always inlined and
// internal: no call ever crosses the ABI GCC warns about.
#pragma GCC diagnostic ignored "-Wpsabi"

// Internal to each including file: the paths' copies must never be merged.
namespace {

constexpr int kLanes = 8;
constexpr int kMostCells = 27;
// The expected count of the rarer class below which a cell is pooled.
constexpr double kSmallestExpected = 5.0;

typedef double Lanes __attribute__((vector_size(8 * kLanes)));

GORVA_LANES_TARGET GORVA_INLINE Lanes splat(double x) { return Lanes{} + x; }

// Within 2^-11 of 1 / x: the path's fast reciprocal.
GORVA_LANES_TARGET GORVA_INLINE Lanes approximateReciprocal(Lanes x);
// Lane l (l < lanes) = first[l * stride] as a double, the rest 0: the
// path's gather (lanes written one at a time would be read back as one
// vector before the stores reach it, a stall each).
GORVA_LANES_TARGET GORVA_INLINE Lanes gatherLanes(const int* first, int stride, int lanes);

// A vector division costs tens of cycles a register, a fast reciprocal one
// or two: the bound takes reciprocals moved past their error, up for the
// terms and down for Williams' sum of inverse totals (a smaller divisor
// only raises the bound), 0.1 % of looseness.
constexpr double kReciprocalError = 1.0 / 1024;
GORVA_LANES_TARGET GORVA_INLINE Lanes reciprocalAbove(Lanes x) {
  return approximateReciprocal(x) * (1 + kReciprocalError);
}
GORVA_LANES_TARGET GORVA_INLINE Lanes reciprocalBelow(Lanes x) {
  return approximateReciprocal(x) * (1 - kReciprocalError);
}

// 2 E g(O/E) summed over a group's two classes, bounded (groupsBound).
GORVA_LANES_TARGET GORVA_INLINE Lanes groupTerm(Lanes cases, Lanes total, Lanes case_share) {
  const Lanes zero{};
  const Lanes expected_cases = total * case_share;
  const Lanes d = cases - expected_cases;
  const Lanes size = d >= zero ? d : -d;
  const Lanes above_expected = d >= zero ? expected_cases : total - expected_cases;
  const Lanes above_observed = above_expected + size;
  const Lanes below_expected = total - above_expected;
  const Lanes below_observed = below_expected - size;
  const Lanes above_divisor = above_expected * (2 * above_observed + above_expected);
  const Lanes below_divisor = below_expected + below_observed;
  const Lanes both = (above_observed + 2 * above_expected) * below_divisor + 2 * above_divisor;
  return d != zero ? d * d * both * reciprocalAbove(above_divisor * below_divisor) : zero;
}

GORVA_LANES_TARGET GORVA_INLINE StrataTestBound strataTestBoundLanes(const int* tables, int strata, int cells) {
  // Tables of orders past 3 (or of missing genotypes as a level) are rare
  // enough to take the portable loop.
  if (cells > kMostCells) return strataTestBoundScalar(tables, strata, cells);
  StrataTestBound result{0, 0};
  const Lanes zero{};
  const Lanes one = splat(1);
  for (int first = 0; first < strata; first += kLanes) {
    const int lanes = std::min(kLanes, strata - first);
    // The strata's cells turned lane-wise; lanes past the last stratum hold
    // empty tables, which have nothing to test.
    Lanes controls[kMostCells];
    Lanes cases[kMostCells];
    const int* strata_cells = tables + 2L * cells * first;
    for (int c = 0; c < cells; ++c) {
      controls[c] = gatherLanes(strata_cells + 2 * c, 2 * cells, lanes);
      cases[c] = gatherLanes(strata_cells + 2 * c + 1, 2 * cells, lanes);
    }
    Lanes class_controls = zero;
    Lanes class_cases = zero;
    for (int c = 0; c < cells; ++c) {
      class_controls += controls[c];
      class_cases += cases[c];
    }
    const Lanes n = class_controls + class_cases;
    const Lanes rarer = class_controls < class_cases ? class_controls : class_cases;
    const Lanes smallest = kSmallestExpected / (rarer / n);
    const Lanes case_share = class_cases / n;

    Lanes kept = zero;  // groups of one cell
    Lanes terms = zero;
    Lanes inverse_totals = zero;
    Lanes pool_controls = zero;
    Lanes pool_cases = zero;
    Lanes least_total = splat(std::numeric_limits<double>::infinity());
    Lanes least_cases = zero;
    for (int c = 0; c < cells; ++c) {
      const Lanes total = controls[c] + cases[c];
      const auto keeps = total >= smallest;
      const auto pools = total > zero && !keeps;
      kept += keeps ? one : zero;
      pool_controls += pools ? controls[c] : zero;
      pool_cases += pools ? cases[c] : zero;
      terms += keeps ? groupTerm(cases[c], total, case_share) : zero;
      inverse_totals += keeps ? reciprocalBelow(total) : zero;
      const auto least = keeps && total < least_total;
      least_total = least ? total : least_total;
      least_cases = least ? cases[c] : least_cases;
    }
    const Lanes pool = pool_controls + pool_cases;
    const auto merges = pool > zero && pool < smallest && kept > zero;
    const auto alone = pool > zero && !merges;
    const Lanes merged_total = least_total + pool;
    const Lanes merged_cases = least_cases + pool_cases;
    terms += merges ? groupTerm(merged_cases, merged_total, case_share) -
                          groupTerm(least_cases, least_total, case_share)
                    : zero;
    // (The smallest group's inverse taken back exactly as it was added.)
    inverse_totals += merges ? reciprocalBelow(merged_total) - reciprocalBelow(least_total) : zero;
    terms += alone ? groupTerm(pool_cases, pool, case_share) : zero;
    inverse_totals += alone ? reciprocalBelow(pool) : zero;
    const Lanes groups = kept + (alone ? one : zero);
    const auto testable = class_controls > zero && class_cases > zero && groups >= 2 * one;
    const Lanes df = groups - one > one ? groups - one : one;
    const Lanes divisor =
        one + (n / class_controls + n / class_cases - one) * (n * inverse_totals - one) / (6 * n * df);
    const Lanes statistic = testable ? terms / divisor : zero;
    for (int l = 0; l < lanes; ++l) {
      result.statistic += statistic[l];
      result.df += testable[l] != 0 ? static_cast<int>(groups[l]) - 1 : 0;
    }
  }
  return result;
}

}  // namespace

#endif  // GORVA_ENGINE_COUNT_STRATA_TEST_BOUND_LANES_H
