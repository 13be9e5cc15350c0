#include "engine/count/segmented_pair_counts.h"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>

#include "engine/count/pair_free_counts.h"
#include "engine/count/simd_targets.h"

namespace {

constexpr int kLevels = 3;
constexpr int kCells = kLevels * kLevels;
constexpr std::uint64_t kLowNibbles = 0x0F0F0F0F0F0F0F0FULL;
// Words of one sample word of a packed group: 2 nibble rows a level, 4 lanes.
constexpr int kRecordWords = 2 * kLevels * kPairLanes;
// Words whose byte counts (at most 8 a word) a byte holds.
constexpr int kWordsPerByteSum = 31;

// Where a stratum's class c starts in its rows, and the words its samples
// fill; false when its bits are not the first ones of the block (the rows
// are then not what the segments assume).
bool classWords(const BitPlanes& planes, int c, int& start, int& words) {
  const PlaneShape& shape = planes.shape();
  const int samples = planes.everyoneCounts()[c];
  start = c == 0 ? 0 : shape.control_words;
  words = (samples + 63) / 64;
  if (words > (c == 0 ? shape.control_words : shape.case_words)) return false;
  int bits = 0;
  for (int w = 0; w < words; ++w) bits += std::popcount(planes.everyone()[start + w]);
  return bits == samples;
}

// Which markers are complete in every stratum, and each one's levels 0
// and 1 per segment.
void fillLevelTotals(const std::vector<const BitPlanes*>& strata, SegmentedPlanes& out) {
  const int segments = 2 * out.strata;
  out.total_stride = (out.markers + kPairLanes - 1) / kPairLanes * kPairLanes + 2 * kPairLanes;
  out.complete.assign(out.total_stride, 0);
  out.level_totals.assign(2 * segments * out.total_stride, 0);
  out.segment_samples.resize(segments);
  for (int segment = 0; segment < segments; ++segment)
    out.segment_samples[segment] = strata[segment / 2]->everyoneCounts()[segment % 2];
  for (int m = 0; m < out.markers; ++m) {
    bool complete = true;
    for (int segment = 0; segment < segments; ++segment) {
      const BitPlanes& planes = *strata[segment / 2];
      complete = complete && planes.complete(m);
      for (int l = 0; l < 2; ++l)
        out.level_totals[(2L * segment + l) * out.total_stride + m] = planes.marginals(m)[2 * l + segment % 2];
    }
    out.complete[m] = complete ? 1 : 0;
  }
}

}  // namespace

bool buildSegmentedPlanes(const std::vector<const BitPlanes*>& strata, double max_bytes, bool nibbles,
                          SegmentedPlanes& out) {
  if (strata.empty()) return false;
  const int markers = strata[0]->markerCount();
  std::vector<int> start(2 * strata.size());
  out.segment_first.assign(1, 0);
  for (std::size_t s = 0; s < strata.size(); ++s) {
    const BitPlanes& planes = *strata[s];
    if (planes.levels() != kLevels || planes.markerCount() != markers) return false;
    for (int c = 0; c < 2; ++c) {
      int words = 0;
      if (!classWords(planes, c, start[2 * s + c], words)) return false;
      out.segment_first.push_back(out.segment_first.back() + words);
    }
  }
  out.strata = static_cast<int>(strata.size());
  out.markers = markers;
  out.row_words = out.segment_first.back();
  out.piece_first.clear();
  out.piece_segment.clear();
  out.piece_adds.clear();
  for (int segment = 0; segment < 2 * out.strata; ++segment) {
    const int end = out.segment_first[segment + 1];
    int w = out.segment_first[segment];
    do {
      out.piece_adds.push_back(w != out.segment_first[segment]);
      out.piece_first.push_back(w);
      out.piece_segment.push_back(segment);
      w = w + kWordsPerByteSum < end ? w + kWordsPerByteSum : end;
    } while (w < end);
  }
  out.piece_first.push_back(out.row_words);
  fillLevelTotals(strata, out);
  out.nibbles = nibbles;
  out.record_words = (nibbles ? 2 : 1) * kLevels * kPairLanes;
  out.group_words = static_cast<long>(out.record_words) * out.row_words;
  const int groups = (markers + kPairLanes - 1) / kPairLanes;
  const long words = (groups + 1L) * out.group_words;
  if (8.0 * static_cast<double>(words) > max_bytes || !out.packed.reset(words)) return false;
  std::uint64_t* packed = out.packed.data();
  for (int m = 0; m < markers; ++m) {
    std::uint64_t* lane = packed + (m / kPairLanes) * out.group_words + m % kPairLanes;
    for (int segment = 0; segment < 2 * out.strata; ++segment) {
      const BitPlanes& planes = *strata[segment / 2];
      const int row_words = planes.shape().rowWords();
      for (int w = out.segment_first[segment]; w < out.segment_first[segment + 1]; ++w) {
        const int from = start[segment] + w - out.segment_first[segment];
        std::uint64_t* record = lane + static_cast<long>(out.record_words) * w;
        for (int l = 0; l < kLevels; ++l) {
          const std::uint64_t x = planes.marker(m)[static_cast<long>(l) * row_words + from];
          if (!nibbles) {
            record[l * kPairLanes] = x;
            continue;
          }
          record[2 * l * kPairLanes] = x & kLowNibbles;
          record[(2 * l + 1) * kPairLanes] = (x >> 4) & kLowNibbles;
        }
      }
    }
  }
  return true;
}

