// The memory budget: the estimate grows as each array of a run does, the
// available figure comes from the machine (or the test-only override), and
// the program refuses a run that does not fit before its report exists.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "app/memorybudget.h"
#include "support/run_program.h"

namespace {

constexpr std::uint64_t kMebibyte = 1048576;

RunShape shapeOf(long long markers, long long samples, int order = 2, int top_k = 10,
                 int threads = 1) {
  RunShape shape;
  shape.marker_count = markers;
  shape.sample_count = samples;
  shape.init_order = 2;
  shape.order = order;
  shape.top_k = top_k;
  shape.threads = threads;
  return shape;
}

// Sets GORVA_TEST_MEMORY_LIMIT for the lifetime of the object; programs
// started meanwhile inherit it.
class MemoryLimit {
 public:
  explicit MemoryLimit(std::uint64_t bytes) { setenv(kName, std::to_string(bytes).c_str(), 1); }
  explicit MemoryLimit(const char* text) { setenv(kName, text, 1); }
  ~MemoryLimit() { unsetenv(kName); }
  MemoryLimit(const MemoryLimit&) = delete;
  MemoryLimit& operator=(const MemoryLimit&) = delete;

 private:
  static constexpr const char* kName = "GORVA_TEST_MEMORY_LIMIT";
};

TEST(MemoryEstimate, GenotypesAndBitPlanesFollowTheirLayouts) {
  const MemoryNeed need = estimateRunMemory(shapeOf(1000, 130));
  EXPECT_EQ(need.genotypes, 130000u);
  // 130 samples take 3 words of 64 bits in each of 4 levels x 2 classes.
  EXPECT_EQ(need.bit_planes, 1000u * 4 * 2 * 3 * 8);
  // One more sample past a word boundary costs a whole word per plane.
  EXPECT_EQ(estimateRunMemory(shapeOf(1000, 128)).bit_planes, 1000u * 4 * 2 * 2 * 8);
  EXPECT_EQ(estimateRunMemory(shapeOf(1000, 129)).bit_planes, 1000u * 4 * 2 * 3 * 8);
}

TEST(MemoryEstimate, BatchBuffersScaleWithWorkersAndOrder) {
  // 1000 markers have 499500 pairs: 5 batches of 100000, work for 4 workers.
  const MemoryNeed one = estimateRunMemory(shapeOf(1000, 100, 3, 10, 1));
  const MemoryNeed four = estimateRunMemory(shapeOf(1000, 100, 3, 10, 4));
  EXPECT_EQ(four.workers, 4);
  EXPECT_EQ(four.batches, 4 * one.batches);
  EXPECT_EQ(four.genotypes, one.genotypes);
  // A batch holds 100000 combinations: one order more is 100000 ints more
  // per worker, besides the wider ranked rows.
  const MemoryNeed order4 = estimateRunMemory(shapeOf(1000, 100, 4, 10, 1));
  EXPECT_GE(order4.batches - one.batches, 100000u * sizeof(int));
  // At order 2 a batch is 100000 x (2 ints + 3 doubles + 1 int) at least.
  EXPECT_GE(estimateRunMemory(shapeOf(1000, 100, 2, 10, 1)).batches, 100000u * (3 * 4 + 3 * 8));
}

TEST(MemoryEstimate, NoMoreWorkersThanBatches) {
  // 50 markers have 1225 pairs, one batch: one worker whatever --threads says.
  EXPECT_EQ(estimateRunMemory(shapeOf(50, 100, 2, 10, 64)).workers, 1);
  // 1000 markers: 5 batches of pairs, so 64 threads start only 5 workers.
  EXPECT_EQ(estimateRunMemory(shapeOf(1000, 100, 2, 10, 64)).workers, 5);
  // An order with more combinations lets all of them work.
  EXPECT_EQ(estimateRunMemory(shapeOf(1000, 100, 3, 10, 64)).workers, 64);
}

TEST(MemoryEstimate, DefaultThreadsMeanEveryHardwareThread) {
  const unsigned hardware = std::thread::hardware_concurrency();
  EXPECT_EQ(resolveWorkerCount(0), hardware > 0 ? static_cast<int>(hardware) : 1);
  EXPECT_EQ(resolveWorkerCount(3), 3);
  EXPECT_GE(resolveWorkerCount(-5), 1);
}

TEST(MemoryEstimate, ResultRowsAreCappedByTheCombinationsThatExist) {
  // 4 markers have 6 pairs: a --top of a billion keeps no more than 6 rows.
  const MemoryNeed capped = estimateRunMemory(shapeOf(4, 10, 2, 1000000000));
  const MemoryNeed six = estimateRunMemory(shapeOf(4, 10, 2, 6));
  EXPECT_EQ(capped.records, six.records);
  EXPECT_LT(capped.total(), 100 * kMebibyte);
  EXPECT_GT(six.records, estimateRunMemory(shapeOf(4, 10, 2, 5)).records);
  // A negative --top keeps no row at all.
  EXPECT_LE(estimateRunMemory(shapeOf(4, 10, 2, -3)).records,
            estimateRunMemory(shapeOf(4, 10, 2, 0)).records);
}

TEST(MemoryEstimate, AbsurdShapesGiveHugeNeedsThatDoNotWrapAround) {
  const MemoryNeed huge = estimateRunMemory(shapeOf(2147483647LL, 1, 10, 2147483647, 64));
  EXPECT_GE(huge.total(), huge.genotypes);
  EXPECT_GE(huge.total(), huge.records);
  EXPECT_GT(huge.total(), 2147483647ULL);
  // Every order up to the int limit, every row: far beyond any machine.
  RunShape widest = shapeOf(100, 10, 2147483647, 2147483647, 2147483647);
  const MemoryNeed widest_need = estimateRunMemory(widest);
  EXPECT_GT(widest_need.records, 1000000000000000ULL);
  EXPECT_GE(widest_need.total(), widest_need.records);
  EXPECT_GE(widest_need.total(), widest_need.batches);
}

std::uint64_t meminfoTotalBytes() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  std::uint64_t kilobytes = 0;
  std::string unit;
  while (in >> key >> kilobytes >> unit) {
    if (key == "MemTotal:") return kilobytes * 1024;
  }
  return 0;
}

