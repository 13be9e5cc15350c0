// Whole runs of the program: the fast engine on 1, 2 and 7 threads (and on
// every SIMD path this CPU runs) writes the report and the all-results file
// of the plain engine on one thread, for every --missing word, orders 1 to 4,
// several batches per order, ties, monomorphic markers and NaN measures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "engine/kernel_dispatch.h"
#include "support/oracle.h"
#include "support/report_text.h"
#include "support/run_program.h"

namespace {

struct Engine {
  std::string name;
  int threads;
  const char* simd = nullptr;  // GORVA_SIMD for the run, or the CPU's choice
};

struct Outputs {
  std::string report;
  std::string all_results;
};

// The report without its timing and without the command line (which names
// the engine and the threads).
std::string comparableReport(const std::string& report) {
  std::string masked = maskTimes(report);
  const std::size_t command = masked.find("Command : ");
  if (command != std::string::npos) masked.erase(command, masked.find('\n', command) - command);
  return masked;
}

Outputs runWith(const std::string& data, std::vector<std::string> args, const Engine& engine) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/data.txt", data);
  args.insert(args.begin(), {"--in", "data.txt", "--out", "report.txt"});
  args.insert(args.end(), {"--engine", engine.name, "--threads", std::to_string(engine.threads)});
  if (engine.simd != nullptr) setenv("GORVA_SIMD", engine.simd, 1);
  const ProgramResult run = runGorva(args, dir);
  if (engine.simd != nullptr) unsetenv("GORVA_SIMD");
  EXPECT_EQ(run.status, 0) << run.err;
  Outputs outputs;
  outputs.report = comparableReport(readFile(dir + "/report.txt"));
  if (fileExists(dir + "/report.txt.all")) outputs.all_results = readFile(dir + "/report.txt.all");
  return outputs;
}

const std::vector<Engine> kOtherEngines = {{"fast", 1}, {"fast", 2}, {"fast", 7}, {"plain", 7}};

// Every engine gives the report (and all-results file) of the plain one on
// one thread.
void expectSameOutputs(const std::string& data, const std::vector<std::string>& args,
                       const std::vector<Engine>& engines, const std::string& what) {
  const Outputs reference = runWith(data, args, {"plain", 1});
  ASSERT_NE(reference.report.find("Order Best Combination Sets"), std::string::npos) << what;
  for (const Engine& engine : engines) {
    const Outputs outputs = runWith(data, args, engine);
    const std::string where = what + " with " + engine.name + " on " +
                              std::to_string(engine.threads) + " threads" +
                              (engine.simd ? std::string(" ") + engine.simd : "");
    EXPECT_EQ(outputs.report, reference.report) << where;
    EXPECT_TRUE(outputs.all_results == reference.all_results)
        << where << ": all-results files differ";
  }
}

// Copies give equal keys, one marker is monomorphic, one has no genotype for
// any case (its combinations have NaN measures under "available").
Dataset tiedData(unsigned seed, int markers, int samples, double missing) {
  Dataset data = randomDataset(seed, markers, samples, missing);
  for (int m = 4; m < markers; m += 5) data.genotype[m] = data.genotype[m - 3];
  std::fill(data.genotype[2].begin(), data.genotype[2].end(), 1);
  if (missing > 0) {
    for (int s = 0; s < samples; ++s) {
      if (data.phenotype[s] == 1) data.genotype[markers - 2][s] = 3;
    }
  }
  return data;
}

TEST(FastReports, EveryMissingWordGivesThePlainReportOnAnyThreadCount) {
  const std::string with_missing = tiedData(41, 14, 120, 0.04).text();
  const std::string without_missing = tiedData(41, 14, 120, 0.0).text();
  for (const char* word : {"none", "mc", "complete", "available", "imputation", "em"}) {
    const std::string& data = std::string(word) == "none" ? without_missing : with_missing;
    for (const char* top : {"3", "12"}) {
      expectSameOutputs(data, {"--order", "1-4", "--top", top, "--missing", word}, kOtherEngines,
                        std::string("--missing ") + word + " --top " + top);
    }
  }
}

TEST(FastReports, EverySimdPathGivesThePlainReport) {
  const std::string data = tiedData(43, 14, 150, 0.03).text();
  std::vector<Engine> engines;
  for (SimdPath path : {SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512}) {
    if (simdPathSupported(path)) {
      engines.push_back({"fast", 2, simdPathName(path)});
    } else {
      std::cout << "[ SKIPPED  ] " << simdPathName(path) << ": not supported by this CPU\n";
    }
  }
  for (const char* word : {"available", "mc"}) {
    expectSameOutputs(data, {"--order", "1-4", "--top", "7", "--missing", word}, engines, word);
  }
}

TEST(FastReports, OneClassPhenotypesGiveTheSameNotANumberRows) {
  Dataset data = tiedData(47, 9, 60, 0.05);
  std::fill(data.phenotype.begin(), data.phenotype.end(), 0);
  for (const char* word : {"available", "mc"}) {
    expectSameOutputs(data.text(), {"--order", "1-3", "--top", "5", "--missing", word},
                      {{"fast", 1}, {"fast", 2}}, std::string("one class, ") + word);
  }
}

TEST(FastReports, SeveralBatchesPerOrderAndKAboveABatchsDistinctKeys) {
  // Order 2 of 460 markers: 105,570 pairs in two batches. All markers are
  // copies of six columns, so a batch has only a few dozen distinct keys and
  // K = 60 reaches beyond them.
  Dataset few = randomDataset(51, 460, 40, 0.03);
  for (int m = 6; m < 460; ++m) few.genotype[m] = few.genotype[m % 6];
  expectSameOutputs(few.text(), {"--order", "1-2", "--top", "60"},
                    {{"fast", 1}, {"fast", 2}, {"fast", 7}}, "six distinct columns");
  // Order 3 of 90 markers (117,480 triples) and order 4 of 45 (148,995).
  expectSameOutputs(tiedData(53, 90, 36, 0.02).text(), {"--order", "3", "--top", "15"},
                    {{"fast", 1}, {"fast", 2}}, "order 3, two batches");
  expectSameOutputs(tiedData(54, 45, 30, 0.02).text(),
                    {"--order", "4", "--top", "15", "--missing", "mc"}, {{"fast", 1}, {"fast", 7}},
                    "order 4, two batches");
}

TEST(FastReports, AllResultsFilesAreWrittenInBatchOrderOnAnyThreadCount) {
  Dataset data = tiedData(57, 460, 24, 0.02);
  expectSameOutputs(data.text(), {"--order", "2", "--top", "4", "--save_all", "1"},
                    {{"fast", 1}, {"fast", 2}, {"fast", 7}, {"plain", 2}}, "--save_all 1");
}

}  // namespace
