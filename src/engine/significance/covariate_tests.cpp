#include "engine/significance/covariate_tests.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <optional>

#include "engine/count/worker_threads.h"
#include "engine/significance/logistic_regression.h"

namespace {

constexpr double kNotANumber = std::numeric_limits<double>::quiet_NaN();

// Samples missing a genotype of the combination are counted only where the
// method gives missing codes a cell of their own or fills them in; the
// others count a table of the samples observed at every marker.
bool countsMissingCodes(int missing_code) {
  return missing_code == kMethodMc || missing_code == kMethodNone || missing_code == kMethodImputation;
}

class CombinationModels {
 public:
  CombinationModels(const SearchContext& context, const CovariateModel& model, int k)
      : context_(context), model_(model), k_(k), levels_(genotypeLevels(context.missing_code)) {
    cells_ = 1;
    for (int j = 0; j < k; ++j) cells_ *= levels_;
  }

  AdjustedPValues assess(const int* markers) {
    const std::vector<unsigned char> codes = contextColumns(context_, markers, k_);
    const int S = context_.sample_count;
    rows_.clear();
    cell_of_.clear();
    for (const int s : context_.samples) {
      int cell = 0;
      bool observed = true;
      for (int j = k_ - 1; j >= 0; --j) {
        const int code = codes[static_cast<std::size_t>(j) * S + s];
        observed = observed && (code < 3 || levels_ == 4);
        cell = cell * levels_ + code;
      }
      if (!observed && !countsMissingCodes(context_.missing_code)) continue;
      rows_.push_back(s);
      cell_of_.push_back(cell);
    }
    AdjustedPValues out{kNotANumber, kNotANumber, false};
    const int n = static_cast<int>(rows_.size());
    if (n == 0) return out;
    Eigen::VectorXd y(n);
    for (int i = 0; i < n; ++i) y[i] = context_.phenotypes[rows_[i]];
    const Eigen::MatrixXd base = baseDesign();
    // Rows that count every sample share the model of the covariates alone.
    const bool every_sample = rows_.size() == context_.samples.size();
    if (!every_sample || !every_sample_fit_) {
      const LogisticFit fit = fitLogistic(base, y);
      if (every_sample) every_sample_fit_ = fit;
      reduced_ = fit;
    } else {
      reduced_ = *every_sample_fit_;
    }
    const LogisticFit& reduced = reduced_;
    const LogisticFit full = fitLogistic(withFactor(base, cell_of_, cells_), y);
    out.p_adjusted = likelihoodRatioPValue(reduced, full);
    out.not_fitted = !reduced.fitted || !full.fitted;
    if (k_ == 2) {
      std::vector<int> first(n), second(n);
      for (int i = 0; i < n; ++i) {
        first[i] = cell_of_[i] % levels_;
        second[i] = cell_of_[i] / levels_;
      }
      const Eigen::MatrixXd main_effects = withFactor(withFactor(base, first, levels_), second, levels_);
      const LogisticFit additive = fitLogistic(main_effects, y);
      out.p_interaction_adjusted = likelihoodRatioPValue(additive, full);
      out.not_fitted = out.not_fitted || !additive.fitted;
    }
    return out;
  }

 private:
  // The intercept, the covariates and the strata of the counted samples.
  Eigen::MatrixXd baseDesign() const {
    const int n = static_cast<int>(rows_.size());
    const int strata_columns = model_.strata.empty() ? 0 : model_.stratum_count - 1;
    Eigen::MatrixXd design = Eigen::MatrixXd::Zero(n, 1 + model_.count + strata_columns);
    for (int i = 0; i < n; ++i) {
      const int s = rows_[i];
      design(i, 0) = 1.0;
      for (int c = 0; c < model_.count; ++c) {
        design(i, 1 + c) = model_.values[static_cast<std::size_t>(s) * model_.count + c];
      }
      if (strata_columns > 0 && model_.strata[s] > 0) design(i, model_.count + model_.strata[s]) = 1.0;
    }
    return design;
  }

  // `design` and one indicator per level of `factor` that occurs, but the
  // lowest occurring one, in order of the codes.
  static Eigen::MatrixXd withFactor(const Eigen::MatrixXd& design, const std::vector<int>& factor,
                                    int levels) {
    std::vector<int> column(levels, -1);
    for (const int level : factor) column[level] = 0;
    int added = -1;
    for (int level = 0; level < levels; ++level) {
      if (column[level] < 0) continue;
      column[level] = added++;  // the lowest gets -1: the reference
    }
    added = std::max(added, 0);
    Eigen::MatrixXd out(design.rows(), design.cols() + added);
    out.leftCols(design.cols()) = design;
    out.rightCols(added).setZero();
    for (Eigen::Index i = 0; i < design.rows(); ++i) {
      if (column[factor[i]] >= 0) out(i, design.cols() + column[factor[i]]) = 1.0;
    }
    return out;
  }

  const SearchContext& context_;
  const CovariateModel& model_;
  int k_;
  int levels_;
  int cells_;
  std::optional<LogisticFit> every_sample_fit_;
  LogisticFit reduced_;
  std::vector<int> rows_;     // the counted samples
  std::vector<int> cell_of_;  // each one's genotype cell
};

}  // namespace

std::vector<AdjustedPValues> adjustedPValues(const SearchContext& context, const CovariateModel& model,
                                             const std::vector<int>& combinations, int k, int threads) {
  const long count = k > 0 ? static_cast<long>(combinations.size()) / k : 0;
  std::vector<AdjustedPValues> out(count, AdjustedPValues{kNotANumber, kNotANumber, false});
  std::atomic<long> next{0};
  runWorkers(std::max(1, std::min<int>(threads, static_cast<int>(std::min(count, 1L << 20)))), [&](int) {
    CombinationModels models(context, model, k);
    for (long r = next++; r < count; r = next++) out[r] = models.assess(&combinations[r * k]);
  });
  return out;
}
