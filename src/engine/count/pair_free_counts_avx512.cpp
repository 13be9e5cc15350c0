// The fused walk's free cells with the vector popcount of AVX-512
// (VPOPCNTQ), on the packed groups of pair_free_counts.h.
//
// A table lookup per nibble is what AVX2 must pay for a popcount; here one
// instruction counts a 64-bit lane, so a cell of four second markers costs
// an AND, a VPOPCNTQ and a 64-bit add per sample word, and the counters
// need no byte folding. A broadcast word of the first marker's rows (or
// the prefix rows) is used against several groups of second markers at
// once, every count of those groups held in a register across the words of
// a class.
#include <immintrin.h>

#include "engine/count/pair_free_counts.h"
#include "engine/count/simd_targets.h"

// GCC 12 takes the undefined upper half of a widened register for an
// uninitialised variable (a false positive).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace {

// Counts rows x levels cells of kGroups consecutive packed groups (from
// `group`, group_words apart) over words [begin, end): sums[(g * kLevels +
// m) * kRows + r] gets, per lane, popcount(row r AND level m).
template <int kRows, int kLevels, int kGroups>
GORVA_TARGET_AVX512 GORVA_INLINE void countGroups(const std::uint64_t* const* rows,
                                                  const std::uint64_t* group, long level_words,
                                                  long group_words, int begin, int end,
                                                  __m256i* sums) {
  constexpr int kSums = kGroups * kRows * kLevels;
  for (int s = 0; s < kSums; ++s) sums[s] = _mm256_setzero_si256();
#pragma GCC unroll 2
  for (int w = begin; w < end; ++w) {
    __m256i a[kRows];
    for (int r = 0; r < kRows; ++r) a[r] = _mm256_set1_epi64x(static_cast<long long>(rows[r][w]));
    for (int g = 0; g < kGroups; ++g) {
      for (int m = 0; m < kLevels; ++m) {
        const __m256i b = _mm256_load_si256(
            reinterpret_cast<const __m256i*>(group + g * group_words + m * level_words + 4L * w));
        for (int r = 0; r < kRows; ++r) {
          __m256i& sum = sums[(g * kLevels + m) * kRows + r];
          sum = _mm256_add_epi64(sum, _mm256_popcnt_epi64(_mm256_and_si256(a[r], b)));
        }
      }
    }
  }
}

// countGroups over the controls' words, then the cases': sums[c].
template <int kRows, int kLevels, int kGroups, int kControlWords, int kCaseWords>
GORVA_TARGET_AVX512 GORVA_INLINE void countClasses(const std::uint64_t* const* rows,
                                                   const std::uint64_t* group, long level_words,
                                                   long group_words, int control_words, int row_words,
                                                   __m256i (*sums)[kGroups * kRows * kLevels]) {
  const int controls_end = kCaseWords > 0 ? kControlWords : control_words;
  countGroups<kRows, kLevels, kGroups>(rows, group, level_words, group_words, 0, controls_end, sums[0]);
  countGroups<kRows, kLevels, kGroups>(rows, group, level_words, group_words, controls_end,
                                       kCaseWords > 0 ? kControlWords + kCaseWords : row_words, sums[1]);
}

// countGroups over kPairs pairs of consecutive groups, each pair's lanes
// side by side in one 512-bit register: each broadcast word of the rows
// then meets eight last markers of a pair, as many as the vector holds, for
// one more shuffle per level and word. sums[(j * kLevels + m) * kRows + r]:
// lanes 0-3 group 2 j's, 4-7 group 2 j + 1's.
template <int kRows, int kLevels, int kPairs>
GORVA_TARGET_AVX512 GORVA_INLINE void countGroupPairs(const std::uint64_t* const* rows,
                                                      const std::uint64_t* group, long level_words,
                                                      long group_words, int begin, int end, __m512i* sums) {
  for (int s = 0; s < kPairs * kLevels * kRows; ++s) sums[s] = _mm512_setzero_si512();
#pragma GCC unroll 2
  for (int w = begin; w < end; ++w) {
    __m512i a[kRows];
    for (int r = 0; r < kRows; ++r) a[r] = _mm512_set1_epi64(static_cast<long long>(rows[r][w]));
    for (int j = 0; j < kPairs; ++j) {
      for (int m = 0; m < kLevels; ++m) {
        const std::uint64_t* at = group + 2 * j * group_words + m * level_words + 4L * w;
        const __m512i b = _mm512_inserti64x4(
            _mm512_castsi256_si512(_mm256_load_si256(reinterpret_cast<const __m256i*>(at))),
            _mm256_load_si256(reinterpret_cast<const __m256i*>(at + group_words)), 1);
        for (int r = 0; r < kRows; ++r) {
          __m512i& sum = sums[(j * kLevels + m) * kRows + r];
          sum = _mm512_add_epi64(sum, _mm512_popcnt_epi64(_mm512_and_si512(a[r], b)));
        }
      }
    }
  }
}

