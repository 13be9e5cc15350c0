#include "engine/count/missing_pair_counts.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "engine/count/pair_free_counts.h"
#include "engine/count/worker_threads.h"

namespace {

constexpr int kMaxSparseMissing = 255;  // a byte counter's reach

}  // namespace

// Words k and k + j trade blocks of j bits, for j = 32, 16, ..., 1.
void transposeBitsScalar(std::uint64_t* a) {
  static constexpr std::uint64_t kMasks[] = {0x00000000FFFFFFFFULL, 0x0000FFFF0000FFFFULL,
                                             0x00FF00FF00FF00FFULL, 0x0F0F0F0F0F0F0F0FULL,
                                             0x3333333333333333ULL, 0x5555555555555555ULL};
  int step = 0;
  for (int j = 32; j != 0; j >>= 1, ++step) {
    const std::uint64_t mask = kMasks[step];
    for (int k = 0; k < 64; k = ((k | j) + 1) & ~j) {
      const std::uint64_t t = ((a[k] >> j) ^ a[k + j]) & mask;
      a[k + j] ^= t;
      a[k] ^= t << j;
    }
  }
}

namespace {

int wordsFor(int markers) { return (markers + 63) / 64; }

// The sample-major rows (two layouts).
double sampleRowBytes(double markers, double row_words) {
  return 2 * 64 * row_words * 3 * std::ceil(markers / 64) * 8;
}

}  // namespace

void sumBitRowsScalar(const BitRowSums& r) {
  for (int k = 0; k < r.count; ++k) {
    for (int l = 0; l < r.levels; ++l) {
      const std::uint64_t* row = r.rows + r.positions[k] * r.row_stride + l;
      for (int w = 0; w < r.words; ++w) {
        std::uint8_t* counters = r.counters + l * r.counter_step + 64 * w;
        const std::uint64_t bits = row[w * r.word_step];
        for (int i = 0; i < 64; ++i) counters[i] = static_cast<std::uint8_t>(counters[i] + ((bits >> i) & 1));
      }
    }
  }
}

void quadLanesScalar(const std::uint8_t* sums, std::uint8_t* quads) {
  for (int lane = 0; lane < 64; ++lane) {
    for (int e = 0; e < 4; ++e) quads[4 * lane + e] = sums[64 * e + lane];
  }
}

namespace {

// Sample words [begin, end) (one cache line of them) of every marker into
// by_word (a word of markers' slab at a time) and by_position (every word
// of markers of one sample position together). Each marker's line is read
// once, the next word of markers' lines fetched while this one is turned,
// and every write fills whole lines in order.
void transposeLevelRows(const BitPlanes& planes, TransposeBitsKernel transpose, int markers, int begin,
                        int end, std::uint64_t* by_word, std::uint64_t* by_position) {
  const int row_words = planes.shape().rowWords();
  const int words = wordsFor(markers);
  alignas(64) std::uint64_t blocks[3][64];  // one word of markers at 64 sample positions, per level
  for (int k = 0; k < words; ++k) {
    const int in_chunk = std::min(64, markers - 64 * k);
    const int ahead = std::min(64, markers - 64 * (k + 1));
    for (int i = 0; i < ahead; ++i) {
      for (int l = 0; l < 3; ++l)
        __builtin_prefetch(planes.marker(64 * (k + 1) + i) + static_cast<long>(l) * row_words + begin);
    }
    for (int w = begin; w < end; ++w) {
      for (int l = 0; l < 3; ++l) {
        for (int i = 0; i < 64; ++i)
          blocks[l][i] = i < in_chunk ? planes.marker(64 * k + i)[static_cast<long>(l) * row_words + w] : 0;
        transpose(blocks[l]);
      }
      for (int t = 0; t < 64; ++t) {
        const long s = 64L * w + t;
        std::uint64_t* slab = by_word + (static_cast<long>(k) * 64 * row_words + s) * 3;
        std::uint64_t* position = by_position + (s * words + k) * 3;
        for (int l = 0; l < 3; ++l) slab[l] = position[l] = blocks[l][t];
      }
    }
  }
}

}  // namespace

bool MissingSampleRows::serves(const BitPlanes& planes, int marker) {
  if (planes.levels() != 3) return false;
  const int* everyone = planes.everyoneCounts();
  const int* levels = planes.marginals(marker);
  for (int c = 0; c < 2; ++c) {
    if (everyone[c] - levels[c] - levels[2 + c] - levels[4 + c] > kMaxSparseMissing) return false;
  }
  return true;
}

