// utils.cpp: the index shell sort, the small comparisons, the sign test and
// the integer counting functions behind it.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <Rmath.h>

#include "core/gorva.h"
#include "core/search_constants.h"

namespace {

// Sedgewick's gaps 4^j + 3*2^(j-1) + 1 for j = 15 .. 1, then 1, largest first.
// The order of equal keys after a sort depends on this exact table.
constexpr unsigned long incs[16] = {1073790977, 268460033, 67121153, 16783361, 4197377, 1050113,
                                    262913,     65921,     16577,    4193,     1073,    281,
                                    77,         23,        8,        1};

using Compare = int (*)(const void*, const void*);

// The keys as the passes see them, held in the working copy: element 0 is the
// element being inserted, element j + 1 the key now at sorted position j.
struct CopiedKeys {
  unsigned char* block;
  unsigned long size;

  unsigned char* at(unsigned long position) const { return block + (position + 1) * size; }
  const void* key(unsigned long position) const { return at(position); }
  const void* held() const { return block; }
  void hold(unsigned long position) { std::memcpy(block, at(position), size); }
  void shift(unsigned long from, unsigned long to) { std::memcpy(at(to), at(from), size); }
  void place(unsigned long position) { std::memcpy(at(position), block, size); }
};

// The same keys read in place through the index array. Since the working copy
// always equals keys[index[j]] at position j, sorting through the index gives
// exactly the same permutation; it serves when the copy cannot be allocated.
struct IndexedKeys {
  const unsigned char* keys;
  unsigned long size;
  const int* index;
  const unsigned char* held_key = nullptr;

  const void* key(unsigned long position) const {
    return keys + static_cast<unsigned long>(index[position]) * size;
  }
  const void* held() const { return held_key; }
  void hold(unsigned long position) { held_key = static_cast<const unsigned char*>(key(position)); }
  void shift(unsigned long, unsigned long) {}
  void place(unsigned long) {}
};

bool callsForMove(int comparison, int direction) {
  return direction == 1 ? comparison > 0 : comparison < 0;
}

// One gapped insertion pass for every gap below n, largest gap first; the
// index entries move together with the keys.
template <class Keys>
void gappedInsertionPasses(int* index, unsigned long n, Keys& keys, Compare compare,
                           int direction) {
  for (const unsigned long h : incs) {
    if (h >= n) continue;
    for (unsigned long i = h; i < n; ++i) {
      keys.hold(i);
      const int held_index = index[i];
      unsigned long j = i;
      while (j >= h && callsForMove(compare(keys.key(j - h), keys.held()), direction)) {
        keys.shift(j - h, j);
        index[j] = index[j - h];
        j -= h;
      }
      keys.place(j);
      index[j] = held_index;
    }
  }
}

struct FreeDeleter {
  void operator()(unsigned char* block) const { std::free(block); }
};

// The binomial coefficient formed in 32-bit integers, exact for
// 0 <= k <= n <= 12: the larger of k and n - k goes into the denominator
// unless k is at least half of n.
int binomialInIntegers(int n, int k) {
  const int chosen = k < (n >> 1) ? n - k : k;
  const int numerator = product(n - chosen + 1, n);
  const int denominator = factorial(chosen);
  return numerator / denominator;
}

constexpr int exact_counting_limit = 12;  // 12! is the largest factorial below 2^31

// Beyond the exact integer range the coefficient is the search's own, a
// whole number while it stays below 2^53.
double binomialCoefficient(int n, int k) {
  if (k < 0 || k > n) return 0.0;
  if (n <= exact_counting_limit) return binomialInIntegers(n, k);
  return std::nearbyint(combinationsOf(n, k));
}

constexpr int direct_limit = 1000;  // trials whose C(n, i) and 2^-n are doubles of full precision

// P(X = i) for X ~ Binomial(n, 0.5), 0 <= i <= n <= direct_limit: C(n, i)
// and 2^-n taken as they are.
double directFairCoinProbability(int n, int i) { return binomialCoefficient(n, i) * std::pow(0.5, n); }

// P(first <= X <= last) for X ~ Binomial(n, 0.5), beyond direct_limit
// trials, where C(n, i) reaches infinity (n = 1030) and 2^-n the
// subnormals: from the binomial's tails, each taken on the side of the mean
// where it keeps its digits (a run mostly above the mean from upper tails,
// mirrored otherwise: X and n - X alike).
double fairCoinRun(int n, long long first, long long last) {
  if (first + last < n) {
    const long long mirrored_first = n - last;
    last = n - first;
    first = mirrored_first;
  }
  const double from = pbinom(static_cast<double>(first) - 1, n, 0.5, /*lower_tail=*/0, /*log_p=*/0);
  const double beyond = pbinom(static_cast<double>(last), n, 0.5, /*lower_tail=*/0, /*log_p=*/0);
  return std::clamp(from - beyond, 0.0, 1.0);
}

// A greeting this unit has always carried; not exported, nothing calls it.
[[maybe_unused]] void say_hello() { std::puts("hello"); }

}  // namespace

