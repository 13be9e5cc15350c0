#include "engine/significance/null_model_start.h"

#include <cmath>

NullModelStart::NullModelStart(const std::vector<int>& samples, const std::vector<int>& stratum, int strata,
                               const Eigen::Map<const Eigen::MatrixXd>& dense, const Eigen::VectorXd& y,
                               const Eigen::MatrixXd& covariates, LogisticWorkspace& work)
    : covariates_(covariates), samples_(samples), stratum_(stratum), index_of_stratum_(strata, -1) {
  const Eigen::Index samples_total = covariates.rows();
  const Eigen::Index d = covariates.cols();
  eta_ = Eigen::VectorXd::Zero(samples_total);
  weight_ = Eigen::VectorXd::Zero(samples_total);
  residual_ = Eigen::VectorXd::Zero(samples_total);
  const auto n = static_cast<Eigen::Index>(samples.size());
  Eigen::VectorXd eta = Eigen::VectorXd::Zero(n);
  if (!fitLogistic(FactorDesign{stratum, strata, dense}, y, eta, work).fitted) return;
  for (Eigen::Index i = 0; i < n; ++i) {
    eta_[samples[i]] = eta[i];
    // The fit's last pass left the weights and residuals of its predictors.
    weight_[samples[i]] = work.weight[i];
    residual_[samples[i]] = work.residual[i];
    if (index_of_stratum_[stratum[i]] < 0) index_of_stratum_[stratum[i]] = fitted_strata_++;
  }
  const Eigen::Index k = fitted_strata_ + d;
  information_ = Eigen::MatrixXd::Zero(k, k);
  gradient_ = Eigen::VectorXd::Zero(k);
  Eigen::VectorXd z(k);
  for (Eigen::Index i = 0; i < n; ++i) {
    z.setZero();
    z[index_of_stratum_[stratum[i]]] = 1;
    z.tail(d) = dense.row(i).transpose();
    information_.selfadjointView<Eigen::Lower>().rankUpdate(z, work.weight[i]);
    gradient_ += work.residual[i] * z;
  }
  fitted_ = true;
}

void NullModelStart::startOf(const std::vector<int>& rows, const std::vector<int>& stratum,
                             const Eigen::Map<const Eigen::MatrixXd>& dense, Eigen::VectorXd& eta) {
  const auto n = static_cast<Eigen::Index>(rows.size());
  eta.resize(n);
  for (Eigen::Index i = 0; i < n; ++i) eta[i] = eta_[rows[i]];
  if (!fitted_) return;
  // Every fitted stratum must keep a sample, or the step has no curvature
  // along its level.
  rows_in_stratum_.assign(fitted_strata_, 0);
  for (const int s : stratum) {
    if (index_of_stratum_[s] < 0) return;
    ++rows_in_stratum_[index_of_stratum_[s]];
  }
  for (const int count : rows_in_stratum_)
    if (count == 0) return;
  // Take the samples the row leaves out away from the shared fit's sums.
  const Eigen::Index d = covariates_.cols();
  row_information_ = information_;
  row_gradient_ = gradient_;
  z_.resize(fitted_strata_ + d);
  std::size_t r = 0;
  for (std::size_t j = 0; j < samples_.size(); ++j) {
    const int s = samples_[j];
    if (r < rows.size() && rows[r] == s) {
      ++r;
      continue;
    }
    z_.setZero();
    z_[index_of_stratum_[stratum_[j]]] = 1;
    z_.tail(d) = covariates_.row(s).transpose();
    row_information_.selfadjointView<Eigen::Lower>().rankUpdate(z_, -weight_[s]);
    row_gradient_ -= residual_[s] * z_;
  }
  const Eigen::LDLT<Eigen::MatrixXd> solver(row_information_);  // reads the lower triangle
  if (solver.info() != Eigen::Success || !solver.isPositive()) return;
  const Eigen::VectorXd step = solver.solve(row_gradient_);
  if (!step.allFinite()) return;
  eta.noalias() += dense * step.tail(d);
  for (Eigen::Index i = 0; i < n; ++i) eta[i] += step[index_of_stratum_[stratum[i]]];
}