double MissingSampleRows::bytesBound(double marker_count, double row_words, double max_bytes) {
  // build() holds nothing when the rows alone pass max_bytes, and never
  // more than max_bytes in all.
  const double rows = sampleRowBytes(marker_count, row_words);
  const double lists = marker_count * (2 * kMaxSparseMissing * sizeof(int) + 2 * sizeof(long));
  return rows > max_bytes ? 0 : std::min(max_bytes, rows + lists);
}

double MissingPairCounts::bytesBound(double marker_count, double row_words, double block_markers,
                                     double max_bytes, bool own_rows) {
  // The chunk sums with their marks, and the B sums of a block.
  const double walk = (marker_count + 2 * kPairBlock) * 256 + marker_count * 4 + (block_markers + 192) * 6 + 256;
  return walk + (own_rows ? MissingSampleRows::bytesBound(marker_count, row_words, max_bytes) : 0);
}

bool MissingSampleRows::build(const BitPlanes& planes, const MissingPairKernels& kernels, double max_bytes,
                              int threads) {
  planes_ = nullptr;
  const int markers = planes.markerCount();
  const int* everyone = planes.everyoneCounts();
  serves_.assign(markers, 0);
  missing_from_.assign(2L * markers + 1, 0);
  long missing = 0;
  for (int m = 0; m < markers; ++m) {
    serves_[m] = serves(planes, m) ? 1 : 0;
    for (int c = 0; c < 2; ++c) {
      const int* levels = planes.marginals(m);
      missing_from_[2L * m + c] = missing;
      if (serves_[m] != 0) missing += everyone[c] - levels[c] - levels[2 + c] - levels[4 + c];
    }
  }
  missing_from_[2L * markers] = missing;
  const int row_words = planes.shape().rowWords();
  marker_words_ = wordsFor(markers);
  positions_ = 64 * row_words;
  const long sample_words = 64L * row_words * 3 * marker_words_;
  const double bytes = sampleRowBytes(markers, row_words) + missing * 4.0 + (2.0 * markers + 1) * 8;
  if (missing == 0 || bytes > max_bytes || !sample_rows_.reset(sample_words) ||
      !position_rows_.reset(sample_words)) {
    serves_.clear();
    missing_from_.clear();
    return false;
  }
  missing_.resize(missing);
  const std::uint64_t* all = planes.everyone();
  const int case_from = planes.shape().control_words;
  for (int m = 0; m < markers; ++m) {
    if (serves_[m] == 0 || planes.complete(m)) continue;
    const std::uint64_t* rows = planes.marker(m);
    long at[2] = {missing_from_[2L * m], missing_from_[2L * m + 1]};
    for (int w = 0; w < row_words; ++w) {
      std::uint64_t bits = all[w] & ~(rows[w] | rows[row_words + w] | rows[2 * row_words + w]);
      long& next = at[w >= case_from ? 1 : 0];
      for (; bits != 0; bits &= bits - 1) missing_[next++] = 64 * w + __builtin_ctzll(bits);
    }
  }
  // A cache line of sample words a pull.
  constexpr int kWordsPerPull = 8;
  std::atomic<int> next_word{0};
  runWorkers(std::max(1, std::min(threads, (row_words + kWordsPerPull - 1) / kWordsPerPull)), [&](int) {
    for (;;) {
      const int begin = next_word.fetch_add(kWordsPerPull);
      if (begin >= row_words) return;
      transposeLevelRows(planes, kernels.transpose_bits, markers, begin,
                         std::min(begin + kWordsPerPull, row_words), sample_rows_.data(),
                         position_rows_.data());
    }
  });
  planes_ = &planes;
  return true;
}

bool MissingPairCounts::prepare(const BitPlanes& planes, const MissingPairKernels& kernels,
                                double max_bytes, const MissingSampleRows* rows) {
  kernels_ = kernels;
  rows_ = nullptr;
  if (rows == nullptr) {
    if (!own_rows_.build(planes, kernels, max_bytes)) return false;
    rows = &own_rows_;
  }
  if (!rows->built() || &rows->planes() != &planes) return false;
  rows_ = rows;
  const int markers = planes.markerCount();
  // Room for the gathers of whole blocks of eight past the last marker.
  chunk_sums_.assign(256 * (static_cast<std::size_t>(markers) + 2 * kPairBlock), 0);
  chunk_of_.assign(markers, -1);
  block_chunk_ = -1;
  first_ready_ = -1;
  return true;
}

