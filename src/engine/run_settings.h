// What the program asks of one run's search, and what the search hands
// back. The driver fills the settings from its options; the engine reads no
// option of its own and prints nothing but its progress and warnings.
#ifndef GORVA_ENGINE_RUN_SETTINGS_H
#define GORVA_ENGINE_RUN_SETTINGS_H

#include <functional>
#include <string>
#include <vector>

#include "engine/rank/search_context.h"
#include "engine/search/order_search.h"
#include "engine/significance/significance.h"
#include "io/exit_status.h"

class BitPlanes;
class MDRResult;

struct RunSettings {
  int measure_idx = 0;   // the ranking measure's code (1: RIG, else IG)
  int option_code = 1;   // the tie method's code
  SearchSettings search;  // threads, counting path, progress
  SignificanceRequest significance;
  // Fewer than 2 cases or 2 controls refuse the run (else only warn, as a
  // run of the classic options must go on).
  bool refuse_few_classes = false;
  OrderSearch order_search;  // who searches each order (empty: this process)
  // Each run sample's stratum (0 .. stratum_count - 1); empty without strata.
  std::vector<int> sample_strata;
  int stratum_count = 0;
  // Not empty: every scored pair of every order, in batch order.
  std::function<void(int order, int* combinations, int count, double* pairs)> all_pairs;
};

struct RunOutcome {
  int status = kExitOk;  // kExitBadInput, kExitNoMemory or kExitWriteFailed after a refusal
  std::string refusal;   // what the program prints after its message prefix
  int counted_samples = 0;
  int counted_cases = 0;
  std::vector<int> stratum_samples;  // samples counted in each stratum
  std::vector<OrderSignificance> orders;  // one per searched order

  bool refused() const { return status != kExitOk; }
};

// Every order of results[0]'s range over a prepared context (phenotypes
// recoded, samples listed), counted on `planes` when given, else on planes
// built here or by the plain path; the K best of each order into its record
// with their p-values and marker indices. Stops at the first refusal.
void searchAllOrders(SearchContext& context, const BitPlanes* planes, const RunSettings& settings,
                     MDRResult** results, RunOutcome& outcome);

#endif  // GORVA_ENGINE_RUN_SETTINGS_H
