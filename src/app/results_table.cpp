#include "app/results_table.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "engine/significance/combination_listing.h"
#include "engine/significance/table_columns.h"
#include "io/messages.h"
#include "io/output_file.h"

namespace {

constexpr double kFamilyLevel = 0.05;

constexpr AdjustedPValues kNoAdjustment{std::numeric_limits<double>::quiet_NaN(),
                                        std::numeric_limits<double>::quiet_NaN(), false};

// The adjusted p-values of an order's r-th listed row (none without covariates).
const AdjustedPValues& adjustedRow(const OrderSignificance& order, std::size_t r) {
  return r < order.structure.listed.size() ? order.structure.listed[r] : kNoAdjustment;
}

void printLambda(OutputFile& file, int order, const char* name, const GenomicControl& control) {
  file.printf("# order %d: %s = %s from %lld combinations (%s)\n", order, name,
              lambdaText(orderLambda(control, static_cast<std::size_t>(control.combinations))).c_str(),
              control.combinations, control.sampled ? "a uniform random sample" : "all");
}

// The texts (of `kind`: "marker name", "marker position") that readers of
// the table misread, counted with the first of each fault.
struct MisreadTexts {
  explicit MisreadTexts(const char* what) : kind(what) {}
  const char* kind;
  int with_hash = 0;
  std::string first_hash;
  int quoted = 0;
  std::string first_quoted;
  void note(const std::string& text) {
    if (text.find('#') != std::string::npos && with_hash++ == 0) first_hash = text;
    if (text.starts_with('"') && quoted++ == 0) first_quoted = text;
  }
  std::string warning(const char* advice) const {
    std::string lines;
    const auto count = [this](int n, const char* one, const char* many) {
      return std::to_string(n) + " " + kind + (n == 1 ? one : many);
    };
    if (with_hash > 0) {
      lines += warningLine(count(with_hash, " of the run holds", "s of the run hold") + " a # (first: " + first_hash +
                           "); R's read.delim(comment.char = \"#\") and pandas' read_csv(comment=\"#\") end the "
                           "table's row there, leaving its later fields NA: " + advice);
    }
    if (quoted > 0) {
      lines += warningLine(count(quoted, " of the run starts", "s of the run start") + " with a double quote (first: " +
                           first_quoted + "); R's read.delim and pandas' read_csv take it for a quoted field, which "
                           "runs on past tabs and line ends to the next quote and joins rows: " + advice);
    }
    return lines;
  }
};

}  // namespace

std::string tableReadingWarning(char* const* marker_names, int marker_count,
                                const std::vector<std::string>* positions) {
  MisreadTexts names("marker name");
  for (int m = 0; m < marker_count; ++m) names.note(marker_names[m]);
  MisreadTexts places("marker position");
  if (positions != nullptr) {
    for (const std::string& place : *positions) places.note(place);
  }
  return names.warning("rename such markers") + places.warning("rename such chromosomes");
}

double orderLambda(const GenomicControl& control, std::size_t p_values) {
  return p_values == 0 ? std::numeric_limits<double>::quiet_NaN() : control.lambda;
}

std::string lambdaText(double lambda) {
  if (!std::isfinite(lambda)) return "NA";
  char text[64];
  std::snprintf(text, sizeof text, "%.4f", lambda);
  return text;
}

std::string strataDescription(const std::vector<std::string>& names, const std::vector<int>& samples,
                              std::size_t longest) {
  std::string text = "stratified: every measure conditional on the stratum; " + std::to_string(names.size()) +
                     (names.size() == 1 ? " stratum (" : " strata (");
  // Room kept for the longest ending the count of unlisted strata can take.
  const std::string widest_rest = ", ... and " + std::to_string(names.size()) + " more strata)";
  for (std::size_t s = 0; s < names.size(); ++s) {
    const std::string entry = (s > 0 ? ", " : "") + names[s] + " " + std::to_string(samples[s]) + " samples";
    const bool last = s + 1 == names.size();
    if (longest != std::string::npos &&
        text.size() + entry.size() + (last ? 1 : widest_rest.size()) > longest) {
      return text + (s > 0 ? ", ... and " : "... and ") + std::to_string(names.size() - s) + " more strata)";
    }
    text += entry;
  }
  return text + ")";
}

bool writeResultsTable(OutputFile& file, const TableRun& run, const std::vector<OrderSignificance>& orders,
                       char* const* marker_names, std::string& error) {
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
    // Every order says its lambda, NA from 0 combinations when none of its
    // p-values is a number: a missing line would read as a run without them.
    if (structure.assessed) printLambda(file, order.order, "lambda_gc", structure.control);
    if (structure.adjusted) printLambda(file, order.order, "lambda_gc_adjusted", structure.adjusted_control);
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
        file.write(resultsTableLine({order.order, rank + 1, &row, &adjustedRow(order, rank), marker_names,
                                     run.positions, order.tests}) +
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
      file.write(resultsTableLine({order.order, static_cast<long long>(r) + 1, &order.rows[r],
                                   &adjustedRow(order, r), marker_names, run.positions, order.tests}) +
                 "\n");
    }
  }
  if (!file.finish()) {
    error = file.error();
    return false;
  }
  return true;
}
