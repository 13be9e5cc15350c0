#include "engine/count/cell_counter.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "core/gorva.h"

namespace {

// Rows of the last markers kept in cache while a group of runs is counted
// against them, and the prefix rows of one group.
constexpr long kBlockBytes = 256 * 1024;
// But a block of at least this many markers, as long as it holds no more
// than kMostBlockBytes: with tens of thousands of samples a cache-sized
// block holds a handful of markers, and every first marker's rows and
// missing-sample sums are then fetched again for each handful.
constexpr long kLeastBlockMarkers = 128;
constexpr long kMostBlockBytes = 4L * 1024 * 1024;
constexpr long kGroupRowBytes = 128 * 1024;
constexpr long kTableIntsPerBlock = 256 * 1024;
constexpr int kMaxGroupRuns = 256;

long blockMarkersFor(double marker_bytes) {
  const double bytes = std::max(8.0, marker_bytes);
  const double least = std::min<double>(kLeastBlockMarkers, std::max(1.0, kMostBlockBytes / bytes));
  return static_cast<long>(std::clamp(std::max(kBlockBytes / bytes, least), 1.0, double{1L << 20}));
}

int power(int base, int exponent) {
  int value = 1;
  for (int i = 0; i < exponent; ++i) value *= base;
  return value;
}

// out row (p + g * previous_count) = previous row p AND level row g.
void andRows(const std::uint64_t* previous, int previous_count, const std::uint64_t* levels,
             int level_count, int row_words, std::uint64_t* out) {
  for (int g = 0; g < level_count; ++g) {
    const std::uint64_t* level = levels + static_cast<long>(g) * row_words;
    for (int p = 0; p < previous_count; ++p) {
      const std::uint64_t* row = previous + static_cast<long>(p) * row_words;
      std::uint64_t* target = out + static_cast<long>(p + g * previous_count) * row_words;
      for (int w = 0; w < row_words; ++w) target[w] = row[w] & level[w];
    }
  }
}

// A block of counted tables' shape and the totals that complete them:
// levels and prefix_cells are the table's shape; row_totals hold each of
// the row_count prefix rows' controls and cases, level_totals each last
// marker's per-level ones (2 * levels ints per marker, markers one after
// another). derive_last_level: the last marker is complete and its last
// level was left out.
struct TableTotals {
  int levels = 0;
  int prefix_cells = 0;
  bool derive_last_level = false;
  int row_count = 0;
  const int* row_totals = nullptr;
  const int* level_totals = nullptr;
};

// Fills the entries a count request left out of `count` tables of
// `table_ints` ints each, from totals. kLevels / kPrefixCells fix the shape
// at compile time (0: as the totals say).
template <int kLevels, int kPrefixCells>
void completeTablesOf(const TableTotals& shape, int* tables, int count, int table_ints) {
  const int L = kLevels > 0 ? kLevels : shape.levels;
  const int P = kPrefixCells > 0 ? kPrefixCells : shape.prefix_cells;
  const int row_count = shape.row_count;
  const int* row_totals = shape.row_totals;
  const int* level_totals = shape.level_totals;
  // A complete last marker: its last level holds the rest of each prefix row.
  if (shape.derive_last_level) {
    for (int m = 0; m < count; ++m) {
      int* table = tables + static_cast<long>(m) * table_ints;
      for (int i = 0; i < 2 * row_count; ++i) {
        int rest = row_totals[i];
        for (int l = 0; l < L - 1; ++l) rest -= table[2 * l * P + i];
        table[2 * (L - 1) * P + i] = rest;
      }
    }
  }
  // A complete first marker (order 2): its last level holds the rest of each
  // level of the last marker.
  if (row_count < P) {
    for (int m = 0; m < count; ++m) {
      int* table = tables + static_cast<long>(m) * table_ints;
      const int* totals = level_totals + 2L * L * m;
      for (int l = 0; l < L; ++l) {
        for (int c = 0; c < 2; ++c) {
          int rest = totals[2 * l + c];
          for (int r = 0; r < P - 1; ++r) rest -= table[2 * (r + l * P) + c];
          table[2 * (P - 1 + l * P) + c] = rest;
        }
      }
    }
  }
}

void completeTables(const TableTotals& shape, int* tables, int count, int table_ints) {
  using Complete = void (*)(const TableTotals&, int*, int, int);
  const int levels = shape.levels;
  const int prefix_cells = shape.prefix_cells;
  Complete complete = completeTablesOf<0, 0>;
  if (levels == 3 && prefix_cells == 1) complete = completeTablesOf<3, 1>;
  if (levels == 3 && prefix_cells == 3) complete = completeTablesOf<3, 3>;
  if (levels == 3 && prefix_cells == 9) complete = completeTablesOf<3, 9>;
  if (levels == 4 && prefix_cells == 1) complete = completeTablesOf<4, 1>;
  if (levels == 4 && prefix_cells == 4) complete = completeTablesOf<4, 4>;
  if (levels == 4 && prefix_cells == 16) complete = completeTablesOf<4, 16>;
  complete(shape, tables, count, table_ints);
}

}  // namespace

