// Logistic regression by iteratively reweighted least squares, and the
// likelihood-ratio test of two nested designs fitted to the same samples.
#ifndef GORVA_ENGINE_SIGNIFICANCE_LOGISTIC_REGRESSION_H
#define GORVA_ENGINE_SIGNIFICANCE_LOGISTIC_REGRESSION_H

#include <Eigen/Dense>

struct LogisticFit {
  bool fitted = false;  // converged, with every fitted probability off 0 and 1 by more than 1e-8
  double deviance = 0;  // -2 log-likelihood
  int rank = 0;         // independent columns of the design
};

// Fits P(y = 1) = 1 / (1 + exp(-X b)) to the 0/1 outcomes `y`. Columns that
// depend linearly on earlier ones are dropped first, so a design with empty
// or repeated indicators fits as its column space does.
LogisticFit fitLogistic(const Eigen::MatrixXd& design, const Eigen::VectorXd& y);

// The upper chi-square tail of the deviance drop from `reduced` to `full`
// with df the rank difference; NaN when either fit failed or df < 1.
double likelihoodRatioPValue(const LogisticFit& reduced, const LogisticFit& full);

#endif  // GORVA_ENGINE_SIGNIFICANCE_LOGISTIC_REGRESSION_H