void MissingPairCounts::startBlock(int first, int last) {
  block_first_ = first;
  block_last_ = last;
  block_chunk_ = -1;
  first_word_ = first / 64;
  last_word_ = last / 64;
  const std::size_t width = 64 * static_cast<std::size_t>(last_word_ - first_word_ + 1);
  if (first_sums_.size() < (width + 64) * 6) first_sums_.resize((width + 64) * 6);
  first_ready_ = -1;
}

void MissingPairCounts::fillChunkSums(int marker, int chunk) {
  chunk_of_[marker] = chunk;
  std::uint8_t* quads = &chunk_sums_[256 * static_cast<std::size_t>(marker)];
  if (rows_->planes().complete(marker) || !serves(marker)) {
    std::memset(quads, 0, 256);
    return;
  }
  alignas(64) std::uint8_t sums[4 * 64] = {};
  for (int c = 0; c < 2; ++c) {
    BitRowSums request;
    request.rows = rows_->sampleRows() + static_cast<long>(chunk) * rows_->positions() * 3;
    request.row_stride = 3;
    request.levels = 2;
    request.positions = rows_->missingAt(marker, c, &request.count);
    request.words = 1;
    request.counters = sums + 64 * c;
    request.counter_step = 128;
    kernels_.sum_bit_rows(request);
  }
  kernels_.quad_lanes(sums, quads);
}

void MissingPairCounts::buildFirstSums(int first) {
  const int words = last_word_ - first_word_ + 1;
  const std::size_t width = 64 * static_cast<std::size_t>(words) + 64;
  // Each first marker of a chunk needs the block's A against that chunk:
  // looked over once per chunk, not per first marker.
  if (block_chunk_ != first / 64) {
    for (int b = block_first_; b <= block_last_; ++b) {
      if (chunk_of_[b] != first / 64) fillChunkSums(b, first / 64);
    }
    block_chunk_ = first / 64;
  }
  std::memset(&first_sums_[0], 0, 6 * width);
  if (!rows_->planes().complete(first)) {
    for (int c = 0; c < 2; ++c) {
      BitRowSums request;
      request.rows = rows_->positionRows() + 3L * first_word_;
      request.row_stride = 3L * rows_->markerWords();
      request.levels = 3;
      request.word_step = 3;
      request.positions = rows_->missingAt(first, c, &request.count);
      request.words = words;
      request.counters = &first_sums_[c * width];
      request.counter_step = 2 * static_cast<long>(width);
      kernels_.sum_bit_rows(request);
    }
  }
  first_ready_ = first;
}

void MissingPairCounts::prefetchFirstSums(int first) const {
  if (rows_->planes().complete(first) || !serves(first)) return;
  const long bytes = 3L * 8 * (last_word_ - first_word_ + 1);
  for (int c = 0; c < 2; ++c) {
    int count = 0;
    const int* positions = rows_->missingAt(first, c, &count);
    for (int k = 0; k < count; ++k) {
      const char* row = reinterpret_cast<const char*>(
          rows_->positionRows() + (static_cast<long>(positions[k]) * rows_->markerWords() + first_word_) * 3);
      for (long b = 0; b < bytes; b += 64) __builtin_prefetch(row + b, 0, 2);
      __builtin_prefetch(row + bytes - 1, 0, 2);
    }
  }
}

const PairFromFree& MissingPairCounts::pairsFromFree(int first, int base, const int* free_counts,
                                                    const int* const second_levels[6]) {
  if (first != first_ready_) buildFirstSums(first);
  const std::size_t width = 64 * static_cast<std::size_t>(last_word_ - first_word_ + 1) + 64;
  pairs_.free_counts = free_counts;
  pairs_.first_levels = rows_->planes().marginals(first);
  for (int e = 0; e < 6; ++e) pairs_.second_levels[e] = second_levels[e];
  pairs_.base = base;
  pairs_.a_sums = &chunk_sums_[4 * static_cast<std::size_t>(first % 64)];
  for (int e = 0; e < 6; ++e) pairs_.b_sums[e] = &first_sums_[e * width];
  pairs_.offset = base - 64L * first_word_;
  return pairs_;
}
