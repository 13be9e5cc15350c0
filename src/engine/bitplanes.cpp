#include "engine/bitplanes.h"

#include <cstdlib>
#include <cstring>

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

bool BitPlanes::build(const unsigned char* genotypes, int marker_count, int sample_count,
                      const int* samples, int sample_len, const unsigned char* phenotypes,
                      int levels) {
  levels_ = levels;
  marker_count_ = marker_count;
  // Word and bit of each listed sample inside its class block.
  std::vector<int> word_of(sample_len);
  std::vector<std::uint64_t> bit_of(sample_len);
  int class_size[2] = {0, 0};
  for (int i = 0; i < sample_len; ++i) {
    const int c = phenotypes[samples[i]] == 1 ? 1 : 0;
    word_of[i] = class_size[c] / 64;
    bit_of[i] = std::uint64_t{1} << (class_size[c] % 64);
    ++class_size[c];
  }
  shape_.control_words = paddedWords(class_size[0]);
  shape_.case_words = paddedWords(class_size[1]);
  for (int i = 0; i < sample_len; ++i) {
    if (phenotypes[samples[i]] == 1) word_of[i] += shape_.control_words;
  }
  everyone_counts_[0] = class_size[0];
  everyone_counts_[1] = class_size[1];

  const int row_words = shape_.rowWords();
  if (!words_.reset(static_cast<long>(marker_count) * levels * row_words)) return false;
  if (!everyone_.reset(row_words)) return false;
  marginals_.assign(2L * levels * marker_count, 0);
  complete_.assign(marker_count, 1);

  for (int i = 0; i < sample_len; ++i) everyone_.data()[word_of[i]] |= bit_of[i];
  for (int m = 0; m < marker_count; ++m) {
    const unsigned char* codes = genotypes + static_cast<long>(m) * sample_count;
    std::uint64_t* rows = words_.data() + m * markerStrideWords();
    int* counts = &marginals_[2L * levels * m];
    for (int i = 0; i < sample_len; ++i) {
      const int code = codes[samples[i]];
      if (code >= levels) {
        complete_[m] = 0;
        continue;
      }
      rows[static_cast<long>(code) * row_words + word_of[i]] |= bit_of[i];
      ++counts[2 * code + (phenotypes[samples[i]] == 1 ? 1 : 0)];
    }
  }
  return true;
}
