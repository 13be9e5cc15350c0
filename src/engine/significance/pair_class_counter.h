// Count tables of pairs of markers from planes where every marker misses
// few samples (a permutation's counted class, or the run's, at a few
// percent missing).
//
// The cells of the second marker's last level are not counted. A cell
// (a, last) is the first marker's samples at level a, less its counted
// cells (a, b), less the samples at level a that have no level at the
// second marker. Those are few: each marker keeps the list of its samples
// without a level (its gaps), and the first marker's levels, decoded once
// per run of pairs that share it, are looked up at the second marker's
// gaps. Where the pair kernel runs, the first marker's last level is left
// out too and derived the same way, from the second marker's levels at the
// first marker's gaps, read four second markers at a time from their packed
// words. The counts stay exact integers: the same tables as CellCounter.
#ifndef GORVA_ENGINE_SIGNIFICANCE_PAIR_CLASS_COUNTER_H
#define GORVA_ENGINE_SIGNIFICANCE_PAIR_CLASS_COUNTER_H

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/count/bitplanes.h"
#include "engine/count/kernel_dispatch.h"
#include "engine/count/nibble_pair_counts.h"
#include "engine/count/pair_free_counts.h"
#include "engine/significance/pair_wide_counts.h"

// Per marker, the bit positions of the listed samples that have no level at
// that marker (the controls' words first, then the cases'). Built once per
// planes and shared by every counter of them. Kept only while they average
// at most one per row word: beyond that their lookups cost about what the
// counts they save, and every cell is counted.
class LevelGaps {
 public:
  explicit LevelGaps(const BitPlanes& planes);

  bool usable() const { return usable_; }
  // Whether every marker's gaps fit the bits of one word (PairGapMasks).
  bool fitMasks() const { return usable_ && most_ <= 64; }
  const std::uint32_t* begin(int marker) const { return positions_.data() + offsets_[marker]; }
  const std::uint32_t* end(int marker) const { return positions_.data() + offsets_[marker + 1]; }
  static double bytesBound(double marker_count, double row_words);

 private:
  bool usable_ = false;
  long most_ = 0;  // gaps of one marker, at most
  std::vector<long> offsets_;  // per marker, and one past the last
  std::vector<std::uint32_t> positions_;
};

// Levels at gaps of one pair, as bits over the gaps in list order: which
// level the first marker has at each gap of the second, and whether the
// second has level 0 or 1 at each gap of the first. They depend on the
// genotypes only, so a walk over the run's planes records them once, and
// the walks over any subset of its samples (a permutation's counted class)
// count their levels at gaps by ANDing them with that subset's gaps.
struct PairGapMasks {
  std::uint64_t first_levels[3];
  std::uint64_t second_levels[2];
};

// The masks of a walk's pairs word by word: word w of pair i (first_levels
// 0..2, then second_levels 0..1) at row(w)[i], so that a vector loads a word
// of consecutive pairs at once. Rows have room for a group of eight pairs
// before the first and after the last.
class PairGapMaskRows {
 public:
  static constexpr int kWords = 5;
  static constexpr long kMargin = 8;

  // A recording walk sets every pair's words: only the margins, which
  // vectors read past a walk's first and last pair, are cleared, not the
  // whole block's rows again per block.
  void resize(long pairs) {
    stride_ = pairs + 2 * kMargin;
    words_.resize(static_cast<std::size_t>(kWords * stride_));
    for (int w = 0; w < kWords; ++w) {
      std::fill_n(words_.begin() + w * stride_, kMargin, 0);
      std::fill_n(words_.begin() + w * stride_ + kMargin + pairs, kMargin, 0);
    }
  }
  const std::uint64_t* row(int w) const { return words_.data() + w * stride_ + kMargin; }
  std::uint64_t* row(int w) { return words_.data() + w * stride_ + kMargin; }
  PairGapMasks at(long i) const {
    PairGapMasks masks;
    for (int a = 0; a < 3; ++a) masks.first_levels[a] = row(a)[i];
    for (int b = 0; b < 2; ++b) masks.second_levels[b] = row(3 + b)[i];
    return masks;
  }
  void set(long i, const PairGapMasks& masks) {
    for (int a = 0; a < 3; ++a) words_[a * stride_ + kMargin + i] = masks.first_levels[a];
    for (int b = 0; b < 2; ++b) words_[(3 + b) * stride_ + kMargin + i] = masks.second_levels[b];
  }

 private:
  long stride_ = 0;
  std::vector<std::uint64_t> words_;
};

