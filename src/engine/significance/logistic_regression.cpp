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
// A fitted probability this close to 0 or 1 is where separated classes
// drive a fit, but also where a strong covariate legitimately puts a few
// samples of its tail: such a fit is carried on by Newton steps alone and
// taken only if its linear predictors settle (below).
constexpr double kSeparatedProbability = 1e-8;
// Under separation each Newton step moves the separated samples' linear
// predictors by about 1 (the gradient and the curvature of their
// log-likelihood are both about their fitted probability, which shrinks by
// e each step) and never less; at a finite maximum the steps shrink
// quadratically. A fit whose last step moved some predictor by more than
// this has not settled.
constexpr double kSettledPredictor = 1e-6;
// Once a step moves the deviance by less than this (relative), the next
// keeps the last dense block of X'WX, which costs most of a step: the
// weights have then moved by about the square root of it, so a chord step
// from that block converges almost as fast as Newton's (1e-6 and 1e-2 cost
// the same to within the noise and moved no p-value by more than 5e-11
// relative in log p).
constexpr double kChordTolerance = 1e-4;
constexpr double kRankTolerance = 1e-9;

// The deviance, -2 log-likelihood, of linear predictors `eta`, and the
// weights and residuals of a step from them.
double sweep(const Eigen::VectorXd& eta, LogisticWorkspace& work) {
  return work.kernels->sweep(eta.data(), work.sign.data(), eta.size(), work.weight.data(), work.residual.data(),
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

// Per cell, the sums of the weights, of the weighted dense rows and of the
// residuals.
void levelSums(const std::vector<int>& level, int levels, const double* dense, Eigen::Index n, Eigen::Index d,
               LogisticWorkspace& work) {
  work.cell_dense.setZero(levels, d);
  work.cell_weight.setZero(levels);
  work.cell_residual.setZero(levels);
  if (!work.mixed_levels) {
    for (std::size_t q = 0; q < work.run_level.size(); ++q) {
      const double* sums = &work.run_sums[q * (d + 2)];
      const int l = work.run_level[q];
      for (Eigen::Index c = 0; c < d; ++c) work.cell_dense(l, c) += sums[c];
      work.cell_weight[l] += sums[d];
      work.cell_residual[l] += sums[d + 1];
    }
    return;
  }
  // Levels mixed: four interleaved partial sums keep each addition from
  // waiting on the one before.
  constexpr int kLanes = 4;
  work.partial.setZero(levels * kLanes, d + 2);
  const auto add = [&](const double* column, const double* times, Eigen::Index c) {
    double* sums = work.partial.col(c).data();
    const auto term = [&](Eigen::Index i) { return times != nullptr ? times[i] * column[i] : column[i]; };
    Eigen::Index i = 0;
    for (; i + kLanes <= n; i += kLanes)
      for (int lane = 0; lane < kLanes; ++lane) sums[kLanes * level[i + lane] + lane] += term(i + lane);
    for (; i < n; ++i) sums[kLanes * level[i]] += term(i);
  };
  for (Eigen::Index c = 0; c < d; ++c) add(dense + c * n, work.weight.data(), c);
  add(work.weight.data(), nullptr, d);
  add(work.residual.data(), nullptr, d + 1);
  for (int l = 0; l < levels; ++l) {
    const Eigen::RowVectorXd total = work.partial.middleRows(kLanes * l, kLanes).colwise().sum();
    work.cell_dense.row(l) = total.head(d);
    work.cell_weight[l] = total[d];
    work.cell_residual[l] = total[d + 1];
  }
}

}  // namespace

std::vector<Eigen::Index> keptDenseColumns(const Eigen::MatrixXd& schur, const Eigen::VectorXd& diagonal,
                                           Eigen::MatrixXd* factor_out) {
  const Eigen::Index d = schur.rows();
  Eigen::VectorXd scale(d);
  for (Eigen::Index c = 0; c < d; ++c) scale[c] = diagonal[c] > 0 ? 1.0 / std::sqrt(diagonal[c]) : 0.0;
  const Eigen::MatrixXd scaled = scale.asDiagonal() * schur * scale.asDiagonal();
  // Cholesky factor columns of the kept columns, in order.
  Eigen::MatrixXd own;
  Eigen::MatrixXd& factor = factor_out != nullptr ? *factor_out : own;
  factor.setZero(d, d);
  std::vector<Eigen::Index> kept;
  for (Eigen::Index c = 0; c < d; ++c) {
    const auto column = static_cast<Eigen::Index>(kept.size());
    double unexplained = scaled(c, c);
    for (Eigen::Index j = 0; j < column; ++j) unexplained -= factor(c, j) * factor(c, j);
    if (!(unexplained > kRankTolerance)) continue;
    const double pivot = std::sqrt(unexplained);
    for (Eigen::Index r = c + 1; r < d; ++r) {
      double entry = scaled(r, c);
      for (Eigen::Index j = 0; j < column; ++j) entry -= factor(r, j) * factor(c, j);
      factor(r, column) = entry / pivot;
    }
    factor(c, column) = pivot;
    kept.push_back(c);
  }
  return kept;
}

namespace {

std::vector<Eigen::Index> independentDenseColumns(const LogisticWorkspace& work) {
  return keptDenseColumns(work.schur, work.information.diagonal(), nullptr);
}

enum class Step { kTaken, kSingular, kRankDeficient };

// The factor's and the cell columns' blocks of X'WX and X'(y - p) from the sums
// per cell: X'WX of the cell columns and the dense ones (m + d square,
// lower triangle) into work.information, the factor's sums into
// work.level_*, X'(y - p) of the cell and dense columns into work.dense_gradient.
void assembleFromCells(const Eigen::MatrixXd& cell_columns, Eigen::Index d, LogisticWorkspace& work) {
  const Eigen::Index m = cell_columns.cols();
  const Eigen::Index cells = cell_columns.rows();
  work.information.resize(m + d, m + d);
  work.information.bottomRightCorner(d, d) = work.gram;
  work.information.leftCols(m).setZero();
  work.dense_gradient.resize(m + d);
  work.dense_gradient.head(m).setZero();
  work.dense_gradient.tail(d) = work.gradient;
  work.level_dense.setZero(work.factors, m + d);
  work.level_weight.setZero(work.factors);
  work.level_residual.setZero(work.factors);
  for (Eigen::Index c = 0; c < cells; ++c) {
    const int f = work.factor_of_cell[c];
    const double weight = work.cell_weight[c];
    work.level_weight[f] += weight;
    work.level_residual[f] += work.cell_residual[c];
    work.level_dense.row(f).tail(d) += work.cell_dense.row(c);
    if (m == 0) continue;
    const auto columns = cell_columns.row(c);
    work.level_dense.row(f).head(m) += weight * columns;
    work.information.topLeftCorner(m, m).noalias() += weight * columns.transpose() * columns;
    work.information.bottomLeftCorner(d, m).noalias() += work.cell_dense.row(c).transpose() * columns;
    work.dense_gradient.head(m) += work.cell_residual[c] * columns.transpose();
  }
}

// One Newton step from the weights and residuals in `work`: X'WX d = X'(y - p),
// solved for the cell and dense coefficients' increments after eliminating
// the factor, whose levels then follow one by one, and added to eta. With
// `fresh_gram` false the dense block of X'WX is the one in work.gram (an
// earlier step's): the step is then a chord step, whose fixed point is the
// same fit since the gradient is exact.
Step newtonStep(const std::vector<int>& cell, const Eigen::MatrixXd& cell_columns,
                const Eigen::Map<const Eigen::MatrixXd>& dense, bool check_rank, bool fresh_gram,
                Eigen::VectorXd& eta, LogisticWorkspace& work) {
  const Eigen::Index n = dense.rows();
  const Eigen::Index d = dense.cols();
  const Eigen::Index m = cell_columns.cols();
  const auto cells = static_cast<int>(cell_columns.rows());
  if (fresh_gram) work.gram.resize(d, d);
  work.gradient.resize(d);
  work.run_sums.resize(work.run_end.size() * static_cast<std::size_t>(d + 2));
  work.kernels->weightedGram(dense.data(), n, static_cast<int>(d), work.weight.data(), work.residual.data(),
                             work.run_end.data(), static_cast<int>(work.run_end.size()),
                             fresh_gram ? work.gram.data() : nullptr, work.gradient.data(), work.run_sums.data());
  levelSums(cell, cells, dense.data(), n, d, work);
  assembleFromCells(cell_columns, d, work);
  work.information = work.information.selfadjointView<Eigen::Lower>();
  const Eigen::VectorXd inverse_level_weight = work.level_weight.cwiseInverse();
  work.schur.noalias() = work.information - work.level_dense.transpose() * inverse_level_weight.asDiagonal() *
                                                 work.level_dense;
  if (check_rank && m + d > 0 && static_cast<Eigen::Index>(independentDenseColumns(work).size()) < m + d)
    return Step::kRankDeficient;
  work.solution.setZero(m + d);
  if (m + d > 0) {
    work.dense_gradient.noalias() -= work.level_dense.transpose() *
                                     inverse_level_weight.cwiseProduct(work.level_residual);
    work.solver.compute(work.schur);
    if (work.solver.info() != Eigen::Success) return Step::kSingular;
    work.solution = work.solver.solve(work.dense_gradient);
    work.level_solution.noalias() = work.level_residual - work.level_dense * work.solution;
  } else {
    work.level_solution = work.level_residual;
  }
  work.level_solution = work.level_solution.cwiseProduct(inverse_level_weight);
  // Each cell's part of the step: its factor level's and its columns'.
  work.cell_solution.resize(cells);
  for (int c = 0; c < cells; ++c)
    work.cell_solution[c] = work.level_solution[work.factor_of_cell[c]] + cell_columns.row(c).dot(work.solution.head(m));
  if (!work.mixed_levels) {
    work.run_offset.resize(work.run_level.size());
    for (std::size_t q = 0; q < work.run_level.size(); ++q) work.run_offset[q] = work.cell_solution[work.run_level[q]];
    work.kernels->predict(dense.data(), n, static_cast<int>(d), work.solution.data() + m, work.run_end.data(),
                          work.run_offset.data(), static_cast<int>(work.run_end.size()), eta.data());
  } else {
    const double none = 0;
    work.kernels->predict(dense.data(), n, static_cast<int>(d), work.solution.data() + m, work.run_end.data(), &none,
                          1, eta.data());
    for (Eigen::Index i = 0; i < n; ++i) eta[i] += work.cell_solution[cell[i]];
  }
  return Step::kTaken;
}

// How a fit steps: chord steps once the deviance settles (the default),
// Newton steps alone, or Newton steps alone carried on past fitted
// probabilities near 0 or 1 until the linear predictors settle.
enum class Steps { kChords, kNewton, kNewtonPastExtremes };

LogisticFit fitFrom(const FactorDesign& design, const Eigen::VectorXd& y, Eigen::VectorXd& eta,
                    LogisticWorkspace& work, const Eigen::MatrixXd* start_gram, Steps steps) {
  const bool chords = steps == Steps::kChords;
  const bool past_extremes = steps == Steps::kNewtonPastExtremes;
  LogisticFit fit;
  const Eigen::Index n = design.dense.rows();
  const Eigen::Index d = design.dense.cols();
  if (n == 0) return fit;
  // Cells and factor levels holding no sample have no indicator.
  std::vector<int> renumbered(design.levels, -1);
  std::vector<int> cell_level;
  int cells = 0;
  for (Eigen::Index i = 0; i < n; ++i)
    if (renumbered[design.level[i]] < 0) renumbered[design.level[i]] = cells++, cell_level.push_back(design.level[i]);
  work.compact.resize(n);
  for (Eigen::Index i = 0; i < n; ++i) work.compact[i] = renumbered[design.level[i]];
  findRuns(work.compact, n, work);
  const Eigen::Index m = design.level_columns.cols();
  Eigen::MatrixXd cell_columns(cells, m);
  std::vector<int> factor_number(design.levels, -1);
  work.factors = 0;
  work.factor_of_cell.resize(cells);
  for (int c = 0; c < cells; ++c) {
    const int level = cell_level[c];
    const int factor = design.factor_of_level != nullptr ? (*design.factor_of_level)[level] : level;
    if (factor_number[factor] < 0) factor_number[factor] = work.factors++;
    work.factor_of_cell[c] = factor_number[factor];
    if (m > 0) cell_columns.row(c) = design.level_columns.row(level);
  }
  work.sign.resize(n);
  work.weight.resize(n);
  work.residual.resize(n);
  for (Eigen::Index i = 0; i < n; ++i) work.sign[i] = 2.0 * y[i] - 1.0;
  work.start_eta = eta;
  // A chord step that fails is no verdict on the model: the fit starts over
  // with Newton steps alone, and answers as they do.
  const auto without_chords = [&] {
    eta = work.start_eta;
    return fitFrom(design, y, eta, work, nullptr, Steps::kNewton);
  };
  Eigen::VectorXd before_step;
  bool fresh_gram = true;
  if (chords && start_gram != nullptr && start_gram->rows() == d && d > 0) {
    if (start_gram != &work.gram) work.gram = *start_gram;
    fresh_gram = false;
  }
  double previous = sweep(eta, work);
  if (!std::isfinite(previous)) return fit;
  if (!past_extremes && separated(work)) return fitFrom(design, y, eta, work, nullptr, Steps::kNewtonPastExtremes);
  bool converged = false;
  bool rank_checked = false;
  bool chord_taken = false;
  for (int iteration = 0; iteration < kMostIterations && !converged; ++iteration) {
    const bool chord = !fresh_gram;
    if (past_extremes) before_step = eta;
    const Step step =
        newtonStep(work.compact, cell_columns, design.dense, !rank_checked && !chord, !chord, eta, work);
    rank_checked = rank_checked || !chord;
    if (step == Step::kSingular) {
      if (chord) return without_chords();
      break;
    }
    if (step == Step::kRankDeficient) {
      // Rare (a covariate constant among these samples, or one a stratum
      // repeats): refit on the independent columns alone, from the start.
      std::vector<Eigen::Index> kept_cell, kept_dense;
      for (const Eigen::Index c : independentDenseColumns(work)) (c < m ? kept_cell : kept_dense).push_back(c < m ? c : c - m);
      Eigen::MatrixXd reduced(n, static_cast<Eigen::Index>(kept_dense.size()));
      for (std::size_t c = 0; c < kept_dense.size(); ++c) reduced.col(static_cast<Eigen::Index>(c)) = design.dense.col(kept_dense[c]);
      Eigen::MatrixXd reduced_columns(design.level_columns.rows(), static_cast<Eigen::Index>(kept_cell.size()));
      for (std::size_t c = 0; c < kept_cell.size(); ++c)
        reduced_columns.col(static_cast<Eigen::Index>(c)) = design.level_columns.col(kept_cell[c]);
      eta = work.start_eta;
      return fitFrom(FactorDesign{design.level, design.levels, {reduced.data(), n, reduced.cols()},
                                  design.factor_of_level,
                                  {reduced_columns.data(), reduced_columns.rows(), reduced_columns.cols()}},
                     y, eta, work, nullptr, steps);
    }
    const double current = sweep(eta, work);
    if (!std::isfinite(current)) {
      if (chord) return without_chords();
      break;
    }
    // Separated classes drive fitted probabilities to 0 or 1 without
    // converging, and so can a strong covariate's tail at a finite maximum:
    // Newton steps alone, past such probabilities, tell the two apart.
    if (!past_extremes && separated(work)) {
      eta = work.start_eta;
      return fitFrom(design, y, eta, work, nullptr, Steps::kNewtonPastExtremes);
    }
    const double scale = std::fabs(current) + 0.1;
    const double change = std::fabs(current - previous);
    // A fit is taken once its columns have been checked on a step's own X'WX;
    // past extreme probabilities, once no predictor moves either (separated
    // classes move theirs by about 1 a step until a probability rounds to 0
    // or 1, a singular step, or the steps run out).
    converged = rank_checked && change <= kDevianceTolerance * scale &&
                (!past_extremes || (eta - before_step).lpNorm<Eigen::Infinity>() <= kSettledPredictor);
    fresh_gram = !chords || !rank_checked || change > kChordTolerance * scale;
    chord_taken = chord_taken || chord;
    previous = current;
  }
  if (!converged) return chord_taken ? without_chords() : fit;
  fit.fitted = true;
  fit.deviance = previous;
  fit.rank = work.factors + static_cast<int>(m + d);
  return fit;
}

}  // namespace

LogisticFit fitLogistic(const FactorDesign& design, const Eigen::VectorXd& y, Eigen::VectorXd& eta,
                        LogisticWorkspace& work, const Eigen::MatrixXd* start_gram) {
  // A factor level whose samples are all of one class has no finite fit:
  // its coefficient runs to infinity. At the likelihood's supremum those
  // samples are fitted exactly (probability 1 of their class, deviance 0)
  // whatever the other coefficients are, so the supremum is the fit of the
  // other samples, with each such level's indicator still a column of the
  // design (its rank). That is the deviance a likelihood-ratio test takes,
  // as the G of a table takes an empty cell's zero term.
  const auto n = static_cast<Eigen::Index>(design.level.size());
  const auto factorLevel = [&design](Eigen::Index i) {
    const int level = design.level[i];
    return design.factor_of_level != nullptr ? (*design.factor_of_level)[level] : level;
  };
  int factor_levels = 0;
  for (Eigen::Index i = 0; i < n; ++i) factor_levels = std::max(factor_levels, factorLevel(i) + 1);
  std::vector<long>& classes = work.level_classes;
  classes.assign(2L * factor_levels, 0);
  for (Eigen::Index i = 0; i < n; ++i) ++classes[2L * factorLevel(i) + (y[i] > 0.5 ? 1 : 0)];
  int one_class = 0;
  for (int l = 0; l < factor_levels; ++l) one_class += (classes[2L * l] == 0) != (classes[2L * l + 1] == 0) ? 1 : 0;
  if (one_class == 0) return fitFrom(design, y, eta, work, start_gram, Steps::kChords);
  std::vector<int>& kept_level = work.kept_level;
  std::vector<Eigen::Index>& kept = work.kept_samples;
  kept_level.clear();
  kept.clear();
  for (Eigen::Index i = 0; i < n; ++i) {
    const int l = factorLevel(i);
    if (classes[2L * l] > 0 && classes[2L * l + 1] > 0) {
      kept.push_back(i);
      kept_level.push_back(design.level[i]);
    }
  }
  const auto m = static_cast<Eigen::Index>(kept.size());
  bool both = false;
  for (Eigen::Index j = 0; j < m && !both; ++j) both = y[kept[j]] != y[kept[0]];
  // Every sample in such levels (or the rest of one class): nothing left to
  // fit the other coefficients to, and no rank to count.
  if (!both) return LogisticFit{};
  const Eigen::Index d = design.dense.cols();
  work.kept_dense.resize(m, d);
  work.kept_y.resize(m);
  work.kept_eta.resize(m);
  for (Eigen::Index j = 0; j < m; ++j) {
    work.kept_dense.row(j) = design.dense.row(kept[j]);
    work.kept_y[j] = y[kept[j]];
    work.kept_eta[j] = eta[kept[j]];
  }
  const FactorDesign kept_design{kept_level, design.levels,
                                 Eigen::Map<const Eigen::MatrixXd>(work.kept_dense.data(), m, d),
                                 design.factor_of_level, design.level_columns};
  // The fit of the kept samples takes no X'WX of all of them.
  LogisticFit fit = fitFrom(kept_design, work.kept_y, work.kept_eta, work, nullptr, Steps::kChords);
  // The exactly fitted samples' predictors, far out on their class's side,
  // for a nested model to start from.
  constexpr double kFittedExactly = 30;
  for (Eigen::Index i = 0; i < n; ++i) eta[i] = y[i] > 0.5 ? kFittedExactly : -kFittedExactly;
  for (Eigen::Index j = 0; j < m; ++j) eta[kept[j]] = work.kept_eta[j];
  fit.rank += one_class;
  return fit;
}

TableTest likelihoodRatioTest(const LogisticFit& reduced, const LogisticFit& full) {
  if (!reduced.fitted || !full.fitted) return TableTest{0, 0, std::numeric_limits<double>::quiet_NaN()};
  const double statistic = std::fmax(0.0, reduced.deviance - full.deviance);
  const int df = full.rank - reduced.rank;
  return TableTest{statistic, df, chiSquareUpperTail(statistic, df)};
}
