#include "engine/significance/pair_class_counter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>

#include <immintrin.h>

#include "engine/count/simd_targets.h"

namespace {

// Rows of second markers held in cache at once.
constexpr long kBlockRowBytes = 256 * 1024;
// Gap lookups are summed in 8-bit fields of one word, so at most this many
// at a time.
constexpr long kFieldLimit = 0xFF;

// Byte i of expandBits(x) is bit i of x (8 bits).
constexpr std::uint64_t expandBits(unsigned x) {
  std::uint64_t bytes = 0;
  for (int i = 0; i < 8; ++i) bytes |= static_cast<std::uint64_t>((x >> i) & 1) << (8 * i);
  return bytes;
}

struct ExpandTable {
  std::uint64_t bytes[256];
  constexpr ExpandTable() : bytes() {
    for (unsigned x = 0; x < 256; ++x) bytes[x] = expandBits(x);
  }
};
constexpr ExpandTable kExpand;
constexpr std::uint64_t kEachByte = 0x0101010101010101ULL;
// The shifts of a word's positions are read back as bytes in position order.
static_assert(std::endian::native == std::endian::little);

// Adds, per lane of a packed group of four second markers, whether the
// marker has level 0 (at[0]) and level 1 (at[1]) at each of the gaps [gap,
// end); `level_words` apart are a group's levels. The pair kernel runs on
// this path only.
GORVA_TARGET_AVX2 void levelsAtGaps(const std::uint64_t* group, long level_words,
                                    const std::uint32_t* gap, const std::uint32_t* end,
                                    std::uint64_t at[2][kPairLanes]) {
  const __m256i one = _mm256_set1_epi64x(1);
  __m256i level0 = _mm256_setzero_si256();
  __m256i level1 = _mm256_setzero_si256();
  for (; gap != end; ++gap) {
    const __m128i bit = _mm_cvtsi32_si128(static_cast<int>(*gap % 64));
    const std::uint64_t* words = group + static_cast<long>(*gap / 64) * kPairLanes;
    const __m256i word0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(words));
    const __m256i word1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(words + level_words));
    level0 = _mm256_add_epi64(level0, _mm256_and_si256(_mm256_srl_epi64(word0, bit), one));
    level1 = _mm256_add_epi64(level1, _mm256_and_si256(_mm256_srl_epi64(word1, bit), one));
  }
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(at[0]), level0);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(at[1]), level1);
}

}  // namespace

