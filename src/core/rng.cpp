// rng.cpp: MT19937 and the toolkit's one process-wide generator.
#include <cstdint>

#include "core/gorva.h"
#include "core/mt19937.h"

namespace {

constexpr int middle_distance = 397;
constexpr std::uint32_t upper_mask = 0x80000000u;
constexpr std::uint32_t lower_mask = 0x7fffffffu;
constexpr std::uint32_t seeding_multiplier = 1812433253u;
constexpr std::uint32_t default_seed = 5489u;

std::uint32_t twist(std::uint32_t upper_word, std::uint32_t lower_word, std::uint32_t far_word) {
  static constexpr std::uint32_t mag01[2] = {0x0u, 0x9908b0dfu};
  const std::uint32_t y = (upper_word & upper_mask) | (lower_word & lower_mask);
  return far_word ^ (y >> 1) ^ mag01[y & 1u];
}

std::uint32_t temper(std::uint32_t y) {
  y ^= y >> 11;
  y ^= (y << 7) & 0x9d2c5680u;
  y ^= (y << 15) & 0xefc60000u;
  y ^= y >> 18;
  return y;
}

// The toolkit's generator, for outside callers only: the program's own
// searches each own one.
Mt19937 toolkit_generator;

}  // namespace

void Mt19937::reseed(std::uint32_t seed) {
  words_[0] = seed;
  for (int i = 1; i < kStateWords; ++i) {
    const std::uint32_t previous = words_[i - 1];
    words_[i] = seeding_multiplier * (previous ^ (previous >> 30)) + static_cast<std::uint32_t>(i);
  }
  next_ = kStateWords;
}

// Regenerates the whole block in place. Positions 0..226 read words 397..623
// of the old block, positions 227..622 words already replaced, and the last
// position wraps around to the new word 0.
void Mt19937::regenerateBlock() {
  for (int i = 0; i < kStateWords - 1; ++i) {
    words_[i] = twist(words_[i], words_[i + 1], words_[(i + middle_distance) % kStateWords]);
  }
  const int last = kStateWords - 1;
  words_[last] = twist(words_[last], words_[0], words_[middle_distance - 1]);
}

std::uint32_t Mt19937::next() {
  std::uint32_t y;
  if (next_ < kStateWords) {
    y = words_[next_];
    ++next_;
  } else {
    if (next_ == kNeverSeeded) reseed(default_seed);
    regenerateBlock();
    y = words_[0];
    next_ = 1;
  }
  return temper(y);
}

void init_rng(unsigned long seed) { toolkit_generator.reseed(static_cast<std::uint32_t>(seed)); }

unsigned int int32_rand() { return toolkit_generator.next(); }
