// The screen of within-strata pair permutations straight from the counts
// of their counted classes, sixteen pairs a step with AVX-512 (eight with
// AVX2), before any table is assembled.
//
// A stratum's table of a permutation is its counted class (m_c per cell,
// the smaller class, which the shuffle leaves as large) beside the
// stratum's cell totals n_c, which every permutation shares. With q' the
// counted class's share of the stratum (any fraction will do: the bound
// holds for each), information_gain_bound.h's bound, read with the classes
// swapped where the counted class is the controls, is
//   n IG <= kappa(q') sum_c (m_c - q' n_c)^2 / n_c - 2 (M - q' n)^2 / n
// (bits with kappa / ln 2 and 2 / ln 2), M the counted class's total and n
// the table's. Per cell that is one multiply-add from the shared n_c and
// 1 / n_c: about half of the chord bound's work, and loose by about 1.4 where
// the chord is by 1.05, which costs nothing here: a permutation's maximum
// over every pair lies far in the tail of its pairs' gains.
//
// Everything is in single precision with each rounding kept on the safe
// side: counts below 2^24 convert exactly, m_c - q' n_c is one fused
// rounding from its value, the reciprocals are raised past their error,
// what the bound subtracts is lowered, and the sums over strata are raised
// at the end by more than their few roundings. The conditional gain's
// bound is then the strata's n IG bounds summed over the strata that hold
// both classes, divided by their samples (the exact measure divides by all
// strata's, no fewer); a p-value's is 2 ln 2 times that sum, the unpooled
// G, which pooling and Williams' divisor only lower.
//
// Ranked by RIG the key is IG / H(Y | S) = sum_s n_s IG_s / sum_s n_s H_s
// over the strata holding both classes (the weights' N cancels), so it is
// at most the same sum of n IG bounds over any positive sum of D_s <= n_s H_s
// taken over the same strata. Where a stratum's totals are fixed D_s is its
// n H(Y), rounded down; where each table takes its own, with M the counted
// class's total, D_s = 4 M (n - M) / n, since the binary entropy in bits
// h(p) >= 4 p (1 - p): their difference vanishes at 0 and 1/2 and is
// symmetric about 1/2, where its slope is 0; it is concave where
// p (1 - p) < 1 / (8 ln 2) (near 0 and 1) and convex between, so it
// falls to its zero at 1/2 through the convex part and lies above its chord
// through the concave part. That is tight for balanced strata (within 0.2 %
// for 0.48) and loose by 13 % at 0.2; a stratum holding both classes has
// D_s >= 4 (n - 1) / n > 0. The sum of D_s is lowered past the roundings of
// its products, quotients and sums before it divides.
#ifndef GORVA_ENGINE_SIGNIFICANCE_COUNTED_PAIR_SCREEN_H
#define GORVA_ENGINE_SIGNIFICANCE_COUNTED_PAIR_SCREEN_H

#include <cstdint>

#include "engine/count/kernel_dispatch.h"

// Pairs a step.
constexpr int kScreenLanes = 16;

// What a stretch's pairs share in one stratum, over all permutations: per
// group g of sixteen slots and cell e < 9, at (9 g + e) * 16 + lane.
struct ScreenTotals {
  int* cells = nullptr;     // n_c
  float* counts = nullptr;  // n_c as a float
  float* inverse = nullptr;  // at least 1 / max(n_c, 1)
  int* samples = nullptr;   // per slot (16 g + lane): the table's n
};

// Fills `out` for `slots` slots (a multiple of 8) from one stratum's whole
// pair counts (freeCountAt(kWholePairCounts, slot, 2 e + class)); slots up
// to the next multiple of 16 are left empty.
void prepareScreenTotals(const int* counts, int slots, const ScreenTotals& out);

// One stratum as the screen reads it.
struct ScreenStratum {
  ScreenTotals totals;
  const int* counted = nullptr;  // the member's counts: m_c at counted[freeCountAt(18, slot, 2 e + member)]
  float fraction = 0.5f;         // q'
  float factor = 0;              // kappa(q') / ln 2, raised past the shifted sum's slack
  bool bounded = false;          // q' leaves a bound
  // Where the measures take fixed totals: those of the stratum and of its
  // counted class (a table that does not add up to them gets no bound);
  // -1 where each table's own are taken.
  int fixed_samples = -1;
  int fixed_counted = -1;
  // Ranking by RIG with fixed totals: the stratum's n H(Y) in bits, rounded down.
  float spread = 0;
};

struct ScreenRequest {
  const ScreenStratum* strata = nullptr;
  int stratum_count = 0;
  int member = 0;  // which class's words of the counts hold the member
  int slots = 0;   // a multiple of 8
  // Ranking by p: the bound is the unpooled G (2 ln 2 sum n IG, nats);
  // else the conditional IG (bits).
  bool statistic = false;
  // Ranking by RIG: the bound is that of the conditional IG's numerator
  // over the strata's D_s.
  bool relative = false;
  // A slot is kept when its bound reaches threshold (+ add[slot], rounded
  // down, where add is given).
  float threshold = 0;
  const float* add = nullptr;
  const std::uint16_t* valid = nullptr;  // per group, the slots that hold a pair of the stretch
  float* bounds = nullptr;               // per slot: the bound (+infinity: none; NaN: no stratum holds both classes)
  std::uint16_t* kept = nullptr;         // per group
};

void screenCountedPairs(const ScreenRequest& request);
void prepareScreenTotalsAvx2(const int* counts, int slots, const ScreenTotals& out);
void screenCountedPairsAvx2(const ScreenRequest& request);

// Sixteen floats per group: what ScreenRequest::add reads for a stretch
// whose slot s holds second marker base + the pair at that slot, from
// per-marker values (`values`, readable up to base + slots + 16).
void slotOrderedValues(const float* values, int base, int slots, float* out);
void slotOrderedValuesAvx2(const float* values, int base, int slots, float* out);

// The three steps of one SIMD path's screen.
struct CountedPairScreen {
  void (*prepare)(const int* counts, int slots, const ScreenTotals& out);
  void (*screen)(const ScreenRequest& request);
  void (*order)(const float* values, int base, int slots, float* out);
};

// The path's screen; nullptr on the scalar path, which has none.
const CountedPairScreen* countedPairScreen(SimdPath path);

// The largest float at or below x.
float floatAtOrBelow(double x);

#endif  // GORVA_ENGINE_SIGNIFICANCE_COUNTED_PAIR_SCREEN_H
