// The likelihood-ratio test of an interaction between two markers: the
// log-linear model without a three-way term, [AB][AY][BY], against the
// saturated one on the phenotype x A x B table, fitted by iterative
// proportional fitting. Its G^2 equals the logistic-regression test's of the
// A x B term with both genotypes as factors. Genotype cells expected to hold
// fewer than 5 samples of the rarer class are left out of it, and G^2 is
// divided by a Williams divisor (interactionShape).
#ifndef GORVA_ENGINE_SIGNIFICANCE_INTERACTION_TEST_H
#define GORVA_ENGINE_SIGNIFICANCE_INTERACTION_TEST_H

#include <vector>

struct InteractionTest {
  double statistic = 0;  // G^2 over the divisor of interactionShape
  int df = 0;            // kept AB cells - levels of A used - levels of B used + connected groups
  double p_value = 0;    // NaN when df < 1
  int cycles = 0;        // IPF cycles until no fitted value moved by 1e-9
};

// The table the test fits: `table` with the genotype cells left out (their
// counts zeroed) that are expected to hold too few of the rarer class. G^2
// of the no-interaction model is far from chi-square when a few cells hold
// a handful of samples (the missing level under "mc", two rare
// homozygotes); cells are chosen by their totals and the class totals only,
// so the test is the same test on the cells that carry information.
std::vector<int> interactionTable(const int* table, int levels);

// What the test makes of a table of kept cells (interactionTable) before
// fitting it: its degrees of freedom and the divisor of its G^2. G^2 is the
// association test's G over the kept cells less the additive model's, so
// its mean is the difference of theirs; Williams' divisors give those as
// df_cells q_cells and, for the additive model, about df_A q_A + df_B q_B
// (each marker's genotypes as the groups). The divisor is that difference
// over df, at least 1. Reads cell and class totals only.
struct InteractionShape {
  int df = 0;
  double divisor = 1;
};
InteractionShape interactionShape(const int* kept_table, int levels);

// `table` is a pair's count table as the search counts it: 2 * levels^2
// ints, entry 2c the controls and 2c + 1 the cases of cell c = a + b * levels.
InteractionTest pairInteractionTest(const int* table, int levels);

#endif  // GORVA_ENGINE_SIGNIFICANCE_INTERACTION_TEST_H
