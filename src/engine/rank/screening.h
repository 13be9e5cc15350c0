// Screening keys: IG or RIG of a count table from a table of x * log2(x),
// with no log2 call per cell, and a bound on how far such a key can lie from
// the exact measure that calculateMeasuresAll computes for the same table.
//
// With F(x) = x log2 x, a table of controls a_c and cases b_c per cell and
// totals N = cases + controls:
//   N * Hc = sum_c [F(a_c + b_c) - F(a_c) - F(b_c)]
//   N * Hy = F(N) - F(cases) - F(controls)
//   IG = Hy - Hc,  RIG = IG / Hy.
#ifndef GORVA_ENGINE_RANK_SCREENING_H
#define GORVA_ENGINE_RANK_SCREENING_H

#include <vector>

// A safe bound on |screening IG - exact IG| for tables of `cells` cells
// whose total is at most max_total: the rounding of both computations,
// generously counted (a few 1e-12 for thousands of samples).
double informationGainErrorBound(int cells, int max_total);

class ScreeningKeys {
 public:
  // recount_totals: the totals come from each table (the "available"
  // method); otherwise N, cases and controls are fixed. measure: 0 IG, 1 RIG.
  ScreeningKeys(int cells, int max_total, int measure, bool recount_totals, int cases,
                int controls);

  // key() for `count` tables `stride` ints apart into keys[] and errors[];
  // false when any of them has no key (and then the arrays mean nothing).
  // The tables are independent, so their sums overlap in the pipeline.
  bool keys(const int* tables, int count, int stride, double* keys, double* errors) const {
    if (measure_ == 0) {
      return recount_totals_ ? informationGainKeys<true>(tables, count, stride, keys, errors)
                             : informationGainKeys<false>(tables, count, stride, keys, errors);
    }
    bool defined = true;
    for (int j = 0; j < count; ++j) {
      defined &= key(tables + static_cast<long>(j) * stride, keys[j], errors[j]);
    }
    return defined;
  }

  // The key of a table and a bound on its distance from the exact key.
  // False when a class has no sample, so that the exact measures are not
  // numbers. An infinite error marks a key that cannot be bounded (RIG with
  // a phenotype entropy too close to 0).
  bool key(const int* table, double& key, double& error) const {
    const TableSums sums = recount_totals_ ? sumsOf<true>(table) : sumsOf<false>(table);
    if (sums.cases == 0 || sums.controls == 0) return false;
    const double* f = terms_.data();
    const int n = sums.cases + sums.controls;
    const double phenotype = f[n] - f[sums.cases] - f[sums.controls];
    const double ig = (phenotype - sums.conditional) * inverse_[n];
    if (measure_ == 0) {
      key = ig;
      error = ig_error_;
      return true;
    }
    return relativeKey(ig, phenotype * inverse_[n], key, error);
  }

  // The IG screening key of a table whatever the measure, within
  // informationGainError() of the exact IG; false when a class is absent.
  bool gain(const int* table, double& ig) const {
    const TableSums sums = recount_totals_ ? sumsOf<true>(table) : sumsOf<false>(table);
    if (sums.cases == 0 || sums.controls == 0) return false;
    const double* f = terms_.data();
    const int n = sums.cases + sums.controls;
    ig = (f[n] - f[sums.cases] - f[sums.controls] - sums.conditional) * inverse_[n];
    return true;
  }
  double informationGainError() const { return ig_error_; }

  // The largest upper bound of a table's IG that still lets its key interval
  // reach `threshold` (a lower bound of the K-th best key): a table whose
  // bound lies below it cannot be among the best K. -infinity when no IG
  // bound can rule a table out (RIG under per-table totals, or with a
  // phenotype entropy too close to 0).
  double informationGainCutoff(double threshold) const;

 private:
  // N * Hc of a table, and its totals: its own (kRecount) or the fixed ones.
  struct TableSums {
    double conditional;
    int controls;
    int cases;
  };
  template <bool kRecount>
  __attribute__((always_inline)) TableSums sumsOf(const int* table) const {
    const double* f = terms_.data();
    int controls = 0;
    int cases = 0;
    // Four independent sums over even and odd cells, so that the additions
    // do not wait on each other.
    double joint_even = 0;
    double joint_odd = 0;
    double split_even = 0;
    double split_odd = 0;
    int c = 0;
    for (; c + 2 <= cells_; c += 2) {
      const int a0 = table[2 * c];
      const int b0 = table[2 * c + 1];
      const int a1 = table[2 * c + 2];
      const int b1 = table[2 * c + 3];
      if (kRecount) {
        controls += a0 + a1;
        cases += b0 + b1;
      }
      joint_even += f[a0 + b0];
      joint_odd += f[a1 + b1];
      split_even += f[a0] + f[b0];
      split_odd += f[a1] + f[b1];
    }
    if (c < cells_) {
      const int a = table[2 * c];
      const int b = table[2 * c + 1];
      if (kRecount) {
        controls += a;
        cases += b;
      }
      joint_even += f[a + b];
      split_even += f[a] + f[b];
    }
    const double conditional = (joint_even + joint_odd) - (split_even + split_odd);
    if (!kRecount) return {conditional, controls_, cases_};
    return {conditional, controls, cases};
  }

  // keys() of IG, with no branch inside the loop: the common case.
  template <bool kRecount>
  bool informationGainKeys(const int* tables, int count, int stride, double* keys,
                           double* errors) const {
    const double* f = terms_.data();
    const double* inverse = inverse_.data();
    bool defined = kRecount || (cases_ > 0 && controls_ > 0);
    for (int j = 0; j < count; ++j) {
      const TableSums sums = sumsOf<kRecount>(tables + static_cast<long>(j) * stride);
      if (kRecount) defined &= (sums.cases > 0) & (sums.controls > 0);
      const int n = sums.cases + sums.controls;
      keys[j] = (f[n] - f[sums.cases] - f[sums.controls] - sums.conditional) * inverse[n];
      errors[j] = ig_error_;
    }
    return defined;
  }

  bool relativeKey(double ig, double hy, double& key, double& error) const;

  int cells_;
  int measure_;
  bool recount_totals_;
  int cases_;
  int controls_;
  double ig_error_;
  std::vector<double> terms_;    // F(x) for x = 0 .. max_total
  std::vector<double> inverse_;  // 1 / x for x = 0 .. max_total (0 at 0)
};

#endif  // GORVA_ENGINE_RANK_SCREENING_H
