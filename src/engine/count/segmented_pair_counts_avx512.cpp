// The joint walk over every stratum's pair tables with the vector popcount
// of AVX-512 (VPOPCNTQ), on rows packed as whole words: a cell costs an
// AND, a VPOPCNTQ and a 64-bit add per word, against two lookups and their
// adds per nibble row with AVX2, and a word is read once, not joined from
// two rows twice its size. With counters in 64-bit lanes (no byte sums to
// fold) a segment is one piece, however long. Two groups share a 512-bit
// register (one load and one insertion per level and word), so that the
// nine cells of four groups stay in registers beside the three broadcast
// rows: on CPUs that run 512-bit operations at full width (Zen 5) a cell
// of eight pairs costs what one of four did.
#include <immintrin.h>

#include "engine/count/pair_free_counts.h"
#include "engine/count/segmented_pair_counts.h"
#include "engine/count/simd_targets.h"

// GCC 12 takes the undefined upper half of a widened register for an
// uninitialised variable (a false positive).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace {

constexpr int kLevels = 3;
constexpr int kCells = kLevels * kLevels;
constexpr int kRecordWords = kLevels * kPairLanes;

// The segments of 2 kJoined groups from `group` on (pairs 4 g ..), groups
// 2 j and 2 j + 1 side by side in one register (lanes 0-3 and 4-7). With
// kAlone, the request's last group when their count is odd: its partner's
// lanes are zeros, not the next group's words, and so are its counts.
template <int kJoined, bool kAlone = false>
GORVA_TARGET_AVX512 GORVA_INLINE void countJoinedGroups(const SegmentedPairRequest& q, const std::uint64_t* first,
                                                        const std::uint64_t* group, int g) {
  const SegmentedPlanes& planes = *q.planes;
  const int segments = 2 * planes.strata;
  const long group_words = planes.group_words;
  // A block of eight pairs holds pair t of its first group beside pair t of
  // its second (segmentedPairSlot): the low halves of lanes t and 4 + t (the
  // sums stay below 2^32) next to each other, in one permute.
  const __m512i interleave = _mm512_setr_epi32(0, 8, 2, 10, 4, 12, 6, 14, 0, 0, 0, 0, 0, 0, 0, 0);
  for (int segment = 0; segment < segments; ++segment) {
    int* counts = q.counts + (segment / 2) * q.stratum_ints + freeCountAt(kWholePairCounts, 4L * g, segment % 2);
    __m512i sums[kJoined][kCells];
    for (int j = 0; j < kJoined; ++j)
      for (int e = 0; e < kCells; ++e) sums[j][e] = _mm512_setzero_si512();
    const int end = planes.segment_first[segment + 1];
    for (int w = planes.segment_first[segment]; w < end; ++w) {
      const std::uint64_t* x = first + static_cast<long>(kRecordWords) * w;
      __m512i rows[kLevels];
      for (int a = 0; a < kLevels; ++a) rows[a] = _mm512_set1_epi64(static_cast<long long>(x[a * kPairLanes]));
      for (int j = 0; j < kJoined; ++j) {
        const std::uint64_t* y = group + 2 * j * group_words + static_cast<long>(kRecordWords) * w;
        for (int b = 0; b < kLevels; ++b) {
          const __m256i low = _mm256_load_si256(reinterpret_cast<const __m256i*>(y + b * kPairLanes));
          const __m512i level =
              kAlone ? _mm512_zextsi256_si512(low)
                     : _mm512_inserti64x4(_mm512_castsi256_si512(low),
                                          _mm256_load_si256(reinterpret_cast<const __m256i*>(y + group_words + b * kPairLanes)), 1);
          for (int a = 0; a < kLevels; ++a) {
            __m512i& sum = sums[j][a + kLevels * b];
            sum = _mm512_add_epi64(sum, _mm512_popcnt_epi64(_mm512_and_si512(rows[a], level)));
          }
        }
      }
    }
    for (int j = 0; j < kJoined; ++j) {
      for (int e = 0; e < kCells; ++e) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(counts + j * kPairBlock * kWholePairCounts + kPairBlock * 2 * e),
                            _mm512_castsi512_si256(_mm512_permutexvar_epi32(interleave, sums[j][e])));
      }
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
  for (; g + 3 < q.groups; g += 4) countJoinedGroups<2>(q, first, groups + g * planes.group_words, g);
  for (; g + 1 < q.groups; g += 2) countJoinedGroups<1>(q, first, groups + g * planes.group_words, g);
  if (g < q.groups) countJoinedGroups<1, true>(q, first, groups + g * planes.group_words, g);
}
