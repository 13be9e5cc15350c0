// The joint walk over every stratum's pair tables with the vector popcount
// of AVX-512 (VPOPCNTQ), on rows packed as whole words: a cell costs an
// AND, a VPOPCNTQ and a 64-bit add per word, against two lookups and their
// adds per nibble row with AVX2, and a word is read once, not joined from
// two rows twice its size. With counters in 64-bit lanes (no byte sums to
// fold) a segment is one piece, however long, and all nine cells of two
// groups stay in registers beside the three broadcast rows.
#include <immintrin.h>

#include "engine/count/pair_free_counts.h"
#include "engine/count/segmented_pair_counts.h"
#include "engine/count/simd_targets.h"

namespace {

constexpr int kLevels = 3;
constexpr int kCells = kLevels * kLevels;
constexpr int kRecordWords = kLevels * kPairLanes;

// The segments of kGroups groups from `group` on (pairs 4 g .. of the
// counts); two groups share the broadcasts and one store of a block of
// eight pairs.
template <int kGroups>
GORVA_TARGET_AVX512 GORVA_INLINE void countGroups(const SegmentedPairRequest& q, const std::uint64_t* first,
                                                  const std::uint64_t* group, int g) {
  const SegmentedPlanes& planes = *q.planes;
  const int segments = 2 * planes.strata;
  const long group_words = planes.group_words;
  for (int segment = 0; segment < segments; ++segment) {
    int* counts = q.counts + (segment / 2) * q.stratum_ints + freeCountAt(kWholePairCounts, 4L * g, segment % 2);
    __m256i sums[kGroups][kCells];
    for (int j = 0; j < kGroups; ++j)
      for (int e = 0; e < kCells; ++e) sums[j][e] = _mm256_setzero_si256();
    const int end = planes.segment_first[segment + 1];
    for (int w = planes.segment_first[segment]; w < end; ++w) {
      const std::uint64_t* x = first + static_cast<long>(kRecordWords) * w;
      __m256i rows[kLevels];
      for (int a = 0; a < kLevels; ++a) rows[a] = _mm256_set1_epi64x(static_cast<long long>(x[a * kPairLanes]));
      for (int j = 0; j < kGroups; ++j) {
        const __m256i* y = reinterpret_cast<const __m256i*>(group + j * group_words + static_cast<long>(kRecordWords) * w);
        for (int b = 0; b < kLevels; ++b) {
          const __m256i level = _mm256_load_si256(y + b);
          for (int a = 0; a < kLevels; ++a) {
            __m256i& sum = sums[j][a + kLevels * b];
            sum = _mm256_add_epi64(sum, _mm256_popcnt_epi64(_mm256_and_si256(rows[a], level)));
          }
        }
      }
    }
    for (int e = 0; e < kCells; ++e) {
      // Sums below 2^32 in 64-bit lanes: the second group's low halves go to
      // the first's upper halves (slots 2 t + 1) in one masked shuffle, with
      // no second group zero.
      __m256i both = sums[0][e];
      if constexpr (kGroups == 2) both = _mm256_mask_shuffle_epi32(both, 0xAA, sums[1][e], static_cast<_MM_PERM_ENUM>(0xA0));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(counts + kPairBlock * 2 * e), both);
    }
  }
}

}  // namespace

GORVA_TARGET_AVX512 void countSegmentedPairsAvx512(const SegmentedPairRequest& q) {
  const SegmentedPlanes& planes = *q.planes;
  const std::uint64_t* first =
      planes.packed.data() + (q.first / kPairLanes) * planes.group_words + q.first % kPairLanes;
  const std::uint64_t* groups = planes.packed.data() + (q.second_base / kPairLanes) * planes.group_words;
  int g = 0;
  // Group pairs start blocks of eight pairs.
  for (; g + 1 < q.groups; g += 2) countGroups<2>(q, first, groups + g * planes.group_words, g);
  if (g < q.groups) countGroups<1>(q, first, groups + g * planes.group_words, g);
}