bool CellCounter::servesOrder(int levels, int order) {
  long cells = 1;
  for (int i = 0; i < order; ++i) {
    cells *= levels;
    if (cells > (1L << 20)) return false;
  }
  return order >= 1;
}

CellCounter::CellCounter(const BitPlanes& planes, int order, CountCellsKernel kernel)
    : planes_(planes),
      order_(order),
      levels_(planes.levels()),
      prefix_cells_(power(planes.levels(), order - 1)),
      cells_(power(planes.levels(), order)),
      row_words_(planes.shape().rowWords()),
      kernel_(kernel) {
  block_markers_ = static_cast<int>(blockMarkersFor(planes.markerStrideWords() * 8.0));
  block_markers_ = std::min<long>(block_markers_, std::max(1L, kTableIntsPerBlock / (2L * cells_)));
  // No block outgrows the markers: a stratum of a few samples would
  // otherwise hold tables for thousands of markers that do not exist.
  block_markers_ = std::min(block_markers_, std::max(1, planes.markerCount()));
  tables_.assign(static_cast<std::size_t>(block_markers_) * 2 * cells_, 0);

  group_slots_ = kMaxGroupRuns;
  if (order_ >= 3) {
    const long slot_words = static_cast<long>(prefix_cells_) * row_words_;
    group_slots_ = static_cast<int>(std::clamp(kGroupRowBytes / std::max(8L, slot_words * 8), 1L,
                                               static_cast<long>(kMaxGroupRuns)));
    if (!group_rows_.reset(group_slots_ * slot_words)) throw std::bad_alloc();
    group_totals_.assign(static_cast<std::size_t>(group_slots_) * prefix_cells_ * 2, 0);
  }
  if (order_ >= 4) {
    // Depths 2 .. k-2 one after another: levels^d rows each.
    long words = 0;
    for (int d = 2; d <= order_ - 2; ++d)
      words += static_cast<long>(power(levels_, d)) * row_words_;
    if (!depth_rows_.reset(words)) throw std::bad_alloc();
    depth_markers_.assign(order_ - 2, -1);
  }

  const int markers = planes.markerCount();
  if (order_ == 3 && PairCounts::fits(levels_, markers)) pairs_.count(planes, kernel);
  // Markers that miss genotypes split further by how the fused walk counts
  // their pairs.
  const auto kind = [&planes](int marker) {
    return planes.complete(marker) ? 0 : MissingSampleRows::serves(planes, marker) ? 1 : 2;
  };
  same_completeness_until_.assign(markers, 0);
  for (int m = markers - 1; m >= 0; --m) {
    const bool same_as_next = m + 1 < markers && kind(m) == kind(m + 1);
    same_completeness_until_[m] = same_as_next ? same_completeness_until_[m + 1] : m;
  }
}

void CellCounter::addRun(int first_index, const int* combination, int length) {
  const int first_last = combination[order_ - 1];
  runs_.push_back(
      Run{first_index, static_cast<long>(prefixes_.size()), first_last, first_last + length - 1});
  prefixes_.insert(prefixes_.end(), combination, combination + order_ - 1);
}

void CellCounter::planListRuns(const int* combinations, int count) {
  runs_.clear();
  prefixes_.clear();
  const int markers = planes_.markerCount();
  for (int i = 0; i < count;) {
    const int* combination = combinations + static_cast<long>(i) * order_;
    const int length = std::min(markers - combination[order_ - 1], count - i);
    addRun(i, combination, length);
    i += length;
  }
}

