#include "engine/significance/covariate_tests.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <vector>

#include "engine/count/worker_threads.h"
#include "engine/significance/interaction_test.h"
#include "engine/significance/logistic_regression.h"
#include "engine/rank/table_test.h"

namespace {

constexpr double kNotANumber = std::numeric_limits<double>::quiet_NaN();

// Samples missing a genotype of the combination are counted only where the
// method gives missing codes a cell of their own or fills them in; the
// others count a table of the samples observed at every marker.
bool countsMissingCodes(int missing_code) {
  return missing_code == kMethodMc || missing_code == kMethodNone || missing_code == kMethodImputation;
}

// Null models kept per thread, each the size of one linear predictor per
// counted sample: enough for every marker of order 1 and for rows sharing
// their samples, bounded for long listings of pairs.
constexpr std::size_t kCachedNullModels = 512;

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
    covariates_.resize(context.sample_count, model.count);
    for (int s = 0; s < context.sample_count; ++s)
      for (int c = 0; c < model.count; ++c) covariates_(s, c) = model.values[static_cast<std::size_t>(s) * model.count + c];
    startFromEverySample();
  }

  AdjustedPValues assess(const int* markers) {
    countedSamples(markers);
    AdjustedPValues out{kNotANumber, kNotANumber, false};
    if (rows_.empty()) return out;
    gather(rows_, dense_, y_);
    // The genotype enters as the groups the association test pools the
    // cells into, per stratum: cells of a few samples make the likelihood
    // ratio anti-conservative and separate the classes. Without covariates
    // the test is then the association test's G before Williams' divisor.
    group_of_.resize(rows_.size());
    for (int st = 0; st < strata_; ++st) {
      const std::vector<int> groups = associationGroups(&tables_[2L * cells_ * st], cells_);
      for (std::size_t i = 0; i < rows_.size(); ++i)
        if (stratum_of_[i] == st) group_of_[i] = cells_ * st + groups[cell_of_[i]];
    }
    const NullModel& reduced = nullModel();
    full_eta_ = reduced.eta;
    const LogisticFit full = fitLogistic(FactorDesign{group_of_, cells_ * strata_, dense_}, y_, full_eta_, work_);
    out.p_adjusted = likelihoodRatioPValue(reduced.fit, full);
    out.not_fitted = !reduced.fit.fitted || !full.fitted;
    if (k_ == 2) interaction(reduced, full, out);
    return out;
  }

 private:
  struct NullModel {
    LogisticFit fit;
    Eigen::VectorXd eta;
  };

  // The covariates and outcomes of `rows`.
  void gather(const std::vector<int>& rows, Eigen::MatrixXd& dense, Eigen::VectorXd& y) const {
    const auto n = static_cast<Eigen::Index>(rows.size());
    dense.resize(n, model_.count);
    y.resize(n);
    for (Eigen::Index c = 0; c < dense.cols(); ++c)
      for (Eigen::Index i = 0; i < n; ++i) dense(i, c) = covariates_(rows[i], c);
    for (Eigen::Index i = 0; i < n; ++i) y[i] = context_.phenotypes[rows[i]];
  }

  // Every row's null model starts from the covariates' fit to every sample
  // (in strata holding both classes): the rows leave out a few samples at
  // most, so a few iterations reach their own fit.
  void startFromEverySample() {
    start_eta_ = Eigen::VectorXd::Zero(context_.sample_count);
    std::vector<long> classes(2L * strata_, 0);
    for (const int s : context_.samples) ++classes[2L * stratumOf(s) + (context_.phenotypes[s] ? 1 : 0)];
    std::vector<int> rows, level;
    for (const int s : context_.samples) {
      const int st = stratumOf(s);
      if (classes[2L * st] == 0 || classes[2L * st + 1] == 0) continue;
      rows.push_back(s);
      level.push_back(st);
    }
    Eigen::MatrixXd dense;
    Eigen::VectorXd y;
    gather(rows, dense, y);
    Eigen::VectorXd eta = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(rows.size()));
    if (!fitLogistic(FactorDesign{level, strata_, dense}, y, eta, work_).fitted) return;
    for (std::size_t i = 0; i < rows.size(); ++i) start_eta_[rows[i]] = eta[static_cast<Eigen::Index>(i)];
  }

  int stratumOf(int sample) const { return strata_ > 1 ? stratum_of_sample_[sample] : 0; }

  // The covariates-only model of the counted samples. It depends on which
  // samples the row leaves out (under "available", those missing at one of
  // its markers), so rows leaving out the same ones share it.
  const NullModel& nullModel() {
    left_out_.clear();
    std::size_t r = 0;
    for (const int s : context_.samples) {
      if (r < rows_.size() && rows_[r] == s) ++r;
      else left_out_.push_back(s);
    }
    if (const auto found = null_models_.find(left_out_); found != null_models_.end()) return found->second;
    NullModel null;
    null.eta.resize(static_cast<Eigen::Index>(rows_.size()));
    for (std::size_t i = 0; i < rows_.size(); ++i) null.eta[static_cast<Eigen::Index>(i)] = start_eta_[rows_[i]];
    null.fit = fitLogistic(FactorDesign{stratum_of_, strata_, dense_}, y_, null.eta, work_);
    if (null_models_.size() >= kCachedNullModels) {
      uncached_ = std::move(null);
      return uncached_;
    }
    return null_models_.emplace(left_out_, std::move(null)).first->second;
  }

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
      const int stratum = stratumOf(s);
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

  // On the samples of the cells the interaction test keeps: both markers
  // as factors with and without their product.
  void interaction(const NullModel& reduced, const LogisticFit& grouped, AdjustedPValues& out) {
    std::vector<std::vector<int>> kept_tables;
    for (int st = 0; st < strata_; ++st) kept_tables.push_back(interactionTable(&tables_[2L * cells_ * st], levels_));
    std::vector<Eigen::Index> kept;
    std::vector<int> rows, stratum, first, second, cell;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
      const int c = cell_of_[i];
      const std::vector<int>& table = kept_tables[stratum_of_[i]];
      if (table[2 * c] + table[2 * c + 1] == 0) continue;
      kept.push_back(static_cast<Eigen::Index>(i));
      rows.push_back(rows_[i]);
      stratum.push_back(stratum_of_[i]);
      first.push_back(c % levels_);
      second.push_back(c / levels_);
      cell.push_back(cells_ * stratum_of_[i] + c);
    }
    if (rows.empty()) return;
    const bool every_row = rows.size() == rows_.size();
    Eigen::MatrixXd subset_dense;
    Eigen::VectorXd subset_y;
    if (!every_row) gather(rows, subset_dense, subset_y);
    const Eigen::MatrixXd& covariates = every_row ? dense_ : subset_dense;
    const Eigen::VectorXd& y = every_row ? y_ : subset_y;
    const Eigen::MatrixXd additive_dense = withIndicators(withIndicators(covariates, first, levels_), second, levels_);
    Eigen::VectorXd eta(static_cast<Eigen::Index>(kept.size()));
    for (std::size_t i = 0; i < kept.size(); ++i) eta[static_cast<Eigen::Index>(i)] = reduced.eta[kept[i]];
    const LogisticFit additive = fitLogistic(FactorDesign{stratum, strata_, additive_dense}, y, eta, work_);
    // When the association test pooled no cell and the interaction test
    // dropped none, the model of every cell is the one already fitted.
    const LogisticFit full = every_row && distinctLevels(group_of_) == distinctLevels(cell)
                                 ? grouped
                                 : fitLogistic(FactorDesign{cell, cells_ * strata_, covariates}, y, eta, work_);
    out.p_interaction_adjusted = likelihoodRatioPValue(additive, full);
    out.not_fitted = out.not_fitted || !additive.fitted || !full.fitted;
  }

  int distinctLevels(const std::vector<int>& level) const {
    std::vector<bool> seen(static_cast<std::size_t>(cells_) * strata_, false);
    int distinct = 0;
    for (const int l : level) {
      if (seen[l]) continue;
      seen[l] = true;
      ++distinct;
    }
    return distinct;
  }

  // `design` and one indicator per level of `factor` that occurs, but the
  // lowest occurring one, in order of the codes.
  static Eigen::MatrixXd withIndicators(const Eigen::MatrixXd& design, const std::vector<int>& factor, int levels) {
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
  Eigen::MatrixXd covariates_;  // samples x covariates
  Eigen::VectorXd start_eta_;   // per sample: the null model's start
  LogisticWorkspace work_;
  std::map<std::vector<int>, NullModel> null_models_;  // by the samples left out
  NullModel uncached_;
  std::vector<int> left_out_;
  std::vector<int> rows_;        // the counted samples
  std::vector<int> cell_of_;     // each one's genotype cell
  std::vector<int> stratum_of_;  // and stratum
  std::vector<int> group_of_;    // and pooled genotype group
  std::vector<int> tables_;      // strata x cells x (controls, cases)
  Eigen::MatrixXd dense_;        // the counted samples' covariates
  Eigen::VectorXd y_;            // and outcomes
  Eigen::VectorXd full_eta_;
};

}  // namespace

std::vector<AdjustedPValues> adjustedPValues(const SearchContext& context, const CovariateModel& model,
                                             const std::vector<int>& combinations, int k, int threads) {
  const long count = k > 0 ? static_cast<long>(combinations.size()) / k : 0;
  std::vector<AdjustedPValues> out(count, AdjustedPValues{kNotANumber, kNotANumber, false});
  std::atomic<long> next{0};
  runWorkers(std::max(1, std::min<int>(threads, static_cast<int>(std::min(count, 1L << 20)))), [&](int) {
    CombinationModels models(context, model, k);
    for (long r = next++; r < count && !stopRequested(context); r = next++) out[r] = models.assess(&combinations[r * k]);
  });
  return out;
}
