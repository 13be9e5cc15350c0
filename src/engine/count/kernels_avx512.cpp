// The AVX-512 kernel: 512-bit AND + VPOPCNTQ. Four (row, level) pairs whose
// cells are consecutive give eight class accumulators, whose horizontal sums
// are formed together by one transposing reduction and stored as eight
// consecutive counts. Three tiers of the same computation:
// - the common shapes of orders 2 and 3 for balanced designs of up to 4,000
//   samples (1-4 vectors per class; 2,000 samples are two), fixed at compile
//   time: no loop, pointer or branch is left to run time, so every
//   accumulator lives in a register;
// - other shapes with those vector counts: a per-request plan of groups;
// - any other rows: the same plan with vector loops of run-time length.
#include <immintrin.h>

#include <cstdint>

#include "engine/count/kernel_dispatch.h"
#include "engine/count/simd_targets.h"

// GCC 12 takes the undefined pass-through operand of the unmasked shuffle and
// conversion intrinsics for an uninitialised variable (a false positive).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace {

// popcount(a AND b) summed per 64-bit lane over `vectors` vectors; a fixed
// count (kVectors > 0) unrolls the loop.
template <int kVectors>
GORVA_TARGET_AVX512 inline __m512i andPopcount(const std::uint64_t* a, const std::uint64_t* b,
                                        int vectors) {
  const int n = kVectors > 0 ? kVectors : vectors;
  __m512i sum = _mm512_setzero_si512();
#pragma GCC unroll 4
  for (int v = 0; v < n; ++v) {
    const __m512i x =
        _mm512_and_si512(_mm512_loadu_si512(a + 8 * v), _mm512_loadu_si512(b + 8 * v));
    sum = _mm512_add_epi64(sum, _mm512_popcnt_epi64(x));
  }
  return sum;
}

