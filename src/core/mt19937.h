// MT19937 (Matsumoto and Nishimura) with the standard single-seed
// initialisation. The toolkit's init_rng/int32_rand drive one process-wide
// instance for outside callers; the engine gives each search its own, so
// searches running side by side never share a sequence. Private to the
// program and the core; not installed.
#ifndef GORVA_CORE_MT19937_H
#define GORVA_CORE_MT19937_H

#include <cstdint>
#include <utility>

class Mt19937 {
 public:
  // Not seeded yet: the first draw seeds it with 5489, the standard default.
  Mt19937() = default;
  explicit Mt19937(std::uint32_t seed) { reseed(seed); }

  void reseed(std::uint32_t seed);
  std::uint32_t next();

 private:
  static constexpr int kStateWords = 624;
  // next_ is the position of the next word to hand out; kStateWords means
  // the block is used up (or freshly seeded), kNeverSeeded that the
  // generator was never seeded.
  static constexpr std::int32_t kNeverSeeded = kStateWords + 1;
  void regenerateBlock();

  std::uint32_t words_[kStateWords] = {};
  std::int32_t next_ = kNeverSeeded;
};

// Fisher-Yates from the top: for i = n .. 2, values[draw() % i] swaps with
// values[i - 1]. The toolkit's permuteValues and the engine's permutations
// shuffle alike, so a seed gives the same permutations through either.
template <typename Value, typename Draw>
void shuffleFromTop(Value* values, int n, Draw&& draw) {
  for (int i = n; i >= 2; --i) std::swap(values[draw() % static_cast<unsigned int>(i)], values[i - 1]);
}

#endif  // GORVA_CORE_MT19937_H
