// What genomic control and the covariate-adjusted tests ask and answer,
// apart from the code that computes them, so that a run's significance
// request and outcome can hold them.
#ifndef GORVA_ENGINE_SIGNIFICANCE_STRUCTURE_RESULTS_H
#define GORVA_ENGINE_SIGNIFICANCE_STRUCTURE_RESULTS_H

#include <limits>
#include <string>
#include <vector>

// What every model holds besides the genotypes, per sample of the context
// (its sample indices, not its list).
struct CovariateModel {
  int count = 0;               // covariates per sample
  std::vector<double> values;  // sample-major, count per sample
  std::vector<std::string> names;  // for messages (empty: by position)
  // Empty, or a stratum index (0 ... stratum_count - 1) per sample: the
  // strata enter every model as factors.
  std::vector<int> strata;
  int stratum_count = 0;

  bool any() const { return count > 0 || stratum_count > 1; }
};

// The covariates the adjusted models leave out, by position: those taking
// one value over the analysed samples, and those that are, within each
// stratum, linear combinations of the kept ones before them.
struct DroppedCovariates {
  std::vector<int> constant;
  std::vector<int> dependent;
};

struct AdjustedPValues {
  double p_adjusted;
  double p_interaction_adjusted;  // NaN but for pairs
  // Some model did not converge or separated the classes (its p is NaN).
  bool not_fitted;
  // Their logarithms where they fall below the doubles' normal range, else NaN.
  double log_p_adjusted = std::numeric_limits<double>::quiet_NaN();
  double log_p_interaction_adjusted = std::numeric_limits<double>::quiet_NaN();
};

// The median of the 1-df chi-square quantiles of p-values over the median
// of that distribution (0.4549364); 1 on data without inflation.
struct GenomicControl {
  double lambda = 0;
  long long combinations = 0;  // p-values that are numbers, behind lambda
  bool sampled = false;        // a random sample of the order's combinations
};

// Combinations behind lambda and the covariate-adjusted lambda unless the
// run asks otherwise: every one of the order up to this many, else a
// uniform random sample of this many.
constexpr long long kGenomicControlCombinations = 1000000;
// The most a run may ask for: its combinations are held as k ints each.
constexpr long long kMostLambdaCombinations = 10000000;

struct StructureRequest {
  bool genomic_control = false;
  const CovariateModel* covariates = nullptr;  // null or empty: no adjusted p-values
  unsigned long seed = 1;
  // Combinations behind each lambda: all up to this many, else a sample of
  // this many.
  long long lambda_sample = kGenomicControlCombinations;
  // Keep the p-values behind lambda_gc, sorted, in OrderStructure::p_chisq
  // (a QQ plot draws them); otherwise only lambda is kept.
  bool keep_p_values = false;
};

struct OrderStructure {
  bool assessed = false;
  GenomicControl control;           // of p_chisq
  std::vector<double> p_chisq;      // behind control, ascending, when the request keeps them
  bool adjusted = false;            // the covariate columns were computed
  GenomicControl adjusted_control;  // of p_adjusted
  // Per listed row, in the table's order.
  std::vector<AdjustedPValues> listed;
  long long not_fitted = 0;  // rows some model of which failed
  DroppedCovariates dropped;
};

#endif  // GORVA_ENGINE_SIGNIFICANCE_STRUCTURE_RESULTS_H
