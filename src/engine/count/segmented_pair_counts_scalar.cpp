// The joint walk over every stratum's pair tables for CPUs without AVX2:
// the same packed nibble groups and pieces, one 64-bit word at a time. A
// word's low and high nibble rows hold disjoint bits of it, so one popcount
// of their AND with the other marker's, put back together, counts both.
// Built with the POPCNT instruction and without, as the portable cell
// counters are.
#include <cstdint>

#include "engine/count/pair_free_counts.h"
#include "engine/count/segmented_pair_counts.h"
#include "engine/count/simd_targets.h"

namespace {

constexpr int kLevels = 3;
constexpr int kRecordWords = 2 * kLevels * kPairLanes;

GORVA_INLINE std::uint64_t joinNibbles(const std::uint64_t* lane, int level) {
  return lane[2 * level * kPairLanes] | (lane[(2 * level + 1) * kPairLanes] << 4);
}

GORVA_INLINE void countSegmentedPairsWith(const SegmentedPairRequest& q) {
  const SegmentedPlanes& planes = *q.planes;
  const std::uint64_t* first =
      planes.packed.data() + (q.first / kPairLanes) * planes.group_words + q.first % kPairLanes;
  const std::uint64_t* groups = planes.packed.data() + (q.second_base / kPairLanes) * planes.group_words;
  const int pieces = static_cast<int>(planes.piece_segment.size());
  for (int piece = 0; piece < pieces; ++piece) {
    const int segment = planes.piece_segment[piece];
    int* counts = q.counts + (segment / 2) * q.stratum_ints;
    const bool adds = planes.piece_adds[piece] != 0;
    for (int g = 0; g < q.groups; ++g) {
      const std::uint64_t* group = groups + g * planes.group_words;
      int cells[kPairLanes][kLevels * kLevels] = {};
      for (int w = planes.piece_first[piece]; w < planes.piece_first[piece + 1]; ++w) {
        const long record = static_cast<long>(kRecordWords) * w;
        std::uint64_t x[kLevels];
        for (int a = 0; a < kLevels; ++a) x[a] = joinNibbles(first + record, a);
        for (int t = 0; t < kPairLanes; ++t) {
          for (int b = 0; b < kLevels; ++b) {
            const std::uint64_t y = joinNibbles(group + record + t, b);
            for (int a = 0; a < kLevels; ++a) cells[t][a + kLevels * b] += __builtin_popcountll(x[a] & y);
          }
        }
      }
      for (int t = 0; t < kPairLanes; ++t) {
        for (int cell = 0; cell < kLevels * kLevels; ++cell) {
          int& out = counts[freeCountAt(kWholePairCounts, segmentedPairSlot(4L * g + t), 2 * cell + segment % 2)];
          out = adds ? out + cells[t][cell] : cells[t][cell];
        }
      }
    }
  }
}

}  // namespace

void countSegmentedPairsScalar(const SegmentedPairRequest& request) { countSegmentedPairsWith(request); }

GORVA_TARGET_POPCNT void countSegmentedPairsScalarPopcnt(const SegmentedPairRequest& request) {
  countSegmentedPairsWith(request);
}
