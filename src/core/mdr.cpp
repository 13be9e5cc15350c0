// mdr.cpp: case/control counts per multi-locus genotype cell and the two
// measures derived from them (information gain and its relative form).
//
// The tables are laid out as fillTableMultipliers (search_constants.h) says:
// a control and a case counter per cell.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "core/em_assignment.h"
#include "core/gorva.h"
#include "core/search_constants.h"

namespace {

constexpr int kEmLevels = 3;  // the genotype classes a table of "em" has
constexpr int kMostTurnEntries = 1 << 12;  // tables counted by turns (orders up to 6)


unsigned char codeAt(const unsigned char* genotypes, int offset, int sample) {
  return genotypes[static_cast<std::ptrdiff_t>(offset) + sample];
}

// What every counting reads: the k markers of the combination (their
// multipliers and column offsets), the codes and the classes.
struct CombinationColumns {
  const int* multipliers;
  const int* offsets;
  int k;
  const unsigned char* genotypes;
  const unsigned char* phenotypes;
};

// Table index of `sample`, or -1 when one of its codes is `limit` or above
// (a code the table has no digit for).
int tableIndexBelow(const CombinationColumns& columns, int limit, int sample) {
  int index = columns.phenotypes[sample];
  for (int j = 0; j < columns.k; ++j) {
    const int code = codeAt(columns.genotypes, columns.offsets[j], sample);
    if (code >= limit) return -1;
    index += code * columns.multipliers[j];
  }
  return index;
}

// Adds an incomplete sample and the table index of its observed codes to
// `incomplete` (out of the counting loop: few samples come here).
__attribute__((noinline)) void noteIncomplete(const CombinationColumns& columns, int sample,
                                              std::vector<int>& incomplete) {
  int fixed = columns.phenotypes[sample];
  for (int j = 0; j < columns.k; ++j) {
    const int code = codeAt(columns.genotypes, columns.offsets[j], sample);
    if (code < kMissingCode) fixed += code * columns.multipliers[j];
  }
  incomplete.push_back(sample);
  incomplete.push_back(fixed);
}

// Assigns the incomplete samples (the complete ones are already in the
// table; `incomplete` holds each one's sample and the table index of its
// observed codes), each a kind of its own.
void assignIncompleteByEm(const CombinationColumns& columns, const int* incomplete, int incomplete_count,
                          int* table) {
  thread_local std::vector<IncompleteKind> kinds;
  thread_local std::vector<int> missing;
  kinds.clear();
  missing.clear();
  for (int i = 0; i < incomplete_count; ++i) {
    const int sample = incomplete[2 * i];
    const int first = static_cast<int>(missing.size());
    for (int j = 0; j < columns.k; ++j) {
      if (codeAt(columns.genotypes, columns.offsets[j], sample) >= kMissingCode)
        missing.push_back(columns.multipliers[j]);
    }
    kinds.push_back(IncompleteKind{incomplete[2 * i + 1], first, static_cast<int>(missing.size()) - first, 1});
  }
  assignIncompleteKinds(kinds.data(), incomplete_count, missing.data(), table);
}

}  // namespace

void countTable_none(int* multipliers, int* offsets, int k, int base, int* samples, int sample_len,
                     unsigned char* genotypes, int /*marker_count*/, unsigned char* phenotypes,
                     int /*S*/, int* /*cases*/, int* /*controls*/, double* /*scores*/,
                     double* /*score_sums*/, int* table) {
  const CombinationColumns columns{multipliers, offsets, k, genotypes, phenotypes};
  for (int i = 0; i < sample_len; ++i) {
    const int index = tableIndexBelow(columns, base, samples[i]);
    if (index >= 0) ++table[index];
  }
}

void countTable_available(int* multipliers, int* offsets, int k, int /*base*/, int* samples,
                          int sample_len, unsigned char* genotypes, int /*marker_count*/,
                          unsigned char* phenotypes, int /*S*/, int* cases, int* controls,
                          double* scores, double* score_sums, int* table) {
  const CombinationColumns columns{multipliers, offsets, k, genotypes, phenotypes};
  *cases = 0;
  *controls = 0;
  for (int i = 0; i < sample_len; ++i) {
    const int s = samples[i];
    const int index = tableIndexBelow(columns, kMissingCode, s);
    if (index < 0) continue;
    ++table[index];
    score_sums[index] += scores[s];
    if (phenotypes[s] == 1) {
      ++*cases;
    } else {
      ++*controls;
    }
  }
}

