#include <immintrin.h>

#include "engine/count/simd_targets.h"
#include "engine/significance/pair_class_counter.h"
#include "engine/significance/pair_wide_counts.h"

// GCC 12 takes the undefined pass-through operand of the shuffle
// intrinsics for an uninitialised variable (a false positive).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace {

// popcount(row r AND level m) of kGroups consecutive groups over words
// [begin, end), per lane: sums[(g * 2 + m) * kRows + r].
template <int kRows, int kGroups>
GORVA_TARGET_AVX512 GORVA_INLINE void countWords(const std::uint64_t* const* rows,
                                                 const std::uint64_t* group, long level_words,
                                                 long group_words, int begin, int end,
                                                 __m512i* sums) {
  constexpr int kSums = kGroups * kRows * kWideLevels;
  for (int s = 0; s < kSums; ++s) sums[s] = _mm512_setzero_si512();
#pragma GCC unroll 2
  for (int w = begin; w < end; ++w) {
    __m512i a[kRows];
    for (int r = 0; r < kRows; ++r) a[r] = _mm512_set1_epi64(static_cast<long long>(rows[r][w]));
    for (int g = 0; g < kGroups; ++g) {
      for (int m = 0; m < kWideLevels; ++m) {
        const __m512i b = _mm512_load_si512(group + g * group_words + m * level_words + 8L * w);
        for (int r = 0; r < kRows; ++r) {
          __m512i& sum = sums[(g * kWideLevels + m) * kRows + r];
          sum = _mm512_add_epi64(sum, _mm512_popcnt_epi64(_mm512_and_si512(a[r], b)));
        }
      }
    }
  }
}

// Groups [first, first + kGroups) for kFirsts first markers; kControlWords
// and kCaseWords fix the shape at compile time (0: the shape's).
template <int kFirsts, int kGroups, int kControlWords, int kCaseWords>
GORVA_TARGET_AVX512 GORVA_INLINE void countStep(const PairRowsRequest& q, int first,
                                                int control_words, int row_words) {
  constexpr int kRows = 2 * kFirsts;
  constexpr int kSums = kGroups * kRows * kWideLevels;
  const long level_words = static_cast<long>(row_words) * kWideLanes;
  const long group_words = kWideLevels * level_words;
  const std::uint64_t* group = q.packed + group_words * first;
  const int split = kCaseWords > 0 ? kControlWords : control_words;
  const int end = kCaseWords > 0 ? kControlWords + kCaseWords : row_words;
  __m512i sums[2][kSums];
  countWords<kRows, kGroups>(q.rows, group, level_words, group_words, 0, split, sums[0]);
  countWords<kRows, kGroups>(q.rows, group, level_words, group_words, split, end, sums[1]);
  // (The masked narrowing: GCC 12 warns about the unmasked one's undefined
  // source.)
#pragma GCC unroll 64
  for (int g = 0; g < kGroups; ++g) {
    const long p = static_cast<long>(kWideLanes) * (first + g);
#pragma GCC unroll 64
    for (int c = 0; c < 2; ++c) {
#pragma GCC unroll 64
      for (int m = 0; m < kWideLevels; ++m) {
#pragma GCC unroll 64
        for (int r = 0; r < kRows; ++r) {
          _mm256_storeu_si256(
              reinterpret_cast<__m256i*>(q.counts[r / 2] + pairCountAt(p, pairFreeCount(r % 2, m, c))),
              _mm512_maskz_cvtepi64_epi32(0xFF, sums[c][(g * kWideLevels + m) * kRows + r]));
        }
      }
    }
  }
}

template <int kFirsts, int kGroups, int kControlWords, int kCaseWords>
GORVA_TARGET_AVX512 void countFixed(const PairRowsRequest& q, const PlaneShape& shape) {
  const int control_words = shape.control_words;
  const int row_words = shape.rowWords();
  int g = 0;
  for (; g + kGroups <= q.groups; g += kGroups)
    countStep<kFirsts, kGroups, kControlWords, kCaseWords>(q, g, control_words, row_words);
  for (; g < q.groups; ++g)
    countStep<kFirsts, 1, kControlWords, kCaseWords>(q, g, control_words, row_words);
}

