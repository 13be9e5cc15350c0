// The text data file is read twice: once for its checks, once for its
// values. When the second opening fails (here: no descriptor left under
// `ulimit -n`), the refusal says why, on the fast road and the plain one.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "support/run_program.h"

namespace {

TEST(ReopenedData, ASecondOpeningThatFailsSaysWhy) {
  const std::string dir = makeTempDir();
  std::string data = "Class\tA\tB\n";
  for (int i = 0; i < 12; ++i) data += std::to_string(i % 2) + "\t" + std::to_string(i % 3) + "\t1\n";
  writeFile(dir + "/data.txt", data);
  for (const char* engine : {"fast", "plain"}) {
    const ProgramResult run = runProgram(
        "/bin/sh",
        // Descriptors the test inherits closed first: the run starts with
        // 0-2 only, and 4 of them let it read the file once, not twice.
        {"-c", std::string("exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; ulimit -n 4 && exec ") + GORVA_EXE +
                   " --in data.txt --out r.txt --order 1 --log 0 --engine " + engine},
        dir);
    EXPECT_EQ(run.status, 2) << engine << ": " << run.err;
    EXPECT_EQ(run.err, "gorva: data.txt: could not be opened a second time to read its values: " +
                           std::string(std::strerror(EMFILE)) + "\n")
        << engine;
  }
}

}  // namespace