LevelGaps::LevelGaps(const BitPlanes& planes) {
  const int markers = planes.markerCount();
  const int levels = planes.levels();
  const int row_words = planes.shape().rowWords();
  const std::uint64_t* everyone = planes.everyone();
  if (levels != kPairLevels) return;
  const long most = static_cast<long>(markers) * row_words;
  offsets_.assign(static_cast<std::size_t>(markers) + 1, 0);
  for (int m = 0; m < markers; ++m) {
    const std::uint64_t* rows = planes.marker(m);
    for (int w = 0; w < row_words; ++w) {
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
    offsets_[m + 1] = static_cast<long>(positions_.size());
  }
  usable_ = true;
}

double LevelGaps::bytesBound(double marker_count, double row_words) {
  return marker_count * (sizeof(long) + row_words * sizeof(std::uint32_t));
}

PairClassCounter::PairClassCounter(const BitPlanes& planes, const LevelGaps& gaps,
                                   CountCellsKernel kernel, PairCountKernel pair_kernel)
    : planes_(planes),
      gaps_(gaps),
      kernel_(kernel),
      pair_kernel_(gaps.usable() ? pair_kernel : nullptr),
      row_words_(planes.shape().rowWords()) {
  const long marker_bytes = static_cast<long>(planes.markerStrideWords()) * 8;
  block_markers_ = static_cast<int>(std::max(1L, kBlockRowBytes / std::max(1L, marker_bytes)));
  block_markers_ += (kPairLanes - block_markers_ % kPairLanes) % kPairLanes;
  shifts_.assign(static_cast<std::size_t>(row_words_) * 8, 0);
  tables_.assign(static_cast<std::size_t>(block_markers_) * 2 * cells(), 0);
  if (packs()) {
    const long groups = block_markers_ / kPairLanes;
    if (!packed_.reset(groups * kPackedLevels * row_words_ * kPairLanes)) throw std::bad_alloc();
    free_counts_.assign(static_cast<std::size_t>(groups * kPairLanes + kPairBlock) * kPairCounts, 0);
  }
}

double PairClassCounter::bytesBound(double row_words, double marker_count) {
  const double marker_bytes = kPairLevels * row_words * 8;
  const double block = std::max(1.0, std::floor(kBlockRowBytes / marker_bytes));
  // A walk has at most one run per first marker; packed second markers
  // take their rows' room again, and their counts.
  return row_words * 64 + block * 2 * cells() * sizeof(int) + marker_count * sizeof(Run) +
         (block + kPairLanes) * (marker_bytes + (kPairCounts + 1) * sizeof(int));
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
  const std::uint64_t* rows = planes_.marker(marker);
  const int control_words = planes_.shape().control_words;
  // Eight positions at a time: a level's bit becomes a byte, and at most one
  // level holds each position, so no byte borrows from its neighbour.
  for (int w = 0; w < row_words_; ++w) {
    const std::uint64_t base = (w < control_words ? 0 : 4) * 8 * kEachByte;
    for (int part = 0; part < 8; ++part) {
      const unsigned shift = 8 * part;
      const std::uint64_t level0 = kExpand.bytes[(rows[w] >> shift) & 0xFF];
      const std::uint64_t level1 = kExpand.bytes[(rows[row_words_ + w] >> shift) & 0xFF];
      const std::uint64_t level2 = kExpand.bytes[(rows[2L * row_words_ + w] >> shift) & 0xFF];
      // 8 * (3 - 3 b0 - 2 b1 - b2): the level, or 3 for none.
      shifts_[8L * w + part] = base + 8 * (3 * kEachByte - 3 * level0 - 2 * level1 - level2);
    }
  }
}

void PairClassCounter::countSegment(const Run& run, int from, int to) {
  if (packs()) {
    countPackedSegment(run, from, to);
    return;
  }
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
  int* table = tables_.data();
  for (int m = from; m <= to; ++m, table += table_ints) deriveLastLevel(run.first, m, table);
}

void PairClassCounter::deriveLastLevel(int first, int second, int* table) const {
  constexpr int L = kPairLevels;
  const int* first_totals = planes_.marginals(first);
  const unsigned char* shifts = reinterpret_cast<const unsigned char*>(shifts_.data());
  // The first marker's levels among the second marker's gaps, per class.
  long gaps_at[2][L] = {{0, 0, 0}, {0, 0, 0}};
  const std::uint32_t* gap = gaps_.begin(second);
  const std::uint32_t* const gaps_end = gaps_.end(second);
  while (gap != gaps_end) {
    const std::uint32_t* const chunk_end =
        gaps_end - gap > kFieldLimit ? gap + kFieldLimit : gaps_end;
    // Two sums, so that consecutive lookups do not wait on each other.
    std::uint64_t fields = 0;
    std::uint64_t more = 0;
    for (; chunk_end - gap >= 2; gap += 2) {
      fields += std::uint64_t{1} << shifts[gap[0]];
      more += std::uint64_t{1} << shifts[gap[1]];
    }
    if (gap != chunk_end) fields += std::uint64_t{1} << shifts[*gap++];
    fields += more;
    for (int cls = 0; cls < 2; ++cls) {
      for (int a = 0; a < L; ++a)
        gaps_at[cls][a] += static_cast<long>((fields >> (8 * (4 * cls + a))) & kFieldLimit);
    }
  }
  for (int cls = 0; cls < 2; ++cls) {
    for (int a = 0; a < L; ++a) {
      table[2 * (a + L * (L - 1)) + cls] =
          static_cast<int>(first_totals[2 * a + cls] - table[2 * a + cls] -
                           table[2 * (a + L) + cls] - gaps_at[cls][a]);
    }
  }
}

void PairClassCounter::packBlock(int first, int last) {
  packed_first_ = first;
  packPairGroups(MarkerRows{planes_.marker(0), planes_.markerStrideWords(), row_words_}, first,
                 last + 1, (last - first) / kPairLanes + 1, packed_.data());
}

void PairClassCounter::countPackedSegment(const Run& run, int from, int to) {
  constexpr int L = kPairLevels;
  const int first_group = (from - packed_first_) / kPairLanes;
  const int groups = (to - packed_first_) / kPairLanes - first_group + 1;
  const long group_words = static_cast<long>(kPackedLevels) * row_words_ * kPairLanes;
  const std::uint64_t* packed = packed_.data() + first_group * group_words;
  PairCountRequest request;
  request.rows[0] = planes_.marker(run.first);
  request.rows[1] = request.rows[0] + row_words_;
  request.row_count = 2;
  request.level_count = 2;
  request.packed = packed;
  request.groups = groups;
  request.counts = free_counts_.data();
  pair_kernel_(request, planes_.shape());

  decodeLevels(run.first);
  // The first marker's gaps, the controls' before the cases'.
  const std::uint32_t* first_gaps = gaps_.begin(run.first);
  const std::uint32_t* const first_gaps_end = gaps_.end(run.first);
  const std::uint32_t* const case_gaps = std::lower_bound(
      first_gaps, first_gaps_end, static_cast<std::uint32_t>(64 * planes_.shape().control_words));
  const int offset = from - (packed_first_ + first_group * kPairLanes);
  const int count = to - from + 1;
  for (int g = 0; g < groups; ++g) {
    // Levels 0 and 1 of the group's second markers at the first marker's
    // gaps: [class][level][lane].
    std::uint64_t at_gaps[2][2][kPairLanes];
    const std::uint64_t* group = packed + g * group_words;
    const long level_words = static_cast<long>(row_words_) * kPairLanes;
    levelsAtGaps(group, level_words, first_gaps, case_gaps, at_gaps[0]);
    levelsAtGaps(group, level_words, case_gaps, first_gaps_end, at_gaps[1]);
    for (int t = 0; t < kPairLanes; ++t) {
      const int p = g * kPairLanes + t;
      const int j = p - offset;
      if (j < 0 || j >= count) continue;
      const int second = from + j;
      const int* second_totals = planes_.marginals(second);
      int* table = &tables_[static_cast<std::size_t>(j) * 2 * cells()];
      for (int cls = 0; cls < 2; ++cls) {
        for (int b = 0; b < 2; ++b) {
          int rest = second_totals[2 * b + cls] - static_cast<int>(at_gaps[cls][b][t]);
          for (int a = 0; a < 2; ++a) {
            const int n = free_counts_[pairCountAt(p, pairFreeCount(a, b, cls))];
            table[2 * (a + L * b) + cls] = n;
            rest -= n;
          }
          table[2 * (2 + L * b) + cls] = rest;
        }
      }
      deriveLastLevel(run.first, second, table);
    }
  }
}
