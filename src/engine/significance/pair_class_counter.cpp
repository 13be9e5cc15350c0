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

constexpr int kNibbleLevels = PairClassCounter::kNibbleLevels;
constexpr long kRecordWords = PairClassCounter::kRecordWords;

// Adds, per lane of a packed group of four second markers (nibble rows),
// whether the marker has level 0 (at[0]) and level 1 (at[1]) at each of the
// gaps [gap, end). A bit at position i of a byte sits in the low nibble
// row at i, or for i >= 4 in the high one at i - 4. The pair kernel runs
// on this path only.
GORVA_TARGET_AVX2 void levelsAtGaps(const std::uint64_t* group, const std::uint32_t* gap,
                                    const std::uint32_t* end, std::uint64_t at[2][kPairLanes]) {
  const __m256i one = _mm256_set1_epi64x(1);
  __m256i level0 = _mm256_setzero_si256();
  __m256i level1 = _mm256_setzero_si256();
  for (; gap != end; ++gap) {
    const unsigned bit = *gap % 64;
    const unsigned high = (bit >> 2) & 1;
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(bit - 4 * high));
    const std::uint64_t* words = group + (*gap / 64) * kRecordWords + high * kPairLanes;
    const __m256i word0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(words));
    const __m256i word1 =
        _mm256_load_si256(reinterpret_cast<const __m256i*>(words + 2 * kPairLanes));
    level0 = _mm256_add_epi64(level0, _mm256_and_si256(_mm256_srl_epi64(word0, shift), one));
    level1 = _mm256_add_epi64(level1, _mm256_and_si256(_mm256_srl_epi64(word1, shift), one));
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
    most_ = std::max(most_, offsets_[m + 1] - offsets_[m]);
  }
  usable_ = true;
}

double LevelGaps::bytesBound(double marker_count, double row_words) {
  return marker_count * (sizeof(long) + row_words * sizeof(std::uint32_t));
}

std::vector<std::uint64_t> gapEntryMasks(const BitPlanes& run_planes, const LevelGaps& run_gaps,
                                         int sample_count, const std::vector<int>& samples,
                                         const std::vector<unsigned char>& entries) {
  // A run sample can be in both entries (two permutations' classes).
  std::vector<unsigned char> entries_of(static_cast<std::size_t>(sample_count), 0);
  for (std::size_t v = 0; v < samples.size(); ++v)
    entries_of[static_cast<std::size_t>(samples[v])] |= static_cast<unsigned char>(1U << entries[v]);
  const int markers = run_planes.markerCount();
  std::vector<std::uint64_t> masks(2 * (static_cast<std::size_t>(markers) + kPairBlock), 0);
  for (int m = 0; m < markers; ++m) {
    std::uint64_t bit = 1;
    for (const std::uint32_t* gap = run_gaps.begin(m); gap != run_gaps.end(m); ++gap, bit <<= 1) {
      const unsigned in = entries_of[static_cast<std::size_t>(run_planes.sampleAtBit(static_cast<int>(*gap)))];
      for (int entry = 0; entry < 2; ++entry)
        if ((in >> entry) & 1) masks[2 * static_cast<std::size_t>(m) + entry] |= bit;
    }
  }
  return masks;
}

