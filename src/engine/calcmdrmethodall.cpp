// The exhaustive best-set search: every combination of every order, in
// batches (on every worker thread), ranked, the best K of each order kept,
// then their p-values.
#include <Rmath.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <numbers>

#include "app/tfmmdr.h"
#include "engine/count/bitplanes.h"
#include "engine/mdrresult.h"
#include "engine/rank/bestrows.h"
#include "engine/rank/search_context.h"
#include "engine/search/batch_pool.h"
#include "engine/search/order_search.h"
#include "engine/search/progress.h"
#include "engine/search/strata.h"
#include "engine/significance/order_significance.h"
#include "engine/significance/significance.h"
#include "io/messages.h"

namespace {

// Writes the kept rows of one order into fold 0 of its record.
void storeKeptRows(const RankedRows& kept, MDRResult& record) {
  const int k = kept.order;
  for (int j = 0; j < kept.size(); ++j) {
    char* text = record.fold_combinations[0][j];
    std::memset(text, 0, record.textBytes());
    int used = std::snprintf(text, record.textBytes(), ",");
    for (int m = 0; m < k; ++m) {
      used += std::snprintf(text + used, record.textBytes() - used, "%d,",
                            kept.markers[static_cast<long>(j) * k + m]);
    }
    record.fold_measures[0][2 * j] = kept.pairs[2L * j];
    record.fold_measures[0][2 * j + 1] = kept.pairs[2L * j + 1];
  }
  record.row_count = kept.size();
  record.fold_row_count[0] = kept.size();
}

// Chi-square tail of G = 2 N ln2 IG with 3^k - 1 degrees of freedom, as a
// gamma distribution in IG itself.
double informationGainPValue(double ig, int order, int N) {
  const int cells = static_cast<int>(std::pow(3.0, order));
  const int shape = (cells - 1) / 2;
  const double scale = 1.0 / (N * std::numbers::ln2);
  return 1.0 - pgamma(ig, shape, scale, 1, 0);
}

// The run's scale in words, before the order is searched.
void announceScale(int order, int marker_count, int permutations) {
  char scale[160];
  std::snprintf(scale, sizeof scale, "order %d: %.0f combinations of %d markers to score", order,
                combinationsOf(marker_count, order), marker_count);
  std::string text = scale;
  if (permutations > 0) text += ", then again under " + std::to_string(permutations) + " permutations";
  printMessage(text);
}

}  // namespace

int TFmMDR::GetComb(char* text, int position) {
  const char* field = text;
  for (int commas = 0; commas < position; ++commas) {
    field = std::strchr(field, ',');
    if (field == nullptr) return 0;
    ++field;
  }
  return std::atoi(field);
}

void TFmMDR::CalcMdrMethodALL(unsigned char* genotypes, unsigned char* phenotypes,
                              double* scores, int sample_count, int column_count,
                              int /*phenotype_column_0*/, int case_value, int measure_idx,
                              int option_code, int missing_code, int /*testing_idx*/,
                              double /*real_param*/, int /*int_param*/, int /*perm*/,
                              int /*fold_count*/, MDRResult** results) {
  const int marker_count = column_count - 1;
  SearchContext context;
  prepareSearchContext(genotypes, {phenotypes, scores, sample_count, marker_count, case_value, missing_code},
                       context);
  searchOrders(context, nullptr, measure_idx, option_code, results);
}

void TFmMDR::searchOrders(SearchContext& context, const BitPlanes* built, int measure_idx,
                          int option_code, MDRResult** results) {
  const int max_order = results[0]->max_order;
  const int init_order = results[0]->init_order;
  const int marker_count = context.marker_count;
  context.option_code = option_code;
  context.measure = measure_idx == 1 ? 1 : 0;
  context.K = results[0]->row_count;
  context.planes = built;
  counted_samples_ = context.N;
  counted_cases_ = context.cases;
  orders_.clear();
  int all_cases = 0;
  for (int s = 0; s < context.sample_count; ++s) all_cases += context.phenotypes[s] == 1 ? 1 : 0;
  const int all_controls = context.sample_count - all_cases;
  if (all_cases < 2 || all_controls < 2) {
    const std::string counts = "the run's samples hold " + std::to_string(all_cases) +
                               (all_cases == 1 ? " case and " : " cases and ") + std::to_string(all_controls) +
                               (all_controls == 1 ? " control" : " controls") +
                               " after the sample options; a case/control search needs at least 2 of each";
    if (refuse_few_classes) {
      refuse(kExitBadInput, "%s", counts.c_str());
      return;
    }
    printWarning(counts);
  }
  context.all_pairs = all_writer_open_;
  // The fast path needs its planes; without them (the "em" method, the plain
  // engine asked for, or too little memory) every batch takes the plain path.
  context.settings = search_settings;
  const int threads = workerCount(search_settings.requested_threads);
  BitPlanes planes;
  if (built == nullptr && search_settings.use_planes && buildPlanesFor(context, planes, threads))
    context.planes = &planes;
  StrataParts strata;
  if (!sample_strata.empty()) {
    context.stratum_of = sample_strata.data();
    context.stratum_count = static_cast<int>(stratum_names.size());
    if (!splitByStrata(context, threads, strata)) {
      refuse(kExitNoMemory, "out of memory: could not build the bit-planes of the %d strata",
             context.stratum_count);
      return;
    }
    context.strata = &strata;
    stratum_samples_.clear();
    for (const SearchContext& part : strata.contexts) stratum_samples_.push_back(part.N);
  }
  std::vector<double> single_gains;
  if (significance.active) rankForSignificance(significance.rank, context, single_gains);

  for (int k = init_order; k <= max_order; ++k) {
    MDRResult& record = *results[k - init_order];
    SearchProgress progress(k, marker_count, search_settings.show_progress);
    OrderRequest search;
    search.order = k;
    search.threads = threads;
    search.progress = &progress;
    search.via = order_search;
    if (all_writer_open_) {
      search.sink = [this, k](int* combinations, int count, double* pairs) {
        saveAllResult(pairs, combinations, k - 1, count, k - 1);
      };
    }
    if (significance.active) announceScale(k, marker_count, significance.permutations.count);
    AssessedOrder assessed = searchAndAssessOrder(context, search, significance, single_gains);
    if (assessed.failure != AssessedOrder::Failure::kNone) {
      const bool listing = assessed.failure == AssessedOrder::Failure::kListing;
      refuse(listing ? kExitWriteFailed : kExitNoMemory, "%s", failureMessage(assessed, k).c_str());
      return;
    }
    progress.finish();
    storeKeptRows(assessed.kept, record);
    orders_.push_back(std::move(assessed.significance));
  }

  for (int k = init_order; k <= max_order; ++k) {
    MDRResult& record = *results[k - init_order];
    for (int j = 0; j < record.row_count; ++j) {
      record.ig[j] = record.fold_measures[0][2 * j];
      record.rig[j] = record.fold_measures[0][2 * j + 1];
      record.p_value[j] = informationGainPValue(record.ig[j], k, context.N);
      for (int m = 1; m <= k; ++m) {
        record.snp_index[k * j + m - 1] = GetComb(record.fold_combinations[0][j], m);
      }
    }
  }
}