// Stores the counts of a pass over one group (or two side by side) from
// combination p on: count k's lanes narrowed to ints.
GORVA_TARGET_AVX512 GORVA_INLINE void storeCounts(int* at, __m256i sum) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm256_maskz_cvtepi64_epi32(0xF, sum));
}
GORVA_TARGET_AVX512 GORVA_INLINE void storeCounts(int* at, __m512i sum) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), _mm512_maskz_cvtepi64_epi32(0xFF, sum));
}

// Counts groups [first, first + kGroups) of the request and stores their
// counts. kControlWords, kCaseWords: the shape fixed at compile time (0:
// the request's).
template <int kRows, int kLevels, int kGroups, int kControlWords, int kCaseWords>
GORVA_TARGET_AVX512 GORVA_INLINE void countStep(const PairCountRequest& q, int first,
                                                int control_words, int row_words) {
  constexpr int kSums = kGroups * kRows * kLevels;
  constexpr int kPer = 2 * kRows * kLevels;
  const long level_words = static_cast<long>(row_words) * kPairLanes;
  const long group_words = kPackedLevels * level_words;
  const std::uint64_t* group = q.packed + group_words * first;
  __m256i sums[2][kSums];
  countClasses<kRows, kLevels, kGroups, kControlWords, kCaseWords>(q.rows, group, level_words, group_words,
                                                                   control_words, row_words, sums);
  // (The masked narrowing: GCC 12 warns about the unmasked one's undefined
  // source.)
  for (int g = 0; g < kGroups; ++g) {
    const long p = static_cast<long>(kPairLanes) * (first + g);
    for (int c = 0; c < 2; ++c) {
      for (int m = 0; m < kLevels; ++m) {
        for (int r = 0; r < kRows; ++r)
          storeCounts(q.counts + freeCountAt(kPer, p, freeCount(kRows, r, m, c)),
                      sums[c][(g * kLevels + m) * kRows + r]);
      }
    }
  }
}

// Counts groups [first, first + 2 kPairs) (first even, so that each pair
// of groups fills one block of counts) and stores their counts, a class at
// a time so that its counters never leave their registers. Rows come
// kRowsPerOutput to an output (a request's rows all to one; two to each
// first marker of several): row r's counts go to outputs[r /
// kRowsPerOutput] as a request of kRowsPerOutput rows lays them out.
template <int kRows, int kRowsPerOutput, int kLevels, int kPairs, int kControlWords, int kCaseWords>
GORVA_TARGET_AVX512 GORVA_INLINE void countGroupPairsStep(const std::uint64_t* const* rows,
                                                          const std::uint64_t* packed, int* const* outputs,
                                                          int first, int control_words, int row_words) {
  constexpr int kPer = 2 * kRowsPerOutput * kLevels;
  const long level_words = static_cast<long>(row_words) * kPairLanes;
  const long group_words = kPackedLevels * level_words;
  const std::uint64_t* group = packed + group_words * first;
  const int controls_end = kCaseWords > 0 ? kControlWords : control_words;
  const int end = kCaseWords > 0 ? kControlWords + kCaseWords : row_words;
  for (int c = 0; c < 2; ++c) {
    __m512i sums[kPairs * kLevels * kRows];
    countGroupPairs<kRows, kLevels, kPairs>(rows, group, level_words, group_words, c == 0 ? 0 : controls_end,
                                           c == 0 ? controls_end : end, sums);
#pragma GCC unroll 64
    for (int j = 0; j < kPairs; ++j) {
      const long p = static_cast<long>(kPairLanes) * (first + 2 * j);
#pragma GCC unroll 64
      for (int m = 0; m < kLevels; ++m) {
#pragma GCC unroll 64
        for (int r = 0; r < kRows; ++r)
          storeCounts(outputs[r / kRowsPerOutput] +
                          freeCountAt(kPer, p, freeCount(kRowsPerOutput, r % kRowsPerOutput, m, c)),
                      sums[(j * kLevels + m) * kRows + r]);
      }
    }
  }
}

