// The measures of a count table as the program computes them, with the
// table's own totals: the reference the bounds of the information gain are
// held against.
#ifndef GORVA_TESTS_SUPPORT_TABLE_MEASURES_H
#define GORVA_TESTS_SUPPORT_TABLE_MEASURES_H

// calculateMeasuresAll's IG (measure 0) or RIG (1) of `cells` cells of
// controls and cases (2 ints a cell).
double ownTotalsMeasure(const int* table, int cells, int measure = 0);

#endif  // GORVA_TESTS_SUPPORT_TABLE_MEASURES_H
