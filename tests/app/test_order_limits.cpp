// Orders whose count tables an int cannot index are refused before the report
// exists; orders above the marker count stay an empty block, not an error.
#include <gtest/gtest.h>

#include <string>

#include "support/run_program.h"

namespace {

std::string dataWithMarkers(int markers) {
  std::string text = "Class";
  for (int m = 0; m < markers; ++m) text += "\tm" + std::to_string(m);
  text += "\n";
  for (int s = 0; s < 4; ++s) {
    text += std::to_string(s % 2);
    for (int m = 0; m < markers; ++m) text += "\t" + std::to_string((s + m) % 3);
    text += "\n";
  }
  return text;
}

TEST(OrderLimits, TablesBeyondIntIndexingAreRefused) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/data.txt", dataWithMarkers(20));
  const struct {
    const char* order;
    const char* missing;
    const char* message;
  } cases[] = {
      {"19", "available", "gorva: order 19 needs count tables of 2 x 3^19 cells; this version counts orders up to 18\n"},
      {"2-25", "available", "gorva: order 20 needs count tables of 2 x 3^20 cells; this version counts orders up to 18\n"},
      {"15", "mc", "gorva: order 15 needs count tables of 2 x 4^15 cells; this version counts orders up to 14 under --missing mc\n"},
  };
  for (const auto& c : cases) {
    const ProgramResult run =
        runGorva({"--in", "data.txt", "--out", "report.txt", "--order", c.order, "--missing", c.missing}, dir);
    EXPECT_EQ(run.status, 2) << c.order;
    EXPECT_EQ(run.err, c.message);
    EXPECT_FALSE(fileExists(dir + "/report.txt"));
  }
  // Orders that no combination reaches need no table at all.
  const ProgramResult above = runGorva({"--in", "data.txt", "--out", "report.txt", "--order", "21-22"}, dir);
  EXPECT_EQ(above.status, 0) << above.err;
}

}  // namespace
