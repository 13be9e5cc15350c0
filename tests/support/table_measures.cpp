#include "support/table_measures.h"

#include <vector>

#include "core/gorva.h"

double ownTotalsMeasure(const int* table, int cells, int measure) {
  int controls = 0;
  int cases = 0;
  for (int c = 0; c < cells; ++c) {
    controls += table[2 * c];
    cases += table[2 * c + 1];
  }
  std::vector<double> sums(2 * static_cast<std::size_t>(cells), 0.0);
  double pair[2];
  calculateMeasuresAll(cases + controls, cases, controls, const_cast<int*>(table), sums.data(), 2 * cells, 1.0, 1,
                       pair);
  return pair[measure];
}
