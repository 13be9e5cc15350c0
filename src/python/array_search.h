// The search on genotype codes a caller already holds in memory (a NumPy
// array seen through a GenotypeView), with the engine the program uses, and
// its kept rows as the rows of a results table. Knows nothing of Python:
// refusals are exceptions the binding turns into Python's.
#ifndef GORVA_PYTHON_ARRAY_SEARCH_H
#define GORVA_PYTHON_ARRAY_SEARCH_H

#include <stdexcept>
#include <string>
#include <vector>

#include "engine/genotype_view.h"
#include "search_constants.h"

// Input the search cannot take (a ValueError in Python).
class BadSearchInput : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The search would not fit in memory (a MemoryError in Python).
class SearchOutOfMemory : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

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
  int measure = 0;  // 0 ranks by IG, 1 by RIG
  int threads = 0;  // below 1: every hardware thread
};

// One kept combination of one order.
struct ArrayTableRow {
  int order = 0;
  int rank = 0;  // from 1 within its order
  std::vector<int> markers;
  double ig = 0;
  double rig = 0;
};

// The method code of a missing-data word; BadSearchInput for another word.
int missingCodeOfWord(const std::string& word);

// Searches every order of the request and returns the kept rows, orders
// ascending, best first within each. Throws BadSearchInput or
// SearchOutOfMemory. Searches run one at a time (the engine's generator is
// shared), each on the request's threads.
std::vector<ArrayTableRow> searchArray(const ArraySearchRequest& request);

#endif  // GORVA_PYTHON_ARRAY_SEARCH_H