void CellCounter::planRangeRuns(const int* first, int count) {
  runs_.clear();
  prefixes_.clear();
  const int markers = planes_.markerCount();
  walk_.assign(first, first + order_);
  for (int i = 0; i < count;) {
    const int length = std::min(markers - walk_[order_ - 1], count - i);
    addRun(i, walk_.data(), length);
    i += length;
    // The successor of the run's last combination starts the next run.
    walk_[order_ - 1] = markers - 1;
    if (i < count) comb_nextstep(order_, markers, walk_.data());
  }
}

void CellCounter::combinationAt(int i, int* out) const {
  const auto after = std::upper_bound(runs_.begin(), runs_.end(), i, [](int index, const Run& run) {
    return index < run.first_index;
  });
  const Run& run = *(after - 1);
  std::copy_n(prefixes_.data() + run.prefix_at, order_ - 1, out);
  out[order_ - 1] = run.first_last + (i - run.first_index);
}

std::size_t CellCounter::prepareGroup(std::size_t first) {
  const std::size_t end = std::min(runs_.size(), first + static_cast<std::size_t>(group_slots_));
  for (std::size_t r = first; r < end; ++r) {
    Run& run = runs_[r];
    if (order_ == 1) {
      run.rows = planes_.everyone();
      run.row_count = 1;
      run.row_totals = planes_.everyoneCounts();
    } else if (order_ == 2) {
      const int m = prefixes_[run.prefix_at];
      run.rows = planes_.marker(m);
      run.row_count = planes_.complete(m) ? levels_ - 1 : levels_;
      run.row_totals = planes_.marginals(m);
    } else {
      const long slot = static_cast<long>(r - first);
      std::uint64_t* rows = group_rows_.data() + slot * prefix_cells_ * row_words_;
      std::uint32_t* totals = &group_totals_[slot * prefix_cells_ * 2];
      buildPrefixRows(prefixes_.data() + run.prefix_at, rows, totals);
      run.rows = rows;
      run.row_count = prefix_cells_;
      run.row_totals = reinterpret_cast<const int*>(totals);
    }
  }
  return end;
}

void CellCounter::buildPrefixRows(const int* prefix, std::uint64_t* rows, std::uint32_t* totals) {
  // The rows of the first k - 2 markers: marker 0's own rows, or the cached
  // deeper ANDs, rebuilt from the first depth whose markers changed.
  const std::uint64_t* base = planes_.marker(prefix[0]);
  int base_count = levels_;
  if (order_ >= 4) {
    int changed = 0;
    while (changed < order_ - 2 && depth_markers_[changed] == prefix[changed]) ++changed;
    long offset = 0;
    for (int d = 2; d <= order_ - 2; ++d) {
      std::uint64_t* target = depth_rows_.data() + offset;
      if (d > changed)
        andRows(base, base_count, planes_.marker(prefix[d - 1]), levels_, row_words_, target);
      base = target;
      base_count *= levels_;
      offset += static_cast<long>(base_count) * row_words_;
    }
    std::copy(prefix, prefix + order_ - 2, depth_markers_.begin());
  }
  andRows(base, base_count, planes_.marker(prefix[order_ - 2]), levels_, row_words_, rows);

  CountRequest request;
  request.rows = rows;
  request.row_count = prefix_cells_;
  request.planes = planes_.everyone();
  request.marker_count = 1;
  request.level_count = 1;
  request.counts = totals;
  kernel_(request, planes_.shape());
}

bool CellCounter::derivesFromPairs(const Run& run, int from) const {
  if (pairs_.empty() || !planes_.complete(from)) return false;
  const int* prefix = prefixes_.data() + run.prefix_at;
  return planes_.complete(prefix[0]) && planes_.complete(prefix[1]);
}

