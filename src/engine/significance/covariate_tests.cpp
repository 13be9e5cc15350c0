#include "engine/significance/covariate_tests.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <vector>

#include "engine/count/worker_threads.h"
#include "engine/search/progress.h"
#include "engine/significance/covariate_columns.h"
#include "engine/significance/interaction_test.h"
#include "engine/significance/logistic_regression.h"
#include "engine/significance/null_model_start.h"
#include "engine/significance/small_sample_excess.h"
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
  CombinationModels(const SearchContext& context, const CovariateModel& model, int k, AdjustedTests tests)
      : context_(context),
        k_(k),
        interaction_(k == 2 && tests == AdjustedTests::kBoth),
        levels_(genotypeLevels(context.missing_code)),
        // The run's strata, unless the model brings its own.
        stratum_of_sample_(!model.strata.empty() ? model.strata.data() : context.stratum_of),
        strata_(!model.strata.empty() ? std::max(1, model.stratum_count)
                : context.stratum_of != nullptr ? std::max(1, context.stratum_count)
                                                : 1) {
    work_.kernels = &logisticKernels(context.settings.simd);
    cells_ = 1;
    for (int j = 0; j < k; ++j) cells_ *= levels_;
    for (int key = 0; key < cells_ * strata_; ++key) stratum_of_key_.push_back(key / cells_);
    CovariateColumns usable = usableCovariates(context, model);
    covariates_ = std::move(usable.values);
    covariates_.conservativeResize(std::max<Eigen::Index>(covariates_.rows(), context.sample_count), Eigen::NoChange);
    startFromEverySample();
  }

  AdjustedPValues assess(const int* markers) {
    countedSamples(markers);
    AdjustedPValues out{kNotANumber, kNotANumber, false};
    if (rows_.empty()) return out;
    // The genotype enters as the groups the association test pools the
    // cells into, per stratum: cells of a few samples make the likelihood
    // ratio anti-conservative and separate the classes. Without covariates
    // the test is then the association test's G before Williams' divisor.
    group_of_.resize(rows_.size());
    group_of_cell_.resize(static_cast<std::size_t>(cells_) * strata_);
    for (int st = 0; st < strata_; ++st) {
      const std::vector<int> groups = associationGroups(&tables_[2L * cells_ * st], cells_);
      for (int c = 0; c < cells_; ++c) group_of_cell_[cells_ * st + c] = cells_ * st + groups[c];
      for (std::size_t i = 0; i < rows_.size(); ++i)
        if (stratum_of_[i] == st) group_of_[i] = cells_ * st + groups[cell_of_[i]];
    }
    NullModel& reduced = nullModel();
    sortByGenotype();
    reduced_eta_.resize(static_cast<Eigen::Index>(rows_.size()));
    for (std::size_t j = 0; j < order_.size(); ++j) reduced_eta_[static_cast<Eigen::Index>(j)] = reduced.eta[order_[j]];
    full_eta_ = reduced_eta_;
    const LogisticFit full = fitLogistic(FactorDesign{sorted_group_, cells_ * strata_, sortedDense()}, sorted_y_,
                                         full_eta_, work_, &reduced.gram);
    const TableTest ratio = likelihoodRatioTest(reduced.fit, full);
    const TableTest adjusted = dividedBy(ratio, associationDivisor() * associationCorrection(ratio, reduced));
    out.p_adjusted = adjusted.p_value;
    out.log_p_adjusted = logPBelowRange(adjusted);
    out.not_fitted = !reduced.fit.fitted || !full.fitted;
    if (interaction_) interaction(reduced, full, out);
    return out;
  }

 private:
  struct NullModel {
    LogisticFit fit;
    Eigen::VectorXd eta;
    Eigen::MatrixXd gram;  // the covariates' X'WX its fit ended with: the nested models' first step
    // Lawley's moments at its fit (its samples in their own order) and its
    // excess, once a row has computed them (none, NaN: not yet).
    LawleyMoments moments;
    double excess = kNotANumber;
  };

  // The covariates (into `buffer`) and outcomes of `rows`.
  Eigen::Map<const Eigen::MatrixXd> gather(const std::vector<int>& rows, std::vector<double>& buffer,
                                           Eigen::VectorXd& y) const {
    const auto n = static_cast<Eigen::Index>(rows.size());
    const Eigen::Index d = covariates_.cols();
    buffer.resize(static_cast<std::size_t>(n * d));
    y.resize(n);
    for (Eigen::Index c = 0; c < d; ++c)
      for (Eigen::Index i = 0; i < n; ++i) buffer[c * n + i] = covariates_(rows[i], c);
    for (Eigen::Index i = 0; i < n; ++i) y[i] = context_.phenotypes[rows[i]];
    return {buffer.data(), n, d};
  }

  // The counted samples ordered by stratum, genotype group and cell (by
  // sample within each), so that every genotype model's levels are runs of
  // neighbours; their covariates and outcomes in that order.
  void sortByGenotype() {
    const int keys = cells_ * strata_ * cells_;
    key_start_.assign(keys + 1, 0);
    for (std::size_t i = 0; i < rows_.size(); ++i) ++key_start_[group_of_[i] * cells_ + cell_of_[i] + 1];
    for (int key = 0; key < keys; ++key) key_start_[key + 1] += key_start_[key];
    order_.resize(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i) order_[key_start_[group_of_[i] * cells_ + cell_of_[i]]++] = static_cast<int>(i);
    sorted_rows_.resize(rows_.size());
    sorted_group_.resize(rows_.size());
    sorted_cell_.resize(rows_.size());
    sorted_stratum_.resize(rows_.size());
    for (std::size_t j = 0; j < order_.size(); ++j) {
      sorted_rows_[j] = rows_[order_[j]];
      sorted_group_[j] = group_of_[order_[j]];
      sorted_cell_[j] = cell_of_[order_[j]];
      sorted_stratum_[j] = stratum_of_[order_[j]];
    }
    gather(sorted_rows_, sorted_buffer_, sorted_y_);
  }

  Eigen::Map<const Eigen::MatrixXd> sortedDense() const {
    return {sorted_buffer_.data(), static_cast<Eigen::Index>(sorted_rows_.size()), covariates_.cols()};
  }

  // Every row's null model starts from the covariates' fit to every sample
  // (in strata holding both classes), stepped to the row's samples.
  void startFromEverySample() {
    std::vector<long> classes(2L * strata_, 0);
    for (const int s : context_.samples) ++classes[2L * stratumOf(s) + (context_.phenotypes[s] ? 1 : 0)];
    std::vector<int> rows, level;
    for (const int s : context_.samples) {
      const int st = stratumOf(s);
      if (classes[2L * st] == 0 || classes[2L * st + 1] == 0) continue;
      rows.push_back(s);
      level.push_back(st);
    }
    std::vector<double> buffer;
    Eigen::VectorXd y;
    const Eigen::Map<const Eigen::MatrixXd> dense = gather(rows, buffer, y);
    start_.emplace(rows, level, strata_, dense, y, covariates_, work_);
  }

  // The row's samples' Lawley moments, in sorted order, at its null
  // model's fit. The null model keeps them (its samples in their own order):
  // rows sharing it share its samples.
  void rowMoments(NullModel& reduced) {
    const auto n = static_cast<Eigen::Index>(sorted_rows_.size());
    if (reduced.moments.w.size() != n) {
      lawleyMoments(sortedDense(), reduced_eta_, sorted_y_, *work_.kernels, sorted_moments_);
      reduced.moments.gram = sorted_moments_.gram;
      reduced.moments.third = sorted_moments_.third;
      reduced.moments.w.resize(n);
      reduced.moments.w1.resize(n);
      reduced.moments.w2.resize(n);
      for (Eigen::Index j = 0; j < n; ++j) {
        reduced.moments.w[order_[j]] = sorted_moments_.w[j];
        reduced.moments.w1[order_[j]] = sorted_moments_.w1[j];
        reduced.moments.w2[order_[j]] = sorted_moments_.w2[j];
      }
      return;
    }
    sorted_moments_.w.resize(n);
    sorted_moments_.w1.resize(n);
    sorted_moments_.w2.resize(n);
    for (Eigen::Index j = 0; j < n; ++j) {
      sorted_moments_.w[j] = reduced.moments.w[order_[j]];
      sorted_moments_.w1[j] = reduced.moments.w1[order_[j]];
      sorted_moments_.w2[j] = reduced.moments.w2[order_[j]];
    }
    sorted_moments_.gram = reduced.moments.gram;
    sorted_moments_.third = reduced.moments.third;
  }

  int stratumOf(int sample) const { return strata_ > 1 ? stratum_of_sample_[sample] : 0; }

  // The covariates-only model of the counted samples. It depends on which
  // samples the row leaves out (under "available", those missing at one of
  // its markers), so rows leaving out the same ones share it.
  NullModel& nullModel() {
    left_out_.clear();
    std::size_t r = 0;
    for (const int s : context_.samples) {
      if (r < rows_.size() && rows_[r] == s) ++r;
      else left_out_.push_back(s);
    }
    if (const auto found = null_models_.find(left_out_); found != null_models_.end()) return found->second;
    NullModel null;
    // Fitted with the samples in their own order, so that the model does not
    // depend on which row it was first fitted for.
    const Eigen::Map<const Eigen::MatrixXd> dense = gather(rows_, null_buffer_, null_y_);
    start_->startOf(rows_, stratum_of_, dense, null.eta);
    null.fit = fitLogistic(FactorDesign{stratum_of_, strata_, dense}, null_y_, null.eta, work_);
    if (null.fit.fitted) null.gram = work_.gram;
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
    for (int st = 0; st < strata_; ++st) both_classes[st] = holdsBothClasses(st);
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
    kept_.clear();
    kept_rows_.clear();
    kept_cell_.clear();
    for (std::size_t j = 0; j < sorted_rows_.size(); ++j) {
      const int c = sorted_cell_[j];
      const std::vector<int>& table = kept_tables[sorted_stratum_[j]];
      if (table[2 * c] + table[2 * c + 1] == 0) continue;
      kept_.push_back(static_cast<Eigen::Index>(j));
      kept_rows_.push_back(sorted_rows_[j]);
      kept_cell_.push_back(cells_ * sorted_stratum_[j] + c);
    }
    if (kept_.empty()) return;
    const bool every_row = kept_.size() == sorted_rows_.size();
    const Eigen::Map<const Eigen::MatrixXd> covariates =
        every_row ? sortedDense() : gather(kept_rows_, subset_buffer_, subset_y_);
    const Eigen::VectorXd& y = every_row ? sorted_y_ : subset_y_;
    const Eigen::Map<const Eigen::MatrixXd> indicators = markerIndicators();
    Eigen::VectorXd& eta = interaction_eta_;
    eta.resize(static_cast<Eigen::Index>(kept_.size()));
    for (std::size_t i = 0; i < kept_.size(); ++i) eta[static_cast<Eigen::Index>(i)] = reduced.eta[order_[kept_[i]]];
    // The null model's X'WX is the additive model's first step's on the same samples.
    const LogisticFit additive =
        fitLogistic(FactorDesign{kept_cell_, cells_ * strata_, covariates, &stratum_of_key_, indicators}, y, eta,
                    work_, every_row ? &reduced.gram : nullptr);
    additive_eta_ = eta;
    // When the association test pooled no cell and the interaction test
    // dropped none, the model of every cell is the one already fitted.
    const LogisticFit full =
        every_row && distinctLevels(group_of_) == distinctLevels(kept_cell_)
            ? grouped
            : fitLogistic(FactorDesign{kept_cell_, cells_ * strata_, covariates}, y, eta, work_,
                          additive.fitted ? &work_.gram : nullptr);
    const TableTest ratio = likelihoodRatioTest(additive, full);
    const TableTest interaction =
        dividedBy(ratio, interactionDivisor(kept_tables) * interactionCorrection(ratio, covariates, indicators, y));
    out.p_interaction_adjusted = interaction.p_value;
    out.log_p_interaction_adjusted = logPBelowRange(interaction);
    out.not_fitted = out.not_fitted || !additive.fitted || !full.fitted;
  }

  // Without covariates the likelihood ratio is the sum of the strata's
  // pooled G, and in small tables each G exceeds its degrees of freedom on
  // average by its Williams divisor: over many small strata the excesses
  // add up (20 strata of 30 samples put 7.2 % of null markers at or below
  // 0.05). The ratio is divided by the strata's divisors averaged with
  // their degrees of freedom as weights, which brings its mean to its
  // degrees of freedom as p_chisq's divisor per stratum does; one stratum
  // and no covariate give p_chisq itself. The divisors read cell and class
  // totals only. The interaction test's ratio is divided likewise by the
  // divisors of p_interaction's strata.
  static TableTest dividedBy(const TableTest& test, double divisor) {
    if (std::isnan(test.p_value)) return test;
    const double statistic = test.statistic / divisor;
    return TableTest{statistic, test.df, chiSquareUpperTail(statistic, test.df)};
  }

  // The Williams divisors know the cells and classes only: each covariate's
  // coefficient, fitted under both models, adds to the likelihood ratio's
  // mean beyond them (10 covariates on 30 cases put 6.8 % of null markers
  // at or below 0.05). Lawley's expansion of that mean, eps(full) -
  // eps(reduced), is Williams' own correction when the models hold no
  // covariate; the divisor is scaled by its value with the covariates over
  // its value without them, so a run without covariates keeps p_chisq's
  // divisor exactly. Both are evaluated at the reduced model's fit, the
  // null hypothesis's. A ratio that is not finite and positive (a factor
  // 1 + excess / df at or below 0, from a fit at the edge of separation)
  // leaves the Williams divisor alone.
  static double correction(double with, double without, int df) {
    const double covariates = 1.0 + with / df;
    const double factors = 1.0 + without / df;
    const double ratio = covariates / factors;
    return covariates > 0 && factors > 0 && std::isfinite(ratio) ? ratio : 1.0;
  }

  double associationCorrection(const TableTest& ratio, NullModel& reduced) {
    if (std::isnan(ratio.p_value) || ratio.df < 1 || covariates_.cols() == 0) return 1.0;
    rowMoments(reduced);
    // Rows sharing their null model share its samples, hence its excess.
    if (std::isnan(reduced.excess)) reduced.excess = excess_.of(sorted_moments_, sortedDense(), sorted_stratum_, strata_);
    const double with = excess_.of(sorted_moments_, sortedDense(), sorted_group_, cells_ * strata_) - reduced.excess;
    // Without covariates the reduced model's fit is each stratum's share of
    // cases, the same in each of its genotype groups.
    // From the row's tables, which count its samples.
    const int groups = cells_ * strata_;
    cases_.assign(strata_, 0.0);
    samples_.assign(strata_, 0.0);
    group_samples_.assign(groups, 0.0);
    for (int key = 0; key < groups; ++key) {
      const int st = key / cells_;
      const double controls = tables_[2L * key];
      const double cases = tables_[2L * key + 1];
      if (controls + cases == 0) continue;  // an empty cell is in no group
      cases_[st] += cases;
      samples_[st] += controls + cases;
      group_samples_[group_of_cell_[key]] += controls + cases;
    }
    p_.resize(strata_);
    group_p_.resize(groups);
    for (int st = 0; st < strata_; ++st) p_[st] = samples_[st] > 0 ? cases_[st] / samples_[st] : 0.5;
    for (int g = 0; g < groups; ++g) group_p_[g] = p_[stratum_of_key_[g]];
    const double without = factorExcess(group_samples_, group_p_) - factorExcess(samples_, p_);
    return correction(with, without, ratio.df);
  }

  // The same for the interaction test, whose reduced model holds both
  // markers' indicators: without covariates its fit is p_interaction's
  // no-three-way model, fitted here anew (none: the Williams divisor alone).
  double interactionCorrection(const TableTest& ratio, const Eigen::Map<const Eigen::MatrixXd>& covariates,
                               const Eigen::Map<const Eigen::MatrixXd>& indicators, const Eigen::VectorXd& y) {
    if (std::isnan(ratio.p_value) || ratio.df < 1 || covariates_.cols() == 0) return 1.0;
    const auto n = static_cast<Eigen::Index>(kept_cell_.size());
    kept_stratum_.resize(kept_cell_.size());
    for (std::size_t i = 0; i < kept_cell_.size(); ++i) kept_stratum_[i] = kept_cell_[i] / cells_;
    Eigen::MatrixXd columns(n, covariates.cols() + indicators.cols());
    columns.leftCols(covariates.cols()) = covariates;
    for (Eigen::Index i = 0; i < n; ++i) columns.row(i).tail(indicators.cols()) = indicators.row(kept_cell_[i]);
    lawleyMoments(columns, additive_eta_, y, *work_.kernels, at_fit_);
    const LawleyMoments& at_fit = at_fit_;
    const double with = excess_.of(at_fit, columns, kept_cell_, cells_ * strata_) -
                        excess_.of(at_fit, columns, kept_stratum_, strata_);
    const Eigen::MatrixXd none(n, 0);
    plain_eta_.setZero(n);
    const LogisticFit plain = fitLogistic(
        FactorDesign{kept_cell_, cells_ * strata_, Eigen::Map<const Eigen::MatrixXd>(none.data(), n, 0),
                     &stratum_of_key_, indicators},
        y, plain_eta_, work_);
    if (!plain.fitted) return 1.0;
    const Eigen::MatrixXd marker_columns = columns.rightCols(indicators.cols());
    lawleyMoments(marker_columns, plain_eta_, y, *work_.kernels, at_plain_fit_);
    const LawleyMoments& at_plain_fit = at_plain_fit_;
    const double without = excess_.of(at_plain_fit, marker_columns, kept_cell_, cells_ * strata_) -
                           excess_.of(at_plain_fit, marker_columns, kept_stratum_, strata_);
    return correction(with, without, ratio.df);
  }

  bool holdsBothClasses(int stratum) const {
    long classes[2] = {0, 0};
    for (int c = 0; c < cells_; ++c)
      for (int y = 0; y < 2; ++y) classes[y] += tables_[2L * (cells_ * stratum + c) + y];
    return classes[0] > 0 && classes[1] > 0;
  }

  double associationDivisor() const {
    double weighted = 0;
    int df = 0;
    for (int st = 0; st < strata_; ++st) {
      const TableShape shape = associationShape(&tables_[2L * cells_ * st], cells_);
      weighted += shape.df * shape.divisor;
      df += shape.df;
    }
    return df > 0 ? weighted / df : 1.0;
  }

  double interactionDivisor(const std::vector<std::vector<int>>& kept_tables) const {
    double weighted = 0;
    int df = 0;
    for (int st = 0; st < strata_; ++st) {
      if (!holdsBothClasses(st)) continue;
      const InteractionShape shape = interactionShape(kept_tables[st].data(), levels_);
      weighted += shape.df * shape.divisor;
      df += shape.df;
    }
    return df > 0 ? weighted / df : 1.0;
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

  // Per cell of each stratum (rows cells_ * stratum + cell), per stratum and
  // marker one indicator per genotype that stratum's kept samples hold but
  // the lowest: each marker a factor within each stratum. The model without
  // the A x B term is then, stratum by stratum, the log-linear model without
  // the three-way term that p_interaction fits to each stratum's table; with
  // markers shared across strata the test would also take a marker whose
  // effect differs between strata for an interaction.
  Eigen::Map<const Eigen::MatrixXd> markerIndicators() {
    // column[(2 * stratum + marker) * levels_ + genotype]
    std::vector<int> column(static_cast<std::size_t>(2 * strata_ * levels_), -1);
    for (const int key : kept_cell_) {
      const int st = key / cells_;
      const int cell = key % cells_;
      column[static_cast<std::size_t>(2 * st * levels_ + cell % levels_)] = 0;
      column[static_cast<std::size_t>((2 * st + 1) * levels_ + cell / levels_)] = 0;
    }
    Eigen::Index columns = 0;
    for (int factor = 0; factor < 2 * strata_; ++factor) {
      int added = -1;  // the lowest gets -1: the reference
      for (int level = 0; level < levels_; ++level) {
        int& c = column[static_cast<std::size_t>(factor * levels_ + level)];
        if (c >= 0) c = added < 0 ? added++ : static_cast<int>(columns + added++);
      }
      columns += std::max(added, 0);
    }
    const Eigen::Index keys = static_cast<Eigen::Index>(cells_) * strata_;
    indicator_buffer_.assign(static_cast<std::size_t>(keys * columns), 0.0);
    for (Eigen::Index key = 0; key < keys; ++key) {
      const int st = static_cast<int>(key / cells_);
      const int cell = static_cast<int>(key % cells_);
      if (const int c = column[static_cast<std::size_t>(2 * st * levels_ + cell % levels_)]; c >= 0)
        indicator_buffer_[c * keys + key] = 1.0;
      if (const int c = column[static_cast<std::size_t>((2 * st + 1) * levels_ + cell / levels_)]; c >= 0)
        indicator_buffer_[c * keys + key] = 1.0;
    }
    return {indicator_buffer_.data(), keys, columns};
  }

  const SearchContext& context_;
  int k_;
  bool interaction_;
  int levels_;
  int cells_;
  const int* stratum_of_sample_;
  int strata_;
  // Samples x the covariates fitted: standardised, those adding nothing left out.
  Eigen::MatrixXd covariates_;
  std::optional<NullModelStart> start_;
  LogisticWorkspace work_;
  std::map<std::vector<int>, NullModel> null_models_;  // by the samples left out
  NullModel uncached_;
  std::vector<int> left_out_;
  std::vector<int> rows_;        // the counted samples
  std::vector<int> cell_of_;     // each one's genotype cell
  std::vector<int> stratum_of_;  // and stratum
  std::vector<int> group_of_;    // and pooled genotype group
  std::vector<int> tables_;      // strata x cells x (controls, cases)
  std::vector<int> group_of_cell_;  // per stratum and cell: its genotype group
  // associationCorrection's sums per stratum and group, kept between rows.
  std::vector<double> cases_, samples_, group_samples_, p_, group_p_;
  // The counted samples sorted by genotype (order_[j]: the j-th one's
  // position among them) and theirs of the above.
  std::vector<int> key_start_, order_, sorted_rows_, sorted_group_, sorted_cell_, sorted_stratum_;
  std::vector<double> sorted_buffer_;  // their covariates
  Eigen::VectorXd sorted_y_;
  Eigen::VectorXd full_eta_, reduced_eta_, additive_eta_, plain_eta_;
  LawleyExcess excess_;
  LawleyMoments at_fit_, at_plain_fit_;  // the interaction test's, kept between rows
  LawleyMoments sorted_moments_;
  std::vector<int> kept_stratum_;
  // The interaction models' samples, their factors and design.
  std::vector<Eigen::Index> kept_;
  std::vector<int> kept_rows_, kept_cell_;
  std::vector<double> subset_buffer_, indicator_buffer_, null_buffer_;
  std::vector<int> stratum_of_key_;  // per cells_ * stratum + cell
  Eigen::VectorXd subset_y_, null_y_, interaction_eta_;
};

}  // namespace

std::vector<AdjustedPValues> adjustedPValues(const SearchContext& context, const CovariateModel& model,
                                             const std::vector<int>& combinations, int k, int threads,
                                             AdjustedTests tests, SearchProgress* progress) {
  const long count = k > 0 ? static_cast<long>(combinations.size()) / k : 0;
  std::vector<AdjustedPValues> out(count, AdjustedPValues{kNotANumber, kNotANumber, false});
  std::atomic<long> next{0};
  std::atomic<long> done{0};
  long reported = 0;  // by worker 0 alone
  runWorkers(std::max(1, std::min<int>(threads, static_cast<int>(std::min(count, 1L << 20)))), [&](int worker) {
    CombinationModels models(context, model, k, tests);
    for (long r = next++; r < count && !stopRequested(context); r = next++) {
      out[r] = models.assess(&combinations[r * k]);
      ++done;
      if (progress != nullptr && worker == 0) {
        const long now = done;
        progress->advance(now - reported);
        reported = now;
      }
    }
  });
  if (progress != nullptr) progress->advance(done - reported);
  return out;
}
