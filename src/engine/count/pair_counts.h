// The cells of every pair of markers below each marker's last level, counted
// once so that order 3 over complete markers need count only the cells
// below the last level of all three: every cell with one marker at its last
// level follows from these and from the marker's totals.
#ifndef GORVA_ENGINE_COUNT_PAIR_COUNTS_H
#define GORVA_ENGINE_COUNT_PAIR_COUNTS_H

#include <cstdint>
#include <vector>

#include "engine/count/bitplanes.h"
#include "engine/count/kernel_dispatch.h"

class PairCounts {
 public:
  // Whether the pairs of `marker_count` markers of `levels` levels take at
  // most 64 MB (2,000 markers of 3 levels).
  static bool fits(int levels, double marker_count);
  // Bytes the pairs take.
  static double bytesFor(int levels, double marker_count);

  // Counts every pair of the planes' markers.
  void count(const BitPlanes& planes, CountCellsKernel kernel);
  bool empty() const { return counts_.empty(); }
  // The pair (first, second), first < second: entry 2 * (g_first + (levels
  // - 1) * g_second) + class for levels below the last; the pairs (first,
  // second + 1), ... follow.
  const std::uint32_t* of(int first, int second) const {
    return counts_.data() + first_at_[first] + static_cast<long>(second - first - 1) * pair_ints_;
  }

 private:
  int pair_ints_ = 0;
  std::vector<std::uint32_t> counts_;
  std::vector<long> first_at_;  // where the pairs of each first marker start
};

// What derivePrefixLevels completes tables from: the counts of the pairs
// (second, third) and (first, third) and the third marker's per-level
// totals; those of consecutive third markers follow one another.
struct PrefixLevelTotals {
  const std::uint32_t* second_third = nullptr;
  const std::uint32_t* first_third = nullptr;
  const int* third_totals = nullptr;
};

// Completes `count` tables (`table_ints` ints apart) of order 3 over three
// complete markers of which only the cells below every marker's last level
// were counted, for the third marker's levels below its last: the cells
// where the first or the second marker is at its last level. Cell (g0, g1,
// g2) of a table is at 2 * (g0 + L * g1 + L * L * g2) + class.
void derivePrefixLevels(int levels, int* tables, int count, int table_ints,
                        const PrefixLevelTotals& totals);

#endif  // GORVA_ENGINE_COUNT_PAIR_COUNTS_H