void CellCounter::countSegmentFromPairs(const Run& run, int from, int to) {
  const int L = levels_;
  const int F = L - 1;  // levels below the last
  const int P = prefix_cells_;
  const long row_words = row_words_;
  int* tables = tables_.data();
  // The cells of first and second levels both below the last: for each
  // second level, F consecutive prefix rows.
  for (int g1 = 0; g1 < F; ++g1) {
    CountRequest request;
    request.rows = run.rows + g1 * L * row_words;
    request.row_count = F;
    request.planes = planes_.marker(from);
    request.marker_count = to - from + 1;
    request.marker_stride_words = planes_.markerStrideWords();
    request.level_count = F;
    request.level_step = P;
    request.counts_per_marker = 2 * cells_;
    request.counts = reinterpret_cast<std::uint32_t*>(tables + 2 * L * g1);
    kernel_(request, planes_.shape());
  }
  const int first = prefixes_[run.prefix_at];
  const int second = prefixes_[run.prefix_at + 1];
  derivePrefixLevels(L, tables, to - from + 1, 2 * cells_,
                     PrefixLevelTotals{pairs_.of(second, from), pairs_.of(first, from),
                                       planes_.marginals(from)});
  completeTables(TableTotals{L, P, true, P, run.row_totals, planes_.marginals(from)}, tables,
                 to - from + 1, 2 * cells_);
}

int CellCounter::segmentEnd(int from, int to) const {
  return std::min(same_completeness_until_[from], to);
}

void CellCounter::countSegment(const Run& run, int from, int to) {
  if (derivesFromPairs(run, from)) {
    countSegmentFromPairs(run, from, to);
    return;
  }
  const bool derive_last_level = planes_.complete(from);
  CountRequest request;
  request.rows = run.rows;
  request.row_count = run.row_count;
  request.planes = planes_.marker(from);
  request.marker_count = to - from + 1;
  request.marker_stride_words = planes_.markerStrideWords();
  request.level_count = derive_last_level ? levels_ - 1 : levels_;
  request.level_step = prefix_cells_;
  request.counts_per_marker = 2 * cells_;
  request.counts = reinterpret_cast<std::uint32_t*>(tables_.data());
  kernel_(request, planes_.shape());

  completeTables(TableTotals{levels_, prefix_cells_, derive_last_level, run.row_count,
                             run.row_totals, planes_.marginals(from)},
                 tables_.data(), to - from + 1, 2 * cells_);
}

double CellCounter::tableBytesBound(int levels, int order, double marker_count) {
  const double cells = std::pow(levels, order);
  return std::min(std::max<double>(kTableIntsPerBlock, 2 * cells), std::max(1.0, marker_count) * 2 * cells) *
         sizeof(int);
}

double CellCounter::bytesBound(int levels, int order, double row_words, double marker_count,
                               double runs, bool shared_missing_rows) {
  const double cells = std::pow(levels, order);
  const double prefix_cells = std::pow(levels, order - 1);
  double bytes = tableBytesBound(levels, order, marker_count);
  if (order >= 3) {
    bytes += std::max<double>(kGroupRowBytes, prefix_cells * row_words * 8) + 128;
    bytes += kMaxGroupRuns * prefix_cells * 2 * sizeof(std::uint32_t);
  }
  for (int d = 2; d <= order - 2; ++d) bytes += std::pow(levels, d) * row_words * 8;
  if (order == 3 && PairCounts::fits(levels, marker_count))
    bytes += PairCounts::bytesFor(levels, marker_count);
  bytes += marker_count * sizeof(int);
  // The fused walks: a packed block of levels 0 and 1, the totals of levels
  // 0 and 1 of every marker, a block's free counts (of up to
  // kMaxFirstMarkers first markers) and bounds.
  // Order 2's nibble walk packs up to six nibble rows a marker, and holds
  // the first marker's.
  if (order == 2 || order == 3) {
    const double block = blockMarkersFor(levels * row_words * 8) + 2 * kPairBlock;
    const double packed_rows = std::max(kPackedLevels, kMaxNibbleRows);
    bytes += block * (packed_rows * row_words * 8 + kMaxFirstMarkers * kMaxCounts * sizeof(int) +
                      sizeof(double)) +
             4 * (marker_count + 2 * kPairBlock) * sizeof(int) + 2 * cells * sizeof(int) +
             kMaxNibbleRows * row_words * 8 + 128;
  }
  if (order == 2 && levels == 3) {
    const double block = blockMarkersFor(levels * row_words * 8);
    bytes += MissingPairCounts::bytesBound(marker_count, row_words, block, kMissingPairBytes, !shared_missing_rows);
  }
  // Grown one by one: twice the room at worst.
  bytes += 2 * runs * (sizeof(Run) + (order - 1) * sizeof(int));
  return bytes;
}
