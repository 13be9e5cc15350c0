// The AVX-512 kernel: 512-bit AND + VPOPCNTQ. Four (row, level) pairs whose
// cells are consecutive give eight class accumulators, whose horizontal sums
// are formed together by one transposing reduction and stored as eight
// consecutive counts. Rows of up to four vectors per class get a version with the vector
// loops unrolled at compile time (2,000 samples are two per class).
#include <immintrin.h>

#include <cstdint>

#include "engine/kernel_dispatch.h"

#define GORVA_AVX512 __attribute__((target("avx512f,avx512bw,avx512vpopcntdq")))

// GCC 12 takes the undefined pass-through operand of the unmasked shuffle and
// conversion intrinsics for an uninitialised variable (a false positive).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace {

// popcount(a AND b) summed per 64-bit lane over `vectors` vectors; a fixed
// count (kVectors > 0) unrolls the loop.
template <int kVectors>
GORVA_AVX512 inline __m512i andPopcount(const std::uint64_t* a, const std::uint64_t* b, int vectors) {
  const int n = kVectors > 0 ? kVectors : vectors;
  __m512i sum = _mm512_setzero_si512();
#pragma GCC unroll 4
  for (int v = 0; v < n; ++v) {
    const __m512i x = _mm512_and_si512(_mm512_loadu_si512(a + 8 * v), _mm512_loadu_si512(b + 8 * v));
    sum = _mm512_add_epi64(sum, _mm512_popcnt_epi64(x));
  }
  return sum;
}

// Lane i of the result is the sum of the eight lanes of acc[i].
GORVA_AVX512 inline __m512i sumEachOfEight(const __m512i* acc) {
  // Pairs: each 128-bit lane holds (partial of acc[2i], partial of acc[2i+1]).
  __m512i pair[4];
  for (int i = 0; i < 4; ++i) {
    pair[i] = _mm512_add_epi64(_mm512_unpacklo_epi64(acc[2 * i], acc[2 * i + 1]),
                               _mm512_unpackhi_epi64(acc[2 * i], acc[2 * i + 1]));
  }
  // Quads: 128-bit lanes 0-1 hold halves of (acc0, acc1), lanes 2-3 of (acc2, acc3).
  const __m512i quad0 = _mm512_add_epi64(_mm512_shuffle_i64x2(pair[0], pair[1], 0x88),
                                         _mm512_shuffle_i64x2(pair[0], pair[1], 0xDD));
  const __m512i quad1 = _mm512_add_epi64(_mm512_shuffle_i64x2(pair[2], pair[3], 0x88),
                                         _mm512_shuffle_i64x2(pair[2], pair[3], 0xDD));
  return _mm512_add_epi64(_mm512_shuffle_i64x2(quad0, quad1, 0x88),
                          _mm512_shuffle_i64x2(quad0, quad1, 0xDD));
}

// Stores the counts of `group` consecutive cells (two per cell) straight
// from the register: 8, 16, 24 or 32 bytes, never beyond the group.
GORVA_AVX512 inline void storeCounts(std::uint32_t* out, __m512i sums, int group) {
  const __m256i counts = _mm512_cvtepi64_epi32(sums);
  const __m128i low = _mm256_castsi256_si128(counts);
  switch (group) {
    case 1:
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out), low);
      break;
    case 2:
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), low);
      break;
    case 3:
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), low);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 4), _mm256_extracti128_si256(counts, 1));
      break;
    default:
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), counts);
  }
}

// Class accumulators of kGroup (row, level) pairs, the rest zero, summed.
// Everything is unrolled, so the accumulators stay in registers.
template <int kGroup, int kControlVectors, int kCaseVectors>
GORVA_AVX512 inline __m512i countFixedGroup(const std::uint64_t* const* rows,
                                            const std::uint64_t* const* levels, int case_offset,
                                            int control_vectors, int case_vectors) {
  __m512i acc[8];
#pragma GCC unroll 4
  for (int g = 0; g < 4; ++g) {
    if (g < kGroup) {
      acc[2 * g] = andPopcount<kControlVectors>(rows[g], levels[g], control_vectors);
      acc[2 * g + 1] =
          andPopcount<kCaseVectors>(rows[g] + case_offset, levels[g] + case_offset, case_vectors);
    } else {
      acc[2 * g] = acc[2 * g + 1] = _mm512_setzero_si512();
    }
  }
  return sumEachOfEight(acc);
}

