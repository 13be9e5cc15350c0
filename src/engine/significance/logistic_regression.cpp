#include "engine/significance/logistic_regression.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/rank/table_test.h"

namespace {

// glm stops at 25; a fit that needs more is failing to converge.
constexpr int kMostIterations = 50;
// glm's convergence rule, tightened so that p-values agree with other
// fitters to well beyond the digits printed.
constexpr double kDevianceTolerance = 1e-12;
constexpr double kSeparatedProbability = 1e-8;
constexpr double kRankTolerance = 1e-9;

// The fitted probabilities of linear predictors `eta` into work.prob, and
// the deviance, -2 log-likelihood.
double probabilitiesAndDeviance(const Eigen::VectorXd& eta, LogisticWorkspace& work) {
  work.prob.resize(eta.size());
  return work.kernels->probabilities(eta.data(), work.sign.data(), eta.size(), work.prob.data(),
                                     &work.least_prob, &work.most_prob);
}

bool separated(const LogisticWorkspace& work) {
  return work.least_prob < kSeparatedProbability || work.most_prob > 1.0 - kSeparatedProbability;
}

// The runs of neighbouring samples sharing a level, for the kernels to sum
// over; when levels are too mixed for runs to pay, one run of every sample.
void findRuns(const std::vector<int>& level, Eigen::Index n, LogisticWorkspace& work) {
  work.run_end.clear();
  work.run_level.clear();
  for (Eigen::Index i = 0; i < n; ++i) {
    if (i > 0 && level[i] == level[i - 1]) continue;
    if (i > 0) work.run_end.push_back(i);
    work.run_level.push_back(level[i]);
  }
  work.run_end.push_back(n);
  constexpr Eigen::Index kSamplesPerRun = 16;
  work.mixed_levels = static_cast<Eigen::Index>(work.run_end.size()) * kSamplesPerRun > n;
  if (work.mixed_levels) work.run_end.assign(1, n);
}

// Per level of the factor, the sums of the weights, of the weighted dense
// rows and of the working responses: the factor's blocks of X'WX and X'Wz.
void levelSums(const std::vector<int>& level, int levels, Eigen::Index n, Eigen::Index d, LogisticWorkspace& work) {
  work.level_dense.setZero(levels, d);
  work.level_weight.setZero(levels);
  work.level_response.setZero(levels);
  if (!work.mixed_levels) {
    for (std::size_t q = 0; q < work.run_level.size(); ++q) {
      const double* sums = &work.run_sums[q * (d + 2)];
      const int l = work.run_level[q];
      for (Eigen::Index c = 0; c < d; ++c) work.level_dense(l, c) += sums[c];
      work.level_weight[l] += sums[d];
      work.level_response[l] += sums[d + 1];
    }
    return;
  }
  // Levels mixed: four interleaved partial sums keep each addition from
  // waiting on the one before.
  constexpr int kLanes = 4;
  work.partial.setZero(levels * kLanes, d + 2);
  const auto add = [&](const double* column, Eigen::Index c) {
    double* sums = work.partial.col(c).data();
    Eigen::Index i = 0;
    for (; i + kLanes <= n; i += kLanes)
      for (int lane = 0; lane < kLanes; ++lane) sums[kLanes * level[i + lane] + lane] += column[i + lane];
    for (; i < n; ++i) sums[kLanes * level[i]] += column[i];
  };
  for (Eigen::Index c = 0; c < d; ++c) add(work.weighted.data() + c * n, c);
  add(work.weight.data(), d);
  add(work.response.data(), d + 1);
  for (int l = 0; l < levels; ++l) {
    const Eigen::RowVectorXd total = work.partial.middleRows(kLanes * l, kLanes).colwise().sum();
    work.level_dense.row(l) = total.head(d);
    work.level_weight[l] = total[d];
    work.level_response[l] = total[d + 1];
  }
}

// The dense columns independent of the factor and of each other, judged on
// X'WX with the factor eliminated (its Schur complement), scaled so that a
// column counts by the part of its length the others do not explain.
std::vector<Eigen::Index> independentDenseColumns(const LogisticWorkspace& work) {
  const Eigen::Index d = work.schur.rows();
  Eigen::VectorXd scale(d);
  for (Eigen::Index c = 0; c < d; ++c) {
    const double diagonal = work.information(c, c);
    scale[c] = diagonal > 0 ? 1.0 / std::sqrt(diagonal) : 0.0;
  }
  const Eigen::MatrixXd scaled = scale.asDiagonal() * work.schur * scale.asDiagonal();
  Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(scaled);
  qr.setThreshold(kRankTolerance);
  std::vector<Eigen::Index> kept(qr.colsPermutation().indices().data(),
                                 qr.colsPermutation().indices().data() + qr.rank());
  std::sort(kept.begin(), kept.end());
  return kept;
}

enum class Step { kTaken, kSingular, kRankDeficient };

// One IRLS step from the probabilities in `work`: the weighted least
// squares fit of the working response, solved for the dense coefficients
// after eliminating the factor, whose levels then follow one by one.
Step irlsStep(const std::vector<int>& level, int levels, const Eigen::Map<const Eigen::MatrixXd>& dense,
              bool check_rank, Eigen::VectorXd& eta, LogisticWorkspace& work) {
  const Eigen::Index n = dense.rows();
  const Eigen::Index d = dense.cols();
  // X'Wz with z the working response eta + (y - p) / w.
  bool positive = true;
  for (Eigen::Index i = 0; i < n; ++i) {
    const double p = work.prob[i];
    const double w = p * (1.0 - p);
    positive = positive && w > 0;
    work.weight[i] = w;
    work.response[i] = w * eta[i] + (0.5 * (work.sign[i] + 1.0) - p);
  }
  if (!positive) return Step::kSingular;
  work.weighted.resize(static_cast<std::size_t>(n * d));
  work.information.resize(d, d);
  work.dense_response.resize(d);
  work.run_sums.resize(work.run_end.size() * static_cast<std::size_t>(d + 2));
  work.kernels->weightedGram(dense.data(), n, static_cast<int>(d), work.weight.data(), work.response.data(),
                             work.run_end.data(), static_cast<int>(work.run_end.size()), work.weighted.data(),
                             work.information.data(), work.dense_response.data(), work.run_sums.data());
  levelSums(level, levels, n, d, work);
  work.information = work.information.selfadjointView<Eigen::Lower>();
  const Eigen::VectorXd inverse_level_weight = work.level_weight.cwiseInverse();
  work.schur.noalias() = work.information - work.level_dense.transpose() * inverse_level_weight.asDiagonal() *
                                                 work.level_dense;
  if (check_rank && d > 0 && static_cast<Eigen::Index>(independentDenseColumns(work).size()) < d)
    return Step::kRankDeficient;
  if (d > 0) {
    work.dense_response.noalias() -= work.level_dense.transpose() *
                                     inverse_level_weight.cwiseProduct(work.level_response);
    work.solver.compute(work.schur);
    if (work.solver.info() != Eigen::Success) return Step::kSingular;
    work.solution = work.solver.solve(work.dense_response);
    work.level_solution.noalias() = work.level_response - work.level_dense * work.solution;
  } else {
    work.level_solution = work.level_response;
  }
  work.kernels->product(dense.data(), n, static_cast<int>(d), work.solution.data(), eta.data());
  work.level_solution = work.level_solution.cwiseProduct(inverse_level_weight);
  for (Eigen::Index i = 0; i < eta.size(); ++i) eta[i] += work.level_solution[level[i]];
  return Step::kTaken;
}

}  // namespace