void countTable_EM(int* multipliers, int* offsets, int k, int /*base*/, int* samples,
                   int sample_len, unsigned char* genotypes, int /*marker_count*/,
                   unsigned char* phenotypes, int /*S*/, int* /*cases*/, int* /*controls*/,
                   double* /*scores*/, double* /*score_sums*/, int* table) {
  // One pass over the samples: the complete ones go to the table, the
  // others to the assignment rounds with the index of their observed codes
  // (most lists have few). Consecutive samples of one cell would wait on
  // each other's increment of it: they go to four tables by turns, added
  // up at the end (whole numbers, the same sums).
  // Tables of high orders (millions of cells, few samples each) are
  // counted in place: four copies would cost more than the waits.
  const CombinationColumns columns{multipliers, offsets, k, genotypes, phenotypes};
  const int entries = k > 0 ? multipliers[k - 1] * kEmLevels : 2;
  const int turn_count = entries <= kMostTurnEntries ? 4 : 1;  // a power of two
  const int last_turn = turn_count - 1;
  thread_local std::vector<int> turns;
  thread_local std::vector<int> incomplete;
  if (turn_count > 1) turns.assign(static_cast<std::size_t>(turn_count) * entries, 0);
  incomplete.clear();
  int* counts = turn_count > 1 ? turns.data() : table;
  if (k == 2) {
    // Pairs, most of a search's tables: the two columns and multipliers
    // held in registers.
    const unsigned char* first = genotypes + offsets[0];
    const unsigned char* second = genotypes + offsets[1];
    const int first_step = multipliers[0];
    const int second_step = multipliers[1];
    for (int i = 0; i < sample_len; ++i) {
      const int s = samples[i];
      const int a = first[s];
      const int b = second[s];
      if ((a < kMissingCode) & (b < kMissingCode)) {
        ++counts[(i & last_turn) * entries + phenotypes[s] + a * first_step + b * second_step];
      } else {
        noteIncomplete(columns, s, incomplete);
      }
    }
  } else {
    for (int i = 0; i < sample_len; ++i) {
      const int s = samples[i];
      int index = phenotypes[s];
      bool complete = true;
      for (int j = 0; j < k; ++j) {
        const int code = codeAt(genotypes, offsets[j], s);
        complete = complete && code < kMissingCode;
        index += code * multipliers[j];
      }
      if (complete) {
        ++counts[(i & last_turn) * entries + index];
      } else {
        noteIncomplete(columns, s, incomplete);
      }
    }
  }
  for (int e = 0; turn_count > 1 && e < entries; ++e) {
    for (int t = 0; t < turn_count; ++t) table[e] += counts[t * entries + e];
  }
  if (!incomplete.empty()) {
    assignIncompleteByEm(columns, incomplete.data(), static_cast<int>(incomplete.size() / 2), table);
  }
}

void calculateMeasuresAll(int N, int cases, int controls, int* table, double* /*score_sums*/,
                          int table_len, double /*ratio*/, int /*option*/, double* out) {
  // One fixed order of operations (cells ascending, each term as written
  // below) so that any engine scoring the same integer table gets the same
  // doubles bit for bit.
  const double n = N;
  double hc = 0.0;
  const int cells = table_len / 2;
  for (int c = 0; c < cells; ++c) {
    const int a = table[2 * c];
    const int b = table[2 * c + 1];
    if (a + b > 0 && a > 0 && b > 0) {
      const double ab = a + b;
      const double h = -(a / ab) * std::log2(a / ab) - (b / ab) * std::log2(b / ab);
      hc += ab / n * h;
    }
  }
  // No guard on 0 * log2(0): a one-class phenotype yields NaN on purpose.
  const double hy = -(cases / n) * std::log2(cases / n) - (controls / n) * std::log2(controls / n);
  const double ig = hy - hc;
  out[0] = ig;
  out[1] = ig / hy;
}

void mdrCombinationAll(int* combs, int* k, int* count, unsigned char* genotypes, int* marker_count,
                       unsigned char* phenotypes, double* scores, int* S, int* samples, int* N,
                       int* cases, int* controls, double* ratio, int* option, int* missing,
                       double* out) {
  const int order = *k;
  const int combination_count = *count;
  if (order < 1 || combination_count < 1) return;

  const int base = genotypeLevels(*missing);
  if (!tableFitsInt(base, order)) {
    // No table of so many cells can be counted: measures that are no numbers.
    std::fill_n(out, 2 * static_cast<std::size_t>(combination_count), std::numeric_limits<double>::quiet_NaN());
    return;
  }
  const auto width = static_cast<std::size_t>(order);
  std::vector<int> multipliers(width);
  const int table_len = fillTableMultipliers(base, order, multipliers.data());

  // Working arrays, once per list: offsets, table, score sums.
  std::vector<int> ints(width + static_cast<std::size_t>(table_len), 0);
  std::vector<double> score_sums(static_cast<std::size_t>(table_len), 0.0);
  int* offsets = ints.data();
  int* table = offsets + width;

  const CountTableFunction countTableOf = countTableFor(*missing);

  // The list length stays the caller's N; only the totals handed to the
  // measures are recounted under "available".
  const int sample_len = *N;
  int total = *N;
  int local_cases = *cases;
  int local_controls = *controls;
  double local_ratio = *ratio;

  for (int i = 0; i < combination_count; ++i) {
    const int* combination = combs + static_cast<std::size_t>(i) * width;
    std::fill_n(table, table_len, 0);
    for (int j = 0; j < order; ++j) offsets[j] = combination[j] * *S;
    countTableOf(multipliers.data(), offsets, order, base, samples, sample_len, genotypes, *marker_count,
                phenotypes, *S, &local_cases, &local_controls, scores, score_sums.data(), table);
    if (*missing == kMethodAvailable) {
      total = local_cases + local_controls;
      local_ratio = static_cast<double>(local_cases) / local_controls;
    }
    calculateMeasuresAll(total, local_cases, local_controls, table, score_sums.data(), table_len,
                         local_ratio, *option, out + 2 * static_cast<std::size_t>(i));
  }
}
