// The pair counter's walks that take the levels at gaps from recorded
// masks: recording them, and completing the cells from them (as tables, or
// by cell for the bounds).
#include <bit>

#include <immintrin.h>

#include "engine/count/simd_targets.h"
#include "engine/significance/pair_class_counter.h"

namespace {

constexpr long kRecordWords = PairClassCounter::kRecordWords;

// Per lane of a packed group of four second markers (nibble rows), bit i
// set when the marker has level 0 (out[0]) or 1 (out[1]) at gap i of
// [gap, end) (at most 64 gaps).
GORVA_TARGET_AVX2 void levelMasksAtGaps(const std::uint64_t* group, const std::uint32_t* gap,
                                        const std::uint32_t* end,
                                        std::uint64_t out[2][kPairLanes]) {
  const __m256i one = _mm256_set1_epi64x(1);
  __m256i level0 = _mm256_setzero_si256();
  __m256i level1 = _mm256_setzero_si256();
  for (int i = 0; gap != end; ++gap, ++i) {
    const unsigned bit = *gap % 64;
    const unsigned high = (bit >> 2) & 1;
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(bit - 4 * high));
    const __m128i place = _mm_cvtsi32_si128(i);
    const std::uint64_t* words = group + (*gap / 64) * kRecordWords + high * kPairLanes;
    const __m256i word0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(words));
    const __m256i word1 =
        _mm256_load_si256(reinterpret_cast<const __m256i*>(words + 2 * kPairLanes));
    level0 = _mm256_or_si256(
        level0, _mm256_sll_epi64(_mm256_and_si256(_mm256_srl_epi64(word0, shift), one), place));
    level1 = _mm256_or_si256(
        level1, _mm256_sll_epi64(_mm256_and_si256(_mm256_srl_epi64(word1, shift), one), place));
  }
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out[0]), level0);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out[1]), level1);
}

// Bit i of out[a] set when the decoded level at gap i of [gap, end) (at
// most 64 gaps) is a: eight gaps a gather. `shifts` needs three readable
// bytes past its last position.
GORVA_TARGET_AVX2 void levelsAtGapsGathered(const unsigned char* shifts, const std::uint32_t* gap,
                                            const std::uint32_t* end, std::uint64_t out[3]) {
  std::uint64_t level0 = 0;
  std::uint64_t level1 = 0;
  std::uint64_t level2 = 0;
  int i = 0;
  const __m256i three = _mm256_set1_epi32(3);
  for (; end - gap >= 8; gap += 8, i += 8) {
    const __m256i positions = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(gap));
    const __m256i bytes =
        _mm256_i32gather_epi32(reinterpret_cast<const int*>(shifts), positions, 1);
    const __m256i level = _mm256_and_si256(_mm256_srli_epi32(bytes, 3), three);
    std::uint64_t lanes[3];
    for (int value = 0; value < 3; ++value)
      lanes[value] = static_cast<unsigned>(_mm256_movemask_ps(
          _mm256_castsi256_ps(_mm256_cmpeq_epi32(level, _mm256_set1_epi32(value)))));
    level0 |= lanes[0] << i;
    level1 |= lanes[1] << i;
    level2 |= lanes[2] << i;
  }
  for (; gap != end; ++gap, ++i) {
    const unsigned level = (shifts[*gap] >> 3) & 3;  // 3: none
    const std::uint64_t bit = std::uint64_t{1} << i;
    level0 |= bit & (std::uint64_t{0} - (level == 0));
    level1 |= bit & (std::uint64_t{0} - (level == 1));
    level2 |= bit & (std::uint64_t{0} - (level == 2));
  }
  out[0] = level0;
  out[1] = level1;
  out[2] = level2;
}

}  // namespace

GORVA_TARGET_POPCNT void gapCountsScalar(const GapCountRequest& request,
                                         int (*counts)[kGapCounts][kPairBlock]) {
  for (int t = 0; t < kPairBlock; ++t) {
    const long j = request.pair + t;
    if (t < request.lo || t >= request.hi) {
      for (int cls = 0; cls < 2; ++cls)
        for (int k = 0; k < kGapCounts; ++k) counts[cls][k][t] = 0;
      continue;
    }
    const PairGapMasks masks = request.masks->at(request.at + j);
    const long second = request.second + j;
    for (int cls = 0; cls < 2; ++cls) {
      const std::uint64_t in_first = request.entries[2L * request.first + cls];
      const std::uint64_t in_second = request.entries[2 * second + cls];
      for (int b = 0; b < 2; ++b) counts[cls][b][t] = std::popcount(masks.second_levels[b] & in_first);
      for (int a = 0; a < kPairLevels; ++a)
        counts[cls][2 + a][t] = std::popcount(masks.first_levels[a] & in_second);
    }
  }
}

