// The memory budget: the estimate grows as each array of a run does, the
// available figure comes from the machine (or the test-only override), and
// the program refuses a run that does not fit before its report exists.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "engine/run_memory.h"
#include "io/system_memory.h"
#include "engine/search/batch_pool.h"
#include "support/run_program.h"

namespace {

constexpr std::uint64_t kMebibyte = 1048576;

MemoryNeed need(long long markers, long long samples, int order = 2, int top_k = 10, int threads = 1,
                long long file_bytes = 0) {
  RunShape shape;
  shape.marker_count = markers;
  shape.sample_count = samples;
  shape.init_order = 2;
  shape.order = order;
  shape.top_k = top_k;
  shape.threads = threads;
  shape.file_bytes = file_bytes;
  return estimateRunMemory(shape);
}

// Sets GORVA_TEST_MEMORY_LIMIT for the lifetime of the object; programs
// started meanwhile inherit it.
struct MemoryLimit {
  explicit MemoryLimit(const std::string& text) { setenv("GORVA_TEST_MEMORY_LIMIT", text.c_str(), 1); }
  ~MemoryLimit() { unsetenv("GORVA_TEST_MEMORY_LIMIT"); }
};

TEST(MemoryEstimate, ArraysFollowTheirLayouts) {
  // The planes' padding is checked against measured peaks (test_result_files).
  EXPECT_EQ(need(1000, 130).genotypes, 130000u);
  EXPECT_GE(need(1000, 130).bit_planes, 1000u * 3 * 2 * 3 * 8);
  // 1000 markers have 499500 pairs: 5 batches of 100000, work for 4 workers,
  // each with its own buffers; the kept rows are shared.
  const MemoryNeed one = need(1000, 100, 3, 10, 1), four = need(1000, 100, 3, 10, 4);
  EXPECT_EQ(four.workers, 4);
  EXPECT_GT(four.batches, 3 * one.batches);
  EXPECT_EQ(four.genotypes, one.genotypes);
  // At order 2 a batch is 100000 x (2 ints + 3 doubles + 1 int) at least.
  EXPECT_GE(need(1000, 100, 2).batches, 100000u * (3 * 4 + 3 * 8));
}

TEST(MemoryEstimate, WorkersAndRowsAreCappedByTheWorkThatExists) {
  // 50 markers have 1225 pairs, one batch: one worker whatever --threads says;
  // 1000 markers have 5 batches of pairs; their triples let all 64 work.
  EXPECT_EQ(need(50, 100, 2, 10, 64).workers, 1);
  EXPECT_EQ(need(1000, 100, 2, 10, 64).workers, 5);
  EXPECT_EQ(need(1000, 100, 3, 10, 64).workers, 64);
  const unsigned hardware = std::thread::hardware_concurrency();
  EXPECT_EQ(workerCount(0), hardware > 0 ? static_cast<int>(hardware) : 1);
  EXPECT_EQ(workerCount(3), 3);
  // 4 markers have 6 pairs: a --top of a billion keeps no more than 6 rows,
  // and a negative --top none.
  EXPECT_EQ(need(4, 10, 2, 1000000000).records, need(4, 10, 2, 6).records);
  EXPECT_LT(need(4, 10, 2, 1000000000).total(), 100 * kMebibyte);
  EXPECT_GT(need(4, 10, 2, 6).records, need(4, 10, 2, 5).records);
  EXPECT_LE(need(4, 10, 2, -3).records, need(4, 10, 2, 0).records);
}

TEST(MemoryEstimate, AbsurdShapesGiveHugeNeedsThatDoNotWrapAround) {
  const MemoryNeed huge = need(2147483647LL, 1, 10, 2147483647, 64);
  EXPECT_GE(huge.total(), huge.genotypes);
  EXPECT_GE(huge.total(), huge.records);
  EXPECT_GT(huge.total(), 2147483647ULL);
  // Every order up to the int limit, every row: far beyond any machine.
  const MemoryNeed widest = need(100, 10, 2147483647, 2147483647, 2147483647);
  EXPECT_GT(widest.records, 1000000000000000ULL);
  EXPECT_GE(widest.total(), widest.records);
  EXPECT_GE(widest.total(), widest.batches);
}

TEST(MemoryEstimate, StrataAddTheirOwnPlanesAndTheJointRowsOfTheirPairs) {
  RunShape shape;
  shape.marker_count = 6000;
  shape.sample_count = 1000;
  shape.threads = 2;
  const MemoryNeed plain = estimateRunMemory(shape);
  shape.stratum_samples.assign(8, 125);
  const MemoryNeed stratified = estimateRunMemory(shape);
  EXPECT_EQ(plain.strata, 0u);
  EXPECT_EQ(stratified.total(), plain.total() + stratified.strata);
  // At least: each stratum's 3 level rows of two classes of two words, and
  // the joint rows, two nibble words for each of those words.
  const std::uint64_t planes = 8ull * 6000 * 3 * 4 * 8;
  EXPECT_GE(stratified.strata, 3 * planes);
  // Matched pairs: the joint rows count every pair, so no stratum's pair
  // counter is counted (a thousand of them took some 3 GB of a 140 MB run).
  shape.marker_count = 200;
  shape.sample_count = 2000;
  shape.init_order = shape.order = 2;
  shape.stratum_samples.assign(1000, 2);
  EXPECT_LT(estimateRunMemory(shape).strata, 300 * kMebibyte);
}

TEST(AvailableMemory, MachineFigureIsBelowTheInstalledMemoryAndTheOverrideTakesByteCounts) {
  const std::uint64_t machine = availableMemoryBytes();
  EXPECT_GT(machine, 0u);
  std::ifstream meminfo("/proc/meminfo");
  std::string key, unit;
  for (std::uint64_t kilobytes = 0; meminfo >> key >> kilobytes >> unit;) {
    EXPECT_TRUE(key != "MemTotal:" || machine <= kilobytes * 1024);
  }
  {
    MemoryLimit limit("12345");
    EXPECT_EQ(availableMemoryBytes(), 12345u);
  }
  for (const char* garbage : {"", "12abc", "-5", "lots"}) {
    MemoryLimit limit(garbage);
    const std::uint64_t seen = availableMemoryBytes();
    // Garbage is ignored: the machine's figure, which moves a little.
    EXPECT_GT(seen, 1000u) << garbage;
    EXPECT_LT(seen > machine ? seen - machine : machine - seen, machine / 2 + 1) << garbage;
  }
}

TEST(MemoryRefusal, NamesTheNeedOfASingleOrderAndTheAvailableMemoryInWholeMegabytes) {
  RunShape shape;
  shape.marker_count = 20000;
  shape.sample_count = 2000;
  shape.init_order = shape.order = 2;
  shape.top_k = 10;
  shape.threads = 2;
  const std::uint64_t needed_mb = (estimateRunMemory(shape).total() + kMebibyte - 1) / kMebibyte;
  const std::string text = memoryRefusal("big.txt", shape, estimateRunMemory(shape), 5 * kMebibyte + 7);
  EXPECT_EQ(text.rfind("big.txt: 20000 markers x 2000 samples at order 2 needs " + std::to_string(needed_mb) +
                           " MB, 5 MB available (", 0), 0u) << text;
  EXPECT_NE(text.find("2 threads"), std::string::npos) << text;
}

TEST(MemoryBudgetRun, RefusedOneByteShortWithExitStatus3AndRunWithExactlyEnough) {
  const std::string dir = makeTempDir();
  std::string data = "Class";
  for (int m = 0; m < 12; ++m) data += "\tm" + std::to_string(m);
  for (int s = 0; s < 40; ++s) {
    data += "\n" + std::to_string(s % 2);
    for (int m = 0; m < 12; ++m) data += "\t" + std::to_string((s * 7 + m * 3) % 3);
  }
  data += "\n";
  const std::uint64_t bytes = need(12, 40, 3, 10, 2, static_cast<long long>(data.size())).total();
  // Before the budget, every order up to the int limit got a result record
  // of its own: the run tried to allocate them instead of refusing. Such a
  // range is now refused as far past the markers, before the budget.
  const ProgramResult wide = runOnData(dir, data, "--order 2-2147483647");
  EXPECT_EQ(wide.status, 2);
  EXPECT_EQ(wide.err, "gorva: --order 2-2147483647: the orders must lie from 1 to 12, the number of markers\n");
  EXPECT_FALSE(fileExists(dir + "/report.txt"));
  {
    MemoryLimit limit(std::to_string(bytes - 1));
    const ProgramResult refused = runOnData(dir, data, "--order 2-3 --threads 2");
    EXPECT_EQ(refused.status, 3);
    EXPECT_EQ(refused.err.rfind("gorva: data.txt: 12 markers x 40 samples at orders 2-3 needs " +
                                    std::to_string((bytes + kMebibyte - 1) / kMebibyte) + " MB, " +
                                    std::to_string((bytes - 1) / kMebibyte) + " MB available (", 0), 0u)
        << refused.err;
    // One batch of work: --threads 2 starts one worker, and the need says so.
    EXPECT_NE(refused.err.find("search buffers of 1 thread "), std::string::npos) << refused.err;
    EXPECT_EQ(refused.err.back(), '\n');
    EXPECT_FALSE(fileExists(dir + "/report.txt"));
    EXPECT_EQ(refused.out.find("Analysis finished"), std::string::npos);
  }
  {
    // A stratified run needs more than the same run without strata.
    std::string strata;
    for (int s = 1; s <= 40; ++s) strata += "x " + std::to_string(s) + (s % 3 == 0 ? " a\n" : " b\n");
    writeFile(dir + "/s.strata", strata);
    MemoryLimit limit(std::to_string(bytes));
    const ProgramResult refused = runOnData(dir, data, "--order 2-3 --threads 2 --strata s.strata");
    EXPECT_EQ(refused.status, 3);
    EXPECT_NE(refused.err.find(" MB, strata "), std::string::npos) << refused.err;
  }
  MemoryLimit limit(std::to_string(bytes));
  const ProgramResult accepted = runOnData(dir, data, "--order 2-3 --threads 2");
  EXPECT_EQ(accepted.status, 0) << accepted.err;
  EXPECT_EQ(accepted.err, "");
  EXPECT_NE(readFile(dir + "/report.txt").find("<<3-Order Best Combination Sets>>"), std::string::npos);
}

}  // namespace