// Per marker and entry c of planes of a subset of the run's samples (2 m +
// c), the gaps of the run's planes whose sample is in that entry: bit i for
// gap i of the marker; eight markers of zeros past the last. `entries` gives each subset sample's entry, `samples`
// the run's sample behind it.
std::vector<std::uint64_t> gapEntryMasks(const BitPlanes& run_planes, const LevelGaps& run_gaps,
                                         int sample_count, const std::vector<int>& samples,
                                         const std::vector<unsigned char>& entries);

// The counted samples at the gaps of eight pairs that share their first
// marker, side by side: counts[c][k][t] for lane t (pair j = pair + t of a
// stretch whose pair 0 is the walk's pair `at`, its second marker second +
// j) and class entry c, k = b for level b of the second marker at the first
// one's gaps, k = 2 + a for level a of the first at the second one's gaps.
// Lanes outside [lo, hi) get zero. `entries` (gapEntryMasks) has room for
// eight markers past the last.
constexpr int kGapCounts = 5;
struct GapCountRequest {
  const PairGapMaskRows* masks = nullptr;
  const std::uint64_t* entries = nullptr;
  long at = 0;
  int first = 0;
  int second = 0;
  int pair = 0;
  int lo = 0;
  int hi = 0;
};
using GapCountsKernel = void (*)(const GapCountRequest& request,
                                 int (*counts)[kGapCounts][kPairBlock]);
void gapCountsScalar(const GapCountRequest& request, int (*counts)[kGapCounts][kPairBlock]);
// AVX2's: four pairs a vector, the nibble table's popcount.
void gapCountsAvx2(const GapCountRequest& request, int (*counts)[kGapCounts][kPairBlock]);
// AVX-512's: a vector popcount counts the eight pairs at once.
void gapCountsAvx512(const GapCountRequest& request, int (*counts)[kGapCounts][kPairBlock]);
// The kernel of a path.
GapCountsKernel gapCountsKernel(SimdPath path);

// Genotype levels the counter serves: 0, 1, 2 (a code of its own for
// missing makes every marker complete, and CellCounter derives those).
constexpr int kPairLevels = 3;

class PairClassCounter {
 public:
  // Room before a by-cell row's first pair: its first group of eight may
  // start up to three lanes before it.
  static constexpr int kByCellLead = 8;
  // Levels a packed group holds (0 and 1: the last one is derived), and the
  // words of one sample word of a group: each level's low and high nibbles
  // for four markers.
  static constexpr int kNibbleLevels = 2;
  static constexpr long kRecordWords = 2 * kNibbleLevels * kPairLanes;

  // Whether pairs over planes of `levels` levels are counted this way.
  static bool serves(int levels, int order) { return order == 2 && levels == kPairLevels; }

  // With a pair kernel (null: none on this path) and usable gaps, only the
  // cells below both markers' last levels are counted, from nibble rows,
  // second markers four to a register, and the first marker's last level is
  // derived as the second's is, from the second marker's levels at the
  // first one's gaps.
  PairClassCounter(const BitPlanes& planes, const LevelGaps& gaps, CountCellsKernel kernel,
                   NibblePairKernel pair_kernel);

  static constexpr int cells() { return kPairLevels * kPairLevels; }
  // Bytes one counter holds at most over rows of `row_words` words.
  static double bytesBound(double row_words, double marker_count);

