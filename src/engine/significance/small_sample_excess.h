// The small-sample excess of a logistic likelihood ratio's mean. Lawley's
// expansion gives, for nested models of a canonical-link GLM of unit
// dispersion, E[LR] = q + eps(full) - eps(reduced) + O(1/n^2), where for a
// design X at fitted probabilities mu (w = mu(1 - mu), w1 = w(1 - 2mu),
// w2 = w(1 - 6w), z_ij = x_i'(X'WX)^-1 x_j)
//   eps = -1/4 sum_i w2_i z_ii^2 + 1/6 sum_ij w1_i w1_j z_ij^3
//         + 1/4 sum_ij w1_i w1_j z_ii z_ij z_jj.
// Without dense columns it is Williams' correction of G (both models
// factors: eps of a level of n_l samples is (1 - w) / (6 n_l w), see
// factorExcess); with covariates it counts what each of their
// coefficients adds.
#ifndef GORVA_ENGINE_SIGNIFICANCE_SMALL_SAMPLE_EXCESS_H
#define GORVA_ENGINE_SIGNIFICANCE_SMALL_SAMPLE_EXCESS_H

#include <vector>

#include <Eigen/Dense>

#include "engine/significance/logistic_kernels.h"

// What eps needs of the samples beyond the factor: their weights at the
// probabilities the models are evaluated at (under the null hypothesis, the
// reduced model's fit), and the sums over samples that no factor changes,
// so that models differing in their factor alone share them.
struct LawleyMoments {
  Eigen::VectorXd w, w1, w2;  // per sample
  Eigen::MatrixXd gram;       // dense' W dense
  Eigen::VectorXd third;      // sum_i w1_i d_ia d_ib d_ic, index a + d (b + d c)
};

// O(n d^3): the third moments are the only part of eps costing more than
// O(n d^2) per sample.
// y: the outcomes (1 a case, 0 a control); kernels: the path's, whose pass
// over the samples gives the weights.
void lawleyMoments(const Eigen::Ref<const Eigen::MatrixXd>& dense, const Eigen::Ref<const Eigen::VectorXd>& eta,
                   const Eigen::Ref<const Eigen::VectorXd>& y, const LogisticKernels& kernels, LawleyMoments& out);

// eps of the design of one indicator per level holding a sample (so the
// factor stands for the intercept) beside the dense columns independent of
// it and of the columns before them, as the fit keeps them: eps is that of
// the column space fitted. `moments` are the same samples', in the same
// order. The sums over pairs of samples split into parts within levels,
// from per-level sums, and a part over the dense columns, the third moments
// centred on the level means and whitened: O(n d^2 + levels d^3 + d^4).
class LawleyExcess {
 public:
  double of(const LawleyMoments& moments, const Eigen::Ref<const Eigen::MatrixXd>& dense, const std::vector<int>& level,
            int levels);

 private:
  std::vector<Eigen::Index> runs_;  // first sample of each run sharing a level, then n
  Eigen::VectorXd weight_, w1_sum_, per_level_, z_, scale_, product_;
  Eigen::MatrixXd level_mean_, level_first_, level_second_, whitened_;
};

// eps of a design of one factor alone at probabilities constant within its
// levels: sum over levels of (1 - w) / (6 n w), n the level's samples and
// w = p (1 - p) its weight. `samples` and `p` per level; empty levels add 0.
double factorExcess(const std::vector<double>& samples, const std::vector<double>& p);

#endif  // GORVA_ENGINE_SIGNIFICANCE_SMALL_SAMPLE_EXCESS_H
