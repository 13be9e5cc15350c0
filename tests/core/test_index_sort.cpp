// shellsortIndex and the comparisons. The order of equal keys is part of the
// contract, so larger inputs are checked index-for-index against a plain
// re-implementation of the same gapped insertion passes over (key, position)
// pairs.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "core/gorva.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

int compareInts(const void* a, const void* b) {
  return cmp_int(static_cast<const int*>(a), static_cast<const int*>(b));
}

// The passes written out directly on pairs: for each Sedgewick gap below n,
// largest first, insert each element among those one gap apart, moving past
// every element that compares strictly "out of order" with it.
template <class Key, class Compare>
std::vector<int> referenceOrder(const std::vector<Key>& keys, Compare compare, int direction) {
  const std::vector<long> gaps = {1073790977, 268460033, 67121153, 16783361, 4197377, 1050113,
                                  262913,     65921,     16577,    4193,     1073,    281,
                                  77,         23,        8,        1};
  std::vector<std::pair<Key, int>> items;
  for (int i = 0; i < static_cast<int>(keys.size()); ++i) items.emplace_back(keys[i], i);
  const long n = static_cast<long>(items.size());
  for (long h : gaps) {
    if (h >= n) continue;
    for (long i = h; i < n; ++i) {
      const auto held = items[i];
      long j = i;
      for (; j >= h; j -= h) {
        const int c = compare(&items[j - h].first, &held.first);
        if (!(direction == 1 ? c > 0 : c < 0)) break;
        items[j] = items[j - h];
      }
      items[j] = held;
    }
  }
  std::vector<int> order;
  for (const auto& item : items) order.push_back(item.second);
  return order;
}

template <class Key>
std::vector<int> sortedIndex(std::vector<Key>& keys, int (*compare)(const void*, const void*),
                             int direction) {
  std::vector<int> index(keys.size(), -1);
  shellsortIndex(index.data(), keys.data(), keys.size(), sizeof(Key), compare, direction);
  return index;
}

std::vector<double> keysWithTies(int n, int distinct, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> value(0, distinct - 1);
  std::vector<double> keys;
  for (int i = 0; i < n; ++i) keys.push_back(value(gen) * 0.5);
  return keys;
}

}  // namespace

TEST(ShellsortIndexTest, NoKeyOrOneKey) {
  std::vector<int> index = {-7, -7};
  double key = 42.0;
  shellsortIndex(index.data(), &key, 0, sizeof(double), cmp_double, 1);
  EXPECT_EQ(index, (std::vector<int>{-7, -7}));
  shellsortIndex(index.data(), &key, 1, sizeof(double), cmp_double, 1);
  EXPECT_EQ(index, (std::vector<int>{0, -7}));
}

TEST(ShellsortIndexTest, SmallInputsKeepEqualKeysInInitialOrder) {
  std::vector<double> keys = {2, 1, 2, 0, 1, 2, 1, 0};
  EXPECT_EQ(sortedIndex(keys, cmp_double, 1), (std::vector<int>{3, 7, 1, 4, 6, 0, 2, 5}));
  EXPECT_EQ(sortedIndex(keys, cmp_double, 0), (std::vector<int>{0, 2, 5, 1, 4, 6, 3, 7}));
  EXPECT_EQ(keys, (std::vector<double>{2, 1, 2, 0, 1, 2, 1, 0})) << "keys must not move";
}

TEST(ShellsortIndexTest, LargerInputsFollowTheGappedPassesExactly) {
  for (int n : {9, 23, 24, 78, 282, 1500, 5000}) {
    std::vector<double> keys = keysWithTies(n, 7, static_cast<unsigned>(n));
    const std::vector<double> original = keys;
    // Every direction other than 1 is descending.
    for (int direction : {1, 0, 2, -1}) {
      const std::vector<int> index = sortedIndex(keys, cmp_double, direction);
      ASSERT_EQ(index, referenceOrder(keys, cmp_double, direction)) << "n " << n << ", direction " << direction;
      for (int i = 1; i < n; ++i) {
        const double before = keys[index[i - 1]], after = keys[index[i]];
        ASSERT_TRUE(direction == 1 ? before <= after : before >= after) << "n " << n;
      }
    }
    EXPECT_EQ(keys, original);
  }
}

TEST(ShellsortIndexTest, NaNKeysNeverCauseAMove) {
  // In a plain insertion sort a NaN compares equal to everything: it stays in
  // place and splits the input into two runs sorted separately.
  std::vector<double> keys = {3, 1, kNaN, 2, 0};
  EXPECT_EQ(sortedIndex(keys, cmp_double, 1), (std::vector<int>{1, 0, 2, 4, 3}));

  std::vector<double> many = keysWithTies(500, 5, 9);
  for (int i = 0; i < 500; i += 37) many[i] = kNaN;
  EXPECT_EQ(sortedIndex(many, cmp_double, 1), referenceOrder(many, cmp_double, 1));
}

TEST(ShellsortIndexTest, ElementSizesOtherThanEight) {
  std::mt19937 gen(3);
  std::uniform_int_distribution<int> value(-4, 4);
  for (int n : {8, 100, 1200}) {
    std::vector<int> keys(n);
    for (int& key : keys) key = value(gen);
    for (int direction : {1, 0}) {
      EXPECT_EQ(sortedIndex(keys, compareInts, direction),
                referenceOrder(keys, compareInts, direction));
    }
  }
  // A 3-byte element, ordered by its first byte, is copied whole.
  struct Triple { unsigned char key, a, b; };
  static_assert(sizeof(Triple) == 3);
  auto byFirstByte = [](const void* x, const void* y) {
    const int kx = static_cast<const Triple*>(x)->key, ky = static_cast<const Triple*>(y)->key;
    return (kx > ky) - (kx < ky);
  };
  std::vector<Triple> triples;
  for (int i = 0; i < 60; ++i) triples.push_back({static_cast<unsigned char>(i * 7 % 5), 0, 0});
  EXPECT_EQ(sortedIndex(triples, +byFirstByte, 1), referenceOrder(triples, +byFirstByte, 1));
}

TEST(ComparisonTest, ThreeWayResults) {
  const double one = 1.0, two = 2.0, nan = kNaN;
  const int small = -3, large = 8;
  const int results[] = {cmp_double(&two, &one), cmp_double(&one, &two), cmp_double(&one, &one),
                         cmp_double(&nan, &one), cmp_double(&one, &nan), cmp_int(&large, &small),
                         cmp_int(&small, &large),  cmp_int(&small, &small), sign(2.5, -1.0),
                         sign(-1.0, 2.5),          sign(0.0, -0.0),         sign(kNaN, 1.0),
                         sign(1.0, kNaN)};
  EXPECT_EQ(std::vector<int>(std::begin(results), std::end(results)),
            (std::vector<int>{1, -1, 0, 0, 0, 1, -1, 0, 1, -1, 0, 0, 0}));
}