  // The pairs from `first` (2 ints) on, `count` of them in lexicographic
  // order, handed over as CellCounter::forEachFrom hands them: visit(at, n,
  // tables) gets pairs at .. at + n - 1 (sharing their first marker), 2 *
  // cells() ints each (entry 2c + class, c = first level + levels * second
  // level); a visit returning false ends the walk.
  template <class Visit>
  void forEachFrom(const int* first, int count, Visit&& visit) {
    forEachFrom(first, count, 0, planes_.markerCount(), visit);
  }
  // The same walk's pairs whose second marker is in [second_begin,
  // second_end) only (second_begin a multiple of kPairBlock), so that
  // several walks over the same pairs can take turns a slice of second
  // markers at a time and share what they read per pair while it is in
  // cache. Only the last slice's pairs are given to combinationAt.
  template <class Visit>
  void forEachFrom(const int* first, int count, int second_begin, int second_end, Visit&& visit);
  // Second markers one walk holds in cache at once (a multiple of
  // kPairBlock): the slices worth taking turns over.
  int blockMarkers() const { return block_markers_; }
  // From the next walk on, and only with usable gaps: with
  // `record`, writes every pair's gap masks there (its position in the walk
  // indexes them) and counts its own levels at gaps from them; with `use`,
  // counts levels at gaps from masks a walk over the same pairs recorded,
  // with `entries` from gapEntryMasks for these planes. Gaps must fit masks.
  void recordMasks(PairGapMaskRows* record);
  void useMasks(const PairGapMaskRows* masks, const std::uint64_t* entries);
  bool packs() const { return pair_kernel_ != nullptr; }
  // From the next walk on, walks that count levels at gaps from recorded
  // masks (which then read no packed level) count their free cells with
  // `kernel` (a path's free_cells, where a vector popcount makes it the
  // faster) from packed groups of plain rows instead of nibble rows. Only
  // where the counter packs.
  void countFreeCellsWith(PairCountKernel kernel);
  // Such walks count with `kernel` instead (where a path has one), from
  // groups of eight second markers, up to kMaxFirstMarkers consecutive runs
  // over the same second markers at once: each word of the second markers
  // loaded then serves every one of those runs.
  // With `all_groups` (packAllWideGroups of these planes), walks read
  // every block's groups there instead of packing them again per block.
  void countWideWith(WideCountKernel kernel, const std::uint64_t* all_groups = nullptr);
  // Counting from masks, a walk can hand its counts over by cell instead of
  // as tables, the form a vector of eight bounds reads: visit's `tables`
  // then holds, for pair j of the stretch, cell e's count of class c at
  // tables[(9 c + e) * byCellStride() + j], with initialised room up to the
  // next multiple of 8 pairs. Only while byCell() (masks in use or
  // recorded).
  void countByCell(bool on) { by_cell_on_ = on; }
  bool byCell() const { return by_cell_on_ && masks_ != nullptr && gaps_.usable(); }
  long byCellStride() const { return by_cell_stride_; }
  // The kernel by-cell walks count the samples at gaps with (the portable
  // one unless set).
  void countGapsWith(GapCountsKernel kernel) { gap_counts_ = kernel; }

  // Writes into out (2 ints) the pair at position i of the last walk.
  void combinationAt(int i, int* out) const;

 private:
  struct Run {
    int at;     // position of its first pair in the walk
    int first;  // the shared first marker
    int from;   // range of the second marker
    int to;
  };

  void decodeLevels(int marker);
  void decodeFirstLevelsIfRead(int marker);
  // Packs second markers [first, last] (from a multiple of four) for the
  // pair kernel.
  void packBlock(int first, int last);
  // Counts pairs (run.first, from .. to) into tables_.
  void countSegment(const Run& run, int from, int to);
  void countPackedSegment(const Run& run, int from, int to);
  // countPackedSegment past its count of the free cells (in counts_).
  void completePackedSegment(const Run& run, int from, int to);
  // Counts the free cells of runs r, r + 1, .. that share their second
  // markers in [block, block_end] at once, each into its own counts,
  // where worth it: how many it counted (none: count run r alone).
  int countRunsTogether(std::size_t r, int block, int block_end);
  // Later walks read the free counts of the t-th run counted together.
  void useRunCounts(int t) { counts_ = free_counts_.data() + t * free_counts_stride_; }
  bool countsFreeCells() const { return free_kernel_ != nullptr && masks_ != nullptr && record_ == nullptr; }
  // A recording walk counts wide too, and reads the second markers' levels
  // at gaps from the same groups.
  bool countsWide() const { return wide_kernel_ != nullptr && masks_ != nullptr; }
  // Second markers of a packed group.
  int lanes() const { return countsWide() ? kWideLanes : kPairLanes; }
  // Subtracts the first marker's levels at the second marker's gaps from
  // its marginals: the cells of the second marker's last level.
  void deriveLastLevel(int first, int second, int* table) const;
  // The first marker's (decoded) levels at the gaps of `second`: out[a]
  // for level a.
  void firstLevelMasks(int second, std::uint64_t* out) const;
  // Records the segment's gap masks (a recording walk, packing), from its
  // second markers' packed groups (four or eight to a group).
  void recordSegmentMasks(const Run& run, int from, int to, const std::uint64_t* packed,
                          long group_words, int offset);
  // The same where the counter counts wide and a row has at most 32 words
  // (AVX-512): the first marker's rows held in registers, its levels at the
  // second markers' gaps picked from them eight gaps at a time.
  void recordSegmentMasksWide(const Run& run, int from, int to, const std::uint64_t* packed,
                              long group_words, int offset);
  // countPackedSegment from gap masks.
  void countFromMasks(const Run& run, int from, int to, int offset);
  // The cells at the last levels from the pair's masks and the free counts.
  void completeFromMasks(int first, int second, const PairGapMasks& masks, int* table) const;
  // countFromMasks by cell, eight pairs at a time.
  void countByCellFromMasks(const Run& run, int from, int to, int offset);
  // The same where the counter counts wide (AVX-512): the samples at gaps
  // counted in registers, eight pairs at a time, beside the cells.
  void countByCellFromMasksWide(const Run& run, int from, int to, int offset);
  // Without packing: the second marker's last level from the masks (the
  // second's levels read from its planes when recording), the tables
  // handed over by cell when asked.
  void countFromMasksUnpacked(const Run& run, int from, int to);

