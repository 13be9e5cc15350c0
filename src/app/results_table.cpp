#include "app/results_table.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "engine/significance/combination_listing.h"
#include "io/messages.h"
#include "io/output_file.h"

namespace {

constexpr double kFamilyLevel = 0.05;

std::string format(const char* pattern, double value) {
  if (std::isnan(value)) return "NA";
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

std::string number(double value) { return format("%.9g", value); }
std::string probability(double value) { return format("%.6E", value); }

constexpr AdjustedPValues kNoAdjustment{std::numeric_limits<double>::quiet_NaN(),
                                        std::numeric_limits<double>::quiet_NaN(), false};

// The adjusted p-values of an order's r-th listed row (none without covariates).
const AdjustedPValues& adjustedRow(const OrderSignificance& order, std::size_t r) {
  return r < order.structure.listed.size() ? order.structure.listed[r] : kNoAdjustment;
}

void printLambda(OutputFile& file, int order, const char* name, const GenomicControl& control) {
  file.printf("# order %d: %s = %.4f from %lld combinations (%s)\n", order, name, control.lambda,
              control.combinations, control.sampled ? "a uniform random sample" : "all");
}

// CHR:BP of each marker, joined by ','; NA where the input gives none.
std::string markerPositions(const std::vector<int>& markers, const std::vector<std::string>* positions) {
  if (positions == nullptr || positions->empty()) return "NA";
  std::string text;
  for (std::size_t j = 0; j < markers.size(); ++j) text += (j > 0 ? "," : "") + (*positions)[markers[j]];
  return text;
}

}  // namespace

std::string resultsTableHeader() {
  return "order\trank\tmarkers\tindices\tcases\tcontrols\tdf\tIG\tRIG\tsynergy\tp_chisq\t"
         "p_bonferroni\tp_permutation\tp_interaction\tp_adjusted\tp_interaction_adjusted\tpositions\tcells";
}

std::string resultsTableLine(int order, long long rank, const SignificanceRow& row,
                             const AdjustedPValues& adjusted, char* const* marker_names,
                             const std::vector<std::string>* positions) {
  std::string names;
  std::string indices;
  for (std::size_t j = 0; j < row.markers.size(); ++j) {
    if (j > 0) {
      names += ',';
      indices += '-';
    }
    names += marker_names[row.markers[j]];
    indices += std::to_string(row.markers[j]);
  }
  return std::to_string(order) + '\t' + std::to_string(rank) + '\t' + names + '\t' + indices +
         '\t' + std::to_string(row.cases) + '\t' + std::to_string(row.controls) + '\t' +
         std::to_string(row.df) + '\t' + number(row.ig) + '\t' + number(row.rig) + '\t' +
         number(row.synergy) + '\t' + probability(row.p_chisq) + '\t' +
         probability(row.p_bonferroni) + '\t' + probability(row.p_permutation) + '\t' +
         probability(row.p_interaction) + '\t' + probability(adjusted.p_adjusted) + '\t' +
         probability(adjusted.p_interaction_adjusted) + '\t' + markerPositions(row.markers, positions) + '\t' +
         cellCountsText(row.cells);
}

std::string strataDescription(const std::vector<std::string>& names, const std::vector<int>& samples) {
  std::string text = "stratified: every measure conditional on the stratum; " + std::to_string(names.size()) +
                     (names.size() == 1 ? " stratum (" : " strata (");
  for (std::size_t s = 0; s < names.size(); ++s) {
    if (s > 0) text += ", ";
    text += names[s] + " " + std::to_string(samples[s]) + " samples";
  }
  return text + ")";
}

bool writeResultsTable(const std::string& path, const TableRun& run,
                       const std::vector<OrderSignificance>& orders, char* const* marker_names,
                       std::string& error) {
  OutputFile file;
  if (!file.open(path)) {
    error = file.error();
    return false;
  }
  if (!run.strata.empty()) file.printf("# %s\n", run.strata.c_str());
  file.printf("# samples counted: %d (%d cases, %d controls); markers: %d; ranked by %s\n",
              run.counted, run.cases, run.counted - run.cases, run.marker_count,
              run.rank_word.c_str());
  for (const OrderSignificance& order : orders) {
    file.printf("# order %d: %.0f tests; Bonferroni threshold at %.2f: p_chisq <= %.6E\n",
                order.order, order.tests, kFamilyLevel,
                order.tests > 0 ? kFamilyLevel / order.tests : 1.0);
  }
  for (const OrderSignificance& order : orders) {
    if (!order.listing) continue;
    file.printf("# order %d: %lld combinations with p_chisq <= %.6E, all listed\n", order.order,
                order.listing->rows().size(), order.listing->maxP());
  }
  for (const OrderSignificance& order : orders) {
    const OrderStructure& structure = order.structure;
    if (structure.assessed && !structure.p_chisq.empty()) printLambda(file, order.order, "lambda_gc", structure.control);
    if (structure.adjusted && structure.adjusted_control.combinations > 0) {
      printLambda(file, order.order, "lambda_gc_adjusted", structure.adjusted_control);
    }
  }
  if (run.permutations > 0) {
    file.printf("# p_permutation: %d permutations of the phenotype (seed %lu), the best "
                "combination of each order under each\n",
                run.permutations, run.seed);
  }
  file.write(resultsTableHeader() + "\n");
  for (const OrderSignificance& order : orders) {
    if (order.listing) {
      long long rank = 0;
      SortedRowSpill& listed = order.listing->rows();
      const bool read = listed.forEach([&](const SignificanceRow& listed_row) {
        SignificanceRow row = listed_row;
        row.p_permutation = permutationPValue(row.key, order.maxima);
        file.write(resultsTableLine(order.order, rank + 1, row, adjustedRow(order, rank), marker_names,
                                    run.positions) +
                   "\n");
        ++rank;
        return true;
      });
      if (!read) {
        error = programMessage(listed.error());
        return false;
      }
      continue;
    }
    for (std::size_t r = 0; r < order.rows.size(); ++r) {
      file.write(resultsTableLine(order.order, static_cast<int>(r) + 1, order.rows[r], adjustedRow(order, r),
                                  marker_names, run.positions) +
                 "\n");
    }
  }
  if (!file.commit()) {
    error = file.error();
    return false;
  }
  return true;
}

std::string notANumberWarning(const OrderSignificance& order, char* const* marker_names,
                              bool left_out) {
  const std::vector<double>& own_gains = order.first_own_gains;
  if (order.not_a_number == 0) return "";
  std::string first;
  for (std::size_t j = 0; j < order.first_not_a_number.size(); ++j) {
    const int m = order.first_not_a_number[j];
    if (j < own_gains.size() && std::isnan(own_gains[j])) {
      first = std::string("marker ") + marker_names[m] +
              " (no sample of both classes has a genotype there)";
      break;
    }
    first += (j > 0 ? "," : "") + std::string(marker_names[m]);
  }
  if (first.rfind("marker ", 0) != 0) first = "combination " + first;
  std::string text = "order " + std::to_string(order.order) + ": " +
                     std::to_string(order.not_a_number) +
                     " combinations have measures that are not numbers (no countable sample, or "
                     "one class only), the first: " +
                     first + "; ";
  text += left_out ? "they were left out of the ranking"
                   : "the ranking can then lose better combinations of their batch "
                     "(--table, --rank, --permutations and --max-p leave them out)";
  return warningLine(text);
}

std::string emptyOrderWarning(const OrderSignificance& order, const std::string& rank_word) {
  if (!order.rows.empty() || order.tests < 1) return "";
  std::string why = "every combination's measures are not numbers";
  if (rank_word == "p")
    why = "no combination has a test (its genotype cells pool into one group, or one class is left): "
          "nothing can be ranked by p; --rank ig lists them by IG";
  return warningLine("order " + std::to_string(order.order) + ": no combination is listed: " + why);
}

std::string notFittedWarning(const std::vector<OrderSignificance>& orders) {
  long long not_fitted = 0;
  long long rows = 0;
  for (const OrderSignificance& order : orders) {
    not_fitted += order.structure.not_fitted;
    rows += static_cast<long long>(order.structure.listed.size());
  }
  if (not_fitted == 0) return "";
  return warningLine(std::to_string(not_fitted) + " of the " + std::to_string(rows) +
                     " listed rows have p_adjusted or p_interaction_adjusted NA: a logistic model did not "
                     "converge or separated the classes (a fitted probability within 1e-8 of 0 or 1)");
}
