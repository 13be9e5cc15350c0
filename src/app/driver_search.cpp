// The driver's side of the search: its settings handed to the engine, the
// engine's outcome taken back (a refusal printed and recorded here).
#include <cstring>

#include "app/tfmmdr.h"
#include "engine/mdrresult.h"

int TFmMDR::GetComb(char* text, int position) { return combinationTextMarker(text, position); }

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

void TFmMDR::searchOrders(SearchContext& context, const BitPlanes* planes, int measure_idx,
                          int option_code, MDRResult** results) {
  settings.measure_idx = measure_idx;
  settings.option_code = option_code;
  settings.all_pairs = nullptr;
  if (all_writer_open_) {
    settings.all_pairs = [this](int order, int* combinations, int count, double* pairs) {
      saveAllResult(pairs, combinations, order - 1, count, order - 1);
    };
  }
  searchAllOrders(context, planes, settings, results, outcome_);
  if (outcome_.refused()) refuse(outcome_.status, "%s", outcome_.refusal.c_str());
}
