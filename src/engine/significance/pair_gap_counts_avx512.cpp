// The counted samples at eight pairs' gaps with the vector popcount of
// AVX-512: a word of the eight pairs' masks is one load from its row, ANDed
// with the entry's gaps and counted in one instruction, where the portable
// kernel pays ten scalar popcounts a pair.
#include <immintrin.h>

#include "engine/count/simd_targets.h"
#include "engine/significance/pair_class_counter.h"

GORVA_TARGET_AVX512 void gapCountsAvx512(const GapCountRequest& request,
                                         int (*counts)[kGapCounts][kPairBlock]) {
  const __mmask8 live =
      static_cast<__mmask8>(((1U << request.hi) - 1) & ~((1U << request.lo) - 1));
  const long first_pair = request.at + request.pair;
  __m512i words[PairGapMaskRows::kWords];
  for (int w = 0; w < PairGapMaskRows::kWords; ++w)
    words[w] = _mm512_maskz_loadu_epi64(live, request.masks->row(w) + first_pair);
  // The eight second markers' entries, class 0 and 1 interleaved, split.
  const std::uint64_t* const second = request.entries + 2L * (request.second + request.pair);
  const __m512i low = _mm512_loadu_si512(second);
  const __m512i high = _mm512_loadu_si512(second + kPairBlock);
  const __m512i evens = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
  const __m512i odds = _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15);
  // (The masked narrowing: GCC 12 warns about the unmasked one's undefined
  // source.)
  const auto count = [](__m512i a, __m512i b, int* out) GORVA_TARGET_AVX512 {
    _mm256_store_si256(reinterpret_cast<__m256i*>(out),
                       _mm512_maskz_cvtepi64_epi32(0xFF, _mm512_popcnt_epi64(_mm512_and_si512(a, b))));
  };
  for (int cls = 0; cls < 2; ++cls) {
    const __m512i in_first =
        _mm512_set1_epi64(static_cast<long long>(request.entries[2L * request.first + cls]));
    const __m512i in_second = _mm512_permutex2var_epi64(low, cls == 0 ? evens : odds, high);
    for (int b = 0; b < 2; ++b) count(words[3 + b], in_first, counts[cls][b]);
    for (int a = 0; a < kPairLevels; ++a) count(words[a], in_second, counts[cls][2 + a]);
  }
}
