// The exhaustive best-set search: every combination of every order, in
// batches, ranked, the best K of each order kept, then their p-values.
#include <Rmath.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/tfmmdr.h"
#include "core/gorva.h"
#include "engine/bestrows.h"
#include "engine/mdrresult.h"
#include "engine/missingdata.h"
#include "engine/progress.h"

namespace {

constexpr int BATCH_SIZE = 100000;
constexpr double kLn2 = 0.6931471805599453;
constexpr int kMethodComplete = 3;
constexpr int kMethodImputation = 5;

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
  const double scale = 1.0 / (N * kLn2);
  return 1.0 - pgamma(ig, shape, scale, 1, 0);
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
  const int max_order = results[0]->max_order;
  const int init_order = results[0]->init_order;
  const int K = results[0]->row_count;
  int marker_count = column_count - 1;

  if (missing_code == kMethodImputation) imputeMarkerModes(genotypes, marker_count, sample_count);

  std::vector<int> samples;
  samples.reserve(sample_count);
  int cases = 0;
  int controls = 0;
  for (int s = 0; s < sample_count; ++s) {
    phenotypes[s] = phenotypes[s] == case_value ? 1 : 0;
    const bool complete = missing_code != kMethodComplete ||
                          sampleIsComplete(genotypes, marker_count, sample_count, s);
    if (!complete) continue;
    samples.push_back(s);
    if (phenotypes[s] == 1) ++cases;
    else ++controls;
  }
  int N = cases + controls;
  double ratio = static_cast<double>(cases) / controls;

  const long batch_ints = static_cast<long>(BATCH_SIZE) * max_order;
  std::vector<int> state(max_order);
  int* batch = new (std::nothrow) int[batch_ints];
  double* pairs = new (std::nothrow) double[2L * BATCH_SIZE];
  double* keys = new (std::nothrow) double[BATCH_SIZE];
  int* index = new (std::nothrow) int[BATCH_SIZE];
  if (!batch || !pairs || !keys || !index) {
    refuse(kExitNoMemory, "out of memory: could not allocate %ld bytes for the search's batch buffers",
           batch_ints * 4L + BATCH_SIZE * 28L);
  } else {
    const int measure = measure_idx == 1 ? 1 : 0;
    int capacity = BATCH_SIZE;
    RankedRows kept;
    RankedRows batch_best;
    for (int k = init_order; k <= max_order; ++k) {
      MDRResult& record = *results[k - init_order];
      kept.order = k;
      kept.clear();
      std::fill(state.begin(), state.end(), -1);
      SearchProgress progress(k, marker_count);
      for (;;) {
        int count = 0;
        combSNP(&k, &marker_count, &capacity, state.data(), &count, batch);
        if (count == 0) break;
        mdrCombinationAll(batch, &k, &count, genotypes, &marker_count, phenotypes, scores,
                          &sample_count, samples.data(), &N, &cases, &controls, &ratio,
                          &option_code, &missing_code, pairs);
        if (all_writer_open_) saveAllResult(pairs, batch, k - 1, count, k - 1);
        for (int i = 0; i < count; ++i) keys[i] = pairs[2 * i + measure];
        shellsortIndex(index, keys, count, sizeof(double), cmp_double, 1);
        takeBatchBest(batch, k, count, pairs, keys, index, K, batch_best);
        mergeBest(kept, batch_best, K);
        progress.advance(count);
      }
      progress.finish();
      storeKeptRows(kept, record);
    }

    for (int k = init_order; k <= max_order; ++k) {
      MDRResult& record = *results[k - init_order];
      for (int j = 0; j < record.row_count; ++j) {
        record.ig[j] = record.fold_measures[0][2 * j];
        record.rig[j] = record.fold_measures[0][2 * j + 1];
        record.p_value[j] = informationGainPValue(record.ig[j], k, N);
        for (int m = 1; m <= k; ++m) {
          record.snp_index[k * j + m - 1] = GetComb(record.fold_combinations[0][j], m);
        }
      }
    }
  }
  delete[] batch;
  delete[] pairs;
  delete[] keys;
  delete[] index;
}
