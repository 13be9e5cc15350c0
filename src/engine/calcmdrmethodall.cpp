// The exhaustive best-set search: every combination of every order, in
// batches (on every worker thread), ranked, the best K of each order kept,
// then their p-values.
#include <Rmath.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <numbers>

#include "engine/count/bitplanes.h"
#include "engine/mdrresult.h"
#include "engine/rank/bestrows.h"
#include "engine/rank/search_context.h"
#include "engine/search/batch_pool.h"
#include "engine/search/order_search.h"
#include "engine/search/progress.h"
#include "engine/search/strata.h"
#include "engine/significance/order_significance.h"
#include "engine/run_settings.h"
#include "engine/significance/significance.h"
#include "io/exit_status.h"
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

std::string classCounts(int cases, int controls) {
  return std::to_string(cases) + (cases == 1 ? " case and " : " cases and ") + std::to_string(controls) +
         (controls == 1 ? " control" : " controls");
}

}  // namespace

void searchAllOrders(SearchContext& context, const BitPlanes* built, const RunSettings& settings,
                     MDRResult** results, RunOutcome& outcome) {
  const int max_order = results[0]->max_order;
  const int init_order = results[0]->init_order;
  const int marker_count = context.marker_count;
  context.option_code = settings.option_code;
  context.measure = settings.measure_idx == 1 ? 1 : 0;
  context.K = results[0]->row_count;
  context.planes = built;
  outcome.counted_samples = context.N;
  outcome.counted_cases = context.cases;
  outcome.orders.clear();
  int all_cases = 0;
  for (int s = 0; s < context.sample_count; ++s) all_cases += context.phenotypes[s] == 1 ? 1 : 0;
  const int all_controls = context.sample_count - all_cases;
  if (all_cases < 2 || all_controls < 2) {
    const std::string counts = "the run's samples hold " + classCounts(all_cases, all_controls) +
                               " after the sample options; a case/control search needs at least 2 of each";
    if (settings.refuse_few_classes) {
      outcome.status = kExitBadInput;
      outcome.refusal = counts;
      return;
    }
    printWarning(counts);
  } else if (settings.refuse_few_classes && (context.cases < 2 || context.controls < 2)) {
    // Only "complete" counts fewer samples than the run has: every combination
    // would be not a number, and the report's blocks would print nan.
    outcome.status = kExitBadInput;
    outcome.refusal = "under --missing complete only the " + std::to_string(context.N) +
                      " samples without a missing genotype at any marker are counted, and they hold " +
                      classCounts(context.cases, context.controls) + "; a case/control search needs at least 2 of each (use --missing available, "
                      "or --exclude the markers missing most often)";
    return;
  }
  // The strata holding both classes, whose tables a stratified IG adds up.
  int tested_strata = 1;
  if (!settings.sample_strata.empty()) {
    std::vector<int> stratum_classes(static_cast<std::size_t>(settings.stratum_count), 0);
    for (const int s : context.samples)
      stratum_classes[settings.sample_strata[s]] |= context.phenotypes[s] == 1 ? 1 : 2;
    tested_strata = static_cast<int>(std::count(stratum_classes.begin(), stratum_classes.end(), 3));
  }
  if (settings.refuse_few_classes && !settings.sample_strata.empty()) {
    // A stratified measure adds up the strata holding both classes; with none
    // every combination is not a number, and a report of empty blocks would
    // pass for a search that found nothing.
    if (tested_strata == 0) {
      outcome.status = kExitBadInput;
      outcome.refusal = "none of the " + std::to_string(settings.stratum_count) +
                        " strata holds both a case and a control after the sample options, so a search "
                        "conditional on the stratum has nothing to measure";
      return;
    }
  }
  context.all_pairs = static_cast<bool>(settings.all_pairs);
  // The fast path needs its planes; without them (the plain engine asked
  // for, or too little memory) every batch takes the plain path.
  context.settings = settings.search;
  const int threads = workerCount(settings.search.requested_threads);
  BitPlanes planes;
  if (built == nullptr && settings.search.use_planes && buildSearchPlanesFor(context, planes, threads))
    context.planes = &planes;
  StrataParts strata;
  if (!settings.sample_strata.empty()) {
    context.stratum_of = settings.sample_strata.data();
    context.stratum_count = settings.stratum_count;
    if (!splitByStrata(context, threads, strata)) {
      outcome.status = kExitNoMemory;
      outcome.refusal = "out of memory: could not build the bit-planes of the " +
                        std::to_string(context.stratum_count) + " strata";
      return;
    }
    context.strata = &strata;
    outcome.stratum_samples.clear();
    for (const SearchContext& part : strata.contexts) outcome.stratum_samples.push_back(part.N);
  }
  std::vector<double> single_gains;
  const SignificanceRequest& significance = settings.significance;
  if (significance.active) rankForSignificance(significance.rank, context, single_gains);

  for (int k = init_order; k <= max_order; ++k) {
    MDRResult& record = *results[k - init_order];
    SearchProgress progress(k, marker_count, settings.search.show_progress);
    OrderRequest search;
    search.order = k;
    search.threads = threads;
    search.progress = &progress;
    search.via = settings.order_search;
    if (settings.all_pairs) {
      search.sink = [&settings, k](int* combinations, int count, double* pairs) {
        settings.all_pairs(k, combinations, count, pairs);
      };
    }
    // At order 1 synergy is 0 throughout, and no permutation is searched.
    const bool permuted = !(k == 1 && context.measure == kRankBySynergy);
    if (significance.active) announceScale(k, marker_count, permuted ? significance.permutations.count : 0);
    AssessedOrder assessed = searchAndAssessOrder(context, search, significance, single_gains);
    if (assessed.failure != AssessedOrder::Failure::kNone) {
      const bool listing = assessed.failure == AssessedOrder::Failure::kListing;
      outcome.status = listing ? kExitWriteFailed : kExitNoMemory;
      outcome.refusal = failureMessage(assessed, k);
      return;
    }
    progress.finish();
    storeKeptRows(assessed.kept, record);
    outcome.orders.push_back(std::move(assessed.significance));
  }

  std::vector<int> tested_table;
  for (int k = init_order; k <= max_order; ++k) {
    MDRResult& record = *results[k - init_order];
    for (int j = 0; j < record.row_count; ++j) {
      record.ig[j] = record.fold_measures[0][2 * j];
      record.rig[j] = record.fold_measures[0][2 * j + 1];
      for (int m = 1; m <= k; ++m) {
        record.snp_index[k * j + m - 1] = combinationTextMarker(record.fold_combinations[0][j], m);
      }
      // A stratified IG adds up one table per stratum, and G = 2 N ln2 IG
      // read with all their degrees of freedom is far from its chi-square in
      // small strata (20 strata of 30 samples put 11.8 % of null markers at
      // or below 0.05): a run of several strata holding both classes reports
      // the association test within the strata instead, the table's p_chisq
      // (sparse cells pooled, Williams' divisor), which holds there; not a
      // number where no stratum holds two groups of cells it can test. One
      // such stratum is the unstratified run.
      record.p_value[j] = context.strata != nullptr && tested_strata > 1
                              ? testCombination(context, &record.snp_index[k * j], k, tested_table).p_value
                              : informationGainPValue(record.ig[j], k, context.N);
    }
  }
}
