// The covariate file's values: what a decimal number is, and what is not;
// a file with or without its header line.
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
  EXPECT_FALSE(file.lines[0].missing);
  EXPECT_TRUE(file.lines[1].missing);
  // PLINK's missing -9 is a number: written -9.000000 it marks a missing sample
  // too, not a value -9 in the models; -9.5 and -90 are values.
  writeFile(path, "FID IID A\nf 1 -9.000000\nf 2 -9e0\nf 3 -9\nf 4 -9.5\nf 5 -90\n");
  ASSERT_TRUE(readCovariateFile(path, {}, file, error)) << error;
  ASSERT_EQ(file.lines.size(), 5u);
  for (std::size_t s = 0; s < 5; ++s) EXPECT_EQ(file.lines[s].missing, s < 3) << s;
  EXPECT_EQ(file.values[3], -9.5);
  for (const char* value : {"0x10", "inf", "nan", "1,5", "2a", "1e", "--1"}) {
    writeFile(path, std::string("FID IID A\nf 1 0.5\nf 2 ") + value + "\n");
    EXPECT_FALSE(readCovariateFile(path, {}, file, error)) << value;
    EXPECT_NE(error.find("c.cov line 3, field 3: covariate A is '" + std::string(value) + "', not a number"),
              std::string::npos)
        << error;
  }
  // A number past the largest double is one, only too large to hold.
  for (const char* value : {"1e999", "-1e400"}) {
    writeFile(path, std::string("FID IID A B\nf 1 0.5 1\nf 2 1 ") + value + "\n");
    EXPECT_FALSE(readCovariateFile(path, {}, file, error)) << value;
    EXPECT_NE(error.find("c.cov line 3, field 4: covariate B is '" + std::string(value) + "', a number out of range"),
              std::string::npos)
        << error;
    EXPECT_EQ(error.find("not a number"), std::string::npos) << error;
  }
}

// PLINK 1.07's files have no header: their columns are COV1, COV2 ... for
// --covar-name, and a header is told by its first field.
TEST(CovariateFile, AFileWithoutHeaderNamesItsColumnsByNumber) {
  const std::string dir = makeTempDir();
  const std::string path = dir + "/c.cov";
  CovariateFile file;
  std::string error;
  writeFile(path, "f 1 0.5 7\nf 2 -1 NA\n");
  ASSERT_TRUE(readCovariateFile(path, {"COV2"}, file, error)) << error;
  EXPECT_EQ(file.names, std::vector<std::string>{"COV2"});
  ASSERT_EQ(file.lines.size(), 2u);
  EXPECT_EQ(file.lines[0].line, 1);
  EXPECT_EQ(file.values[0], 7.0);
  EXPECT_TRUE(file.lines[1].missing);
  EXPECT_FALSE(readCovariateFile(path, {"A"}, file, error));
  EXPECT_NE(error.find("c.cov line 1: no covariate named 'A' (--covar-name; the file has no header line, so its "
                       "columns are COV1 to COV2)"),
            std::string::npos)
      << error;
  const struct {
    const char* text;
    const char* message;
  } refused[] = {
      {"f 1 0.5 7\nf 2 1\n", "c.cov line 2: 3 fields, but the first line has 4"},
      {"f 1\n", "c.cov line 1: 2 fields, but a covariate file's lines hold FID, IID and at least one covariate"},
      {"FID ID A\n", "c.cov line 1: the header must be FID IID"},
      {"#IID\n", "c.cov line 1: the header must be FID IID (or plink2's #IID) and at least one"},
      {"IID ID A\n", "c.cov line 1, field 3: covariate COV1 is 'A', not a number (-9 or NA when missing); the "
                     "file has no header line, which starts with FID IID or #FID IID"},
  };
  for (const auto& c : refused) {
    writeFile(path, c.text);
    EXPECT_FALSE(readCovariateFile(path, {}, file, error)) << c.text;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

// --covar-name takes PLINK's ranges: PC2-PC4 is every column from PC2 to PC4,
// in the file's order; a name holding a dash that is a column is that column.
TEST(CovariateFile, ANameRangeTakesTheColumnsFromOneToTheOther) {
  const std::string path = makeTempDir() + "/c.eigenvec";
  CovariateFile file;
  std::string error;
  writeFile(path, "#FID IID PC1 PC2 PC3 PC4 x-y x y\nf s 1 2 3 4 5 6 7\n");
  ASSERT_TRUE(readCovariateFile(path, {"PC2-PC4", "PC1", "x-y"}, file, error)) << error;
  EXPECT_EQ(file.names, (std::vector<std::string>{"PC2", "PC3", "PC4", "PC1", "x-y"}));
  EXPECT_EQ(file.values, (std::vector<double>{2, 3, 4, 1, 5}));
  const struct {
    std::vector<std::string> wanted;
    const char* message;
  } refused[] = {
      {{"PC3-PC1"}, "c.eigenvec line 1: --covar-name PC3-PC1 runs backwards: PC1 is field 3, before PC3 in field 5"},
      {{"PC1-PC2", "PC2"}, "--covar-name names the covariate 'PC2' twice"},
      {{"PC1-PC9"}, "c.eigenvec line 1: no covariate named 'PC1-PC9' (--covar-name)"},
  };
  for (const auto& c : refused) {
    EXPECT_FALSE(readCovariateFile(path, c.wanted, file, error)) << c.wanted[0];
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

// plink2's eigenvectors of samples without FID (from a VCF): "#IID PC1 ...".
TEST(CovariateFile, Plink2IidOnlyFilesNameSamplesByIidAndCountFieldsAsWritten) {
  const std::string dir = makeTempDir();
  const std::string path = dir + "/c.eigenvec";
  CovariateFile file;
  std::string error;
  writeFile(path, "#IID PC1 PC2\ns1 0.5 -1\ns2 NA 2\n");
  ASSERT_TRUE(readCovariateFile(path, {"PC2"}, file, error)) << error;
  EXPECT_TRUE(file.iid_only);
  ASSERT_EQ(file.lines.size(), 2u);
  EXPECT_EQ(file.lines[1].fid, "");
  EXPECT_EQ(file.lines[1].iid, "s2");
  EXPECT_EQ(file.values, (std::vector<double>{-1, 2}));
  writeFile(path, "#IID PC1 PC2\ns1 0.5 x\ns2 1\n");
  EXPECT_FALSE(readCovariateFile(path, {}, file, error));
  EXPECT_NE(error.find("c.eigenvec line 2, field 3: covariate PC2 is 'x'"), std::string::npos) << error;
  writeFile(path, "#IID PC1 PC2\ns2 1\n");
  EXPECT_FALSE(readCovariateFile(path, {}, file, error));
  EXPECT_NE(error.find("c.eigenvec line 2: 2 fields, but the header has 3"), std::string::npos) << error;
}

}  // namespace