PairClassCounter::PairClassCounter(const BitPlanes& planes, const LevelGaps& gaps,
                                   CountCellsKernel kernel, NibblePairKernel pair_kernel)
    : planes_(planes),
      gaps_(gaps),
      kernel_(kernel),
      pair_kernel_(gaps.usable() ? pair_kernel : nullptr),
      row_words_(planes.shape().rowWords()) {
  const long marker_bytes = static_cast<long>(planes.markerStrideWords()) * 8;
  block_markers_ = static_cast<int>(std::max(1L, kBlockRowBytes / std::max(1L, marker_bytes)));
  block_markers_ += (kPairBlock - block_markers_ % kPairBlock) % kPairBlock;
  // One word more: a gather reads four bytes from the last position on.
  shifts_.assign(static_cast<std::size_t>(row_words_) * 8 + 1, 0);
  tables_.assign(static_cast<std::size_t>(block_markers_) * 2 * cells(), 0);
  if (gaps.usable()) {
    by_cell_stride_ = kByCellLead + block_markers_ + 2 * kPairBlock;
    by_cell_.assign(static_cast<std::size_t>(2 * cells() * by_cell_stride_), 0);
  }
  if (packs()) {
    const long groups = block_markers_ / kPairLanes;
    if (!packed_.reset(nibbleGroupsWords(kNibbleLevels, static_cast<int>(groups), row_words_)))
      throw std::bad_alloc();
    first_rows_.assign(static_cast<std::size_t>(2 * kNibbleLevels) * row_words_, 0);
    free_counts_stride_ = (groups * kPairLanes + kPairBlock) * kPairCounts;
    free_counts_.assign(static_cast<std::size_t>(kMaxFirstMarkers * free_counts_stride_), 0);
    counts_ = free_counts_.data();
    const int markers = planes.markerCount();
    level_stride_ = markers + 2 * kPairBlock;
    level_totals_.assign(static_cast<std::size_t>(4 * level_stride_), 0);
    for (int m = 0; m < markers; ++m) {
      for (int k = 0; k < 4; ++k) level_totals_[k * level_stride_ + m] = planes.marginals(m)[k];
    }
  }
}

double PairClassCounter::bytesBound(double row_words, double marker_count) {
  const double marker_bytes = kPairLevels * row_words * 8;
  const double block = std::max(1.0, std::floor(kBlockRowBytes / marker_bytes));
  // A walk has at most one run per first marker; packed second markers
  // take their rows' room again (levels 0 and 1 once more in groups of
  // eight), and their counts, those of several runs.
  // The first marker's nibble rows, and the extra zero group the kernel may
  // read past the last.
  // By cell: the block's counts again, and four counts per marker.
  return row_words * 64 + 2 * block * 2 * cells() * sizeof(int) + marker_count * sizeof(Run) +
         (block + 2 * kPairBlock) * kWideLevels * row_words * 8 +
         (marker_count + 2 * kPairBlock) * 4 * sizeof(int) +
         (block + 2 * kPairLanes) * (marker_bytes + (kMaxFirstMarkers * kPairCounts + 1) * sizeof(int)) +
         2 * kNibbleLevels * row_words * 8;
}

void PairClassCounter::recordMasks(PairGapMaskRows* record) {
  record_ = record;
  masks_ = nullptr;
  const int markers = planes_.markerCount();
  const std::uint32_t case_bits = 64U * static_cast<std::uint32_t>(planes_.shape().control_words);
  // With room for eight markers past the last, as gapEntryMasks leaves.
  own_entries_.assign(2 * (static_cast<std::size_t>(markers) + kPairBlock), 0);
  for (int m = 0; m < markers; ++m) {
    int i = 0;
    for (const std::uint32_t* gap = gaps_.begin(m); gap != gaps_.end(m); ++gap, ++i)
      own_entries_[2 * static_cast<std::size_t>(m) + (*gap < case_bits ? 0 : 1)] |= std::uint64_t{1} << i;
  }
  entries_ = own_entries_.data();
}

void PairClassCounter::useMasks(const PairGapMaskRows* masks, const std::uint64_t* entries) {
  record_ = nullptr;
  masks_ = masks;
  entries_ = entries;
}

void PairClassCounter::combinationAt(int i, int* out) const {
  auto run = std::upper_bound(runs_.begin(), runs_.end(), i,
                              [](int at, const Run& r) { return at < r.at; });
  --run;
  out[0] = run->first;
  out[1] = run->from + (i - run->at);
}