// Lane i of the result is the sum of the eight lanes of acc[i].
GORVA_TARGET_AVX512 inline __m512i sumEachOfEight(const __m512i* acc) {
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
GORVA_TARGET_AVX512 inline void storeCounts(std::uint32_t* out, __m512i sums, int group) {
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
GORVA_TARGET_AVX512 inline __m512i countFixedGroup(const std::uint64_t* const* rows,
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
GORVA_TARGET_AVX512 inline __m512i countGroup(const std::uint64_t* const* rows,
                                       const std::uint64_t* const* levels, int group,
                                       int case_offset, int control_vectors, int case_vectors) {
  switch (group) {
    case 1:
      return countFixedGroup<1, kControlVectors, kCaseVectors>(rows, levels, case_offset,
                                                               control_vectors, case_vectors);
    case 2:
      return countFixedGroup<2, kControlVectors, kCaseVectors>(rows, levels, case_offset,
                                                               control_vectors, case_vectors);
    case 3:
      return countFixedGroup<3, kControlVectors, kCaseVectors>(rows, levels, case_offset,
                                                               control_vectors, case_vectors);
    default:
      return countFixedGroup<4, kControlVectors, kCaseVectors>(rows, levels, case_offset,
                                                               control_vectors, case_vectors);
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
GORVA_TARGET_AVX512 void countCells(const CountRequest& q, const PlaneShape& shape) {
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
                    countGroup<kControlVectors, kCaseVectors>(row_of + group.first_pair, level_of,
                                                              group.size, case_offset,
                                                              control_vectors, case_vectors),
                    group.size);
      }
    }
  }
}

// The same for a marker shape fixed at compile time (kRows rows against
// kLevels levels, the common shapes of orders 2 and 3) and vectors per class
// fixed too: every pair, pointer and store is resolved at compile time, so
// the accumulators live in registers and groups of four pairs run on across
// levels.
template <int kControlVectors, int kCaseVectors, int kRows, int kLevels>
GORVA_TARGET_AVX512 void countFixedShape(const CountRequest& q, const PlaneShape&) {
  constexpr int kRowWords = 8 * (kControlVectors + kCaseVectors);
  constexpr int kCaseOffset = 8 * kControlVectors;
  constexpr int kPairs = kRows * kLevels;
  constexpr int kAccumulators = (2 * kPairs + 7) / 8 * 8;
  const int step = q.level_step;
  const bool one_block = step == kRows;
  for (int m = 0; m < q.marker_count; ++m) {
    const std::uint64_t* levels = q.planes + m * q.marker_stride_words;
    std::uint32_t* out = q.counts + static_cast<long>(m) * q.counts_per_marker;
    __m512i acc[kAccumulators];
#pragma GCC unroll 64
    for (int p = 0; p < kPairs; ++p) {
      const std::uint64_t* row = q.rows + (p % kRows) * kRowWords;
      const std::uint64_t* level = levels + (p / kRows) * kRowWords;
      acc[2 * p] = andPopcount<kControlVectors>(row, level, kControlVectors);
      acc[2 * p + 1] =
          andPopcount<kCaseVectors>(row + kCaseOffset, level + kCaseOffset, kCaseVectors);
    }
#pragma GCC unroll 8
    for (int e = 2 * kPairs; e < kAccumulators; ++e) acc[e] = _mm512_setzero_si512();
#pragma GCC unroll 16
    for (int g = 0; g < kAccumulators / 8; ++g) {
      const __m512i sums = sumEachOfEight(acc + 8 * g);
      const int group = kPairs - 4 * g < 4 ? kPairs - 4 * g : 4;
      if (one_block) {
        storeCounts(out + 8 * g, sums, group);
        continue;
      }
      // Each pair's two counts to its own cell.
      const __m256i counts = _mm512_cvtepi64_epi32(sums);
      const __m128i halves[2] = {_mm256_castsi256_si128(counts),
                                 _mm256_extracti128_si256(counts, 1)};
#pragma GCC unroll 4
      for (int i = 0; i < group; ++i) {
        const int p = 4 * g + i;
        auto* cell = reinterpret_cast<__m128i*>(out + 2 * (p % kRows + (p / kRows) * step));
        const __m128i half = halves[i / 2];
        _mm_storel_epi64(cell, i % 2 == 0 ? half : _mm_unpackhi_epi64(half, half));
      }
    }
  }
}

using Kernel = void (*)(const CountRequest&, const PlaneShape&);

// The fixed-shape version of a marker shape when there is one, else the
// per-level one.
template <int kControlVectors, int kCaseVectors>
Kernel kernelForShape(int rows, int levels) {
  if (rows == 3 && levels == 3) return countFixedShape<kControlVectors, kCaseVectors, 3, 3>;
  if (rows == 2 && levels == 3) return countFixedShape<kControlVectors, kCaseVectors, 2, 3>;
  if (rows == 3 && levels == 2) return countFixedShape<kControlVectors, kCaseVectors, 3, 2>;
  if (rows == 2 && levels == 2) return countFixedShape<kControlVectors, kCaseVectors, 2, 2>;
  if (rows == 9 && levels == 3) return countFixedShape<kControlVectors, kCaseVectors, 9, 3>;
  if (rows == 9 && levels == 2) return countFixedShape<kControlVectors, kCaseVectors, 9, 2>;
  return countCells<kControlVectors, kCaseVectors>;
}

// Vectors per class with compiled versions: the balanced designs up to
// 4,000 samples (numbers of cases and controls in the same vector or the
// next). A key names one shape only while both counts are below
// kKeyedVectors: a class of thousands beside one of hundreds would
// otherwise take another shape's kernel.
constexpr int kKeyedVectors = 8;
constexpr int shapeKey(int control_vectors, int case_vectors) {
  return control_vectors * kKeyedVectors + case_vectors;
}

Kernel unrolledKernel(int control_vectors, int case_vectors, int rows, int levels) {
  if (control_vectors >= kKeyedVectors || case_vectors >= kKeyedVectors) return nullptr;
  switch (shapeKey(control_vectors, case_vectors)) {
    case shapeKey(1, 1):
      return kernelForShape<1, 1>(rows, levels);
    case shapeKey(1, 2):
      return kernelForShape<1, 2>(rows, levels);
    case shapeKey(2, 1):
      return kernelForShape<2, 1>(rows, levels);
    case shapeKey(2, 2):
      return kernelForShape<2, 2>(rows, levels);
    case shapeKey(2, 3):
      return kernelForShape<2, 3>(rows, levels);
    case shapeKey(3, 2):
      return kernelForShape<3, 2>(rows, levels);
    case shapeKey(3, 3):
      return kernelForShape<3, 3>(rows, levels);
    case shapeKey(3, 4):
      return kernelForShape<3, 4>(rows, levels);
    case shapeKey(4, 3):
      return kernelForShape<4, 3>(rows, levels);
    case shapeKey(4, 4):
      return kernelForShape<4, 4>(rows, levels);
    default:
      return nullptr;
  }
}

}  // namespace

GORVA_TARGET_AVX512 void countCellsAvx512(const CountRequest& q, const PlaneShape& shape) {
  const Kernel kernel =
      unrolledKernel(shape.control_words / 8, shape.case_words / 8, q.row_count, q.level_count);
  if (kernel != nullptr) {
    kernel(q, shape);
  } else {
    countCells<0, 0>(q, shape);
  }
}