GapCountsKernel gapCountsKernel(SimdPath path) {
  switch (path) {
    case SimdPath::kAvx512:
      return gapCountsAvx512;
    case SimdPath::kAvx2:
      return gapCountsAvx2;
    case SimdPath::kScalar:
      break;
  }
  return gapCountsScalar;
}

void PairClassCounter::firstLevelMasks(int second, std::uint64_t* out) const {
  const unsigned char* shifts = reinterpret_cast<const unsigned char*>(shifts_.data());
  std::uint64_t level0 = 0;
  std::uint64_t level1 = 0;
  std::uint64_t level2 = 0;
  std::uint64_t bit = 1;
  for (const std::uint32_t* gap = gaps_.begin(second); gap != gaps_.end(second); ++gap, bit <<= 1) {
    const unsigned level = (shifts[*gap] >> 3) & 3;  // 3: none
    level0 |= bit & (std::uint64_t{0} - (level == 0));
    level1 |= bit & (std::uint64_t{0} - (level == 1));
    level2 |= bit & (std::uint64_t{0} - (level == 2));
  }
  out[0] = level0;
  out[1] = level1;
  out[2] = level2;
}

GORVA_TARGET_AVX2 void PairClassCounter::completeFromMasks(int first, int second, const PairGapMasks& masks,
                                         int* table) const {
  constexpr int L = kPairLevels;
  const int* first_totals = planes_.marginals(first);
  const int* second_totals = planes_.marginals(second);
  for (int cls = 0; cls < 2; ++cls) {
    const std::uint64_t in_first = entries_[2L * first + cls];
    const std::uint64_t in_second = entries_[2L * second + cls];
    for (int b = 0; b < 2; ++b) {
      table[2 * (2 + L * b) + cls] = second_totals[2 * b + cls] - table[2 * (L * b) + cls] -
                                     table[2 * (1 + L * b) + cls] -
                                     std::popcount(masks.second_levels[b] & in_first);
    }
    for (int a = 0; a < L; ++a) {
      table[2 * (a + L * (L - 1)) + cls] = first_totals[2 * a + cls] - table[2 * a + cls] -
                                           table[2 * (a + L) + cls] -
                                           std::popcount(masks.first_levels[a] & in_second);
    }
  }
}

GORVA_TARGET_AVX2 void PairClassCounter::recordSegmentMasks(const Run& run, int from, int to,
                                                            const std::uint64_t* packed,
                                                            long group_words, int offset) {
  const int at = run.at + (from - run.from);
  const int count = to - from + 1;
  const bool wide = countsWide();
  const int lanes = wide ? kWideLanes : kPairLanes;
  std::uint64_t second_levels[2][kWideLanes];
  for (int j = 0; j < count; ++j) {
    const int p = j + offset;
    const int lane = p % lanes;
    if ((j == 0 || lane == 0) && wide) {
      wideLevelMasksAtGaps(packed + (p / lanes) * group_words, row_words_, gaps_.begin(run.first),
                           gaps_.end(run.first), second_levels);
    } else if (j == 0 || lane == 0) {
      std::uint64_t four[2][kPairLanes];
      levelMasksAtGaps(packed + (p / lanes) * group_words, gaps_.begin(run.first),
                       gaps_.end(run.first), four);
      for (int b = 0; b < 2; ++b)
        for (int t = 0; t < kPairLanes; ++t) second_levels[b][t] = four[b][t];
    }
    PairGapMasks masks;
    levelsAtGapsGathered(reinterpret_cast<const unsigned char*>(shifts_.data()),
                         gaps_.begin(from + j), gaps_.end(from + j), masks.first_levels);
    masks.second_levels[0] = second_levels[0][lane];
    masks.second_levels[1] = second_levels[1][lane];
    record_->set(at + j, masks);
  }
}

GORVA_TARGET_AVX2 void PairClassCounter::countFromMasks(const Run& run, int from, int to,
                                                        int offset) {
  constexpr int L = kPairLevels;
  const int at = run.at + (from - run.from);
  const int count = to - from + 1;
  for (int j = 0; j < count; ++j) {
    const int p = j + offset;
    int* table = &tables_[static_cast<std::size_t>(j) * 2 * cells()];
    for (int cls = 0; cls < 2; ++cls)
      for (int b = 0; b < 2; ++b)
        for (int a = 0; a < 2; ++a)
          table[2 * (a + L * b) + cls] = counts_[pairCountAt(p, pairFreeCount(a, b, cls))];
    completeFromMasks(run.first, from + j, masks_->at(at + j), table);
  }
}