LogisticFit fitLogistic(const FactorDesign& design, const Eigen::VectorXd& y, Eigen::VectorXd& eta,
                        LogisticWorkspace& work) {
  LogisticFit fit;
  const Eigen::Index n = design.dense.rows();
  if (n == 0) return fit;
  // Levels holding no sample have no indicator.
  std::vector<int> renumbered(design.levels, -1);
  int levels = 0;
  for (Eigen::Index i = 0; i < n; ++i)
    if (renumbered[design.level[i]] < 0) renumbered[design.level[i]] = levels++;
  work.compact.resize(n);
  for (Eigen::Index i = 0; i < n; ++i) work.compact[i] = renumbered[design.level[i]];
  findRuns(work.compact, n, work);
  work.sign.resize(n);
  work.weight.resize(n);
  work.response.resize(n);
  for (Eigen::Index i = 0; i < n; ++i) work.sign[i] = 2.0 * y[i] - 1.0;
  double previous = probabilitiesAndDeviance(eta, work);
  bool converged = false;
  for (int iteration = 0; iteration < kMostIterations && !converged; ++iteration) {
    const Step step = irlsStep(work.compact, levels, design.dense, iteration == 0, eta, work);
    if (step == Step::kSingular) break;
    if (step == Step::kRankDeficient) {
      // Rare (a covariate constant among these samples, or one a stratum
      // repeats): refit on the independent columns alone.
      const std::vector<Eigen::Index> kept = independentDenseColumns(work);
      Eigen::MatrixXd reduced(n, static_cast<Eigen::Index>(kept.size()));
      for (std::size_t c = 0; c < kept.size(); ++c) reduced.col(static_cast<Eigen::Index>(c)) = design.dense.col(kept[c]);
      return fitLogistic(FactorDesign{design.level, design.levels, {reduced.data(), n, reduced.cols()}}, y, eta, work);
    }
    const double current = probabilitiesAndDeviance(eta, work);
    if (!std::isfinite(current)) break;
    // Separated classes drive fitted probabilities to 0 or 1 without
    // converging: once one is that close, the fit is refused as it would be.
    if (separated(work)) return fit;
    converged = std::fabs(current - previous) <= kDevianceTolerance * (std::fabs(current) + 0.1);
    previous = current;
  }
  if (!converged) return fit;
  fit.fitted = true;
  fit.deviance = previous;
  fit.rank = levels + static_cast<int>(design.dense.cols());
  return fit;
}

double likelihoodRatioPValue(const LogisticFit& reduced, const LogisticFit& full) {
  if (!reduced.fitted || !full.fitted) return std::numeric_limits<double>::quiet_NaN();
  return chiSquareUpperTail(std::fmax(0.0, reduced.deviance - full.deviance), full.rank - reduced.rank);
}
