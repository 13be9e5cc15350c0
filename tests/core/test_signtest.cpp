// Sign test and counting functions: hand-worked values, Pascal's triangle as an
// independent source of binomial coefficients, and calls beyond the exact
// 32-bit range that must neither crash nor overflow (run under UBSan too).
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "core/gorva.h"

namespace {

// Rows 0..n of Pascal's triangle in 64-bit integers (exact up to n = 62).
std::vector<std::vector<std::int64_t>> pascal(int n) {
  std::vector<std::vector<std::int64_t>> rows = {{1}};
  for (int r = 1; r <= n; ++r) {
    std::vector<std::int64_t> row(r + 1, 1);
    for (int k = 1; k < r; ++k) row[k] = rows[r - 1][k - 1] + rows[r - 1][k];
    rows.push_back(row);
  }
  return rows;
}

// The low 32 bits of a product, as a wrapped int.
int wrapped(std::uint64_t value) { return static_cast<int>(static_cast<std::uint32_t>(value)); }

}  // namespace

TEST(SignTestTest, HandWorkedValuesAndBoundsOutsideTheTrials) {
  const struct {
    int n, low, high;  // high < 0: the one-tailed test at `low`
    double expected;
  } cases[] = {
      {10, 8, -1, 56.0 / 1024.0}, {4, 0, -1, 1.0},    {3, 5, -1, 0.0},       {4, 2, 2, 0.375},
      {10, 8, 10, 0.0546875},     {10, 6, 5, 0.0},    {4, -3, 10, 1.0},      {5, 0, INT_MAX, 1.0},
      {6, INT_MIN, -1, 1.0},      {3, 4, 9, 0.0},
      // Beyond twelve trials: sum of C(20, i) for i = 15..20 is 21700.
      {20, 15, -1, 21700.0 / 1048576.0},
  };
  for (const auto& c : cases) {
    const double value = c.high < 0 ? computeOneTailedSignTest(c.n, c.low)
                                    : signTestSummation(c.n, c.low, c.high);
    EXPECT_DOUBLE_EQ(value, c.expected) << c.n << " " << c.low << " " << c.high;
  }
  // P(X >= 50) for 100 fair coins = 1/2 + C(100, 50) / 2^101.
  EXPECT_NEAR(computeOneTailedSignTest(100, 50), 0.5397946186935894, 1e-14);
}

TEST(SignTestTest, AgreesWithBinomialProbabilitiesInTheExactRange) {
  const auto rows = pascal(12);
  for (int n = 0; n <= 12; ++n) {
    double total = 0.0;
    for (int s = 0; s <= n; ++s) {
      const double point = static_cast<double>(rows[n][s]) / static_cast<double>(1 << n);
      EXPECT_DOUBLE_EQ(signTestSummation(n, s, s), point) << n << " " << s;
      EXPECT_EQ(computeOneTailedSignTest(n, s), signTestSummation(n, s, n)) << n << " " << s;
      total += point;
    }
    EXPECT_DOUBLE_EQ(signTestSummation(n, 0, n), total);
    EXPECT_DOUBLE_EQ(total, 1.0);
  }
}

// Past about 1,030 trials C(n, i) is no double and 2^-n none of full
// precision: their product read inf, then NaN (n = 1075), as a p-value.
// References: exact sums of Python's integers, divided by 2^n.
TEST(SignTestTest, StaysAProbabilityBeyondAThousandTrials) {
  EXPECT_NEAR(computeOneTailedSignTest(1001, 501), 0.5, 1e-12);
  EXPECT_NEAR(computeOneTailedSignTest(1030, 515), 0.5124275649682872, 1e-12);
  EXPECT_NEAR(computeOneTailedSignTest(2000, 1000), 0.5089195055729271, 1e-12);
  EXPECT_NEAR(computeOneTailedSignTest(2000, 1200) / 1.7525031034678226e-19, 1.0, 1e-9);
  EXPECT_NEAR(signTestSummation(5000, 2500, 2500), 0.011283227495479843, 1e-12);
  for (const int n : {1029, 1030, 1074, 1075, 1100, 100000}) {
    EXPECT_NEAR(computeOneTailedSignTest(n, 0), 1.0, 1e-9) << n;
    EXPECT_NEAR(signTestSummation(n, 0, n / 2) + signTestSummation(n, n / 2 + 1, n), 1.0, 1e-9) << n;
  }
}