GORVA_TARGET_AVX2 void PairClassCounter::countByCellFromMasks(const Run& run, int from, int to,
                                                              int offset) {
  constexpr int L = kPairLevels;
  const int at = run.at + (from - run.from);
  const int count = to - from + 1;
  const int first = run.first;
  const int* first_totals = planes_.marginals(first);
  int* const rows = by_cell_.data() + kByCellLead;
  // Packed position p holds pair j = p - offset: groups of eight from p = 0
  // keep the free counts' rows aligned, and their lanes outside the stretch
  // land in the rows' lead and tail, which nobody reads.
  GapCountRequest request;
  request.masks = masks_;
  request.entries = entries_;
  request.at = at;
  request.first = first;
  request.second = from;
  for (int p = 0; p < offset + count; p += kPairBlock) {
    const int j0 = p - offset;
    alignas(32) int gap_counts[2][kGapCounts][kPairBlock];
    request.pair = j0;
    request.lo = j0 < 0 ? -j0 : 0;
    request.hi = count - j0 < kPairBlock ? count - j0 : kPairBlock;
    gap_counts_(request, gap_counts);
    for (int cls = 0; cls < 2; ++cls) {
      __m256i cell[L * L];  // cell a + 3 b
      for (int b = 0; b < 2; ++b) {
        __m256i rest = _mm256_sub_epi32(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(
                &level_totals_[(2 * b + cls) * level_stride_ + from + j0])),
            _mm256_load_si256(reinterpret_cast<const __m256i*>(gap_counts[cls][b])));
        for (int a = 0; a < 2; ++a) {
          cell[a + L * b] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(
              &counts_[pairCountAt(p, pairFreeCount(a, b, cls))]));
          rest = _mm256_sub_epi32(rest, cell[a + L * b]);
        }
        cell[2 + L * b] = rest;
      }
      for (int a = 0; a < L; ++a) {
        cell[a + L * (L - 1)] = _mm256_sub_epi32(
            _mm256_sub_epi32(_mm256_sub_epi32(_mm256_set1_epi32(first_totals[2 * a + cls]),
                                              cell[a]),
                             cell[a + L]),
            _mm256_load_si256(reinterpret_cast<const __m256i*>(gap_counts[cls][2 + a])));
      }
      for (int e = 0; e < L * L; ++e)
        _mm256_storeu_si256(
            reinterpret_cast<__m256i*>(rows + (cls * L * L + e) * by_cell_stride_ + j0), cell[e]);
    }
  }
}

void PairClassCounter::countFromMasksUnpacked(const Run& run, int from, int to) {
  constexpr int L = kPairLevels;
  const int at = run.at + (from - run.from);
  const int count = to - from + 1;
  const int first = run.first;
  const int* first_totals = planes_.marginals(first);
  for (int j = 0; j < count; ++j) {
    const int second = from + j;
    int* const table = &tables_[static_cast<std::size_t>(j) * 2 * cells()];
    if (record_ != nullptr) {
      PairGapMasks masks;
      firstLevelMasks(second, masks.first_levels);
      const std::uint64_t* rows = planes_.marker(second);
      std::uint64_t level0 = 0;
      std::uint64_t level1 = 0;
      std::uint64_t bit = 1;
      for (const std::uint32_t* gap = gaps_.begin(first); gap != gaps_.end(first);
           ++gap, bit <<= 1) {
        const std::uint64_t* word = rows + *gap / 64;
        const unsigned shift = *gap % 64;
        level0 |= bit & (std::uint64_t{0} - ((word[0] >> shift) & 1));
        level1 |= bit & (std::uint64_t{0} - ((word[row_words_] >> shift) & 1));
      }
      masks.second_levels[0] = level0;
      masks.second_levels[1] = level1;
      record_->set(at + j, masks);
    }
    // The first marker's last level is counted here; only the second's is
    // derived.
    const PairGapMasks masks = masks_->at(at + j);
    for (int cls = 0; cls < 2; ++cls) {
      const std::uint64_t in_second = entries_[2L * second + cls];
      for (int a = 0; a < L; ++a) {
        table[2 * (a + L * (L - 1)) + cls] = first_totals[2 * a + cls] - table[2 * a + cls] -
                                             table[2 * (a + L) + cls] -
                                             std::popcount(masks.first_levels[a] & in_second);
      }
    }
  }
  if (!byCell()) return;
  int* const rows = by_cell_.data() + kByCellLead;
  for (int j = 0; j < count; ++j) {
    const int* const table = &tables_[static_cast<std::size_t>(j) * 2 * cells()];
    for (int cls = 0; cls < 2; ++cls)
      for (int e = 0; e < cells(); ++e) rows[(cls * cells() + e) * by_cell_stride_ + j] = table[2 * e + cls];
  }
}
