#include "engine/pair_class_counter.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace {

// Rows of second markers held in cache at once.
constexpr long kBlockRowBytes = 256 * 1024;
// Gap lookups are summed in 16-bit fields of one word, so at most this many
// at a time.
constexpr long kFieldLimit = 0xFFFF;

}  // namespace

LevelGaps::LevelGaps(const BitPlanes& planes) {
  const int markers = planes.markerCount();
  const int levels = planes.levels();
  const PlaneShape& shape = planes.shape();
  const int row_words = shape.rowWords();
  const std::uint64_t* everyone = planes.everyone();
  if (levels != kPairLevels) return;
  const long most = static_cast<long>(markers) * row_words;
  offsets_.assign(2L * markers + 1, 0);
  for (int m = 0; m < markers; ++m) {
    const std::uint64_t* rows = planes.marker(m);
    for (int cls = 0; cls < 2; ++cls) {
      const int from = cls == 0 ? 0 : shape.control_words;
      const int to = cls == 0 ? shape.control_words : row_words;
      for (int w = from; w < to; ++w) {
        std::uint64_t leveled = 0;
        for (int l = 0; l < levels; ++l) leveled |= rows[static_cast<long>(l) * row_words + w];
        for (std::uint64_t gap = everyone[w] & ~leveled; gap != 0; gap &= gap - 1) {
          if (static_cast<long>(positions_.size()) == most) {
            positions_ = {};
            offsets_ = {};
            return;
          }
          positions_.push_back(static_cast<std::uint32_t>(64 * w + std::countr_zero(gap)));
        }
      }
      offsets_[2 * m + cls + 1] = static_cast<long>(positions_.size());
    }
  }
  usable_ = true;
}

double LevelGaps::bytesBound(double marker_count, double row_words) {
  return marker_count * (2 * sizeof(long) + row_words * sizeof(std::uint32_t));
}

PairClassCounter::PairClassCounter(const BitPlanes& planes, const LevelGaps& gaps,
                                   CountCellsKernel kernel)
    : planes_(planes), gaps_(gaps), kernel_(kernel), row_words_(planes.shape().rowWords()) {
  const long marker_bytes = static_cast<long>(planes.markerStrideWords()) * 8;
  block_markers_ = static_cast<int>(std::max(1L, kBlockRowBytes / std::max(1L, marker_bytes)));
  codes_.assign(static_cast<std::size_t>(row_words_) * 64, static_cast<unsigned char>(kPairLevels));
  tables_.assign(static_cast<std::size_t>(block_markers_) * 2 * cells(), 0);
}

double PairClassCounter::bytesBound(double row_words, double marker_count) {
  const double marker_bytes = kPairLevels * row_words * 8;
  const double block = std::max(1.0, std::floor(kBlockRowBytes / marker_bytes));
  // A walk has at most one run per first marker.
  return row_words * 64 + block * 2 * cells() * sizeof(int) + marker_count * sizeof(Run);
}

void PairClassCounter::combinationAt(int i, int* out) const {
  auto run = std::upper_bound(runs_.begin(), runs_.end(), i,
                              [](int at, const Run& r) { return at < r.at; });
  --run;
  out[0] = run->first;
  out[1] = run->from + (i - run->at);
}

void PairClassCounter::decodeLevels(int marker) {
  if (decoded_ == marker) return;
  decoded_ = marker;
  std::fill(codes_.begin(), codes_.end(), static_cast<unsigned char>(kPairLevels));
  const std::uint64_t* rows = planes_.marker(marker);
  for (int l = 0; l < kPairLevels; ++l) {
    const std::uint64_t* row = rows + static_cast<long>(l) * row_words_;
    for (int w = 0; w < row_words_; ++w) {
      for (std::uint64_t bits = row[w]; bits != 0; bits &= bits - 1)
        codes_[64 * w + std::countr_zero(bits)] = static_cast<unsigned char>(l);
    }
  }
}

void PairClassCounter::countSegment(const Run& run, int from, int to) {
  constexpr int L = kPairLevels;
  constexpr int table_ints = 2 * L * L;
  CountRequest request;
  request.rows = planes_.marker(run.first);
  request.row_count = L;
  request.planes = planes_.marker(from);
  request.marker_count = to - from + 1;
  request.marker_stride_words = planes_.markerStrideWords();
  request.level_count = gaps_.usable() ? L - 1 : L;
  request.level_step = L;
  request.counts_per_marker = table_ints;
  request.counts = reinterpret_cast<std::uint32_t*>(tables_.data());
  kernel_(request, planes_.shape());
  if (!gaps_.usable()) return;

  decodeLevels(run.first);
  const int* first_totals = planes_.marginals(run.first);
  const unsigned char* codes = codes_.data();
  int* table = tables_.data();
  for (int m = from; m <= to; ++m, table += table_ints) {
    for (int cls = 0; cls < 2; ++cls) {
      // The first marker's levels among the second marker's gaps, summed
      // in one 16-bit field per level (field 3: gaps of both).
      long gaps_at[L] = {0, 0, 0};
      const std::uint32_t* gap = gaps_.begin(m, cls);
      const std::uint32_t* const gaps_end = gaps_.end(m, cls);
      while (gap != gaps_end) {
        const std::uint32_t* const chunk_end =
            gaps_end - gap > kFieldLimit ? gap + kFieldLimit : gaps_end;
        std::uint64_t fields = 0;
        for (; gap != chunk_end; ++gap) fields += std::uint64_t{1} << (16 * codes[*gap]);
        for (int a = 0; a < L; ++a)
          gaps_at[a] += static_cast<long>((fields >> (16 * a)) & kFieldLimit);
      }
      for (int a = 0; a < L; ++a) {
        table[2 * (a + L * (L - 1)) + cls] =
            static_cast<int>(first_totals[2 * a + cls] - table[2 * a + cls] -
                             table[2 * (a + L) + cls] - gaps_at[a]);
      }
    }
  }
}
