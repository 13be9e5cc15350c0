#include "engine/count/bitplanes.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "engine/count/worker_threads.h"
#include "core/search_constants.h"

namespace {

constexpr long kAlignBytes = 64;
constexpr int kWordsPerVector = 8;

int paddedWords(int bits, int multiple = kWordsPerVector) {
  const int words = (bits + 63) / 64;
  return (words + multiple - 1) / multiple * multiple;
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

// Adds a row's set bits per class to counts[0] (controls) and counts[1]
// (cases), with the POPCNT instruction where the CPU has it (the portable
// popcount is a library call).
__attribute__((target_clones("popcnt", "default"))) void countRowBits(const std::uint64_t* row,
                                                                      int control_words,
                                                                      int row_words, int* counts) {
  int controls = 0;
  int cases = 0;
  for (int w = 0; w < control_words; ++w) controls += __builtin_popcountll(row[w]);
  for (int w = control_words; w < row_words; ++w) cases += __builtin_popcountll(row[w]);
  counts[0] += controls;
  counts[1] += cases;
}

constexpr unsigned char kNoLevel = 0xff;
// Markers a worker takes at a time; fewer per thread are not worth a thread.
constexpr int kMarkersPerThread = 256;

// visit(worker, first, end) over markers [0, count) a chunk at a time, on up
// to `threads` workers (fewer where there are few markers), each worker
// pulling the next chunk when it is done with one.
int markerWorkers(int count, int threads) {
  return std::max(1, std::min(threads, count / kMarkersPerThread));
}

template <class Visit>
void forMarkerChunks(int count, int threads, Visit&& visit) {
  const int workers = markerWorkers(count, threads);
  std::atomic<int> next_marker{0};
  runWorkers(workers, [&](int worker) {
    for (;;) {
      const int begin = next_marker.fetch_add(kMarkersPerThread);
      if (begin >= count) return;
      visit(worker, begin, std::min(begin + kMarkersPerThread, count));
    }
  });
}

}  // namespace

bool BitPlanes::build(const unsigned char* genotypes, int marker_count, int sample_count,
                      const PlanesRequest& request) {
  return build(GenotypeView::markerMajor(genotypes, sample_count), marker_count, request);
}

bool BitPlanes::build(const GenotypeView& genotypes, int marker_count, const PlanesRequest& request) {
  if (!prepare(marker_count, request.samples, request.sample_len, request.phenotypes, request.levels,
               request.word_multiple))
    return false;
  fillMarkers(genotypes, 0, marker_count, request.threads);
  return true;
}

bool BitPlanes::prepare(int marker_count, const int* samples, int sample_len,
                        const unsigned char* phenotypes, int levels, int word_multiple) {
  levels_ = levels;
  marker_count_ = marker_count;
  // The listed samples in row order: controls in list order from bit 0 of
  // the control block, cases likewise in theirs.
  int class_size[2] = {0, 0};
  for (int i = 0; i < sample_len; ++i) ++class_size[phenotypes[samples[i]] == 1 ? 1 : 0];
  const int multiple = std::clamp(word_multiple, 1, kWordsPerVector);
  shape_.control_words = paddedWords(class_size[0], multiple);
  shape_.case_words = paddedWords(class_size[1], multiple);
  const int row_words = shape_.rowWords();
  row_order_.clear();
  position_.clear();
  row_order_.reserve(sample_len);
  position_.reserve(sample_len);
  for (int c = 0; c < 2; ++c) {
    int bit = c == 0 ? 0 : 64 * shape_.control_words;
    for (int i = 0; i < sample_len; ++i) {
      if ((phenotypes[samples[i]] == 1 ? 1 : 0) != c) continue;
      row_order_.push_back(samples[i]);
      position_.push_back(bit++);
    }
  }
  everyone_counts_[0] = class_size[0];
  everyone_counts_[1] = class_size[1];

  if (!words_.reset(static_cast<long>(marker_count) * levels * row_words)) return false;
  if (!everyone_.reset(row_words)) return false;
  marginals_.assign(2L * levels * marker_count, 0);
  complete_.assign(marker_count, 1);
  for (int bit : position_) everyone_.data()[bit / 64] |= std::uint64_t{1} << (bit % 64);
  return true;
}

BitPlanes::Scalars BitPlanes::scalars() const {
  return Scalars{levels_, marker_count_, shape_.control_words, shape_.case_words,
                 static_cast<int>(row_order_.size()), everyone_counts_[0], everyone_counts_[1]};
}

bool BitPlanes::allocate(const Scalars& scalars) {
  levels_ = scalars.levels;
  marker_count_ = scalars.marker_count;
  shape_.control_words = scalars.control_words;
  shape_.case_words = scalars.case_words;
  everyone_counts_[0] = scalars.controls;
  everyone_counts_[1] = scalars.cases;
  row_order_.assign(scalars.sample_len, 0);
  position_.assign(scalars.sample_len, 0);
  marginals_.assign(2L * levels_ * marker_count_, 0);
  complete_.assign(marker_count_, 1);
  return words_.reset(static_cast<long>(marker_count_) * levels_ * shape_.rowWords()) &&
         everyone_.reset(shape_.rowWords());
}

void BitPlanes::fillMarkers(const GenotypeView& block, int first, int count, int threads) {
  const int levels = levels_;
  const int row_words = shape_.rowWords();
  const long sample_len = static_cast<long>(row_order_.size());
  // Each marker's codes are laid out in row order (unfilled bits get a code
  // of no level) and turned into level words 64 at a time.
  const int workers = markerWorkers(count, threads);
  std::vector<std::vector<unsigned char>> buffers(
      workers, std::vector<unsigned char>(static_cast<std::size_t>(row_words) * 64, kNoLevel));
  auto buildMarkers = [&](int begin, int end, std::vector<unsigned char>& codes) {
    for (int j = begin; j < end; ++j) {
      const int m = first + j;
      const unsigned char* column = block.first + j * block.marker_stride;
      const long stride = block.sample_stride;
      for (std::size_t i = 0; i < row_order_.size(); ++i)
        codes[position_[i]] = column[row_order_[i] * stride];
      std::uint64_t* rows = words_.data() + m * markerStrideWords();
      int* counts = &marginals_[2L * levels * m];
      long counted = 0;
      for (int level = 0; level < levels; ++level) {
        std::uint64_t* row = rows + static_cast<long>(level) * row_words;
        counts[2 * level] = 0;
        counts[2 * level + 1] = 0;
        for (int w = 0; w < row_words; ++w) {
          row[w] = levelWord(&codes[64L * w], static_cast<unsigned char>(level));
        }
        countRowBits(row, shape_.control_words, row_words, counts + 2 * level);
        counted += counts[2 * level] + counts[2 * level + 1];
      }
      complete_[m] = counted == sample_len ? 1 : 0;
    }
  };
  forMarkerChunks(count, threads, [&](int worker, int first, int end) {
    buildMarkers(first, end, buffers[worker]);
  });
}

void BitPlanes::fillSamples(const GenotypeView& block, int first, int count, int threads) {
  // The bit of each sample of the block, -1 for one not listed.
  std::vector<int> bits(count, -1);
  for (std::size_t i = 0; i < row_order_.size(); ++i) {
    const int r = row_order_[i] - first;
    if (r >= 0 && r < count) bits[r] = position_[i];
  }
  const int row_words = shape_.rowWords();
  forMarkerChunks(marker_count_, threads, [&](int, int first, int end) {
    for (int m = first; m < end; ++m) {
      const unsigned char* column = block.first + m * block.marker_stride;
      std::uint64_t* rows = words_.data() + m * markerStrideWords();
      for (int r = 0; r < count; ++r) {
        const unsigned char code = column[r * block.sample_stride];
        if (bits[r] < 0 || code >= levels_) continue;
        rows[static_cast<long>(code) * row_words + bits[r] / 64] |= std::uint64_t{1} << (bits[r] % 64);
      }
    }
  });
}

void BitPlanes::finishSamples(int threads) {
  const int row_words = shape_.rowWords();
  const long sample_len = static_cast<long>(row_order_.size());
  forMarkerChunks(marker_count_, threads, [&](int, int first, int end) {
    for (int m = first; m < end; ++m) {
      const std::uint64_t* rows = marker(m);
      int* counts = &marginals_[2L * levels_ * m];
      long counted = 0;
      for (int level = 0; level < levels_; ++level) {
        counts[2 * level] = 0;
        counts[2 * level + 1] = 0;
        countRowBits(rows + static_cast<long>(level) * row_words, shape_.control_words, row_words,
                     counts + 2 * level);
        counted += counts[2 * level] + counts[2 * level + 1];
      }
      complete_[m] = counted == sample_len ? 1 : 0;
    }
  });
}

std::vector<unsigned char> BitPlanes::columns(const int* markers, int count, int sample_count) const {
  std::vector<unsigned char> bytes(static_cast<std::size_t>(count) * sample_count, kMissingCode);
  const int row_words = shape_.rowWords();
  // Each class fills its block's bits from the first on, so a set bit's
  // place in the list follows from its position: walking the set bits
  // touches each listed sample once, whatever the levels.
  const int case_block_bit = 64 * shape_.control_words;
  const int controls = everyone_counts_[0];
  for (int j = 0; j < count; ++j) {
    const std::uint64_t* rows = marker(markers[j]);
    // data(), not [], so that no sample at all (an empty vector) is no null reference.
    unsigned char* column = bytes.data() + static_cast<std::size_t>(j) * sample_count;
    // Highest level first, so a sample in several levels keeps its lowest.
    for (int level = levels_ - 1; level >= 0; --level) {
      const std::uint64_t* row = rows + static_cast<long>(level) * row_words;
      for (int w = 0; w < row_words; ++w) {
        for (std::uint64_t word = row[w]; word != 0; word &= word - 1) {
          const int bit = 64 * w + std::countr_zero(word);
          const int i = bit < case_block_bit ? bit : controls + (bit - case_block_bit);
          column[row_order_[i]] = static_cast<unsigned char>(level);
        }
      }
    }
  }
  return bytes;
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
