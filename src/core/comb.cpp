// comb.cpp: lexicographic walk over the k-marker combinations of n markers,
// handed out in bounded batches so a caller never holds more than one batch.
#include <algorithm>
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

int comb_nextstep(int k, int n, int* c) {
  if (k < 1) return 1;  // no marker to advance, and c[k - 1] is no entry of c
  return advanceCombination(k, n, c) ? 0 : 1;
}

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
    // Most steps only raise the last entry, as advanceCombination would: the
    // rows up to the last marker (or the batch's end) are written in one
    // plain loop, which a search that lists its pairs feels.
    const int last = state[order - 1];
    const int run = std::min(limit - handed, markers - last);
    int* row = out + static_cast<std::size_t>(handed) * width;
    if (order == 2) {
      const int first = state[0];
      for (int j = 0; j < run; ++j) {
        row[2 * j] = first;
        row[2 * j + 1] = last + j;
      }
    } else {
      for (int j = 0; j < run; ++j, row += width) {
        for (int i = 0; i < order - 1; ++i) row[i] = state[i];
        row[order - 1] = last + j;
      }
    }
    handed += run;
    state[order - 1] = last + run - 1;
    if (handed == limit) break;
    if (!advanceCombination(order, markers, state)) break;
  }
  *count = handed;
}
