// The covariates as the adjusted tests fit them. Each column is centred and
// scaled over the analysed samples: a logistic model's likelihood, and so
// every likelihood-ratio test, is the same for any affine change of a
// covariate, while its X'WX is not (values near 1e300 overflow it, large
// offsets drown the column's spread in rounding). Columns that add nothing
// to the intercept, the strata and the columns before them are left out and
// named, so that a run can say which.
#ifndef GORVA_ENGINE_SIGNIFICANCE_COVARIATE_COLUMNS_H
#define GORVA_ENGINE_SIGNIFICANCE_COVARIATE_COLUMNS_H

#include <string>
#include <vector>

#include <Eigen/Dense>

#include "engine/rank/search_context.h"
#include "engine/significance/structure_results.h"

struct CovariateColumns {
  // Sample number x kept column; samples not analysed hold 0.
  Eigen::MatrixXd values;
  std::vector<int> kept;  // the model's columns fitted, increasing
  // The others; a dependent one is so to 1e-9 of its sum of squares about
  // its mean.
  DroppedCovariates dropped;
};

// The columns of `model` over `samples` (sample numbers); `stratum_of`
// (null: one stratum) gives each sample's stratum among `strata`.
CovariateColumns usableCovariates(const CovariateModel& model, const std::vector<int>& samples,
                                  const int* stratum_of, int strata);

// The same for the context's analysed samples and strata (the model's own
// strata, if it has any, else the context's): what every adjusted model of
// the context fits.
CovariateColumns usableCovariates(const SearchContext& context, const CovariateModel& model);

// One warning line per dropped column, named by `names` (by position when
// `names` is shorter); empty when none is dropped.
std::string droppedCovariatesWarning(const DroppedCovariates& dropped, const std::vector<std::string>& names);

#endif  // GORVA_ENGINE_SIGNIFICANCE_COVARIATE_COLUMNS_H
