#include "app/significance_options.h"

#include "app/options.h"
#include "io/option_values.h"

bool significanceRequestFromOptions(SignificanceRequest& request, std::string& refusal) {
  request = SignificanceRequest();
  request.active = opt::significance_asked;
  refusal = rankWordProblem(opt::rank, request.rank);
  if (!refusal.empty()) {
    refusal = "--rank " + opt::rank + ": " + refusal;
    return false;
  }
  request.permutations.count = opt::permutations;
  // p_permutation is a column of the table alone: without one, the
  // permutations would be run and their p-values thrown away unseen.
  if (opt::permutations > 0 && opt::table_file.empty()) {
    refusal = "--permutations " + std::to_string(opt::permutations) +
              ": the family-wise p-values are a column of the results table: give --table FILE too";
    return false;
  }
  long long seed = 0;
  if (!readWholeNumber(opt::seed, 0, kMaxSeed, seed)) {
    refusal = wholeNumberRefusal("--seed", opt::seed, 0, kMaxSeed);
    return false;
  }
  request.permutations.seed = static_cast<unsigned long>(seed);
  request.structure.genomic_control = !opt::table_file.empty();
  request.structure.keep_p_values = opt::plot;
  request.structure.seed = request.permutations.seed;
  if (!opt::max_p.empty()) {
    double p = 0;
    const bool number = readRealNumber(opt::max_p, p);
    refusal = maxPProblem(number ? p : -1);
    // 1e-400 is a probability, but reads as 0: saying it is none would be
    // false, and the least double lists every row below it anyway.
    if (number && p == 0 && opt::max_p[0] != '-' &&
        opt::max_p.find_first_of("123456789") < opt::max_p.find_first_of("eE")) {
      refusal = "below the least number above 0 a double holds (4.9E-324), which --max-p takes and which lists "
                "every smaller p_chisq too";
    }
    if (!refusal.empty()) {
      refusal = "--max-p " + opt::max_p + ": " + refusal;
      return false;
    }
    if (opt::table_file.empty()) {
      refusal = "--max-p " + opt::max_p + " lists combinations in the results table: give --table FILE too";
      return false;
    }
    request.max_p = p;
  }
  if (!opt::lambda_sample.empty()) {
    long long most = 0;
    if (!readWholeNumber(opt::lambda_sample, 1, kMostLambdaCombinations, most)) {
      refusal = wholeNumberRefusal("--lambda-sample", opt::lambda_sample, 1, kMostLambdaCombinations);
      return false;
    }
    if (opt::table_file.empty()) {
      refusal = "--lambda-sample " + opt::lambda_sample + " sizes the lambda lines of the results table: give --table FILE too";
      return false;
    }
    request.structure.lambda_sample = most;
  }
  if ((!opt::covar.empty() || !opt::covar_name.empty()) && opt::table_file.empty()) {
    refusal = (opt::covar.empty() ? "--covar-name " + opt::covar_name : "--covar " + opt::covar) +
              ": the adjusted p-values are columns of the results table: give --table FILE too";
    return false;
  }
  if (!opt::covar_name.empty() && opt::covar.empty()) {
    refusal = "--covar-name " + opt::covar_name + " names columns of a covariate file: give --covar FILE too";
    return false;
  }
  return true;
}