template <int kRows, int kLevels, int kPairs, int kControlWords, int kCaseWords>
GORVA_TARGET_AVX512 GORVA_INLINE void countPairsStep(const PairCountRequest& q, int first,
                                                     int control_words, int row_words) {
  int* const outputs[1] = {q.counts};
  countGroupPairsStep<kRows, kRows, kLevels, kPairs, kControlWords, kCaseWords>(q.rows, q.packed, outputs, first,
                                                                                control_words, row_words);
}

template <int kRows, int kLevels, int kPairs, int kGroups, int kControlWords, int kCaseWords>
GORVA_TARGET_AVX512 void countFreeCellsFixed(const PairCountRequest& q, const PlaneShape& shape) {
  const int control_words = shape.control_words;
  const int row_words = shape.rowWords();
  int g = 0;
  for (; g + 2 * kPairs <= q.groups; g += 2 * kPairs)
    countPairsStep<kRows, kLevels, kPairs, kControlWords, kCaseWords>(q, g, control_words, row_words);
  for (; g + 2 <= q.groups; g += 2)
    countPairsStep<kRows, kLevels, 1, kControlWords, kCaseWords>(q, g, control_words, row_words);
  for (; g + kGroups <= q.groups; g += kGroups)
    countStep<kRows, kLevels, kGroups, kControlWords, kCaseWords>(q, g, control_words, row_words);
  for (; g < q.groups; ++g)
    countStep<kRows, kLevels, 1, kControlWords, kCaseWords>(q, g, control_words, row_words);
}

// The kernel of a request's rows and levels, for the common shape (2,000
// samples in balanced classes) or any.
template <int kRows, int kLevels, int kPairs, int kGroups>
GORVA_TARGET_AVX512 void countFreeCellsOf(const PairCountRequest& q, const PlaneShape& shape) {
  if (shape.control_words == 16 && shape.case_words == 16) {
    countFreeCellsFixed<kRows, kLevels, kPairs, kGroups, 16, 16>(q, shape);
  } else {
    countFreeCellsFixed<kRows, kLevels, kPairs, kGroups, 0, 0>(q, shape);
  }
}

}  // namespace

GORVA_TARGET_AVX512 void countPairFreeCellsAvx512(const PairCountRequest& q,
                                                  const PlaneShape& shape) {
  // As many pairs of groups at a time as keep every counter and operand
  // in the 32 vector registers; a last odd group on its own.
  if (q.row_count == 4) {
    countFreeCellsOf<4, 2, 3, 3>(q, shape);
  } else if (q.level_count == 3) {
    countFreeCellsOf<3, 3, 2, 2>(q, shape);
  } else {
    countFreeCellsOf<2, 2, 4, 4>(q, shape);
  }
}