template <int kControlVectors, int kCaseVectors>
GORVA_AVX512 inline __m512i countGroup(const std::uint64_t* const* rows, const std::uint64_t* const* levels,
                                       int group, int case_offset, int control_vectors, int case_vectors) {
  switch (group) {
    case 1:
      return countFixedGroup<1, kControlVectors, kCaseVectors>(rows, levels, case_offset, control_vectors,
                                                               case_vectors);
    case 2:
      return countFixedGroup<2, kControlVectors, kCaseVectors>(rows, levels, case_offset, control_vectors,
                                                               case_vectors);
    case 3:
      return countFixedGroup<3, kControlVectors, kCaseVectors>(rows, levels, case_offset, control_vectors,
                                                               case_vectors);
    default:
      return countFixedGroup<4, kControlVectors, kCaseVectors>(rows, levels, case_offset, control_vectors,
                                                               case_vectors);
  }
}

// Up to this many (row, level) pairs are laid out at once: their row
// pointers, level offsets and groups of consecutive cells.
constexpr int kPlanPairs = 64;

struct GroupPlan {
  int first_pair;
  int size;  // 1-4 pairs whose cells are consecutive
  int cell;  // the first pair's first count
};

template <int kControlVectors, int kCaseVectors>
GORVA_AVX512 void countCells(const CountRequest& q, const PlaneShape& shape) {
  const int row_words = shape.rowWords();
  const int case_offset = shape.control_words;
  const int control_vectors = shape.control_words / 8;
  const int case_vectors = shape.case_words / 8;
  const int pairs = q.row_count * q.level_count;
  const std::uint64_t* row_of[kPlanPairs];
  long level_at[kPlanPairs];
  GroupPlan groups[kPlanPairs];
  // Pairs level by level, rows within a level; a group ends after four
  // pairs or where the next pair's cells do not follow on.
  for (int chunk = 0; chunk < pairs; chunk += kPlanPairs) {
    const int chunk_pairs = pairs - chunk < kPlanPairs ? pairs - chunk : kPlanPairs;
    int group_count = 0;
    int next_cell = -1;
    for (int p = 0; p < chunk_pairs; ++p) {
      const int r = (chunk + p) % q.row_count;
      const int l = (chunk + p) / q.row_count;
      row_of[p] = q.rows + static_cast<long>(r) * row_words;
      level_at[p] = static_cast<long>(l) * row_words;
      const int cell = 2 * (r + l * q.level_step);
      if (group_count > 0 && cell == next_cell && groups[group_count - 1].size < 4) {
        ++groups[group_count - 1].size;
      } else {
        groups[group_count++] = GroupPlan{p, 1, cell};
      }
      next_cell = cell + 2;
    }
    for (int m = 0; m < q.marker_count; ++m) {
      const std::uint64_t* levels = q.planes + m * q.marker_stride_words;
      std::uint32_t* out = q.counts + static_cast<long>(m) * q.counts_per_marker;
      for (int g = 0; g < group_count; ++g) {
        const GroupPlan& group = groups[g];
        const std::uint64_t* level_of[4];
        for (int i = 0; i < group.size; ++i) level_of[i] = levels + level_at[group.first_pair + i];
        storeCounts(out + group.cell,
                    countGroup<kControlVectors, kCaseVectors>(row_of + group.first_pair, level_of, group.size,
                                                              case_offset, control_vectors, case_vectors),
                    group.size);
      }
    }
  }
}

using Kernel = void (*)(const CountRequest&, const PlaneShape&);

// Unrolled versions for 1-4 vectors per class, [controls - 1][cases - 1].
constexpr Kernel kUnrolled[4][4] = {
    {countCells<1, 1>, countCells<1, 2>, countCells<1, 3>, countCells<1, 4>},
    {countCells<2, 1>, countCells<2, 2>, countCells<2, 3>, countCells<2, 4>},
    {countCells<3, 1>, countCells<3, 2>, countCells<3, 3>, countCells<3, 4>},
    {countCells<4, 1>, countCells<4, 2>, countCells<4, 3>, countCells<4, 4>},
};

}  // namespace

GORVA_AVX512 void countCellsAvx512(const CountRequest& q, const PlaneShape& shape) {
  const int control_vectors = shape.control_words / 8;
  const int case_vectors = shape.case_words / 8;
  if (control_vectors >= 1 && control_vectors <= 4 && case_vectors >= 1 && case_vectors <= 4) {
    kUnrolled[control_vectors - 1][case_vectors - 1](q, shape);
  } else {
    countCells<0, 0>(q, shape);
  }
}
