// "em" tables from tables counted with the missing genotype as a fourth
// level, as the bit-planes count them: the samples observed at every marker
// are the cells without a missing digit, and every other cell is one kind
// of incomplete sample (its observed genotypes, its missing markers, its
// class) with its count, which em's rounds assign as one. The result is
// the table countTable_EM fills sample by sample, entry for entry.
#ifndef GORVA_ENGINE_RANK_EM_TABLES_H
#define GORVA_ENGINE_RANK_EM_TABLES_H

#include <vector>

#include "core/em_assignment.h"

// The levels the planes of an "em" search count: the genotype classes and
// the missing genotype.
constexpr int kEmCountedLevels = 4;
// The highest order whose em tables are completed from counted ones:
// beyond it the 4^k counted cells cost more than a count of the samples
// (measured: order 5 0.15 CPU s against 0.24, order 6 1.39 against 0.87,
// 20 markers x 2,000 samples).
constexpr int kEmMostCountedOrder = 5;

class EmTables {
 public:
  explicit EmTables(int order);
  // `counted`: 2 * 4^k ints, controls and cases per cell, first marker
  // least significant, level 3 the missing genotype. Fills observed() with
  // the samples observed at every marker and em() with those and the
  // others assigned, 2 * 3^k ints each.
  void fill(const int* counted);
  int* observed() { return observed_.data(); }
  int* em() { return em_.data(); }
  int ints() const { return static_cast<int>(em_.size()); }

 private:
  // A counted cell's observed entry (its missing digits at 0) and its
  // missing markers' multipliers in missing_.
  struct CellPlace {
    int fixed;
    int first_missing;
    int missing_count;
  };
  int order_;
  std::vector<int> observed_;
  std::vector<int> em_;
  std::vector<IncompleteKind> kinds_;
  std::vector<CellPlace> places_;
  std::vector<int> missing_;
};

#endif  // GORVA_ENGINE_RANK_EM_TABLES_H
