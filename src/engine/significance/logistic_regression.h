// Logistic regression by iteratively reweighted least squares, and the
// likelihood-ratio test of two nested designs fitted to the same samples.
#ifndef GORVA_ENGINE_SIGNIFICANCE_LOGISTIC_REGRESSION_H
#define GORVA_ENGINE_SIGNIFICANCE_LOGISTIC_REGRESSION_H

#include <vector>

#include <Eigen/Dense>

#include "engine/rank/table_test.h"
#include "engine/significance/logistic_kernels.h"

struct LogisticFit {
  bool fitted = false;  // converged to a finite maximum (separated classes have none)
  double deviance = 0;  // -2 log-likelihood
  int rank = 0;         // independent columns of the design
};

// The design of every model the adjusted tests fit: one factor, entered as
// one indicator per level that holds a sample (so it stands for the
// intercept too), beside dense columns. The indicators are one-hot, so the
// factor's block of X'WX is diagonal and only the dense block needs a
// dense product: each iteration costs O(n d^2), d the dense columns. The
// factor's sums over samples are cheapest when samples of a level are
// neighbours (a caller sorts them so where it can).
// Where columns are constant within groups of samples ("cells": say the
// indicators of two markers' genotypes, constant within each genotype pair)
// they are given per cell, and only their sums over each cell's samples
// are taken: the iteration's cost stays O(n d^2) with d the covariates.
struct FactorDesign {
  const std::vector<int>& level;  // per sample: its cell, 0 ... levels - 1
  int levels;
  Eigen::Map<const Eigen::MatrixXd> dense;  // samples x d, column-major with no gaps
  // The factor level of each cell (none: each cell is a level of its own).
  const std::vector<int>* factor_of_level = nullptr;
  // Columns constant within each cell (levels x m; none: m = 0).
  Eigen::Map<const Eigen::MatrixXd> level_columns{nullptr, 0, 0};
};

// Working storage of the fits, kept between them so that a thread fitting
// many models allocates once.
// Per-sample arrays are vectors, which keep their capacity when a fit of
// fewer samples follows: no allocation, no page faults, from one row to the
// next.
struct LogisticWorkspace {
  std::vector<double> sign, weight, residual, run_offset;
  // The dense block of X'WX of the last step that computed it.
  Eigen::MatrixXd gram;
  Eigen::MatrixXd information, cell_dense, level_dense, schur, partial;
  Eigen::VectorXd start_eta, gradient, cell_weight, cell_residual, level_weight, level_residual, dense_gradient, solution,
      level_solution, cell_solution;
  std::vector<int> factor_of_cell;
  int factors = 0;
  std::vector<int> compact;  // present levels renumbered
  std::vector<long> run_end;  // runs of samples sharing a level
  std::vector<int> run_level;
  std::vector<double> run_sums;
  bool mixed_levels = false;
  Eigen::LDLT<Eigen::MatrixXd> solver;
  double least_prob = 0, most_prob = 0;
  // The samples of factor levels holding both classes, when some hold one.
  std::vector<long> level_classes;
  std::vector<int> kept_level;
  std::vector<Eigen::Index> kept_samples;
  Eigen::MatrixXd kept_dense;
  Eigen::VectorXd kept_y, kept_eta;
  // The search's instruction set (by default the process's).
  const LogisticKernels* kernels = &logisticKernels(activeSimdPath());
};

// Fits P(y = 1) = 1 / (1 + exp(-eta)) to the 0/1 outcomes `y`, starting
// from the linear predictors in `eta` (zero for a cold start; a nested
// model's fit makes a warm one) and leaving the fitted ones there. Dense
// columns that depend linearly on the factor and earlier columns are
// dropped first, so a design with empty or repeated indicators fits as its
// column space does. `start_gram`, if given, is the dense block of X'WX
// that a fit to the same samples and dense columns ended with (a nested
// model's work.gram): the first step takes it instead of its own.
// Every step after the first few keeps the last block too; the fitted
// model is the Newton iteration's, to its convergence rule. Factor levels
// holding one class are fitted exactly, at the likelihood's supremum: the
// deviance and eta are those of the other samples' fit, the rank counts
// their indicators (not fitted when no other sample holds both classes).
LogisticFit fitLogistic(const FactorDesign& design, const Eigen::VectorXd& y, Eigen::VectorXd& eta,
                        LogisticWorkspace& work, const Eigen::MatrixXd* start_gram = nullptr);

// The dense columns independent of the factor and of the columns kept
// before them, judged on X'WX with the factor eliminated (its Schur
// complement, `schur`) scaled to a unit diagonal of X'WX (`diagonal`): a
// column is kept when the part of its weighted sum of squares that neither
// the factor nor the kept columns explain exceeds 1e-9. The bound is
// absolute, not relative to the largest such part: a column constant among
// the samples leaves only rounding, which must not pass for a covariate
// because no other column is larger. `factor`, if given, gets the Cholesky
// factor of the scaled complement: column j (j < kept) below row kept[j].
std::vector<Eigen::Index> keptDenseColumns(const Eigen::MatrixXd& schur, const Eigen::VectorXd& diagonal,
                                           Eigen::MatrixXd* factor = nullptr);

// The upper chi-square tail of the deviance drop from `reduced` to `full`
// with df the rank difference; NaN when either fit failed or df < 1.
TableTest likelihoodRatioTest(const LogisticFit& reduced, const LogisticFit& full);

#endif  // GORVA_ENGINE_SIGNIFICANCE_LOGISTIC_REGRESSION_H
