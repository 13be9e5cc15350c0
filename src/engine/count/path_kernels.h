// Every kernel of one SIMD path, chosen in one place. A path picks only the
// instructions a kernel runs: each path has every kernel, so that a search
// takes the same walks, bounds and screening on every CPU and only their
// speed differs. The path itself is the search's (SearchSettings::simd).
#ifndef GORVA_ENGINE_COUNT_PATH_KERNELS_H
#define GORVA_ENGINE_COUNT_PATH_KERNELS_H

#include "engine/count/bound_screen.h"
#include "engine/count/chord_information_gain_bound.h"
#include "engine/count/em_table_bounds.h"
#include "engine/count/information_gain_bound.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/count/missing_pair_counts.h"
#include "engine/count/nibble_pair_counts.h"
#include "engine/count/pair_free_counts.h"
#include "engine/count/segmented_pair_counts.h"
#include "engine/count/strata_test_bound.h"

struct PathKernels {
  CountCellsKernel count_cells;
  InformationGainBounds table_bounds;
  // The fused walk's free cells and their bounds.
  PairCountKernel free_cells;
  // Order 2's free cells of several first markers at once; null where
  // counting them one at a time with free_cells is as fast.
  PairRowsKernel pair_rows;
  // Order 2's free cells from nibble rows, for a path whose popcount is a
  // table lookup; null where there is none.
  NibblePairKernel nibble_pairs;
  PairInformationGainBounds pair_bounds;
  TripleInformationGainBounds triple_bounds;
  // The permutations' by-cell walk: bounds from a counted class's rows
  // (which of four pairs they leave in is key_thresholds.h's, a later stage).
  CountedClassBounds counted_class_bounds;
  // A stratified search's pairs: every stratum's tables in one walk, their
  // chord bounds and the strata's weighted sum of them.
  SegmentedPairKernel segmented_pairs;
  WholePairChordBounds chord_bounds;
  ConditionalGainBounds conditional_bounds;
  // Whether the order-2 walks (the search's and the permutations') count
  // with nibble_pairs rather than free_cells: only where that is the faster
  // (with a vector popcount free_cells is).
  bool walk_nibbles;
  // Whether segmented_pairs reads the joint rows as nibble rows rather than
  // whole words (the layout the strata's rows are packed in).
  bool segmented_nibbles;
  // Order 2's pairs whose markers miss a few genotypes, from their free
  // cells and the missing samples (the walk with free_cells uses them).
  MissingPairKernels missing_pairs;
  // The screen's pass over the bounds of a stretch.
  NextReaching next_reaching;
  // The association test's bound over a pair's strata tables, for ranking
  // by p.
  StrataTestBoundKernel strata_test_bound;
  // Bounds of em tables from their counted tables; null on the scalar path,
  // where they would cost as much as the assignment rounds they spare.
  EmTableBounds em_table_bounds = nullptr;
};

// The kernels of a path (the path must be supported to call them). The
// AVX-512 path runs AVX2 kernels where it has none of its own, which its
// CPUs also have.
const PathKernels& pathKernels(SimdPath path);

#endif  // GORVA_ENGINE_COUNT_PATH_KERNELS_H
