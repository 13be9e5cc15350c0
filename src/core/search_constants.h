// The search's shared constants: the missing-data method codes and each
// method's counting function, the missing genotype code, the count tables' layout, the batch size, the indexing
// limit, the version, and the number of combinations of k markers. Private to the program and the core;
// not installed.
#ifndef GORVA_CORE_SEARCH_CONSTANTS_H
#define GORVA_CORE_SEARCH_CONSTANTS_H

#include <array>
#include <climits>
#include <limits>
#include <string_view>

#include "core/gorva.h"

// Missing-data method codes: the index of the "--missing" word plus one.
enum MissingMethod : int {
  kMethodNone = 1,
  kMethodMc = 2,
  kMethodComplete = 3,
  kMethodAvailable = 4,
  kMethodImputation = 5,
  kMethodEm = 6,
};

// The "--missing" words, in the order of their method codes.
constexpr std::array<std::string_view, 6> kMissingWords = {"none",      "mc",         "complete",
                                                           "available", "imputation", "em"};

// The method code of a "--missing" word's 0-based index.
constexpr int methodCodeOfWordIndex(int word_index) { return word_index + 1; }

// The genotype code of a missing genotype; 0, 1 and 2 are the genotype classes.
constexpr int kMissingCode = 3;

// The counting function a missing-data method scores with: "available"
// and "em" have their own, every other method counts what it is given.
using CountTableFunction = decltype(&countTable_none);
inline CountTableFunction countTableFor(int method) {
  if (method == kMethodAvailable) return countTable_available;
  if (method == kMethodEm) return countTable_EM;
  return countTable_none;
}

// Genotype levels of a marker: the three classes, and the missing code too
// when it counts as a level of its own ("mc").
constexpr int genotypeLevels(int method) { return method == kMethodMc ? 4 : 3; }

// The count tables' layout: a sample adds to entry phenotype + sum over j of
// code_j * multiplier_j, with multipliers 2, 2*base, 2*base^2, ... (the
// first marker is the lowest digit; the 0/1 phenotype picks the control or
// the case counter of a cell). Fills the k multipliers and returns the
// table's entries, 2 * base^k.
constexpr int fillTableMultipliers(int base, int k, int* multipliers) {
  int entries = 2;
  for (int j = 0; j < k; ++j) {
    multipliers[j] = entries;
    entries *= base;
  }
  return entries;
}

// Whether a count table of order k, 2 * base^k entries, has an int size
// (k <= 18 for base 3, k <= 14 for base 4).
constexpr bool tableFitsInt(int base, int k) {
  long long entries = 2;
  for (int j = 0; j < k; ++j) {
    entries *= base;
    if (entries > INT_MAX) return false;
  }
  return true;
}

// Combinations scored, ranked and merged as one unit of work.
constexpr int BATCH_SIZE = 100000;

// The byte matrix and the count tables are indexed by int.
constexpr double kMaxIndexedCount = static_cast<double>(INT_MAX);

constexpr const char* kVersionText = GORVA_VERSION;

// C(n, k) in the arithmetic of Number (0 outside 0 <= k <= n): the running
// product C(n - k' + i, i) for i = 1..k', k' = min(k, n - k), multiplying
// before dividing so that every intermediate value is an exact integer
// while Number holds it. The values only grow, so the walk stops at the
// first one above `cap` and returns it: a saturated count, never a wrapped
// one (an integer Number must hold cap times n).
template <class Number>
constexpr Number binomialUpTo(long long n, long long k, Number cap) {
  if (k < 0 || k > n) return 0;
  const long long smaller = k < n - k ? k : n - k;
  Number value = 1;
  for (long long i = 1; i <= smaller && value <= cap; ++i)
    value = value * static_cast<Number>(n - smaller + i) / static_cast<Number>(i);
  return value;
}

// C(n, k) as a real number, exact below 2^53. It stops at infinity, within
// about a thousand steps since C(n, i) >= 2^i for i <= n / 2.
constexpr double combinationsOf(long long n, long long k) {
  return binomialUpTo<double>(n, k, std::numeric_limits<double>::max());
}

// The most rows an order of first..last can fill: top per order, but never
// more than the order's combinations, so a huge --top does not make the
// records huge.
constexpr int keptRowCapacity(long long marker_count, int first, int last, int top) {
  double reachable = 0;
  for (long long k = first; k <= last && k <= marker_count; ++k) {
    const double count = combinationsOf(marker_count, k);
    if (count > reachable) reachable = count;
  }
  return top > reachable ? static_cast<int>(reachable) : top;
}

#endif  // GORVA_CORE_SEARCH_CONSTANTS_H
