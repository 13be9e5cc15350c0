#include "app/significance_options.h"

#include "app/options.h"
#include "io/option_values.h"

bool significanceRequestFromOptions(SignificanceRequest& request, std::string& refusal) {
  request = SignificanceRequest();
  request.active = opt::significance_asked;
  if (!rankingMeasureOfWord(opt::rank, request.rank)) {
    refusal = "--rank " + opt::rank + ": unknown measure (use ig, rig or synergy)";
    return false;
  }
  request.permutations.count = opt::permutations;
  long long seed = 0;
  if (!readWholeNumber(opt::seed, 0, 0xffffffffLL, seed)) {
    refusal = wholeNumberRefusal("--seed", opt::seed, 0, 0xffffffffLL);
    return false;
  }
  request.permutations.seed = static_cast<unsigned long>(seed);
  if (!opt::max_p.empty()) {
    double p = 0;
    if (!readRealNumber(opt::max_p, p) || !(p > 0 && p <= 1)) {
      refusal = "--max-p " + opt::max_p + ": not a probability in (0, 1]";
      return false;
    }
    if (opt::table_file.empty()) {
      refusal = "--max-p " + opt::max_p + " lists combinations in the results table: give --table FILE too";
      return false;
    }
    request.max_p = p;
  }
  return true;
}
