#include "engine/count/unrank.h"

#include "core/search_constants.h"

namespace {

__extension__ typedef unsigned __int128 Wide;

constexpr Wide kCap = static_cast<Wide>(kMaxRankedCombinations);

// C(m, j) exactly, or a value above kCap once it exceeds it: each product
// stays below 2^62 * 2^31, far inside 128 bits.
Wide binomialCapped(long long m, int j) { return binomialUpTo<Wide>(m, j, kCap); }

}  // namespace

long long combinationCount(int n, int k) {
  if (k < 0 || k > n) return 0;
  const Wide count = binomialCapped(n, k);
  return count > kCap ? -1 : static_cast<long long>(count);
}

void unrankCombination(long long rank, int n, int k, int* out) {
  Wide left = static_cast<Wide>(rank);
  int start = 0;
  for (int i = 0; i < k; ++i) {
    const int remaining = k - i;
    // Combinations whose entry i lies in [start, v): C(n - start, t) - C(n - v, t).
    const Wide from_start = binomialCapped(n - start, remaining);
    int low = start;
    int high = n - remaining;
    while (low < high) {
      const int middle = low + (high - low + 1) / 2;
      if (from_start - binomialCapped(n - middle, remaining) <= left) {
        low = middle;
      } else {
        high = middle - 1;
      }
    }
    left -= from_start - binomialCapped(n - low, remaining);
    out[i] = low;
    start = low + 1;
  }
}
