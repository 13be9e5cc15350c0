#include "python/array_search.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include "engine/run_memory.h"
#include "io/system_memory.h"
#include "engine/count/bitplanes.h"
#include "engine/count/cell_counter.h"
#include "engine/rank/em_tables.h"
#include "engine/rank/search_context.h"
#include "engine/search/batch_pool.h"
#include "engine/search/strata.h"
#include "engine/significance/combination_listing.h"
#include "engine/significance/order_significance.h"
#include "engine/significance/covariate_columns.h"
#include "engine/significance/order_warnings.h"
#include "io/covariate_file.h"
#include "io/messages.h"
#include "python/search_errors.h"

namespace {

std::string orderRange(int first, int last) {
  return first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
}

void checkShape(const ArraySearchRequest& request) {
  if (request.sample_count < 1 || request.marker_count < 1) {
    throw BadSearchInput("genotypes have " + std::to_string(request.sample_count) +
                         " samples x " + std::to_string(request.marker_count) +
                         " markers; the search needs at least one of each");
  }
  if (static_cast<double>(request.sample_count) * request.marker_count > kMaxIndexedCount) {
    throw BadSearchInput("genotypes: " + std::to_string(request.marker_count) + " markers x " +
                         std::to_string(request.sample_count) +
                         " samples; this version indexes at most 2147483647 genotypes");
  }
  if (!request.strata.empty() && static_cast<int>(request.strata.size()) != request.sample_count) {
    throw BadSearchInput("strata has " + std::to_string(request.strata.size()) + " labels for " +
                         std::to_string(request.sample_count) + " samples");
  }
  if (static_cast<int>(request.phenotype.size()) != request.sample_count) {
    throw BadSearchInput("phenotype has " + std::to_string(request.phenotype.size()) +
                         " values for " + std::to_string(request.sample_count) + " samples");
  }
  if (request.top < 1) throw BadSearchInput("top must be at least 1, not " + std::to_string(request.top));
  if (request.first_order < 1 || request.first_order > request.last_order) {
    throw BadSearchInput("the order range " + orderRange(request.first_order, request.last_order) +
                         " is not valid: the first order must be at least 1 and not above the "
                         "highest (for example order=2 or order=(2, 3))");
  }
  const int base = genotypeLevels(request.missing_code);
  const int highest = std::min(request.last_order, request.marker_count);
  if (highest > highestCountableOrder(base) && request.first_order <= request.marker_count) {
    throw BadSearchInput("order " + std::to_string(highest) + " needs count tables of 2 x " +
                         std::to_string(base) + "^" + std::to_string(highest) +
                         " cells; this version counts orders up to " +
                         std::to_string(highestCountableOrder(base)) +
                         (base == 4 ? " under missing=\"mc\"" : ""));
  }
}

// "none" counts no missing data: a missing code there is a mistake, not a level.
void refuseMissingUnderNone(const ArraySearchRequest& request) {
  if (request.missing_code != kMethodNone) return;
  for (int m = 0; m < request.marker_count; ++m) {
    for (int s = 0; s < request.sample_count; ++s) {
      if (request.genotypes.code(m, s) != kMissingCode) continue;
      throw BadSearchInput("genotypes[" + std::to_string(s) + ", " + std::to_string(m) +
                           "] is a missing genotype (code 3), but " +
                           missingUnderNoneAdvice(OptionSpelling::kPython));
    }
  }
}

// The command line's budget, with nothing read from a file.
void checkMemoryBudget(const ArraySearchRequest& request, int K) {
  RunShape shape{request.marker_count, request.sample_count, request.first_order,
                 request.last_order, K, request.threads, 0,
                 genotypeLevels(request.missing_code)};
  shape.permutations = request.permutations.count;
  if (!request.strata.empty()) shape.stratum_samples = samplesPerStratum(request.strata, request.stratum_count);
  // em's search counts the missing genotype as a level and completes its tables.
  if (request.missing_code == kMethodEm) shape.counted_base = kEmCountedLevels;
  const MemoryNeed need = estimateRunMemory(shape);
  const std::uint64_t available = availableMemoryBytes();
  if (need.total() > available) throw SearchOutOfMemory(memoryRefusal("genotypes", shape, need, available));
}

// Whether every order can be counted from bit-planes built straight from
// the caller's codes; otherwise the search needs a byte matrix of its own
// ("em" counts its search from planes with the missing level, built from
// bytes; "imputation" rewrites them).
bool planesServeEveryOrder(const ArraySearchRequest& request) {
  if (request.missing_code == kMethodEm || request.missing_code == kMethodImputation) return false;
  const int levels = genotypeLevels(request.missing_code);
  const int highest = std::min(request.last_order, request.marker_count);
  return highest < request.first_order || CellCounter::servesOrder(levels, highest);
}

std::string classCounts(int cases, int controls) {
  return std::to_string(cases) + (cases == 1 ? " case and " : " cases and ") + std::to_string(controls) +
         (controls == 1 ? " control" : " controls");
}

// The program refuses these runs: every combination would be not a number
// (or every stratum left out), and rows of NaN would pass for a search that
// found nothing.
void refuseTooFewOfAClass(const ArraySearchRequest& request, const SearchContext& context) {
  const int all_cases = static_cast<int>(std::count(request.phenotype.begin(), request.phenotype.end(), 1));
  const int all_controls = request.sample_count - all_cases;
  if (all_cases < 2 || all_controls < 2) {
    throw BadSearchInput("phenotype holds " + classCounts(all_cases, all_controls) +
                         "; a case/control search needs at least 2 of each");
  }
  if (context.cases < 2 || context.controls < 2) {
    throw BadSearchInput("under missing=\"complete\" only the " + std::to_string(context.N) +
                         " samples without a missing genotype at any marker are counted, and they hold " +
                         classCounts(context.cases, context.controls) +
                         "; a case/control search needs at least 2 of each (use missing=\"available\", or "
                         "leave out the markers missing most often)");
  }
  if (request.strata.empty()) return;
  std::vector<int> classes(static_cast<std::size_t>(request.stratum_count), 0);
  for (const int s : context.samples) classes[request.strata[s]] |= request.phenotype[s] == 1 ? 1 : 2;
  if (std::find(classes.begin(), classes.end(), 3) == classes.end()) {
    throw BadSearchInput("none of the " + std::to_string(request.stratum_count) +
                         " strata holds both a case and a control among the counted samples, so a search "
                         "conditional on the stratum has nothing to measure");
  }
}

std::vector<unsigned char> markerMajorCopy(const ArraySearchRequest& request) {
  std::vector<int> every(request.marker_count);
  for (int m = 0; m < request.marker_count; ++m) every[m] = m;
  return copyColumns(request.genotypes, every.data(), request.marker_count, request.sample_count);
}

// The order's rows: the kept ones, or with a p-value bound every listed
// one, their permutation p-values from the order's maxima. False when the
// listing could not be read back or the search was stopped.
bool appendRows(const SearchContext& context, OrderSignificance& order, std::vector<ArrayTableRow>& rows) {
  const std::vector<AdjustedPValues>& adjusted = order.structure.listed;
  const auto adjust = [&adjusted](ArrayTableRow& row) {
    if (static_cast<std::size_t>(row.rank) <= adjusted.size()) row.adjusted = adjusted[row.rank - 1];
  };
  if (!order.listing) {
    for (std::size_t j = 0; j < order.rows.size(); ++j) {
      rows.push_back(ArrayTableRow{order.order, static_cast<int>(j) + 1, std::move(order.rows[j])});
      adjust(rows.back());
    }
    return true;
  }
  int rank = 0;
  return order.listing->rows().forEach([&](const SignificanceRow& listed) {
    // A listing may hold millions of rows: a stopped search leaves it unread.
    if (stopRequested(context)) return false;
    ArrayTableRow row{order.order, ++rank, listed};
    row.row.p_permutation = permutationPValue(listed.key, order.maxima);
    adjust(row);
    rows.push_back(std::move(row));
    return true;
  });
}

}  // namespace

