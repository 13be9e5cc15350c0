// The association test of a genotype-by-phenotype count table: the
// likelihood-ratio statistic G of independence between the genotype cells
// and the two classes, its degrees of freedom and its chi-square p-value.
// Every p_chisq of the results table comes from here.
//
// Per stratum the test pools, into one group, the genotype cells expected
// to hold fewer than 5 samples of the rarer class (a pool still below that
// joins the smallest other group), then divides G by Williams' correction
// q = 1 + (n/controls + n/cases - 1)(n sum 1/n_g - 1) / (6 n df).
// Pooling reads cell totals and class totals only, so the null
// distribution is untouched; both steps keep G/q at or below the G of the
// unpooled table, which the IG-based bounds of the search rely on.
#ifndef GORVA_ENGINE_RANK_TABLE_TEST_H
#define GORVA_ENGINE_RANK_TABLE_TEST_H

#include <vector>

#include "engine/rank/search_context.h"

struct TableTest {
  double statistic;  // G / q summed over the strata that hold both classes
  int df;            // their degrees of freedom after pooling, summed
  double p_value;    // NaN when df < 1
};

// What the test makes of one stratum's table (2 * cells ints) before looking
// at how cells split into the classes: its degrees of freedom after pooling
// (0: nothing to test) and Williams' divisor. A table reaches p <= alpha
// only if its unpooled G reaches divisor * the chi-square quantile of alpha
// at df.
struct TableShape {
  int df;
  double divisor;
};
TableShape associationShape(const int* table, int cells);

// Williams' divisor of G for a 2 x groups table whose groups hold these
// totals (each above 0) and whose classes these: 1 + (n/controls + n/cases
// - 1)(n sum 1/total - 1) / (6 n df), df the groups less one (at least 1).
double williamsDivisor(const std::vector<double>& group_totals, double controls, double cases);

// Per cell of one stratum's table (2 * cells ints), the group of cells the
// test pools it into, numbered from 0; -1 for an empty cell. A table holding one class is one group.
std::vector<int> associationGroups(const int* table, int cells);

// `tables`: strata x cells x 2 ints (controls, cases), stratum-major; one
// stratum when the run is not stratified. A stratum holding one class only
// adds nothing to the statistic or df.
TableTest associationTest(const int* tables, int strata, int cells);
// The same without the p-value (NaN): for callers that hold the statistic
// against a cut on its degrees of freedom before paying for a tail.
TableTest associationStatistic(const int* tables, int strata, int cells);
// An upper bound of associationStatistic's statistic with its exact degrees
// of freedom, from the same pooling and divisor but no logarithm: within a
// few percent of the statistic for tables near independence, so that a
// caller holding it against a cut on df tests only tables that may reach it.
TableTest associationStatisticBound(const int* tables, int strata, int cells);

// The ranking key of a test: -ln p, from the tail's logarithm so that
// p-values below the double range still rank; NaN when df < 1.
double pValueKey(const TableTest& test);

// ln p of a test whose p-value lies below the doubles' normal range (about
// 2.2E-308, held as 0 or with few digits), else NaN: what prints it.
double logPBelowRange(const TableTest& test);

// The smallest statistic on `df` degrees of freedom whose key reaches
// `key` (0 when every statistic does). A table's test statistic is at most
// its unpooled G = 2 ln2 n IG, and the tail grows with df, so a table whose
// test has at least df degrees of freedom and whose 2 ln2 n IG is below
// this has a key below `key`.
double statisticReachingKey(double key, int df);

// The fewest degrees of freedom the test of one stratum's table has when it
// has a test: its cells that expect enough of the rarer class, less one
// (pooling only adds groups to those), and at least 1. One pass, no pooling.
int associationDfAtLeast(const int* table, int cells);
// The same for the strata's tests together (`tables`: strata x cells x 2
// ints): the sum over the strata whose fewest is at least 2 (one whose
// fewest is 1 may also pool to one group and add none).
int strataDfAtLeast(const int* tables, int strata, int cells);

// Upper tail of the chi-square distribution with df degrees of freedom at
// `statistic`, computed as a tail (down to about 1e-300); NaN when df < 1 or
// the statistic is not a number.
double chiSquareUpperTail(double statistic, int df);

// The table the association test reads: the counted table, but under "em"
// only the samples observed at every marker of the combination. The
// samples em assigns to cells are drawn towards the cells' own case shares,
// so counting them as observed would overstate the evidence.
void countTestedTable(const SearchContext& context, const int* combination, int k,
                      std::vector<int>& table);

#endif  // GORVA_ENGINE_RANK_TABLE_TEST_H
