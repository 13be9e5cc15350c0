// Upper bounds of the information gain of "em" tables of pairs and triples
// from the tables counted with the missing genotype as a fourth level,
// without making them: a search ranked by IG completes the em tables of the
// few combinations their bound does not rule out (em_table_bounds.cpp says
// why the bound holds).
#ifndef GORVA_ENGINE_COUNT_EM_TABLE_BOUNDS_H
#define GORVA_ENGINE_COUNT_EM_TABLE_BOUNDS_H

#include <vector>

// The orders bounded: beyond 3 the kinds of incomplete samples and their
// cells outgrow what a bound can hold in registers.
constexpr int kEmBoundMostOrder = 3;
constexpr int kEmBoundMostCells = 27;   // 3^3 observed cells
constexpr int kEmBoundMostKinds = 37;   // 4^3 - 3^3 counted cells with a missing genotype

// Where an order's counted cells go. A counted table holds the controls and
// cases of cell sum_j d_j 4^j (the first marker least significant, digit 3
// its missing genotype) at 2 c and 2 c + 1; an observed cell (no digit 3)
// is entry sum_j d_j 3^j of the em table; every other counted cell is a
// kind of incomplete sample, which the assignment rounds may put in any
// entry with its observed digits.
struct EmBoundShape {
  explicit EmBoundShape(int order);
  int order = 0;
  int cells = 0;          // entries of the em table
  int counted_ints = 0;   // ints of a counted table
  int kinds = 0;
  std::vector<int> entry_of;    // per counted cell: its entry, or -1
  std::vector<int> kind_of;     // per counted cell: its kind, or -1
  // Kind k's entries: entries[kind_first[k] .. kind_first[k + 1]).
  std::vector<int> kind_first;
  std::vector<int> entries;
};

// `count` counted tables one after another; q a fraction strictly between
// 0 and 1 that single precision holds, factor = divergenceFactor(q). The
// em tables hold every sample: bounds[j] >= the IG (bits) of table j's em
// table with its totals, +infinity where a class is absent. Totals below
// 2^24.
struct EmBoundRequest {
  const EmBoundShape* shape = nullptr;
  const int* counted = nullptr;
  int count = 0;
  double q = 0.5;
  double factor = 0;
};
using EmTableBounds = void (*)(const EmBoundRequest& request, double* bounds);
// The reference, and a register of tables a step in single precision (at
// most a relative 2^-16 looser, and never lower than a rise's negative
// part).
void emTableBoundsScalar(const EmBoundRequest& request, double* bounds);
void emTableBoundsAvx2(const EmBoundRequest& request, double* bounds);
void emTableBoundsAvx512(const EmBoundRequest& request, double* bounds);

#endif  // GORVA_ENGINE_COUNT_EM_TABLE_BOUNDS_H