namespace {

template <int kRows, class Sum>
GORVA_TARGET_AVX512 GORVA_INLINE void storeRowCounts(const PairRowsRequest& q, long p, const Sum* controls,
                                                     const Sum* cases) {
  constexpr int kLevels = 2;
  constexpr int kPer = 2 * 2 * kLevels;
#pragma GCC unroll 64
  for (int c = 0; c < 2; ++c) {
#pragma GCC unroll 64
    for (int m = 0; m < kLevels; ++m) {
#pragma GCC unroll 64
      for (int r = 0; r < kRows; ++r)
        storeCounts(q.counts[r / 2] + freeCountAt(kPer, p, pairFreeCount(r % 2, m, c)), (c == 0 ? controls : cases)[m * kRows + r]);
    }
  }
}

// Counts groups [first, first + kGroups) for kFirsts first markers (2
// rows each) and stores each one's counts in its own array.
template <int kFirsts, int kGroups, int kControlWords, int kCaseWords>
GORVA_TARGET_AVX512 GORVA_INLINE void countRowsStep(const PairRowsRequest& q, int first,
                                                    int control_words, int row_words) {
  constexpr int kRows = 2 * kFirsts;
  constexpr int kLevels = 2;
  constexpr int kSums = kGroups * kRows * kLevels;
  const long level_words = static_cast<long>(row_words) * kPairLanes;
  const long group_words = kPackedLevels * level_words;
  const std::uint64_t* group = q.packed + group_words * first;
  __m256i sums[2][kSums];
  countClasses<kRows, kLevels, kGroups, kControlWords, kCaseWords>(q.rows, group, level_words, group_words,
                                                                   control_words, row_words, sums);
#pragma GCC unroll 64
  for (int g = 0; g < kGroups; ++g) {
    storeRowCounts<kRows>(q, static_cast<long>(kPairLanes) * (first + g), sums[0] + g * kLevels * kRows,
                          sums[1] + g * kLevels * kRows);
  }
}

// Groups [first, first + 2 kPairs) for kFirsts first markers.
template <int kFirsts, int kPairs, int kControlWords, int kCaseWords>
GORVA_TARGET_AVX512 GORVA_INLINE void countRowsPairsStep(const PairRowsRequest& q, int first,
                                                         int control_words, int row_words) {
  countGroupPairsStep<2 * kFirsts, 2, 2, kPairs, kControlWords, kCaseWords>(q.rows, q.packed, q.counts, first,
                                                                            control_words, row_words);
}

// As many pairs of groups a pass as keep every counter and broadcast row in
// the 32 vector registers (16 or 24 counters).
template <int kFirsts, int kGroups, int kControlWords, int kCaseWords>
GORVA_TARGET_AVX512 void countRowsFixed(const PairRowsRequest& q, const PlaneShape& shape) {
  constexpr int kPairs = kFirsts == 4 ? 1 : (kFirsts == 2 ? 3 : 4);
  const int control_words = shape.control_words;
  const int row_words = shape.rowWords();
  int g = 0;
  for (; g + 2 * kPairs <= q.groups; g += 2 * kPairs)
    countRowsPairsStep<kFirsts, kPairs, kControlWords, kCaseWords>(q, g, control_words, row_words);
  for (; g + 2 <= q.groups; g += 2)
    countRowsPairsStep<kFirsts, 1, kControlWords, kCaseWords>(q, g, control_words, row_words);
  for (; g + kGroups <= q.groups; g += kGroups)
    countRowsStep<kFirsts, kGroups, kControlWords, kCaseWords>(q, g, control_words, row_words);
  for (; g < q.groups; ++g)
    countRowsStep<kFirsts, 1, kControlWords, kCaseWords>(q, g, control_words, row_words);
}

template <int kFirsts, int kGroups>
GORVA_TARGET_AVX512 void countRowsOf(const PairRowsRequest& q, const PlaneShape& shape) {
  if (shape.control_words == 16 && shape.case_words == 16) {
    countRowsFixed<kFirsts, kGroups, 16, 16>(q, shape);
  } else {
    countRowsFixed<kFirsts, kGroups, 0, 0>(q, shape);
  }
}

}  // namespace

GORVA_TARGET_AVX512 void countPairRowsAvx512(const PairRowsRequest& q, const PlaneShape& shape) {
  // Four first markers a pass with one group (16 counters, 8 broadcast
  // words): per cell the fewest loads that leave every counter in a
  // register. Two at a time with three groups, a lone one with four.
  if (q.first_markers == 4) {
    countRowsOf<4, 1>(q, shape);
    return;
  }
  for (int f = 0; f < q.first_markers; f += 2) {
    PairRowsRequest part = q;
    part.first_markers = q.first_markers - f < 2 ? 1 : 2;
    for (int t = 0; t < part.first_markers; ++t) {
      part.rows[2 * t] = q.rows[2 * (f + t)];
      part.rows[2 * t + 1] = q.rows[2 * (f + t) + 1];
      part.counts[t] = q.counts[f + t];
    }
    if (part.first_markers == 2) {
      countRowsOf<2, 3>(part, shape);
    } else {
      countRowsOf<1, 4>(part, shape);
    }
  }
}
