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

// The five cells of complete markers that lie on a last level, from the
// four below both (cell a + 3 b, a the first marker's level): a row's or a
// column's total less its counted cells. kAlone: lanes 4-7 stay zero.
template <int kJoined, bool kAlone>
GORVA_TARGET_AVX512 GORVA_INLINE void deriveLastLevels(const SegmentedPairRequest& q, int segment, int g,
                                                       __m512i (*sums)[kCells]) {
  const SegmentedPlanes& planes = *q.planes;
  const int* levels = planes.level_totals.data() + 2L * segment * planes.total_stride;
  const __m512i first0 = _mm512_set1_epi64(levels[q.first]);
  const __m512i first1 = _mm512_set1_epi64(levels[planes.total_stride + q.first]);
  const __m512i first2 =
      _mm512_sub_epi64(_mm512_sub_epi64(_mm512_set1_epi64(planes.segment_samples[segment]), first0), first1);
  const __mmask8 lanes = kAlone ? 0x0F : 0xFF;
  for (int j = 0; j < kJoined; ++j) {
    const long second = q.second_base + kPairLanes * (g + 2L * j);
    const __m512i second0 = _mm512_cvtepi32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(levels + second)));
    const __m512i second1 = _mm512_cvtepi32_epi64(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(levels + planes.total_stride + second)));
    __m512i* c = sums[j];
    c[2] = _mm512_maskz_sub_epi64(lanes, _mm512_sub_epi64(second0, c[0]), c[1]);
    c[5] = _mm512_maskz_sub_epi64(lanes, _mm512_sub_epi64(second1, c[3]), c[4]);
    c[6] = _mm512_maskz_sub_epi64(lanes, _mm512_sub_epi64(first0, c[0]), c[3]);
    c[7] = _mm512_maskz_sub_epi64(lanes, _mm512_sub_epi64(first1, c[1]), c[4]);
    c[8] = _mm512_maskz_sub_epi64(lanes, _mm512_sub_epi64(first2, c[2]), c[5]);
  }
}

// The segments of 2 kJoined groups from `group` on (pairs 4 g ..), groups
// 2 j and 2 j + 1 side by side in one register (lanes 0-3 and 4-7). With
// kAlone, the request's last group when their count is odd: its partner's
// lanes are zeros, not the next group's words, and so are its counts. With
// kFree, the first marker and every second one complete: only the four
// cells below both last levels are counted, the other five follow from the
// markers' level totals in the segment (less than half the work).
template <int kJoined, bool kAlone = false, bool kFree = false>
GORVA_TARGET_AVX512 GORVA_INLINE void countJoinedGroups(const SegmentedPairRequest& q, const std::uint64_t* first,
                                                        const std::uint64_t* group, int g) {
  constexpr int kRows = kFree ? kLevels - 1 : kLevels;
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
      __m512i rows[kRows];
      for (int a = 0; a < kRows; ++a) rows[a] = _mm512_set1_epi64(static_cast<long long>(x[a * kPairLanes]));
      for (int j = 0; j < kJoined; ++j) {
        const std::uint64_t* y = group + 2 * j * group_words + static_cast<long>(kRecordWords) * w;
        for (int b = 0; b < kRows; ++b) {
          const __m256i low = _mm256_load_si256(reinterpret_cast<const __m256i*>(y + b * kPairLanes));
          const __m512i level =
              kAlone ? _mm512_zextsi256_si512(low)
                     : _mm512_inserti64x4(_mm512_castsi256_si512(low),
                                          _mm256_load_si256(reinterpret_cast<const __m256i*>(y + group_words + b * kPairLanes)), 1);
          for (int a = 0; a < kRows; ++a) {
            __m512i& sum = sums[j][a + kLevels * b];
            sum = _mm512_add_epi64(sum, _mm512_popcnt_epi64(_mm512_and_si512(rows[a], level)));
          }
        }
      }
    }
    if constexpr (kFree) deriveLastLevels<kJoined, kAlone>(q, segment, g, sums);
    for (int j = 0; j < kJoined; ++j) {
      for (int e = 0; e < kCells; ++e) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(counts + j * kPairBlock * kWholePairCounts + kPairBlock * 2 * e),
                            _mm512_castsi512_si256(_mm512_permutexvar_epi32(interleave, sums[j][e])));
      }
    }
  }
}

// Whether the first marker and the second markers of `groups` groups from
// group g on are complete (countJoinedGroups' kFree).
inline bool allComplete(const SegmentedPairRequest& q, int g, int groups) {
  const unsigned char* complete = q.planes->complete.data();
  unsigned char all = complete[q.first];
  const int from = q.second_base + kPairLanes * g;
  for (int m = from; m < from + kPairLanes * groups; ++m) all &= complete[m];
  return all != 0;
}

// countJoinedGroups over `groups` groups from g on, by their four cells
// where every marker is complete.
template <int kJoined, bool kAlone>
GORVA_TARGET_AVX512 GORVA_INLINE void countGroupsAt(const SegmentedPairRequest& q, const std::uint64_t* first,
                                                    const std::uint64_t* group, int g, int groups) {
  if (allComplete(q, g, groups)) {
    countJoinedGroups<kJoined, kAlone, true>(q, first, group, g);
  } else {
    countJoinedGroups<kJoined, kAlone>(q, first, group, g);
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
  for (; g + 3 < q.groups; g += 4) countGroupsAt<2, false>(q, first, groups + g * planes.group_words, g, 4);
  for (; g + 1 < q.groups; g += 2) countGroupsAt<1, false>(q, first, groups + g * planes.group_words, g, 2);
  if (g < q.groups) countGroupsAt<1, true>(q, first, groups + g * planes.group_words, g, 1);
}
