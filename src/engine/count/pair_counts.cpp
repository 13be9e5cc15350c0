#include "engine/count/pair_counts.h"

namespace {

constexpr double kMaxBytes = 64.0 * 1024 * 1024;

}  // namespace

double PairCounts::bytesFor(int levels, double marker_count) {
  const double free_levels = levels - 1;
  return marker_count * (marker_count - 1) / 2 * 2 * free_levels * free_levels *
             sizeof(std::uint32_t) +
         marker_count * sizeof(long);
}

bool PairCounts::fits(int levels, double marker_count) {
  return levels >= 2 && bytesFor(levels, marker_count) <= kMaxBytes;
}

void PairCounts::count(const BitPlanes& planes, CountCellsKernel kernel) {
  const int markers = planes.markerCount();
  const int free_levels = planes.levels() - 1;
  pair_ints_ = 2 * free_levels * free_levels;
  first_at_.assign(markers, 0);
  long total = 0;
  for (int a = 0; a < markers; ++a) {
    first_at_[a] = total;
    total += static_cast<long>(markers - a - 1) * pair_ints_;
  }
  counts_.assign(total, 0);
  for (int a = 0; a + 1 < markers; ++a) {
    CountRequest request;
    request.rows = planes.marker(a);
    request.row_count = free_levels;
    request.planes = planes.marker(a + 1);
    request.marker_count = markers - a - 1;
    request.marker_stride_words = planes.markerStrideWords();
    request.level_count = free_levels;
    request.level_step = free_levels;
    request.counts_per_marker = pair_ints_;
    request.counts = counts_.data() + first_at_[a];
    kernel(request, planes.shape());
  }
}

namespace {

// kLevels is the number of levels when fixed at compile time, else 0.
template <int kLevels>
void derivePrefixLevelsOf(int levels, int* tables, int count, int table_ints,
                          const PrefixLevelTotals& sources) {
  const std::uint32_t* second_third = sources.second_third;
  const std::uint32_t* first_third = sources.first_third;
  const int* third_totals = sources.third_totals;
  const int L = kLevels > 0 ? kLevels : levels;
  const int F = L - 1;
  const int P = L * L;
  const int pair_ints = 2 * F * F;
  for (int m = 0; m < count; ++m) {
    int* table = tables + static_cast<long>(m) * table_ints;
    const std::uint32_t* jk = second_third + static_cast<long>(m) * pair_ints;
    const std::uint32_t* ik = first_third + static_cast<long>(m) * pair_ints;
    const int* totals = third_totals + 2L * L * m;
    for (int g2 = 0; g2 < F; ++g2) {
      for (int c = 0; c < 2; ++c) {
        int* at = table + 2 * P * g2 + c;  // cell (g0, g1) at at[2 * (g0 + L * g1)]
        int counted = 0;
        for (int g1 = 0; g1 < F; ++g1) {
          int rest = static_cast<int>(jk[2 * (g1 + F * g2) + c]);
          for (int g0 = 0; g0 < F; ++g0) rest -= at[2 * (g0 + L * g1)];
          at[2 * (F + L * g1)] = rest;
          counted += static_cast<int>(jk[2 * (g1 + F * g2) + c]);
        }
        for (int g0 = 0; g0 < F; ++g0) {
          int rest = static_cast<int>(ik[2 * (g0 + F * g2) + c]);
          for (int g1 = 0; g1 < F; ++g1) rest -= at[2 * (g0 + L * g1)];
          at[2 * (g0 + L * F)] = rest;
          counted += rest;
        }
        // The corner is what the rows below the second marker's last level
        // (the pairs' counts) and the cells just derived leave.
        at[2 * (P - 1)] = totals[2 * g2 + c] - counted;
      }
    }
  }
}

}  // namespace

void derivePrefixLevels(int levels, int* tables, int count, int table_ints,
                        const PrefixLevelTotals& totals) {
  if (levels == 3) {
    derivePrefixLevelsOf<3>(levels, tables, count, table_ints, totals);
  } else {
    derivePrefixLevelsOf<0>(levels, tables, count, table_ints, totals);
  }
}