double segmentedPlanesBytesBound(long long marker_count, const std::vector<long long>& stratum_samples) {
  double row_words = 0;
  for (const long long samples : stratum_samples) row_words += std::max(samples, 0LL) / 64.0 + 2;
  const double groups = std::ceil(std::max(marker_count, 0LL) / static_cast<double>(kPairLanes)) + 1;
  // The pieces, and per marker its completeness and two level totals a
  // segment.
  const double segments = 2.0 * stratum_samples.size();
  const double bookkeeping = 64.0 * (stratum_samples.size() + 1) * sizeof(int) +
                             (groups + 2) * kPairLanes * (1 + 2 * segments * sizeof(int));
  return 8.0 * groups * kRecordWords * row_words + 64 + bookkeeping;
}

long segmentedStratumInts(int pairs) {
  return static_cast<long>(kWholePairCounts) * ((pairs + kPairBlock - 1) / kPairBlock) * kPairBlock;
}

namespace {

// The pieces of kGroups groups from `group` on (pairs 4 g .. of the
// counts): one level of the first marker at a time, so that its byte
// counters, two broadcasts and the table stay in registers (all nine cells
// at once spill), and two groups share the broadcasts and one store of a
// block of eight pairs.
template <int kGroups>
GORVA_TARGET_AVX2 GORVA_INLINE void countGroups(const SegmentedPairRequest& q, const std::uint64_t* first,
                                                const std::uint64_t* group, int g) {
  const SegmentedPlanes& planes = *q.planes;
  const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,  //
                                         0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i zero = _mm256_setzero_si256();
  const int pieces = static_cast<int>(planes.piece_segment.size());
  for (int piece = 0; piece < pieces; ++piece) {
    const int segment = planes.piece_segment[piece];
    int* counts = q.counts + (segment / 2) * q.stratum_ints + freeCountAt(kWholePairCounts, 4L * g, segment % 2);
    const bool adds = planes.piece_adds[piece] != 0;
    const int w0 = planes.piece_first[piece];
    const int w1 = planes.piece_first[piece + 1];
    for (int a = 0; a < kLevels; ++a) {
      __m256i bytes[kGroups][kLevels];
      for (int j = 0; j < kGroups; ++j)
        for (int b = 0; b < kLevels; ++b) bytes[j][b] = zero;
#pragma GCC unroll 1
      for (int w = w0; w < w1; ++w) {
        const std::uint64_t* x = first + static_cast<long>(kRecordWords) * w;
        const __m256i low_row = _mm256_set1_epi64x(static_cast<long long>(x[2 * a * kPairLanes]));
        const __m256i high_row = _mm256_set1_epi64x(static_cast<long long>(x[(2 * a + 1) * kPairLanes]));
        for (int j = 0; j < kGroups; ++j) {
          const __m256i* y =
              reinterpret_cast<const __m256i*>(group + j * planes.group_words + static_cast<long>(kRecordWords) * w);
          for (int b = 0; b < kLevels; ++b) {
            bytes[j][b] = _mm256_add_epi8(
                bytes[j][b], _mm256_shuffle_epi8(table, _mm256_and_si256(low_row, _mm256_load_si256(y + 2 * b))));
            bytes[j][b] = _mm256_add_epi8(
                bytes[j][b],
                _mm256_shuffle_epi8(table, _mm256_and_si256(high_row, _mm256_load_si256(y + 2 * b + 1))));
          }
        }
      }
      for (int b = 0; b < kLevels; ++b) {
        int* out = counts + kPairBlock * 2 * (a + kLevels * b);
        // Sums below 2^32 in 64-bit lanes: the second group's go to the
        // upper halves (slots 2 t + 1), with no second group zero.
        __m256i sums = _mm256_sad_epu8(bytes[0][b], zero);
        if (kGroups == 2) sums = _mm256_or_si256(sums, _mm256_slli_epi64(_mm256_sad_epu8(bytes[1][b], zero), 32));
        if (adds) sums = _mm256_add_epi32(sums, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(out)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), sums);
      }
    }
  }
}

}  // namespace

// As the nibble kernel of unstratified pairs counts a class, but piece by
// piece: a piece's byte sums go out at its last word.
GORVA_TARGET_AVX2 void countSegmentedPairsAvx2(const SegmentedPairRequest& q) {
  const SegmentedPlanes& planes = *q.planes;
  const std::uint64_t* first =
      planes.packed.data() + (q.first / kPairLanes) * planes.group_words + q.first % kPairLanes;
  const std::uint64_t* groups = planes.packed.data() + (q.second_base / kPairLanes) * planes.group_words;
  int g = 0;
  // Group pairs start blocks of eight pairs.
  for (; g + 1 < q.groups; g += 2) countGroups<2>(q, first, groups + g * planes.group_words, g);
  if (g < q.groups) countGroups<1>(q, first, groups + g * planes.group_words, g);
}
