// The AVX-512 kernel: 512-bit AND + VPOPCNTQ. Four (row, level) pairs give
// eight class accumulators, whose horizontal sums are formed together by one
// transposing reduction instead of eight separate ones.
#include <immintrin.h>

#include <cstdint>

#include "engine/kernel_dispatch.h"

#define GORVA_AVX512 __attribute__((target("avx512f,avx512bw,avx512vpopcntdq")))

// GCC 12 takes the undefined pass-through operand of the unmasked shuffle and
// conversion intrinsics for an uninitialised variable (a false positive).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace {

GORVA_AVX512 inline __m512i andPopcountVectors(const std::uint64_t* a, const std::uint64_t* b,
                                               int vectors) {
  __m512i sum = _mm512_setzero_si512();
  for (int v = 0; v < vectors; ++v) {
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

}  // namespace

GORVA_AVX512 void countCellsAvx512(const CountRequest& q, const PlaneShape& shape) {
  const int row_words = shape.rowWords();
  const int control_words = shape.control_words;
  const int control_vectors = control_words / 8;
  const int case_vectors = shape.case_words / 8;
  const int pairs = q.row_count * q.level_count;
  for (int m = 0; m < q.marker_count; ++m) {
    const std::uint64_t* levels = q.planes + m * q.marker_stride_words;
    std::uint32_t* out = q.counts + static_cast<long>(m) * q.counts_per_marker;
    for (int first = 0; first < pairs; first += 4) {
      __m512i acc[8];
      int cell_of[4];
      const int group = pairs - first < 4 ? pairs - first : 4;
      for (int g = 0; g < 4; ++g) {
        if (g >= group) {
          acc[2 * g] = acc[2 * g + 1] = _mm512_setzero_si512();
          continue;
        }
        const int r = (first + g) / q.level_count;
        const int l = (first + g) % q.level_count;
        const std::uint64_t* row = q.rows + static_cast<long>(r) * row_words;
        const std::uint64_t* level = levels + static_cast<long>(l) * row_words;
        acc[2 * g] = andPopcountVectors(row, level, control_vectors);
        acc[2 * g + 1] =
            andPopcountVectors(row + control_words, level + control_words, case_vectors);
        cell_of[g] = 2 * (r * q.row_step + l * q.level_step);
      }
      alignas(32) std::uint32_t sums[8];
      _mm256_store_si256(reinterpret_cast<__m256i*>(sums), _mm512_cvtepi64_epi32(sumEachOfEight(acc)));
      for (int g = 0; g < group; ++g) {
        out[cell_of[g]] = sums[2 * g];
        out[cell_of[g] + 1] = sums[2 * g + 1];
      }
    }
  }
}
