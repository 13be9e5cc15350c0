// rng.cpp: the toolkit's one process-wide MT19937 generator (Matsumoto and
// Nishimura), with the standard single-seed initialisation.
#include <cstdint>

#include "gorva.h"

namespace {

constexpr int state_words = 624;
constexpr int middle_distance = 397;
constexpr std::uint32_t upper_mask = 0x80000000u;
constexpr std::uint32_t lower_mask = 0x7fffffffu;
constexpr std::uint32_t seeding_multiplier = 1812433253u;
constexpr std::uint32_t default_seed = 5489u;

// mt_next is the position of the next word to hand out; 624 means the block
// is used up (or freshly seeded) and 625 that the generator was never seeded.
constexpr std::int32_t block_used_up = state_words;
constexpr std::int32_t never_seeded = state_words + 1;

std::uint32_t mt_buf[state_words];
std::int32_t mt_next = never_seeded;

void seedState(std::uint32_t seed) {
  mt_buf[0] = seed;
  for (int i = 1; i < state_words; ++i) {
    const std::uint32_t previous = mt_buf[i - 1];
    mt_buf[i] = seeding_multiplier * (previous ^ (previous >> 30)) + static_cast<std::uint32_t>(i);
  }
  mt_next = block_used_up;
}

std::uint32_t twist(std::uint32_t upper_word, std::uint32_t lower_word, std::uint32_t far_word) {
  static constexpr std::uint32_t mag01[2] = {0x0u, 0x9908b0dfu};
  const std::uint32_t y = (upper_word & upper_mask) | (lower_word & lower_mask);
  return far_word ^ (y >> 1) ^ mag01[y & 1u];
}

// Regenerates the whole block in place. Positions 0..226 read words 397..623
// of the old block, positions 227..622 words already replaced, and the last
// position wraps around to the new word 0.
void regenerateBlock() {
  for (int i = 0; i < state_words - 1; ++i) {
    mt_buf[i] = twist(mt_buf[i], mt_buf[i + 1], mt_buf[(i + middle_distance) % state_words]);
  }
  const int last = state_words - 1;
  mt_buf[last] = twist(mt_buf[last], mt_buf[0], mt_buf[middle_distance - 1]);
}

std::uint32_t temper(std::uint32_t y) {
  y ^= y >> 11;
  y ^= (y << 7) & 0x9d2c5680u;
  y ^= (y << 15) & 0xefc60000u;
  y ^= y >> 18;
  return y;
}

}  // namespace

void init_rng(unsigned long seed) { seedState(static_cast<std::uint32_t>(seed)); }

unsigned int int32_rand() {
  std::uint32_t y;
  if (mt_next < block_used_up) {
    y = mt_buf[mt_next];
    ++mt_next;
  } else {
    if (mt_next == never_seeded) seedState(default_seed);
    regenerateBlock();
    y = mt_buf[0];
    mt_next = 1;
  }
  return temper(y);
}
