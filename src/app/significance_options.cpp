#include "app/significance_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "app/options.h"

bool significanceRequestFromOptions(SignificanceRequest& request, std::string& refusal) {
  request = SignificanceRequest();
  request.active = opt::significance_asked;
  if (!rankingMeasureOfWord(opt::rank, request.rank)) {
    refusal = "--rank " + opt::rank + ": unknown measure (use ig, rig or synergy)";
    return false;
  }
  if (opt::permutations < 0) {
    refusal = "--permutations " + std::to_string(opt::permutations) +
              ": the number of permutations cannot be negative";
    return false;
  }
  request.permutations.count = opt::permutations;
  char* end = nullptr;
  errno = 0;
  const unsigned long long seed = std::strtoull(opt::seed.c_str(), &end, 10);
  if (opt::seed.empty() || *end != '\0' || errno != 0 || opt::seed[0] == '-' ||
      seed > 0xffffffffULL) {
    refusal = "--seed " + opt::seed + ": not a whole number from 0 to 4294967295";
    return false;
  }
  request.permutations.seed = static_cast<unsigned long>(seed);
  if (!opt::max_p.empty()) {
    const double p = std::strtod(opt::max_p.c_str(), &end);
    if (*end != '\0' || !(p > 0 && p <= 1)) {
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