// The common shape (2,000 samples, two permutations' classes of 1,000) or
// any.
template <int kFirsts, int kGroups>
GORVA_TARGET_AVX512 void countOf(const PairRowsRequest& q, const PlaneShape& shape) {
  if (shape.control_words == 16 && shape.case_words == 16) {
    countFixed<kFirsts, kGroups, 16, 16>(q, shape);
  } else {
    countFixed<kFirsts, kGroups, 0, 0>(q, shape);
  }
}

}  // namespace

GORVA_TARGET_AVX512 void countWideFreeCellsAvx512(const PairRowsRequest& q, const PlaneShape& shape) {
  // Sixteen counters a pass at most, so that they and the broadcast words
  // stay in the 32 vector registers: fewer first markers take more groups.
  switch (q.first_markers) {
    case 4:
      countOf<4, 1>(q, shape);
      break;
    case 3:
      countOf<3, 1>(q, shape);
      break;
    case 2:
      countOf<2, 2>(q, shape);
      break;
    default:
      countOf<1, 4>(q, shape);
      break;
  }
}

namespace {

// Words [w, w + 8) of eight markers' rows (null: zeros) into eight vectors,
// vector k holding word w + k of the eight markers.
GORVA_TARGET_AVX512 GORVA_INLINE void transposeWords(const std::uint64_t* const* rows, int w,
                                                     __m512i out[8]) {
  __m512i row[8];
  for (int t = 0; t < 8; ++t)
    row[t] = rows[t] != nullptr ? _mm512_loadu_si512(rows[t] + w) : _mm512_setzero_si512();
  __m512i pair[8];  // 2 i + h: words of parity h of markers 2 i, 2 i + 1
  for (int i = 0; i < 4; ++i) {
    pair[2 * i] = _mm512_unpacklo_epi64(row[2 * i], row[2 * i + 1]);
    pair[2 * i + 1] = _mm512_unpackhi_epi64(row[2 * i], row[2 * i + 1]);
  }
  for (int h = 0; h < 2; ++h) {
    // Words h, h + 4 of markers 0-3 (lanes 0, 2 of a pair) and h + 2, h + 6.
    const __m512i low_even = _mm512_shuffle_i64x2(pair[h], pair[2 + h], 0x88);
    const __m512i low_odd = _mm512_shuffle_i64x2(pair[h], pair[2 + h], 0xDD);
    const __m512i high_even = _mm512_shuffle_i64x2(pair[4 + h], pair[6 + h], 0x88);
    const __m512i high_odd = _mm512_shuffle_i64x2(pair[4 + h], pair[6 + h], 0xDD);
    out[h] = _mm512_shuffle_i64x2(low_even, high_even, 0x88);
    out[h + 4] = _mm512_shuffle_i64x2(low_even, high_even, 0xDD);
    out[h + 2] = _mm512_shuffle_i64x2(low_odd, high_odd, 0x88);
    out[h + 6] = _mm512_shuffle_i64x2(low_odd, high_odd, 0xDD);
  }
}

// The counted samples among eight pairs' gaps (masks AND entries) for
// both classes, class 0's in the low eight lanes and class 1's in the high
// eight: one permute narrows both classes' counts, where narrowing each
// alone costs more on some CPUs than the rest of a pair's completion.
GORVA_TARGET_AVX512 GORVA_INLINE __m512i samplesAtGaps(__m512i masks, __m512i entries0, __m512i entries1,
                                                       __m512i halves) {
  return _mm512_permutex2var_epi32(_mm512_popcnt_epi64(_mm512_and_si512(masks, entries0)), halves,
                                   _mm512_popcnt_epi64(_mm512_and_si512(masks, entries1)));
}

// Bit i of out[a] set when the marker whose rows are `rows` (level a's
// words in rows[a][0..3], eight to a register) has level a at gap i of
// [gap, end), at most 64 gaps: sixteen gaps at a time, each one's half-word
// picked from the registers by its index (a row of at most 32 words is 64
// half-words, which two pairs of registers hold).
GORVA_TARGET_AVX512 GORVA_INLINE void levelsAtGapsFromRows(const __m512i (&rows)[kPairLevels][4],
                                                           const std::uint32_t* gap,
                                                           const std::uint32_t* end, std::uint64_t out[3]) {
  std::uint64_t levels[kPairLevels] = {0, 0, 0};
  const __m512i one = _mm512_set1_epi32(1);
  for (int i = 0; gap < end; gap += 16, i += 16) {
    const long left = end - gap;
    const __mmask16 live = left >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1U << left) - 1);
    const __m512i position = _mm512_maskz_loadu_epi32(live, gap);
    const __m512i half = _mm512_srli_epi32(position, 5);
    const __m512i bit = _mm512_and_si512(position, _mm512_set1_epi32(31));
    const __mmask16 high = _mm512_test_epi32_mask(half, _mm512_set1_epi32(32));
    for (int a = 0; a < kPairLevels; ++a) {
      const __m512i low_halves = _mm512_permutex2var_epi32(rows[a][0], half, rows[a][1]);
      const __m512i high_halves = _mm512_permutex2var_epi32(rows[a][2], half, rows[a][3]);
      const __m512i halves = _mm512_mask_blend_epi32(high, low_halves, high_halves);
      levels[a] |= static_cast<std::uint64_t>(_mm512_mask_test_epi32_mask(live, _mm512_srlv_epi32(halves, bit), one)) << i;
    }
  }
  for (int a = 0; a < kPairLevels; ++a) out[a] = levels[a];
}

}  // namespace

