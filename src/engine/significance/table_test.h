// The association test of a genotype-by-phenotype count table: the
// likelihood-ratio statistic G of independence between the genotype cells
// and the two classes, its degrees of freedom and its chi-square p-value.
// Every p_chisq of the results table comes from here.
#ifndef GORVA_ENGINE_SIGNIFICANCE_TABLE_TEST_H
#define GORVA_ENGINE_SIGNIFICANCE_TABLE_TEST_H

struct TableTest {
  double statistic;  // G summed over the strata that hold both classes
  int df;            // their degrees of freedom, summed
  double p_value;    // NaN when df < 1
};

// `tables`: strata x cells x 2 ints (controls, cases), stratum-major; one
// stratum when the run is not stratified. A stratum holding one class only
// adds nothing to the statistic or df.
TableTest associationTest(const int* tables, int strata, int cells);

#endif  // GORVA_ENGINE_SIGNIFICANCE_TABLE_TEST_H