  const BitPlanes& planes_;
  const LevelGaps& gaps_;
  CountCellsKernel kernel_;
  NibblePairKernel pair_kernel_;
  int row_words_;
  int block_markers_;
  int decoded_ = -1;  // marker whose levels shifts_ holds
  int nibbled_ = -1;  // marker whose levels first_rows_ holds
  std::vector<std::uint64_t> first_rows_;  // its levels 0 and 1 as nibble rows
  // Per bit position, where its level (kPairLevels: none) counts in a word
  // of 8-bit fields: byte 4 * class + level (a word of padding beyond).
  std::vector<std::uint64_t> shifts_;
  std::vector<Run> runs_;
  std::vector<int> tables_;
  AlignedWords packed_;  // the block's second markers' nibble rows, four to a group
  PairCountKernel free_kernel_ = nullptr;
  AlignedWords packed_free_;  // or their plain rows, for free_kernel_
  int packed_first_ = 0;
  WideCountKernel wide_kernel_ = nullptr;
  AlignedWords packed_wide_;  // or their levels 0 and 1, eight to a group
  const std::uint64_t* all_wide_ = nullptr;  // every marker's, packed once
  const std::uint64_t* wide_ = nullptr;      // the block's: either of them
  // Room for the free counts of kMaxFirstMarkers runs, free_counts_stride_
  // apart; counts_ the ones being read.
  std::vector<int> free_counts_;
  long free_counts_stride_ = 0;
  int* counts_ = nullptr;
  PairGapMaskRows* record_ = nullptr;
  const PairGapMaskRows* masks_ = nullptr;
  const std::uint64_t* entries_ = nullptr;
  std::vector<std::uint64_t> own_entries_;  // recording: the run's classes
  bool by_cell_on_ = false;
  GapCountsKernel gap_counts_ = gapCountsScalar;
  long by_cell_stride_ = 0;
  std::vector<int> by_cell_;  // 18 rows of by_cell_stride_, from kByCellLead on
  // Per marker (with room for a group of eight beyond the last), its counts
  // at levels 0 and 1: level_totals_[(2 b + c) * level_stride_ + marker].
  std::vector<int> level_totals_;
  long level_stride_ = 0;
};

template <class Visit>
void PairClassCounter::forEachFrom(const int* first, int count, int second_begin, int second_end,
                                   Visit&& visit) {
  runs_.clear();
  if (record_ != nullptr) {
    record_->resize(count);
    masks_ = record_;
  }
  const int markers = planes_.markerCount();
  int a = first[0];
  int b = first[1];
  for (int at = 0; at < count;) {
    const int n = count - at < markers - b ? count - at : markers - b;
    runs_.push_back(Run{at, a, b, b + n - 1});
    at += n;
    ++a;
    b = a + 1;
  }
  if (runs_.empty()) return;
  int* const handed = byCell() ? by_cell_.data() + kByCellLead : tables_.data();
  // Second markers a block at a time, so that their rows stay in cache
  // while every run is counted against them.
  int low = runs_.front().from;
  for (const Run& run : runs_) low = run.from < low ? run.from : low;
  low = low > second_begin ? low : second_begin;
  if (packs()) low -= low % lanes();
  const int end = second_end < markers ? second_end : markers;
  for (int block = low; block < end; block += block_markers_) {
    const int block_end = block + block_markers_ - 1 < end - 1 ? block + block_markers_ - 1 : end - 1;
    if (packs()) packBlock(block, block_end < markers - 1 ? block_end : markers - 1);
    for (std::size_t r = 0; r < runs_.size();) {
      const Run& run = runs_[r];
      const int from = run.from > block ? run.from : block;
      const int to = run.to < block_end ? run.to : block_end;
      if (from > to) {
        ++r;
        continue;
      }
      const int together = countRunsTogether(r, block, block_end);
      if (together == 0) {
        countSegment(run, from, to);
        if (!visit(run.at + (from - run.from), to - from + 1, handed)) return;
        ++r;
        continue;
      }
      for (int t = 0; t < together; ++t) {
        const Run& each = runs_[r + static_cast<std::size_t>(t)];
        useRunCounts(t);
        completePackedSegment(each, from, to);
        if (!visit(each.at + (from - each.from), to - from + 1, handed)) {
          useRunCounts(0);
          return;
        }
      }
      useRunCounts(0);
      r += static_cast<std::size_t>(together);
    }
  }
}

#endif  // GORVA_ENGINE_SIGNIFICANCE_PAIR_CLASS_COUNTER_H