void PairClassCounter::decodeFirstLevelsIfRead(int marker) {
  // Walks that count levels at gaps from recorded masks never look a level
  // up, nor does the wide recording walk, which picks them from the rows.
  const bool wide_record = record_ != nullptr && countsWide() && row_words_ <= kWideRowWords;
  if ((record_ != nullptr || masks_ == nullptr) && !wide_record) decodeLevels(marker);
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

  decodeFirstLevelsIfRead(run.first);
  if (record_ != nullptr || masks_ != nullptr) {
    countFromMasksUnpacked(run, from, to);
    return;
  }
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

void PairClassCounter::countFreeCellsWith(PairCountKernel kernel) {
  free_kernel_ = packs() ? kernel : nullptr;
  if (free_kernel_ == nullptr || packed_free_.size() > 0) return;
  // Room for one group more than a block holds, which a kernel may read.
  const long groups = block_markers_ / kPairLanes + 1;
  if (!packed_free_.reset(static_cast<long>(kPackedLevels) * groups * row_words_ * kPairLanes))
    throw std::bad_alloc();
}

void PairClassCounter::countWideWith(WideCountKernel kernel, const std::uint64_t* all_groups) {
  wide_kernel_ = free_kernel_ != nullptr ? kernel : nullptr;
  all_wide_ = wide_kernel_ != nullptr ? all_groups : nullptr;
  if (wide_kernel_ == nullptr || all_wide_ != nullptr || packed_wide_.size() > 0) return;
  // Room for one group more than a block holds.
  if (!packed_wide_.reset((block_markers_ / kWideLanes + 1) * wideGroupWords(row_words_)))
    throw std::bad_alloc();
}

int PairClassCounter::countRunsTogether(std::size_t r, int block, int block_end) {
  if (!countsWide()) return 0;
  const auto rangeOf = [&](const Run& run) {
    return std::pair(std::max(run.from, block), std::min(run.to, block_end));
  };
  const auto range = rangeOf(runs_[r]);
  int n = 1;
  while (n < kMaxFirstMarkers && r + n < runs_.size() && rangeOf(runs_[r + n]) == range) ++n;
  if (n < 2) return 0;
  const auto [from, to] = range;
  const int first_group = (from - packed_first_) / kWideLanes;
  PairRowsRequest request;
  request.first_markers = n;
  for (int t = 0; t < n; ++t) {
    const std::uint64_t* rows = planes_.marker(runs_[r + t].first);
    request.rows[2 * t] = rows;
    request.rows[2 * t + 1] = rows + row_words_;
    request.counts[t] = free_counts_.data() + t * free_counts_stride_;
  }
  request.packed = wide_ + first_group * wideGroupWords(row_words_);
  request.groups = (to - packed_first_) / kWideLanes - first_group + 1;
  wide_kernel_(request, planes_.shape());
  return n;
}

void PairClassCounter::packBlock(int first, int last) {
  packed_first_ = first;
  if (countsWide()) {
    // A block starts at a whole group (a multiple of the lanes).
    if (all_wide_ != nullptr) {
      wide_ = all_wide_ + (first / kWideLanes) * wideGroupWords(row_words_);
      return;
    }
    packWideGroups(MarkerRows{planes_.marker(0), planes_.markerStrideWords(), row_words_}, first,
                   last + 1, (last - first) / kWideLanes + 1, packed_wide_.data());
    wide_ = packed_wide_.data();
    return;
  }
  if (countsFreeCells()) {
    packPairGroups(MarkerRows{planes_.marker(0), planes_.markerStrideWords(), row_words_}, first, last + 1,
                   (last - first) / kPairLanes + 1, packed_free_.data());
    return;
  }
  packNibbleGroups(MarkerRows{planes_.marker(0), planes_.markerStrideWords(), row_words_},
                   kNibbleLevels, first, last + 1, (last - first) / kPairLanes + 1, packed_.data());
}

void PairClassCounter::countPackedSegment(const Run& run, int from, int to) {
  if (countsWide()) {
    const int first_group = (from - packed_first_) / kWideLanes;
    PairRowsRequest request;
    request.first_markers = 1;
    request.rows[0] = planes_.marker(run.first);
    request.rows[1] = planes_.marker(run.first) + row_words_;
    request.counts[0] = counts_;
    request.packed = wide_ + first_group * wideGroupWords(row_words_);
    request.groups = (to - packed_first_) / kWideLanes - first_group + 1;
    wide_kernel_(request, planes_.shape());
    completePackedSegment(run, from, to);
    return;
  }
  const int first_group = (from - packed_first_) / kPairLanes;
  const int groups = (to - packed_first_) / kPairLanes - first_group + 1;
  const long group_words = nibbleGroupWords(kNibbleLevels, row_words_);
  const std::uint64_t* packed = packed_.data() + first_group * group_words;
  if (countsFreeCells()) {
    PairCountRequest request;
    request.rows[0] = planes_.marker(run.first);
    request.rows[1] = planes_.marker(run.first) + row_words_;
    request.packed = packed_free_.data() + static_cast<long>(first_group) * kPackedLevels * row_words_ * kPairLanes;
    request.groups = groups;
    request.counts = counts_;
    free_kernel_(request, planes_.shape());
  } else {
    if (nibbled_ != run.first) {
      nibbled_ = run.first;
      nibbleRows(planes_.marker(run.first), kNibbleLevels, row_words_, first_rows_.data());
    }
    NibblePairRequest request;
    request.rows = first_rows_.data();
    request.packed = packed;
    request.packed_levels = kNibbleLevels;
    request.groups = groups;
    request.counts = counts_;
    pair_kernel_(request, planes_.shape());
  }
  completePackedSegment(run, from, to);
}

void PairClassCounter::completePackedSegment(const Run& run, int from, int to) {
  constexpr int L = kPairLevels;
  const int first_group = (from - packed_first_) / lanes();
  const int groups = (to - packed_first_) / lanes() - first_group + 1;
  const long group_words = nibbleGroupWords(kNibbleLevels, row_words_);
  const std::uint64_t* packed = packed_.data() + first_group * group_words;
  decodeFirstLevelsIfRead(run.first);
  const int offset = from - (packed_first_ + first_group * lanes());
  const int count = to - from + 1;
  if (record_ != nullptr && countsWide() && row_words_ <= kWideRowWords) {
    recordSegmentMasksWide(run, from, to, wide_ + first_group * wideGroupWords(row_words_),
                           wideGroupWords(row_words_), offset);
  } else if (record_ != nullptr && countsWide()) {
    recordSegmentMasks(run, from, to, wide_ + first_group * wideGroupWords(row_words_),
                       wideGroupWords(row_words_), offset);
  } else if (record_ != nullptr) {
    recordSegmentMasks(run, from, to, packed, group_words, offset);
  }
  if (byCell()) {
    if (countsWide()) {
      countByCellFromMasksWide(run, from, to, offset);
    } else {
      countByCellFromMasks(run, from, to, offset);
    }
    return;
  }
  if (masks_ != nullptr) {
    countFromMasks(run, from, to, offset);
    return;
  }
  // The first marker's gaps, the controls' before the cases'.
  const std::uint32_t* first_gaps = gaps_.begin(run.first);
  const std::uint32_t* const first_gaps_end = gaps_.end(run.first);
  const std::uint32_t* const case_gaps = std::lower_bound(
      first_gaps, first_gaps_end, static_cast<std::uint32_t>(64 * planes_.shape().control_words));
  for (int g = 0; g < groups; ++g) {
    // Levels 0 and 1 of the group's second markers at the first marker's
    // gaps: [class][level][lane].
    std::uint64_t at_gaps[2][2][kPairLanes];
    const std::uint64_t* group = packed + g * group_words;
    levelsAtGaps(group, first_gaps, case_gaps, at_gaps[0]);
    levelsAtGaps(group, case_gaps, first_gaps_end, at_gaps[1]);
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
            const int n = counts_[pairCountAt(p, pairFreeCount(a, b, cls))];
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