GORVA_TARGET_AVX512 void PairClassCounter::recordSegmentMasksWide(const Run& run, int from, int to,
                                                                  const std::uint64_t* packed,
                                                                  long group_words, int offset) {
  const int at = run.at + (from - run.from);
  const int count = to - from + 1;
  const std::uint64_t* first_rows = planes_.marker(run.first);
  __m512i rows[kPairLevels][4];
  for (int a = 0; a < kPairLevels; ++a) {
    for (int q = 0; q < 4; ++q) {
      const int left = row_words_ - 8 * q;
      const __mmask8 words = left >= 8 ? static_cast<__mmask8>(0xFF)
                                       : static_cast<__mmask8>(left > 0 ? (1U << left) - 1 : 0);
      rows[a][q] = _mm512_maskz_loadu_epi64(words, first_rows + static_cast<long>(a) * row_words_ + 8 * q);
    }
  }
  // The rows written in locals: stores through them may alias any member.
  std::uint64_t* out[PairGapMaskRows::kWords];
  for (int w = 0; w < PairGapMaskRows::kWords; ++w) out[w] = record_->row(w) + at;
  const std::uint32_t* const first_gaps = gaps_.begin(run.first);
  const std::uint32_t* const first_gaps_end = gaps_.end(run.first);
  const int row_words = row_words_;
  std::uint64_t second_levels[2][kWideLanes];
  for (int j = 0; j < count; ++j) {
    const int p = j + offset;
    const int lane = p % kWideLanes;
    if (j == 0 || lane == 0)
      wideLevelMasksAtGaps(packed + (p / kWideLanes) * group_words, row_words, first_gaps, first_gaps_end,
                           second_levels);
    std::uint64_t first_levels[kPairLevels];
    levelsAtGapsFromRows(rows, gaps_.begin(from + j), gaps_.end(from + j), first_levels);
    for (int a = 0; a < kPairLevels; ++a) out[a][j] = first_levels[a];
    out[3][j] = second_levels[0][lane];
    out[4][j] = second_levels[1][lane];
  }
}

