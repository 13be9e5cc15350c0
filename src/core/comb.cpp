// comb.cpp: lexicographic walk over the k-marker combinations of n markers,
// handed out in bounded batches so a caller never holds more than one batch.
#include <cstddef>

#include "core/gorva.h"

namespace {

// A state whose first entry went past its highest value (n - k) has run out.
// Checking this up front keeps a run-out state exactly where it is (entry i at
// n - k + i + 1) however often it is advanced again.
bool isRunOut(int k, int n, const int* c) { return c[0] > n - k; }

// Lexicographic successor in place. Only the entries that change are touched:
// the rightmost entry that can still grow is raised and the entries after it
// restart right above it. Returns false when c was the last combination; every
// entry has then been raised one above its highest value.
bool advanceCombination(int k, int n, int* c) {
  if (isRunOut(k, n, c)) return false;
  int i = k - 1;
  for (;;) {
    const int before = c[i]++;
    if (before < n - k + i) break;
    if (--i < 0) return false;
  }
  for (int j = i + 1; j < k; ++j) c[j] = c[i] + (j - i);
  return true;
}

}  // namespace

int comb_nextstep(int k, int n, int* c) { return advanceCombination(k, n, c) ? 0 : 1; }

void combSNP(int* k, int* n, int* capacity, int* state, int* count, int* out) {
  *count = 0;
  const int order = *k;
  const int markers = *n;
  const int limit = *capacity;
  if (order < 1 || limit < 1 || markers < order) return;

  if (state[0] == -1) {
    for (int i = 0; i < order; ++i) state[i] = i;
  } else if (!advanceCombination(order, markers, state)) {
    return;
  }

  const auto width = static_cast<std::size_t>(order);
  int handed = 0;
  for (;;) {
    // A plain loop: k is small, and a library copy cost a call per
    // combination, which a search that lists its pairs felt.
    int* row = out + static_cast<std::size_t>(handed) * width;
    for (int i = 0; i < order; ++i) row[i] = state[i];
    ++handed;
    if (handed == limit) break;
    // Most steps only raise the last entry, as advanceCombination would.
    if (state[order - 1] < markers - 1) {
      ++state[order - 1];
      continue;
    }
    if (!advanceCombination(order, markers, state)) break;
  }
  *count = handed;
}
