#include "engine/significance/covariate_columns.h"

#include <algorithm>
#include <cmath>

#include "io/messages.h"

namespace {

// The share of a column's sum of squares about its mean below which the
// part the strata and the kept columns leave unexplained is rounding: the
// bound the fits' own rank check puts on X'WX.
constexpr double kDependentShare = 1e-9;

}  // namespace

CovariateColumns usableCovariates(const CovariateModel& model, const std::vector<int>& samples,
                                  const int* stratum_of, int strata) {
  CovariateColumns out;
  const int d = model.count;
  const auto n = static_cast<Eigen::Index>(samples.size());
  const auto value = [&](int s, int c) { return model.values[static_cast<std::size_t>(s) * d + c]; };
  const auto stratumOf = [&](int s) { return stratum_of != nullptr && strata > 1 ? stratum_of[s] : 0; };
  const int groups = std::max(1, strata);
  std::vector<double> in_stratum(groups, 0.0);
  for (const int s : samples) in_stratum[stratumOf(s)] += 1;
  // The analysed samples' columns, standardised, and an orthonormal basis
  // of the kept ones' parts within the strata.
  Eigen::MatrixXd standard(n, 0);
  Eigen::MatrixXd basis(n, 0);
  Eigen::VectorXd column(n), within(n);
  for (int c = 0; c < d; ++c) {
    if (n == 0) {
      out.dropped.constant.push_back(c);
      continue;
    }
    bool one_value = true;
    for (const int s : samples) one_value = one_value && value(s, c) == value(samples[0], c);
    if (one_value) {
      out.dropped.constant.push_back(c);
      continue;
    }
    // Measured from the first sample's value before it is scaled: values
    // far from 0 (a time in milliseconds, 1.7e12) then lose no digits to
    // the division, which rounded them anew and moved p_adjusted with a
    // shift of the column that the intercept takes up (1e-6 at 1e12). The
    // difference of two close values is exact; halves keep one of values
    // of opposite signs near the double's limit finite.
    const double first = value(samples[0], c);
    for (Eigen::Index i = 0; i < n; ++i) column[i] = value(samples[i], c) - first;
    if (!column.allFinite()) {
      for (Eigen::Index i = 0; i < n; ++i) column[i] = value(samples[i], c) / 2 - first / 2;
    }
    // Divided by the largest magnitude first, so that no sum overflows;
    // the mean's rounding is taken out by a second pass.
    column /= column.cwiseAbs().maxCoeff();
    column.array() -= column.mean();
    column.array() -= column.mean();
    column /= column.norm() / std::sqrt(static_cast<double>(std::max<Eigen::Index>(n - 1, 1)));
    std::vector<double> stratum_sum(groups, 0.0);
    for (Eigen::Index i = 0; i < n; ++i) stratum_sum[stratumOf(samples[i])] += column[i];
    for (Eigen::Index i = 0; i < n; ++i) {
      const int st = stratumOf(samples[i]);
      within[i] = column[i] - stratum_sum[st] / in_stratum[st];
    }
    // Not the spread within the strata: for a column the strata fix, that
    // is rounding too.
    const double spread = column.squaredNorm();
    // Twice: one pass of Gram-Schmidt leaves rounding along the basis.
    for (int pass = 0; pass < 2; ++pass) within -= basis * (basis.transpose() * within);
    const double unexplained = within.squaredNorm();
    if (!(unexplained > kDependentShare * spread)) {
      out.dropped.dependent.push_back(c);
      continue;
    }
    basis.conservativeResize(Eigen::NoChange, basis.cols() + 1);
    basis.col(basis.cols() - 1) = within / std::sqrt(unexplained);
    standard.conservativeResize(Eigen::NoChange, standard.cols() + 1);
    standard.col(standard.cols() - 1) = column;
    out.kept.push_back(c);
  }
  int sample_count = 0;
  for (const int s : samples) sample_count = std::max(sample_count, s + 1);
  const auto rows = static_cast<Eigen::Index>(d > 0 ? model.values.size() / d : 0);
  out.values.setZero(std::max<Eigen::Index>(rows, sample_count), standard.cols());
  for (Eigen::Index i = 0; i < n; ++i) out.values.row(samples[i]) = standard.row(i);
  return out;
}

CovariateColumns usableCovariates(const SearchContext& context, const CovariateModel& model) {
  if (!model.strata.empty()) return usableCovariates(model, context.samples, model.strata.data(), model.stratum_count);
  return usableCovariates(model, context.samples, context.stratum_of, context.stratum_of != nullptr ? context.stratum_count : 1);
}

std::string droppedCovariatesWarning(const DroppedCovariates& dropped, const std::vector<std::string>& names) {
  const auto name = [&](int c) {
    return c < static_cast<int>(names.size()) ? names[c] : "number " + std::to_string(c + 1);
  };
  std::string lines;
  for (const int c : dropped.constant)
    lines += warningLine("covariate " + name(c) +
                         " takes one value over the analysed samples (the intercept again): left out of the "
                         "adjusted models");
  for (const int c : dropped.dependent)
    lines += warningLine("covariate " + name(c) +
                         " is a linear combination of the covariates before it (and the strata) over the analysed "
                         "samples: left out of the adjusted models");
  return lines;
}
