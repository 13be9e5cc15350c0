// The covariate file's values: what a decimal number is, and what is not.
#include <gtest/gtest.h>

#include "io/covariate_file.h"
#include "support/run_program.h"

namespace {

TEST(CovariateFile, ReadsDecimalNumbersAndRefusesEveryOtherSpellingByItsField) {
  const std::string dir = makeTempDir();
  const std::string path = dir + "/c.cov";
  CovariateFile file;
  std::string error;
  // A value below the smallest double is about 0, not an unreadable field.
  writeFile(path, "FID IID A B\nf 1 -1.5e3 1e-400\nf 2 +2 NA\n");
  ASSERT_TRUE(readCovariateFile(path, {}, file, error)) << error;
  ASSERT_EQ(file.values.size(), 4u);
  EXPECT_EQ(file.values[0], -1500.0);
  EXPECT_EQ(file.values[1], 0.0);
  EXPECT_EQ(file.values[2], 2.0);
  EXPECT_TRUE(file.lines[1].missing);
  for (const char* value : {"0x10", "inf", "nan", "1e999", "1,5", "2a"}) {
    writeFile(path, std::string("FID IID A\nf 1 0.5\nf 2 ") + value + "\n");
    EXPECT_FALSE(readCovariateFile(path, {}, file, error)) << value;
    EXPECT_NE(error.find("c.cov line 3, field 3: covariate A is '" + std::string(value) + "', not a number"),
              std::string::npos)
        << error;
  }
}

}  // namespace
