// The small-sample excess of a logistic likelihood ratio's mean. Lawley's
// expansion gives, for nested models of a canonical-link GLM of unit
// dispersion, E[LR] = q + eps(full) - eps(reduced) + O(1/n^2), where for a
// design X at fitted probabilities mu (w = mu(1 - mu), w1 = w(1 - 2mu),
// w2 = w(1 - 6w), z_ij = x_i'(X'WX)^-1 x_j)
//   eps = -1/4 sum_i w2_i z_ii^2 + 1/6 sum_ij w1_i w1_j z_ij^3
//         + 1/4 sum_ij w1_i w1_j z_ii z_ij z_jj.
// Without dense columns it is Williams' correction of G (both models
// factors: eps of a level of n_l samples is (1 - w) / (6 n_l w)); with
// covariates it counts what each of their coefficients adds.
#ifndef GORVA_ENGINE_SIGNIFICANCE_SMALL_SAMPLE_EXCESS_H
#define GORVA_ENGINE_SIGNIFICANCE_SMALL_SAMPLE_EXCESS_H

#include <vector>

#include <Eigen/Dense>

class LawleyExcess {
 public:
  // The samples' dense columns (samples x d) and linear predictors at which
  // the models are evaluated (under the null hypothesis, the reduced
  // model's fit). Both are copied.
  void at(const Eigen::Ref<const Eigen::MatrixXd>& dense, const Eigen::Ref<const Eigen::VectorXd>& eta);

  // eps of the design of one indicator per level holding a sample (so the
  // factor stands for the intercept) beside the dense columns independent
  // of it and of the columns before them: dependent ones are left out as
  // the fit leaves them out, so eps is that of the column space fitted.
  // Costs O(n r^3), r the independent columns: the sums over pairs of
  // samples split into a part within levels, from per-level sums, and a
  // part over the dense columns, a three-way tensor of r^3 entries.
  double of(const std::vector<int>& level, int levels);

 private:
  Eigen::MatrixXd dense_;
  Eigen::MatrixXd gram_;  // dense' W dense
  Eigen::VectorXd w_, w1_, w2_;
  // Per call: per level sums, the centred and whitened columns, products.
  Eigen::VectorXd weight_, w1_sum_, per_level_;
  Eigen::MatrixXd level_mean_, whitened_, m_;
  Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> products_, level_products_;
};

#endif  // GORVA_ENGINE_SIGNIFICANCE_SMALL_SAMPLE_EXCESS_H