// When the working copy cannot be allocated the keys are compared in place
// through the index array instead, which yields the identical permutation
// without extra memory (see IndexedKeys).
void shellsortIndex(int* index, void* keys, unsigned long n, unsigned long size,
                    int (*compare)(const void*, const void*), int direction) {
  if (n == 0) return;
  for (unsigned long i = 0; i < n; ++i) index[i] = static_cast<int>(i);

  const std::unique_ptr<unsigned char, FreeDeleter> block(
      static_cast<unsigned char*>(std::calloc(n + 1, size)));
  if (block) {
    std::memcpy(block.get() + size, keys, n * size);
    CopiedKeys copied{block.get(), size};
    gappedInsertionPasses(index, n, copied, compare, direction);
  } else {
    IndexedKeys in_place{static_cast<const unsigned char*>(keys), size, index};
    gappedInsertionPasses(index, n, in_place, compare, direction);
  }
}

int cmp_double(const void* a, const void* b) {
  const double x = *static_cast<const double*>(a);
  const double y = *static_cast<const double*>(b);
  return sign(x, y);
}

int cmp_int(const int* a, const int* b) {
  if (*a > *b) return 1;
  if (*a < *b) return -1;
  return 0;
}

int sign(double a, double b) {
  if (a > b) return 1;
  if (a < b) return -1;
  return 0;
}

double computeOneTailedSignTest(int n, int s) {
  if (n < s) return 0.0;
  return signTestSummation(n, s, n);
}

double signTestSummation(int n, int a, int b) {
  if (a > b) return 0.0;
  // Terms outside 0..n are zero, so the walk is limited to that range (which
  // also keeps the loop counter from running past INT_MAX).
  const long long first = std::max(a, 0);
  const long long last = std::min(b, n);
  if (first > last) return 0.0;
  if (n > direct_limit) return fairCoinRun(n, first, last);
  double sum = 0.0;
  for (long long i = first; i <= last; ++i) sum += directFairCoinProbability(n, static_cast<int>(i));
  return std::min(sum, 1.0);  // the rounding of a sum of all terms can pass 1 by an ulp or two
}

int combinations(int n, int k) {
  const double value = binomialCoefficient(n, k);
  if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
  return static_cast<int>(value);
}

// Unsigned arithmetic wraps modulo 2^32 instead of overflowing. Once the
// running product is 0 modulo 2^32 it stays 0, and any run of about 34
// consecutive integers gets there, so the loop is short for every argument.
int product(int a, int b) {
  std::uint32_t result = 1;
  for (long long i = a; i <= b && result != 0; ++i) result *= static_cast<std::uint32_t>(i);
  return static_cast<int>(result);
}

int factorial(int n) {
  if (n <= 1) return 1;
  return product(2, n);
}
