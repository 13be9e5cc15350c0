// --keep and --remove files as PLINK and plink2 write them.
#include <gtest/gtest.h>

#include "io/subset.h"
#include "support/run_program.h"

namespace {

SubsetInput plinkInput() {
  SubsetInput input;
  input.name = "in.bed";
  input.match_family = true;
  for (const char* iid : {"a", "b", "c"}) input.samples.push_back({"f", iid});
  input.markers = {"m1", "m2"};
  return input;
}

// plink2's .id files and PLINK 1 lists open with a header line: it names no
// sample, so it is neither kept nor warned about.
TEST(SampleLists, AHeaderLineIsNoSample) {
  const std::string dir = makeTempDir();
  for (const char* header : {"#FID\tIID\n", "FID IID\n", "#IID\n"}) {
    SCOPED_TRACE(header);
    writeFile(dir + "/keep.id", std::string(header) + "f a\nf c\n");
    writeFile(dir + "/remove.id", std::string(header) + "f b\n");
    for (const bool keep : {true, false}) {
      SubsetFiles files;
      (keep ? files.keep : files.remove) = dir + (keep ? "/keep.id" : "/remove.id");
      Subset subset;
      ASSERT_TRUE(chooseSubset(files, plinkInput(), 1, subset)) << subset.error;
      EXPECT_EQ(subset.samples, (std::vector<int>{0, 2}));
      EXPECT_EQ(subset.warnings, "");
    }
  }
  // Only the first line can be one.
  writeFile(dir + "/keep.id", "f a\nFID IID\n");
  SubsetFiles files;
  files.keep = dir + "/keep.id";
  Subset subset;
  ASSERT_TRUE(chooseSubset(files, plinkInput(), 1, subset)) << subset.error;
  EXPECT_NE(subset.warnings.find("1 samples of"), std::string::npos) << subset.warnings;
}

}  // namespace
