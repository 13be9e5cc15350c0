#include "engine/bitplanes.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "engine/worker_threads.h"

namespace {

constexpr long kAlignBytes = 64;
constexpr int kWordsPerVector = 8;

int paddedWords(int bits) {
  const int words = (bits + 63) / 64;
  return (words + kWordsPerVector - 1) / kWordsPerVector * kWordsPerVector;
}

}  // namespace

AlignedWords::~AlignedWords() { std::free(words_); }

bool AlignedWords::reset(long count) {
  std::free(words_);
  words_ = nullptr;
  count_ = 0;
  const long bytes = (count * 8 + kAlignBytes - 1) / kAlignBytes * kAlignBytes;
  if (bytes <= 0) return true;
  words_ = static_cast<std::uint64_t*>(std::aligned_alloc(kAlignBytes, bytes));
  if (words_ == nullptr) return false;
  std::memset(words_, 0, bytes);
  count_ = count;
  return true;
}

namespace {

// Bit k set when byte k of x is zero (exact for every byte: no borrow runs
// from one byte into the next).
inline std::uint64_t zeroBytes(std::uint64_t x) {
  constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7fULL;
  const std::uint64_t high = ~(((x & kLow7) + kLow7) | x | kLow7);  // bit 7 of each zero byte
  // Bits 7, 15, ..., 63 to bits 56 .. 63 without carries, then down.
  return ((high >> 7) * 0x0102040810204080ULL) >> 56;
}

// Bit k of the result set when codes[k] == level, for 64 codes.
inline std::uint64_t levelWord(const unsigned char* codes, unsigned char level) {
  const std::uint64_t spread = 0x0101010101010101ULL * level;
  std::uint64_t word = 0;
  for (int part = 0; part < 8; ++part) {
    std::uint64_t eight;
    std::memcpy(&eight, codes + 8 * part, 8);
    word |= zeroBytes(eight ^ spread) << (8 * part);
  }
  return word;
}

constexpr unsigned char kNoLevel = 0xff;
// Markers a worker takes at a time; fewer per thread are not worth a thread.
constexpr int kMarkersPerThread = 256;

}  // namespace

bool BitPlanes::build(const unsigned char* genotypes, int marker_count, int sample_count,
                      const int* samples, int sample_len, const unsigned char* phenotypes,
                      int levels, int threads) {
  return build(GenotypeView::markerMajor(genotypes, sample_count), marker_count, samples,
               sample_len, phenotypes, levels, threads);
}

bool BitPlanes::build(const GenotypeView& genotypes, int marker_count, const int* samples,
                      int sample_len, const unsigned char* phenotypes, int levels, int threads) {
  levels_ = levels;
  marker_count_ = marker_count;
  // The listed samples in row order: controls in list order from bit 0 of
  // the control block, cases likewise in theirs.
  int class_size[2] = {0, 0};
  for (int i = 0; i < sample_len; ++i) ++class_size[phenotypes[samples[i]] == 1 ? 1 : 0];
  shape_.control_words = paddedWords(class_size[0]);
  shape_.case_words = paddedWords(class_size[1]);
  const int row_words = shape_.rowWords();
  std::vector<int> row_order;  // the sample at each filled bit position
  std::vector<int> position;   // the bit position of each
  row_order.reserve(sample_len);
  position.reserve(sample_len);
  for (int c = 0; c < 2; ++c) {
    int bit = c == 0 ? 0 : 64 * shape_.control_words;
    for (int i = 0; i < sample_len; ++i) {
      if ((phenotypes[samples[i]] == 1 ? 1 : 0) != c) continue;
      row_order.push_back(samples[i]);
      position.push_back(bit++);
    }
  }
  everyone_counts_[0] = class_size[0];
  everyone_counts_[1] = class_size[1];

  if (!words_.reset(static_cast<long>(marker_count) * levels * row_words)) return false;
  if (!everyone_.reset(row_words)) return false;
  marginals_.assign(2L * levels * marker_count, 0);
  complete_.assign(marker_count, 1);
  for (int bit : position) everyone_.data()[bit / 64] |= std::uint64_t{1} << (bit % 64);

  // Each marker's codes are laid out in row order (unfilled bits get a code
  // of no level) and turned into level words 64 at a time.
  const int workers = std::max(1, std::min(threads, marker_count / kMarkersPerThread));
  std::vector<std::vector<unsigned char>> buffers(
      workers, std::vector<unsigned char>(static_cast<std::size_t>(row_words) * 64, kNoLevel));
  auto buildMarkers = [&](int first, int end, std::vector<unsigned char>& codes) {
    for (int m = first; m < end; ++m) {
      const unsigned char* column = genotypes.first + m * genotypes.marker_stride;
      const long stride = genotypes.sample_stride;
      for (std::size_t i = 0; i < row_order.size(); ++i)
        codes[position[i]] = column[row_order[i] * stride];
      std::uint64_t* rows = words_.data() + m * markerStrideWords();
      int* counts = &marginals_[2L * levels * m];
      int counted = 0;
      for (int level = 0; level < levels; ++level) {
        std::uint64_t* row = rows + static_cast<long>(level) * row_words;
        for (int w = 0; w < row_words; ++w) {
          row[w] = levelWord(&codes[64L * w], static_cast<unsigned char>(level));
          counts[2 * level + (w < shape_.control_words ? 0 : 1)] += std::popcount(row[w]);
        }
        counted += counts[2 * level] + counts[2 * level + 1];
      }
      complete_[m] = counted == sample_len ? 1 : 0;
    }
  };
  std::atomic<int> next_marker{0};
  runWorkers(workers, [&](int worker) {
    for (;;) {
      const int first = next_marker.fetch_add(kMarkersPerThread);
      if (first >= marker_count) return;
      buildMarkers(first, std::min(first + kMarkersPerThread, marker_count), buffers[worker]);
    }
  });
  return true;
}

double BitPlanes::bytesBound(long long marker_count, long long sample_count, int levels,
                             int threads) {
  // Cases and controls are padded apart: together at most one vector more
  // than all samples padded at once.
  const double row_words =
      paddedWords(static_cast<int>(std::min<long long>(sample_count, 1LL << 30))) + kWordsPerVector;
  const double markers = static_cast<double>(marker_count);
  const double rows = (markers * levels + 1) * row_words * 8 + kAlignBytes * 2;
  const double counts = markers * (2.0 * levels * sizeof(int) + 1);
  const double order_lists = 2.0 * static_cast<double>(sample_count) * sizeof(int);
  const double code_buffers = std::max(1, threads) * row_words * 64;
  return rows + counts + order_lists + code_buffers;
}
