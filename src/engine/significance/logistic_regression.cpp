#include "engine/significance/logistic_regression.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/significance/significance.h"

namespace {

// glm stops at 25; a fit that needs more is failing to converge.
constexpr int kMostIterations = 50;
// glm's convergence rule, tightened so that p-values agree with other
// fitters to well beyond the digits printed.
constexpr double kDevianceTolerance = 1e-12;
constexpr double kSeparatedProbability = 1e-8;
constexpr double kRankTolerance = 1e-9;

// The columns of `design` that do not depend linearly on others, judged on
// the Gram matrix of the columns scaled to unit length (p x p, far cheaper
// than a factorisation of the design itself).
Eigen::MatrixXd independentColumns(const Eigen::MatrixXd& design, int& rank) {
  Eigen::VectorXd norms = design.colwise().norm().transpose();
  for (Eigen::Index c = 0; c < norms.size(); ++c) norms[c] = norms[c] > 0 ? 1.0 / norms[c] : 0.0;
  Eigen::MatrixXd gram = Eigen::MatrixXd::Zero(design.cols(), design.cols());
  gram.selfadjointView<Eigen::Lower>().rankUpdate(design.transpose());
  gram = gram.selfadjointView<Eigen::Lower>();
  gram = norms.asDiagonal() * gram * norms.asDiagonal();
  Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(gram);
  qr.setThreshold(kRankTolerance);
  rank = static_cast<int>(qr.rank());
  if (rank == design.cols()) return design;
  std::vector<Eigen::Index> kept(qr.colsPermutation().indices().data(),
                                 qr.colsPermutation().indices().data() + rank);
  std::sort(kept.begin(), kept.end());
  Eigen::MatrixXd out(design.rows(), rank);
  for (int c = 0; c < rank; ++c) out.col(c) = design.col(kept[c]);
  return out;
}

// The fitted probabilities of linear predictors `eta`, and the deviance,
// from one exponential per sample.
double probabilitiesAndDeviance(const Eigen::VectorXd& y, const Eigen::VectorXd& eta, Eigen::VectorXd& prob) {
  double sum = 0;
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    const double x = eta[i];
    const double e = std::exp(-std::fabs(x));
    prob[i] = x >= 0 ? 1.0 / (1.0 + e) : e / (1.0 + e);
    // log(1 + exp(x)) - y x, without overflow.
    sum += std::fmax(x, 0.0) + std::log1p(e) - y[i] * x;
  }
  return 2 * sum;
}

bool separated(const Eigen::VectorXd& prob) {
  for (Eigen::Index i = 0; i < prob.size(); ++i) {
    if (prob[i] < kSeparatedProbability || prob[i] > 1.0 - kSeparatedProbability) return true;
  }
  return false;
}

}  // namespace

LogisticFit fitLogistic(const Eigen::MatrixXd& full_design, const Eigen::VectorXd& y) {
  LogisticFit fit;
  if (full_design.rows() == 0) return fit;
  const Eigen::MatrixXd design = independentColumns(full_design, fit.rank);
  const Eigen::Index n = design.rows();
  const Eigen::Index p = design.cols();
  Eigen::VectorXd eta = Eigen::VectorXd::Zero(n);
  Eigen::VectorXd prob(n);
  Eigen::VectorXd root_weight(n);
  Eigen::VectorXd working(n);
  Eigen::MatrixXd weighted(n, p);
  Eigen::MatrixXd information(p, p);
  double previous = probabilitiesAndDeviance(y, eta, prob);
  bool converged = false;
  for (int iteration = 0; iteration < kMostIterations && !converged; ++iteration) {
    for (Eigen::Index i = 0; i < n; ++i) {
      root_weight[i] = std::sqrt(prob[i] * (1.0 - prob[i]));
      // The working response times the root weight: sqrt(w) eta + (y - p) / sqrt(w).
      working[i] = root_weight[i] * eta[i] + (y[i] - prob[i]) / root_weight[i];
    }
    if (!(root_weight.minCoeff() > 0)) break;
    weighted = root_weight.asDiagonal() * design;
    information.setZero();
    information.selfadjointView<Eigen::Lower>().rankUpdate(weighted.transpose());
    const Eigen::LDLT<Eigen::MatrixXd> solver(information.selfadjointView<Eigen::Lower>());
    if (solver.info() != Eigen::Success) break;
    eta = design * solver.solve(weighted.transpose() * working);
    const double current = probabilitiesAndDeviance(y, eta, prob);
    if (!std::isfinite(current)) break;
    // Separated classes drive fitted probabilities to 0 or 1 without
    // converging: once one is that close, the fit is refused as it would be.
    if (separated(prob)) return fit;
    converged = std::fabs(current - previous) <= kDevianceTolerance * (std::fabs(current) + 0.1);
    previous = current;
  }
  if (!converged) return fit;
  fit.fitted = true;
  fit.deviance = previous;
  return fit;
}

double likelihoodRatioPValue(const LogisticFit& reduced, const LogisticFit& full) {
  if (!reduced.fitted || !full.fitted) return std::numeric_limits<double>::quiet_NaN();
  return chiSquareUpperTail(std::fmax(0.0, reduced.deviance - full.deviance), full.rank - reduced.rank);
}
