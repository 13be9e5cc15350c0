// An independent model of the results table's statistics, in closed form or
// by plain fits, for comparing the table with: chi-square tails, the
// association test over pooled cells, the interaction test as a logistic
// regression, and whole orders scored and ranked.
#ifndef GORVA_TESTS_SUPPORT_TABLE_MODEL_H
#define GORVA_TESTS_SUPPORT_TABLE_MODEL_H

#include <string>
#include <vector>

#include "support/oracle.h"

// Upper tail of chi-square with integer df, closed form; NaN below 1 df.
double chiSquareTail(double x, int df);

// The likelihood-ratio statistic of the A x B term of a logistic regression
// with both genotypes as factors (main effects against one parameter per
// cell), fitted by Newton's method; df in `df`.
double logisticInteraction(const OracleCells& cells, int& df);

// The association test as the README states it: cells expected to hold
// fewer than 5 samples of the rarer class pooled into one (a pool still
// below that joins the smallest other cell, the first in table order), G
// divided by Williams' q. NaN statistic and df 0 without two groups.
struct ModelTest {
  double statistic;
  int df;
};
ModelTest modelAssociation(const OracleCells& cells);

// The divisor of the interaction test's G^2 on its kept cells: the cells'
// Williams-expected G (groups less one, times Williams' q) less each
// marker's (its genotypes as the groups), over the test's df, at least 1.
double interactionDivisor(const OracleCells& kept_cells, int df);

// The interaction test leaves out whole genotype cells expected to hold
// fewer than 5 samples of the rarer class.
OracleCells withoutSparseCells(OracleCells cells);

// Every combination of order k of n markers, in enumeration order.
std::vector<std::vector<int>> allCombinations(int n, int k);

struct Modelled { std::vector<int> combination; double ig, rig, synergy, key; };

// Every combination of order k scored and ranked as the model sees it, by
// `rank` ("ig", "rig", "synergy" or "p"); combinations without a key are
// left out.
std::vector<Modelled> modelOrder(const Dataset& data, int k, Method method, const std::string& rank);

#endif  // GORVA_TESTS_SUPPORT_TABLE_MODEL_H
