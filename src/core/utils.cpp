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

// log(x!) - log(sqrt(2 pi x) (x / e)^x), Stirling's formula's error, for
// x >= 1. Beyond 15 its asymptotic series (the next term is below 1e-16);
// below, from lgamma, whose cancellation costs a few 1e-15 at most there.
double stirlingError(double x) {
  constexpr double kHalfLogTwoPi = 0.918938533204672741780329736406;
  if (x <= 15) return std::lgamma(x + 1) - (x + 0.5) * std::log(x) + x - kHalfLogTwoPi;
  const double inverse = 1 / x;
  const double square = inverse * inverse;
  return inverse * (1.0 / 12 - square * (1.0 / 360 - square * (1.0 / 1260 - square * (1.0 / 1680 - square / 1188))));
}

// x log(x / mean) + mean - x, without the cancellation of its terms when x
// is near the mean (a series in (x - mean) / (x + mean) there).
double deviance(double x, double mean) {
  const double difference = x - mean;
  if (std::fabs(difference) >= 0.1 * (x + mean)) return x * std::log(x / mean) + mean - x;
  const double v = difference / (x + mean);
  double sum = difference * v;
  double term = 2 * x * v;
  const double v2 = v * v;
  for (int j = 1; j < 1000; ++j) {
    term *= v2;
    const double next = sum + term / (2 * j + 1);
    if (next == sum) break;
    sum = next;
  }
  return sum;
}

// P(X = i) for X ~ Binomial(n, 0.5), 0 <= i <= n, for any n: Loader's
// saddle-point form, of full relative precision where the logarithms of
// the factorials would lose digits to their own size (about n log n times
// the rounding unit, 1e-9 at a million trials).
double fairCoinProbability(int n, long long i) {
  if (i == 0 || i == n) return std::pow(0.5, n);
  const double trials = n;
  const double x = static_cast<double>(i);
  const double mean = trials / 2;
  const double log_term = stirlingError(trials) - stirlingError(x) - stirlingError(trials - x) -
                          deviance(x, mean) - deviance(trials - x, mean);
  constexpr double kTwoPi = 6.283185307179586476925286766559;
  return std::exp(log_term) * std::sqrt(trials / (kTwoPi * x * (trials - x)));
}

// P(first <= X <= last) for first at or above the mean, whose terms only
// fall: each from the one before (C(n, i + 1) = C(n, i) (n - i) / (i + 1)),
// restarted from the saddle-point form every 256 terms so that rounding
// does not pile up, and ended where the terms no longer change the sum.
double fallingRun(int n, long long first, long long last) {
  double term = fairCoinProbability(n, first);
  double sum = 0;
  for (long long i = first; i <= last; ++i) {
    if ((i - first) % 256 == 0) term = fairCoinProbability(n, i);
    const double next = sum + term;
    if (next == sum) break;
    sum = next;
    term *= static_cast<double>(n - i) / static_cast<double>(i + 1);
  }
  return sum;
}

// P(first <= X <= last), 0 <= first <= last <= n, beyond direct_limit
// trials: the run mirrored (X and n - X alike) to lie mostly above the
// mean; one that reaches below it is 1 less its two tails, each a falling
// run, so that every sum starts at its largest term and a few thousand
// terms are summed however many trials there are.
double fairCoinRun(int n, long long first, long long last) {
  if (first + last < n) {
    const long long mirrored_first = n - last;
    last = n - first;
    first = mirrored_first;
  }
  if (2 * first >= n) return fallingRun(n, first, last);
  const double below = first > 0 ? fallingRun(n, n - first + 1, n) : 0;
  const double above = last < n ? fallingRun(n, last + 1, n) : 0;
  return std::clamp(1 - below - above, 0.0, 1.0);
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
