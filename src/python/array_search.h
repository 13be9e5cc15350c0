// The search on genotype codes a caller already holds in memory (a NumPy
// array seen through a GenotypeView), with the engine the program uses, and
// its kept rows as the rows of a results table. Knows nothing of Python:
// refusals are exceptions the binding turns into Python's.
#ifndef GORVA_PYTHON_ARRAY_SEARCH_H
#define GORVA_PYTHON_ARRAY_SEARCH_H

#include <atomic>
#include <limits>
#include <string>
#include <vector>

#include "engine/count/genotype_view.h"
#include "engine/significance/significance.h"
#include "python/search_errors.h"
#include "core/search_constants.h"

struct ArraySearchRequest {
  // Codes 0-3 of every marker and sample, already checked to be 0-3.
  GenotypeView genotypes;
  int sample_count = 0;
  int marker_count = 0;
  std::vector<unsigned char> phenotype;  // 1 case, 0 control, one per sample
  int first_order = 2;
  int last_order = 2;
  int top = 10;
  int missing_code = kMethodAvailable;
  int rank = kRankByIG;  // the ranking measure
  PermutationPlan permutations;
  double max_p = 0;  // above 0: every combination with p_chisq at most this
  int threads = 0;  // below 1: every hardware thread
  std::vector<std::string> marker_names;  // for warnings
  // Per sample, covariate_count numbers (sample-major): the rows get the
  // covariate-adjusted p-values.
  std::vector<double> covariates;
  int covariate_count = 0;
  // Each sample's stratum (0 .. stratum_count - 1, numbered in order of
  // first appearance), or empty for a search without strata.
  std::vector<int> strata;
  int stratum_count = 0;
  // Not null: set from another thread to stop the search (SearchStopped).
  const std::atomic<bool>* stop = nullptr;
};

// One kept combination of one order, as a line of the results table.
struct ArrayTableRow {
  int order = 0;
  int rank = 0;  // from 1 within its order
  SignificanceRow row;
  AdjustedPValues adjusted{std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN(),
                           false};
};

struct ArraySearchResult {
  std::vector<ArrayTableRow> rows;  // orders ascending, best first within each
  std::string warnings;  // whole lines "gorva: warning: ...\n", as the program prints them
};

// The method code of a missing-data word; BadSearchInput for another word.
int missingCodeOfWord(const std::string& word);

// Searches every order of the request as the program does for its results
// table: measures that are not numbers left out (and warned about), the
// kept rows with their counts and p-values. Throws BadSearchInput,
// SearchOutOfMemory, or SearchStopped once the request's stop is set.
// Searches from several threads run side by side: each owns its generator
// and working storage, on the request's threads.
ArraySearchResult searchArray(const ArraySearchRequest& request);

#endif  // GORVA_PYTHON_ARRAY_SEARCH_H