GORVA_TARGET_AVX512 void packWideGroups(const MarkerRows& markers, int first, int end, int groups,
                                        std::uint64_t* packed) {
  const int row_words = markers.row_words;
  for (int g = 0; g < groups; ++g) {
    for (int l = 0; l < kWideLevels; ++l) {
      const std::uint64_t* rows[kWideLanes];
      for (int t = 0; t < kWideLanes; ++t) {
        const int marker = first + kWideLanes * g + t;
        rows[t] = marker < end ? markers.planes + static_cast<long>(marker) * markers.marker_stride_words +
                                     static_cast<long>(l) * row_words
                               : nullptr;
      }
      std::uint64_t* out = packed + (static_cast<long>(g) * kWideLevels + l) * row_words * kWideLanes;
      int w = 0;
      for (; w + 8 <= row_words; w += 8) {
        __m512i words[8];
        transposeWords(rows, w, words);
        for (int k = 0; k < 8; ++k) _mm512_store_si512(out + static_cast<long>(w + k) * kWideLanes, words[k]);
      }
      for (; w < row_words; ++w)
        for (int t = 0; t < kWideLanes; ++t)
          out[static_cast<long>(w) * kWideLanes + t] = rows[t] != nullptr ? rows[t][w] : 0;
    }
  }
}

bool packAllWideGroups(const BitPlanes& planes, AlignedWords& packed) {
  const int markers = planes.markerCount();
  const int row_words = planes.shape().rowWords();
  const int groups = (markers + kWideLanes - 1) / kWideLanes + 1;
  if (!packed.reset(groups * wideGroupWords(row_words))) return false;
  if (markers > 0)
    packWideGroups(MarkerRows{planes.marker(0), planes.markerStrideWords(), row_words}, 0, markers,
                   groups, packed.data());
  return true;
}

GORVA_TARGET_AVX512 void wideLevelMasksAtGaps(const std::uint64_t* group, int row_words,
                                              const std::uint32_t* gap, const std::uint32_t* end,
                                              std::uint64_t out[2][kWideLanes]) {
  const __m512i one = _mm512_set1_epi64(1);
  const long level_words = static_cast<long>(row_words) * kWideLanes;
  __m512i level0 = _mm512_setzero_si512();
  __m512i level1 = _mm512_setzero_si512();
  for (int i = 0; gap != end; ++gap, ++i) {
    const std::uint64_t* words = group + (*gap / 64) * kWideLanes;
    const __m512i shift = _mm512_set1_epi64(*gap % 64);
    const __m512i place = _mm512_set1_epi64(i);
    level0 = _mm512_or_si512(
        level0, _mm512_sllv_epi64(_mm512_and_si512(_mm512_srlv_epi64(_mm512_load_si512(words), shift), one), place));
    level1 = _mm512_or_si512(
        level1, _mm512_sllv_epi64(_mm512_and_si512(_mm512_srlv_epi64(_mm512_load_si512(words + level_words), shift), one),
                                  place));
  }
  _mm512_storeu_si512(out[0], level0);
  _mm512_storeu_si512(out[1], level1);
}

