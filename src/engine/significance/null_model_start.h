// Where each listed row's covariates-only model starts: the model fitted to
// every sample, moved by the Newton step that takes the row's own samples
// into account. A row leaves out a few samples (those missing at one of its
// markers), so that step is computed from them alone, and the row's fit
// needs one iteration fewer than from the shared fit itself.
#ifndef GORVA_ENGINE_SIGNIFICANCE_NULL_MODEL_START_H
#define GORVA_ENGINE_SIGNIFICANCE_NULL_MODEL_START_H

#include <vector>

#include <Eigen/Dense>

#include "engine/significance/logistic_regression.h"

class NullModelStart {
 public:
  // Fits Y ~ stratum + covariates to `samples` (sample numbers, increasing),
  // `stratum[i]` < `strata` and `y[i]` the i-th one's, `dense` their
  // covariates (samples.size() x d); `covariates` holds every sample's
  // (sample number x d) and must outlive this object.
  NullModelStart(const std::vector<int>& samples, const std::vector<int>& stratum, int strata,
                 const Eigen::Map<const Eigen::MatrixXd>& dense, const Eigen::VectorXd& y,
                 const Eigen::MatrixXd& covariates, LogisticWorkspace& work);

  // The start for `rows` (sample numbers, increasing, all among the fitted
  // samples), their strata `stratum` and covariates `dense`, into eta: the
  // shared fit's predictors where the step cannot be taken (the shared fit
  // failed, a stratum lost every sample), zeros where it failed.
  void startOf(const std::vector<int>& rows, const std::vector<int>& stratum,
               const Eigen::Map<const Eigen::MatrixXd>& dense, Eigen::VectorXd& eta);

 private:
  const Eigen::MatrixXd& covariates_;
  std::vector<int> samples_, stratum_;  // the fitted samples and theirs
  std::vector<int> index_of_stratum_;  // among the fitted strata; -1: none fitted
  int fitted_strata_ = 0;
  bool fitted_ = false;
  // Per sample number: the shared fit's predictor, weight p (1 - p) and y - p.
  Eigen::VectorXd eta_, weight_, residual_;
  // Over (fitted strata, covariates): the shared fit's X'WX and X'(y - p).
  Eigen::MatrixXd information_;
  Eigen::VectorXd gradient_;
  // Working storage of startOf.
  Eigen::MatrixXd row_information_;
  Eigen::VectorXd row_gradient_, z_;
  std::vector<int> rows_in_stratum_;
};

#endif  // GORVA_ENGINE_SIGNIFICANCE_NULL_MODEL_START_H