int missingCodeOfWord(const std::string& word) {
  for (std::size_t i = 0; i < kMissingWords.size(); ++i) {
    if (word == kMissingWords[i]) return methodCodeOfWordIndex(static_cast<int>(i));
  }
  throw BadSearchInput("missing=\"" + word +
                       "\" is not a missing-data method (none, mc, complete, available, "
                       "imputation or em)");
}

ArraySearchResult searchArray(const ArraySearchRequest& request) {
  checkShape(request);
  refuseMissingUnderNone(request);
  const int K = keptRowCapacity(request.marker_count, request.first_order, request.last_order, request.top);
  checkMemoryBudget(request, K);

  std::vector<unsigned char> phenotype = request.phenotype;
  std::vector<double> scores(request.sample_count, 0.0);
  std::vector<unsigned char> own_bytes;
  SearchContext context;
  try {
    if (planesServeEveryOrder(request)) {
      prepareSearchContext(request.genotypes,
                           {phenotype.data(), scores.data(), request.sample_count, request.marker_count, 1,
                            request.missing_code},
                           context);
    } else {
      own_bytes = markerMajorCopy(request);
      prepareSearchContext(own_bytes.data(),
                           {phenotype.data(), scores.data(), request.sample_count, request.marker_count, 1,
                            request.missing_code},
                           context);
    }
  } catch (const std::bad_alloc&) {
    throw SearchOutOfMemory("out of memory: could not copy the genotypes of " +
                            std::to_string(request.marker_count) + " markers x " +
                            std::to_string(request.sample_count) + " samples");
  }
  refuseTooFewOfAClass(request, context);
  context.K = K;
  context.stop = request.stop;
  context.settings.requested_threads = request.threads;
  const int threads = workerCount(request.threads);
  BitPlanes planes;
  if (buildSearchPlanesFor(context, planes, threads)) {
    context.planes = &planes;
  } else if (context.genotypes == nullptr) {
    throw SearchOutOfMemory("out of memory: could not allocate the bit-planes of " +
                            std::to_string(request.marker_count) + " markers x " +
                            std::to_string(request.sample_count) + " samples");
  }
  StrataParts strata;
  if (!request.strata.empty()) {
    context.stratum_of = request.strata.data();
    context.stratum_count = request.stratum_count;
    if (!splitByStrata(context, threads, strata))
      throw SearchOutOfMemory("out of memory: could not build the bit-planes of " +
                              std::to_string(request.stratum_count) + " strata");
    context.strata = &strata;
  }
  std::vector<double> single_gains;
  rankForSignificance(request.rank, context, single_gains);

  std::vector<const char*> names;
  for (const std::string& name : request.marker_names) names.push_back(name.c_str());
  ArraySearchResult result;
  SignificanceRequest significance;
  significance.active = true;
  significance.rank = request.rank;
  significance.permutations = request.permutations;
  significance.max_p = request.max_p;
  CovariateModel covariates;
  covariates.count = request.covariate_count;
  covariates.values = request.covariates;
  if (covariates.count > 0) significance.structure.covariates = &covariates;
  std::vector<OrderSignificance> fit_summaries(1);
  OrderSignificance& fit_summary = fit_summaries[0];
  for (int k = request.first_order; k <= request.last_order; ++k) {
    OrderRequest search;
    search.order = k;
    search.threads = threads;
    AssessedOrder assessed = searchAndAssessOrder(context, search, significance, single_gains);
    if (assessed.failure == AssessedOrder::Failure::kStopped || stopRequested(context))
      throw SearchStopped(failureMessage(assessed, k));
    if (assessed.failure == AssessedOrder::Failure::kListing) throw DataFileError(failureMessage(assessed, k));
    if (assessed.failure != AssessedOrder::Failure::kNone) throw SearchOutOfMemory(failureMessage(assessed, k));
    OrderSignificance& order = assessed.significance;
    if (static_cast<int>(names.size()) == request.marker_count)
      result.warnings += notANumberWarning(order, names.data(), true);
    result.warnings += emptyOrderWarning(order, request.rank == kRankByP ? "p" : "");
    // Every order fits the same covariates: their warnings once.
    if (k == request.first_order) result.warnings += droppedCovariatesWarning(order.structure.dropped, {});
    // notFittedWarning counts every order's rows in one line, as the program tells it.
    fit_summary.structure.not_fitted += order.structure.not_fitted;
    fit_summary.structure.listed.resize(fit_summary.structure.listed.size() + order.structure.listed.size());
    if (!appendRows(context, order, result.rows)) {
      if (stopRequested(context)) throw SearchStopped("the listing of order " + std::to_string(k) + " was stopped");
      throw DataFileError(order.listing->rows().error());
    }
  }
  result.warnings += notFittedWarning(fit_summaries);
  if (fit_summary.structure.not_fitted > 0 && request.covariate_count > 0) {
    std::vector<unsigned char> is_case(request.phenotype.begin(), request.phenotype.end());
    result.warnings += separatingCovariatesWarning(request.covariates, request.covariate_count, {}, is_case,
                                                   "leave its column out of covariates");
  }
  return result;
}
