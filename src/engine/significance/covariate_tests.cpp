#include "engine/significance/covariate_tests.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <optional>

#include "engine/count/worker_threads.h"
#include "engine/significance/interaction_test.h"
#include "engine/significance/logistic_regression.h"
#include "engine/significance/table_test.h"

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
      : context_(context),
        model_(model),
        k_(k),
        levels_(genotypeLevels(context.missing_code)),
        // The run's strata, unless the model brings its own.
        stratum_of_sample_(!model.strata.empty() ? model.strata.data() : context.stratum_of),
        strata_(!model.strata.empty() ? std::max(1, model.stratum_count)
                : context.stratum_of != nullptr ? std::max(1, context.stratum_count)
                                                : 1) {
    cells_ = 1;
    for (int j = 0; j < k; ++j) cells_ *= levels_;
  }

  AdjustedPValues assess(const int* markers) {
    countedSamples(markers);
    AdjustedPValues out{kNotANumber, kNotANumber, false};
    if (rows_.empty()) return out;
    // The genotype enters as the groups the association test pools the
    // cells into, per stratum: cells of a few samples make the likelihood
    // ratio anti-conservative and separate the classes. Without covariates
    // the test is then the association test's G before Williams' divisor.
    std::vector<int> group_of(rows_.size());
    for (int st = 0; st < strata_; ++st) {
      const std::vector<int> groups = associationGroups(&tables_[2L * cells_ * st], cells_);
      for (std::size_t i = 0; i < rows_.size(); ++i)
        if (stratum_of_[i] == st) group_of[i] = cells_ * st + groups[cell_of_[i]];
    }
    const LogisticFit reduced = covariatesOnlyFit();
    const LogisticFit full = fitLogistic(withFactor(baseDesign(rows_), group_of, cells_ * strata_), outcomes(rows_));
    out.p_adjusted = likelihoodRatioPValue(reduced, full);
    out.not_fitted = !reduced.fitted || !full.fitted;
    if (k_ == 2) interaction(out);
    return out;
  }

 private:
  // The samples the combination's count table counts, each one's genotype
  // cell and stratum, and the count tables per stratum. Strata holding one
  // class add nothing to a test conditional on the stratum, and would
  // separate in a model with the stratum as a factor: left out.
  void countedSamples(const int* markers) {
    const std::vector<unsigned char> codes = contextColumns(context_, markers, k_);
    const int S = context_.sample_count;
    rows_.clear();
    cell_of_.clear();
    stratum_of_.clear();
    tables_.assign(2L * cells_ * strata_, 0);
    for (const int s : context_.samples) {
      int cell = 0;
      bool observed = true;
      for (int j = k_ - 1; j >= 0; --j) {
        const int code = codes[static_cast<std::size_t>(j) * S + s];
        observed = observed && (code < 3 || levels_ == 4);
        cell = cell * levels_ + code;
      }
      if (!observed && !countsMissingCodes(context_.missing_code)) continue;
      const int stratum = strata_ > 1 ? stratum_of_sample_[s] : 0;
      rows_.push_back(s);
      cell_of_.push_back(cell);
      stratum_of_.push_back(stratum);
      ++tables_[2L * (cells_ * stratum + cell) + (context_.phenotypes[s] ? 1 : 0)];
    }
    if (strata_ == 1) return;
    std::vector<bool> both_classes(strata_, false);
    for (int st = 0; st < strata_; ++st) {
      long classes[2] = {0, 0};
      for (int c = 0; c < cells_; ++c)
        for (int y = 0; y < 2; ++y) classes[y] += tables_[2L * (cells_ * st + c) + y];
      both_classes[st] = classes[0] > 0 && classes[1] > 0;
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
      if (!both_classes[stratum_of_[i]]) continue;
      rows_[kept] = rows_[i];
      cell_of_[kept] = cell_of_[i];
      stratum_of_[kept] = stratum_of_[i];
      ++kept;
    }
    rows_.resize(kept);
    cell_of_.resize(kept);
    stratum_of_.resize(kept);
  }

  // Rows that count every sample share the model of the covariates alone.
  LogisticFit covariatesOnlyFit() {
    const bool every_sample = rows_.size() == context_.samples.size();
    if (every_sample && every_sample_fit_) return *every_sample_fit_;
    const LogisticFit fit = fitLogistic(baseDesign(rows_), outcomes(rows_));
    if (every_sample) every_sample_fit_ = fit;
    return fit;
  }

  // On the samples of the cells the interaction test keeps: both markers
  // as factors with and without their product.
  void interaction(AdjustedPValues& out) {
    std::vector<std::vector<int>> kept_tables;
    for (int st = 0; st < strata_; ++st) kept_tables.push_back(interactionTable(&tables_[2L * cells_ * st], levels_));
    std::vector<int> rows, first, second, cell;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
      const int c = cell_of_[i];
      const std::vector<int>& table = kept_tables[stratum_of_[i]];
      if (table[2 * c] + table[2 * c + 1] == 0) continue;
      rows.push_back(rows_[i]);
      first.push_back(c % levels_);
      second.push_back(c / levels_);
      cell.push_back(cells_ * stratum_of_[i] + c);
    }
    if (rows.empty()) return;
    const Eigen::MatrixXd base = baseDesign(rows);
    const Eigen::VectorXd y = outcomes(rows);
    const LogisticFit additive = fitLogistic(withFactor(withFactor(base, first, levels_), second, levels_), y);
    const LogisticFit full = fitLogistic(withFactor(base, cell, cells_ * strata_), y);
    out.p_interaction_adjusted = likelihoodRatioPValue(additive, full);
    out.not_fitted = out.not_fitted || !additive.fitted || !full.fitted;
  }

  Eigen::VectorXd outcomes(const std::vector<int>& rows) const {
    Eigen::VectorXd y(static_cast<Eigen::Index>(rows.size()));
    for (std::size_t i = 0; i < rows.size(); ++i) y[static_cast<Eigen::Index>(i)] = context_.phenotypes[rows[i]];
    return y;
  }

  // The intercept, the covariates and the strata of `rows`.
  Eigen::MatrixXd baseDesign(const std::vector<int>& rows) const {
    const int n = static_cast<int>(rows.size());
    const int strata_columns = strata_ - 1;
    Eigen::MatrixXd design = Eigen::MatrixXd::Zero(n, 1 + model_.count + strata_columns);
    for (int i = 0; i < n; ++i) {
      const int s = rows[i];
      design(i, 0) = 1.0;
      for (int c = 0; c < model_.count; ++c) {
        design(i, 1 + c) = model_.values[static_cast<std::size_t>(s) * model_.count + c];
      }
      if (strata_columns > 0 && stratum_of_sample_[s] > 0) design(i, model_.count + stratum_of_sample_[s]) = 1.0;
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
  const int* stratum_of_sample_;
  int strata_;
  std::optional<LogisticFit> every_sample_fit_;
  std::vector<int> rows_;        // the counted samples
  std::vector<int> cell_of_;     // each one's genotype cell
  std::vector<int> stratum_of_;  // and stratum
  std::vector<int> tables_;      // strata x cells x (controls, cases)
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