// Each term's logarithm lost digits to the size of the factorials (about
// n log n rounding units: P(X >= 0) read 1.0000000000005 at 1,001 trials),
// and every term was summed (billions at INT_MAX trials). References:
// 40-digit sums of the terms (mpmath); an odd n splits at (n + 1) / 2 into
// halves of exactly 1/2.
TEST(SignTestTest, AccurateAndNeverAboveOneAtAnyNumberOfTrials) {
  const struct {
    int n, s;
    double expected;
  } tails[] = {
      {3000, 1938, 1.4597534828599864e-58},          {1000000, 508000, 6.4568434077207642e-58},
      {INT_MAX, 1073741824, 0.5},                    {INT_MAX, 1073880845, 9.8707282920131396e-10},
      {INT_MAX, 1074112550, 6.3958280939155075e-58}, {2000001, 1000001, 0.5},
  };
  for (const auto& t : tails) {
    EXPECT_NEAR(computeOneTailedSignTest(t.n, t.s) / t.expected, 1.0, 1e-12) << t.n << " " << t.s;
    // The other side of the same split, by the symmetry of a fair coin.
    EXPECT_NEAR(signTestSummation(t.n, 0, t.n - t.s) / t.expected, 1.0, 1e-12) << t.n << " " << t.s;
  }
  for (const int n : {999, 1000, 1001, 1075, 3000, 20000, 1000000, INT_MAX}) {
    for (const int s : {0, 1, n / 4, n / 2 - 1, n / 2, n / 2 + 1}) {
      const double p = computeOneTailedSignTest(n, s);
      EXPECT_LE(p, 1.0) << n << " " << s;
      EXPECT_GT(p, 0.4) << n << " " << s;
    }
  }
}

TEST(CountingTest, BinomialCoefficientsSaturateBeyondInt) {
  const auto rows = pascal(34);
  for (int n = 0; n <= 34; ++n) {
    for (int k = 0; k <= n; ++k) {
      const std::int64_t expected = rows[n][k] > INT_MAX ? INT_MAX : rows[n][k];
      EXPECT_EQ(combinations(n, k), expected) << n << " over " << k;
    }
  }
  const struct {
    int n, k, expected;
  } cases[] = {{3, 5, 0},         {3, -1, 0},         {-2, -5, 0},          {40, 20, INT_MAX},
               {100, 3, 161700},  {INT_MAX, 1, INT_MAX}, {INT_MAX, 2, INT_MAX},
               {65536, 2, 2147450880}, {100000, 50000, INT_MAX}};
  for (const auto& c : cases) EXPECT_EQ(combinations(c.n, c.k), c.expected) << c.n << " " << c.k;
}

TEST(CountingTest, ProductsAndFactorialsWrapModulo2To32) {
  EXPECT_EQ(product(3, 5), 60);
  EXPECT_EQ(product(3, 2), 1);
  EXPECT_EQ(product(7, 7), 7);
  EXPECT_EQ(product(-2, 3), 0);
  EXPECT_EQ(product(-3, -1), -6);
  EXPECT_EQ(factorial(0), 1);
  EXPECT_EQ(factorial(-3), 1);
  EXPECT_EQ(factorial(12), 479001600);
  EXPECT_EQ(factorial(13), wrapped(6227020800ull));
  EXPECT_EQ(factorial(20), wrapped(2432902008176640000ull));
  EXPECT_EQ(product(1, 40), 0);  // 40! holds 2^38
  EXPECT_EQ(factorial(INT_MAX), 0);
  EXPECT_EQ(product(INT_MAX, INT_MAX), INT_MAX);
  EXPECT_EQ(product(INT_MAX - 1, INT_MAX), wrapped(std::uint64_t{INT_MAX - 1} * INT_MAX));
  EXPECT_EQ(product(INT_MIN, INT_MIN + 1), wrapped(std::uint64_t{0x80000000u} * 0x80000001u));
}
