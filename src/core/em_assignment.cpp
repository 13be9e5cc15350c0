#include "core/em_assignment.h"

#include <algorithm>
#include <vector>

namespace {

constexpr int kHighestGenotype = 2;
// Markers a table can have: its entries must fit an int.
constexpr int kMostMissing = 32;

// The compatible entry with the highest count; ties go to the lowest entry.
int bestCompatibleEntry(const int* table, int fixed, const int* missing, int missing_count) {
  if (missing_count == 1) {
    // Most incomplete samples miss one genotype: three entries, ascending.
    const int step = missing[0];
    int best_entry = fixed;
    if (table[fixed + step] > table[best_entry]) best_entry = fixed + step;
    if (table[fixed + 2 * step] > table[best_entry]) best_entry = fixed + 2 * step;
    return best_entry;
  }
  int digits[kMostMissing] = {};
  int entry = fixed;
  int best_entry = fixed;
  int best_count = table[fixed];
  for (;;) {
    // Odometer over the missing digits: raise the lowest digit that can grow.
    int j = 0;
    while (j < missing_count && digits[j] == kHighestGenotype) {
      entry -= digits[j] * missing[j];
      digits[j] = 0;
      ++j;
    }
    if (j == missing_count) return best_entry;
    ++digits[j];
    entry += missing[j];
    if (table[entry] > best_count || (table[entry] == best_count && entry < best_entry)) {
      best_count = table[entry];
      best_entry = entry;
    }
  }
}

}  // namespace

void assignIncompleteKinds(const IncompleteKind* kinds, int kind_count, const int* missing_multipliers,
                           int* table) {
  // Small tables' kinds fit the stack; the calling thread's buffer, kept
  // from one table to the next, holds larger ones.
  constexpr int kStackKinds = 64;
  int stack[2 * kStackKinds];
  thread_local std::vector<int> buffer;
  int* assigned = stack;
  if (kind_count > kStackKinds) {
    buffer.resize(2 * static_cast<std::size_t>(kind_count));
    assigned = buffer.data();
  }
  std::fill_n(assigned, kind_count, -1);
  int* proposal = assigned + kind_count;
  for (int round = 0; round < kEmMaxRounds; ++round) {
    for (int i = 0; i < kind_count; ++i) {
      const IncompleteKind& kind = kinds[i];
      proposal[i] =
          bestCompatibleEntry(table, kind.fixed, missing_multipliers + kind.first_missing, kind.missing_count);
    }
    bool changed = false;
    for (int i = 0; i < kind_count; ++i) {
      if (proposal[i] == assigned[i]) continue;
      if (assigned[i] >= 0) table[assigned[i]] -= kinds[i].samples;
      table[proposal[i]] += kinds[i].samples;
      assigned[i] = proposal[i];
      changed = true;
    }
    if (!changed) return;
  }
}
