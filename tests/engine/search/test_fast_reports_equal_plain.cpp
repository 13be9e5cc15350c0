// Whole runs of the program: the fast engine writes the report and the
// all-results file of the plain engine on one thread, for every --missing
// word, orders 1 to 4, several batches per order, ties, monomorphic markers
// and NaN measures. (Every SIMD path and one-class data
// are compared with the plain path batch by batch in test_fast_batches.cpp.)
#include <gtest/gtest.h>

#include <algorithm>

#include "support/oracle.h"
#include "support/report_text.h"
#include "support/run_program.h"

namespace {

struct Engine { std::string name; int threads; };

struct Outputs { std::string report, all_results; };

// The report without its timing and without the command line (which names
// the engine and the threads).
std::string comparableReport(const std::string& report) {
  std::string masked = maskTimes(report);
  const std::size_t command = masked.find("Command : ");
  if (command != std::string::npos) masked.erase(command, masked.find('\n', command) - command);
  return masked;
}

Outputs runWith(const std::string& data, const std::string& options, const Engine& engine) {
  const std::string dir = makeTempDir();
  const ProgramResult run =
      runOnData(dir, data, options + " --engine " + engine.name + " --threads " + std::to_string(engine.threads));
  EXPECT_EQ(run.status, 0) << run.err;
  return {comparableReport(readFile(dir + "/report.txt")), readFile(dir + "/report.txt.all")};
}


// Every engine gives the report (and all-results file) of the plain one on
// one thread.
void expectSameOutputs(const std::string& data, const std::string& options, const std::vector<Engine>& engines) {
  const Outputs reference = runWith(data, options, {"plain", 1});
  ASSERT_NE(reference.report.find("Order Best Combination Sets"), std::string::npos) << options;
  for (const Engine& engine : engines) {
    const Outputs outputs = runWith(data, options, engine);
    SCOPED_TRACE(options + " with " + engine.name + " on " + std::to_string(engine.threads) + " threads");
    EXPECT_EQ(outputs.report, reference.report);
    EXPECT_TRUE(outputs.all_results == reference.all_results) << "all-results files differ";
  }
}

// Copies give equal keys, one marker is monomorphic, one has no genotype for
// any case (its combinations have NaN measures under "available"; under
// "complete" it would leave no case, which the run refuses).
Dataset tiedData(unsigned seed, int markers, int samples, double missing, bool case_gap = true) {
  Dataset data = randomDataset(seed, markers, samples, missing);
  for (int m = 4; m < markers; m += 5) data.genotype[m] = data.genotype[m - 3];
  std::fill(data.genotype[2].begin(), data.genotype[2].end(), 1);
  if (missing > 0 && case_gap) {
    for (int s = 0; s < samples; ++s) {
      if (data.phenotype[s] == 1) data.genotype[markers - 2][s] = 3;
    }
  }
  return data;
}

// Thread counts, K and the merge of batches are checked in-process
// (test_fast_batches.cpp); here the program's own wiring of each method to
// the fast engine.
TEST(FastReports, EveryMissingWordGivesThePlainReport) {
  const std::string with_missing = tiedData(41, 14, 120, 0.04).text();
  const std::string without_missing = tiedData(41, 14, 120, 0.0).text();
  const std::string both_classes_complete = tiedData(41, 14, 120, 0.04, false).text();
  for (const std::string word : {"none", "mc", "complete", "available", "imputation", "em"}) {
    const std::string& data =
        word == "none" ? without_missing : word == "complete" ? both_classes_complete : with_missing;
    expectSameOutputs(data, "--order 1-4 --top 12 --missing " + word, {{"fast", 2}});
  }
}

TEST(FastReports, SeveralBatchesPerOrderAndKAboveABatchsDistinctKeys) {
  // Order 2 of 460 markers: 105,570 pairs in two batches. All markers are
  // copies of six columns, so a batch has only a few dozen distinct keys and
  // K = 60 reaches beyond them.
  Dataset few = randomDataset(51, 460, 40, 0.03);
  for (int m = 6; m < 460; ++m) few.genotype[m] = few.genotype[m % 6];
  expectSameOutputs(few.text(), "--order 1-2 --top 60", {{"fast", 2}});
  // Order 3 of 90 markers (117,480 triples) and order 4 of 45 (148,995).
  expectSameOutputs(tiedData(53, 90, 36, 0.02).text(), "--order 3 --top 15", {{"fast", 2}});
  expectSameOutputs(tiedData(54, 45, 30, 0.02).text(), "--order 4 --top 15 --missing mc", {{"fast", 2}});
  // All-results files are written in batch order, whichever thread finishes first.
  expectSameOutputs(tiedData(57, 460, 24, 0.02).text(), "--order 2 --top 4 --save_all 1",
                    {{"fast", 2}, {"plain", 2}});
}

}  // namespace
