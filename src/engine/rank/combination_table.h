// One combination's count table, counted on its own (for the rows a search
// reports, and for the strata of a stratified search).
#ifndef GORVA_ENGINE_RANK_COMBINATION_TABLE_H
#define GORVA_ENGINE_RANK_COMBINATION_TABLE_H

#include <vector>

#include "engine/rank/search_context.h"

// Counts the table of one combination (2 * base^k ints, resized) as the
// context's missing-data method counts it, over the context's sample list.
void countCombinationTable(const SearchContext& context, const int* combination, int k,
                           std::vector<int>& table);

#endif  // GORVA_ENGINE_RANK_COMBINATION_TABLE_H