TEST(AvailableMemory, MachineFigureIsBelowTheInstalledMemory) {
  const std::uint64_t available = availableMemoryBytes();
  EXPECT_GT(available, 0u);
  const std::uint64_t total = meminfoTotalBytes();
  if (total > 0) {
    EXPECT_LE(available, total);
  }
}

TEST(AvailableMemory, TestOverrideTakesOnlyPlainByteCounts) {
  const std::uint64_t machine = availableMemoryBytes();
  {
    MemoryLimit limit(12345u);
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

TEST(MemoryRefusal, NamesTheNeedAndTheAvailableMemoryInWholeMegabytes) {
  const RunShape shape = shapeOf(20000, 2000, 2, 10, 2);
  const MemoryNeed need = estimateRunMemory(shape);
  const std::string text = memoryRefusal("big.txt", shape, need, 5 * kMebibyte + 7);
  const std::uint64_t needed_mb = (need.total() + kMebibyte - 1) / kMebibyte;
  EXPECT_EQ(text.rfind("big.txt: 20000 markers x 2000 samples at order 2 needs " +
                           std::to_string(needed_mb) + " MB, 5 MB available (",
                       0),
            0u)
      << text;
  EXPECT_NE(text.find("2 threads"), std::string::npos) << text;
}

// A data file of `markers` markers and `samples` samples with every code.
std::string dataFile(int markers, int samples) {
  std::string text = "Class";
  for (int m = 0; m < markers; ++m) text += "\tm" + std::to_string(m);
  text += "\n";
  for (int s = 0; s < samples; ++s) {
    text += std::to_string(s % 2);
    for (int m = 0; m < markers; ++m) text += "\t" + std::to_string((s * 7 + m * 3) % 3);
    text += "\n";
  }
  return text;
}

class MemoryBudgetRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = makeTempDir();
    data_ = dataFile(12, 40);
    writeFile(dir_ + "/data.txt", data_);
    RunShape shape = shapeOf(12, 40, 3, 10, 2);
    shape.file_bytes = static_cast<long long>(data_.size());
    need_ = estimateRunMemory(shape).total();
  }
  ProgramResult run() {
    return runGorva({"--in", "data.txt", "--out", "report.txt", "--order", "2-3", "--threads", "2"},
                    dir_);
  }
  std::string dir_;
  std::string data_;
  std::uint64_t need_ = 0;
};

TEST_F(MemoryBudgetRun, RefusedWithExitStatus3BeforeTheReportExists) {
  MemoryLimit limit(need_ - 1);
  const ProgramResult refused = run();
  EXPECT_EQ(refused.status, 3);
  const std::string expected_start = "gorva: data.txt: 12 markers x 40 samples at orders 2-3 needs " +
                                     std::to_string((need_ + kMebibyte - 1) / kMebibyte) + " MB, " +
                                     std::to_string((need_ - 1) / kMebibyte) + " MB available (";
  EXPECT_EQ(refused.err.rfind(expected_start, 0), 0u) << refused.err;
  EXPECT_EQ(refused.err.back(), '\n');
  EXPECT_FALSE(fileExists(dir_ + "/report.txt"));
  EXPECT_EQ(refused.out.find("Analysis finished"), std::string::npos);
  EXPECT_EQ(readFile(dir_ + "/data.txt"), data_);
}

TEST_F(MemoryBudgetRun, ExactlyEnoughMemoryRuns) {
  MemoryLimit limit(need_);
  const ProgramResult accepted = run();
  EXPECT_EQ(accepted.status, 0) << accepted.err;
  EXPECT_EQ(accepted.err, "");
  EXPECT_NE(readFile(dir_ + "/report.txt").find("<<3-Order Best Combination Sets>>"),
            std::string::npos);
}

// Before the budget, every order up to the int limit got a result record
// of its own: the run tried to allocate them instead of refusing.
TEST_F(MemoryBudgetRun, AnOrderRangeBeyondAnyMachineIsRefusedAtOnce) {
  const ProgramResult refused =
      runGorva({"--in", "data.txt", "--out", "report.txt", "--order", "2-2147483647"}, dir_);
  EXPECT_EQ(refused.status, 3);
  EXPECT_EQ(refused.err.rfind("gorva: data.txt: 12 markers x 40 samples at orders 2-2147483647 needs ", 0),
            0u)
      << refused.err;
  EXPECT_FALSE(fileExists(dir_ + "/report.txt"));
}

}  // namespace