GORVA_TARGET_AVX512 void PairClassCounter::countByCellFromMasksWide(const Run& run, int from, int to,
                                                                    int offset) {
  constexpr int L = kPairLevels;
  const int at = run.at + (from - run.from);
  const int count = to - from + 1;
  const int first = run.first;
  const int* first_totals = planes_.marginals(first);
  // Everything the loop reads from the counter in locals: its vector stores
  // may alias any member, which would otherwise be loaded again after each.
  int* const rows = by_cell_.data() + kByCellLead;
  const long stride = by_cell_stride_;
  const int* const counts = counts_;
  const std::uint64_t* const entries = entries_;
  const std::uint64_t* mask_rows[PairGapMaskRows::kWords];
  for (int w = 0; w < PairGapMaskRows::kWords; ++w) mask_rows[w] = masks_->row(w) + at;
  const int* level_rows[2][2];  // [class][level]
  for (int cls = 0; cls < 2; ++cls)
    for (int b = 0; b < 2; ++b) level_rows[cls][b] = level_totals_.data() + (2 * b + cls) * level_stride_ + from;
  // Both classes side by side in every vector: class 0 in the low eight
  // lanes, class 1 in the high eight.
  __m512i first_level[L];
  for (int a = 0; a < L; ++a)
    first_level[a] = _mm512_inserti64x4(_mm512_set1_epi32(first_totals[2 * a]),
                                        _mm256_set1_epi32(first_totals[2 * a + 1]), 1);
  const __m512i in_first0 = _mm512_set1_epi64(static_cast<long long>(entries[2L * first]));
  const __m512i in_first1 = _mm512_set1_epi64(static_cast<long long>(entries[2L * first + 1]));
  const __m512i evens = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
  const __m512i odds = _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15);
  const __m512i halves = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  // As countByCellFromMasks: packed position p holds pair p - offset, and
  // lanes outside the stretch land in the rows' lead and tail.
  for (int p = 0; p < offset + count; p += kPairBlock) {
    const int j0 = p - offset;
    const int lo = j0 < 0 ? -j0 : 0;
    const int hi = count - j0 < kPairBlock ? count - j0 : kPairBlock;
    const __mmask8 live = static_cast<__mmask8>(((1U << hi) - 1) & ~((1U << lo) - 1));
    __m512i words[PairGapMaskRows::kWords];
    for (int w = 0; w < PairGapMaskRows::kWords; ++w) words[w] = _mm512_maskz_loadu_epi64(live, mask_rows[w] + j0);
    // The eight second markers' entries, class 0 and 1 interleaved.
    const std::uint64_t* const second = entries + 2L * (from + j0);
    const __m512i low = _mm512_loadu_si512(second);
    const __m512i high = _mm512_loadu_si512(second + kPairBlock);
    const __m512i in_second0 = _mm512_permutex2var_epi64(low, evens, high);
    const __m512i in_second1 = _mm512_permutex2var_epi64(low, odds, high);
    // p is a whole block of eight: a count's two classes lie side by side
    // from here, eight apart.
    static_assert(pairFreeCount(1, 1, 1) == pairFreeCount(1, 1, 0) + 1);
    const int* const free_counts = counts + pairCountAt(p, 0);
    __m512i cell[L * L];  // cell a + 3 b
    for (int b = 0; b < 2; ++b) {
      const __m512i level = _mm512_inserti64x4(
          _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(level_rows[0][b] + j0))),
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(level_rows[1][b] + j0)), 1);
      __m512i rest = _mm512_sub_epi32(level, samplesAtGaps(words[3 + b], in_first0, in_first1, halves));
      for (int a = 0; a < 2; ++a) {
        cell[a + L * b] = _mm512_loadu_si512(free_counts + kPairBlock * pairFreeCount(a, b, 0));
        rest = _mm512_sub_epi32(rest, cell[a + L * b]);
      }
      cell[2 + L * b] = rest;
    }
    for (int a = 0; a < L; ++a) {
      cell[a + L * (L - 1)] =
          _mm512_sub_epi32(_mm512_sub_epi32(_mm512_sub_epi32(first_level[a], cell[a]), cell[a + L]),
                           samplesAtGaps(words[a], in_second0, in_second1, halves));
    }
    for (int e = 0; e < L * L; ++e) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(rows + e * stride + j0), _mm512_castsi512_si256(cell[e]));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(rows + (L * L + e) * stride + j0),
                          _mm512_extracti64x4_epi64(cell[e], 1));
    }
  }
}

WideCountKernel wideCountKernel(SimdPath path) {
  return path == SimdPath::kAvx512 ? countWideFreeCellsAvx512 : nullptr;
}
