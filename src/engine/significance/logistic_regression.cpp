#include "engine/significance/logistic_regression.h"

#include <cmath>
#include <limits>

#include "engine/significance/significance.h"

namespace {

constexpr int kMostIterations = 100;
// glm's convergence rule, tightened so that p-values agree with other
// fitters to well beyond the digits printed.
constexpr double kDevianceTolerance = 1e-12;
constexpr double kSeparatedProbability = 1e-8;
constexpr double kRankTolerance = 1e-9;

// The columns of `design` that do not depend linearly on others, scaled so
// that a column of large values is not mistaken for an independent one.
Eigen::MatrixXd independentColumns(const Eigen::MatrixXd& design, int& rank) {
  Eigen::VectorXd norms = design.colwise().norm().transpose();
  for (Eigen::Index c = 0; c < norms.size(); ++c) norms[c] = norms[c] > 0 ? norms[c] : 1.0;
  const Eigen::MatrixXd scaled = design * norms.cwiseInverse().asDiagonal();
  Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(scaled);
  qr.setThreshold(kRankTolerance);
  rank = static_cast<int>(qr.rank());
  if (rank == design.cols()) return design;
  Eigen::MatrixXd kept(design.rows(), rank);
  for (int c = 0; c < rank; ++c) kept.col(c) = design.col(qr.colsPermutation().indices()[c]);
  return kept;
}

double deviance(const Eigen::VectorXd& y, const Eigen::VectorXd& eta) {
  double sum = 0;
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    // log(1 + exp(x)) without overflow.
    const double x = eta[i];
    const double log1pexp = x > 0 ? x + std::log1p(std::exp(-x)) : std::log1p(std::exp(x));
    sum += log1pexp - y[i] * x;
  }
  return 2 * sum;
}

}  // namespace

LogisticFit fitLogistic(const Eigen::MatrixXd& full_design, const Eigen::VectorXd& y) {
  LogisticFit fit;
  if (full_design.rows() == 0) return fit;
  const Eigen::MatrixXd design = independentColumns(full_design, fit.rank);
  const Eigen::Index n = design.rows();
  const Eigen::Index p = design.cols();
  Eigen::VectorXd beta = Eigen::VectorXd::Zero(p);
  Eigen::VectorXd eta = Eigen::VectorXd::Zero(n);
  Eigen::VectorXd prob(n);
  Eigen::VectorXd root_weight(n);
  Eigen::VectorXd working(n);
  Eigen::MatrixXd weighted(n, p);
  Eigen::MatrixXd information(p, p);
  double previous = deviance(y, eta);
  bool converged = false;
  for (int iteration = 0; iteration < kMostIterations && !converged; ++iteration) {
    for (Eigen::Index i = 0; i < n; ++i) {
      prob[i] = 1.0 / (1.0 + std::exp(-eta[i]));
      const double w = prob[i] * (1.0 - prob[i]);
      root_weight[i] = std::sqrt(w);
      // The working response times the root weight: sqrt(w) eta + (y - p) / sqrt(w).
      working[i] = root_weight[i] * eta[i] + (y[i] - prob[i]) / root_weight[i];
    }
    if (!(root_weight.minCoeff() > 0)) break;
    weighted = root_weight.asDiagonal() * design;
    information.setZero();
    information.selfadjointView<Eigen::Lower>().rankUpdate(weighted.transpose());
    const Eigen::LDLT<Eigen::MatrixXd> solver(information.selfadjointView<Eigen::Lower>());
    if (solver.info() != Eigen::Success) break;
    beta = solver.solve(weighted.transpose() * working);
    eta = design * beta;
    const double current = deviance(y, eta);
    if (!std::isfinite(current)) break;
    converged = std::fabs(current - previous) <= kDevianceTolerance * (std::fabs(current) + 0.1);
    previous = current;
  }
  if (!converged) return fit;
  for (Eigen::Index i = 0; i < n; ++i) {
    const double fitted = 1.0 / (1.0 + std::exp(-eta[i]));
    if (fitted < kSeparatedProbability || fitted > 1.0 - kSeparatedProbability) return fit;
  }
  fit.fitted = true;
  fit.deviance = previous;
  return fit;
}

double likelihoodRatioPValue(const LogisticFit& reduced, const LogisticFit& full) {
  if (!reduced.fitted || !full.fitted) return std::numeric_limits<double>::quiet_NaN();
  return chiSquareUpperTail(std::fmax(0.0, reduced.deviance - full.deviance), full.rank - reduced.rank);
}
