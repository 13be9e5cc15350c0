// A permutation's count tables from the cell totals and the counts of its
// counted class: that class's entry is its count, the other one the total
// less it.
#ifndef GORVA_ENGINE_SIGNIFICANCE_CLASS_TABLES_H
#define GORVA_ENGINE_SIGNIFICANCE_CLASS_TABLES_H

#include "engine/significance/permuted_classes.h"

// totals[c] = tables[2c] + tables[2c + 1], over `cell_count` cells.
void cellTotals(const int* tables, long cell_count, int* totals);

// tables[2c + counted_class] = the count of cell c in `counted` (its entries
// as `entries` says; null: nothing counted, 0), tables[2c + 1 -
// counted_class] = totals[c] less that count.
void assembleClassTables(const int* totals, const int* counted, CountedEntries entries,
                         int counted_class, long cell_count, int* tables);

#endif  // GORVA_ENGINE_SIGNIFICANCE_CLASS_TABLES_H
