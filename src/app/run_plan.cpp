#include "app/run_plan.h"

#include <new>

#include "engine/mdrresult.h"
#include "core/search_constants.h"

bool RunData::allocate(const RunPlan& plan, int record_folds, int testing_idx, int aux_code) {
  order_count = plan.order - plan.init_order + 1;
  marker_count = plan.markerCount();
  sample_count = plan.sampleCount();
  row_capacity = keptRowCapacity(plan.runMarkers(), plan.init_order, plan.order, plan.top_k);
  const int text_bytes = combinationTextCapacity(plan.order, plan.runMarkers());

  results = new (std::nothrow) MDRResult*[order_count]();
  marker_names = new (std::nothrow) char*[marker_count > 0 ? marker_count : 1]();
  const long genotype_bytes = plan.planes_road ? 0 : static_cast<long>(marker_count) * sample_count;
  genotypes = new (std::nothrow) unsigned char[genotype_bytes > 0 ? genotype_bytes : 1]();
  phenotypes = new (std::nothrow) unsigned char[sample_count > 0 ? sample_count : 1]();
  scores = new (std::nothrow) double[sample_count > 0 ? sample_count : 1]();

  bool ready = results && marker_names && genotypes && phenotypes && scores;
  for (int i = 0; ready && i < order_count; ++i) {
    results[i] = new (std::nothrow) MDRResult(plan.order, plan.init_order, record_folds, row_capacity,
                                              row_capacity, testing_idx, aux_code, text_bytes);
    ready = results[i] != nullptr && results[i]->allocated();
  }
  for (int m = 0; ready && m < marker_count; ++m) {
    marker_names[m] = new (std::nothrow) char[kCombinationTextBytes]();
    ready = marker_names[m] != nullptr;
  }
  return ready;
}

RunData::~RunData() {
  for (int i = 0; results && i < order_count; ++i) delete results[i];
  delete[] results;
  for (int m = 0; marker_names && m < marker_count; ++m) delete[] marker_names[m];
  delete[] marker_names;
  delete[] genotypes;
  delete[] phenotypes;
  delete[] scores;
}
