// MdrWriter: what each way of opening does to an existing file, and that
// every line reaches the file followed by exactly one line feed.
#include <gtest/gtest.h>

#include <string>

#include "io/FileIO.h"
#include "support/run_program.h"

namespace {

class WriterTest : public ::testing::Test {
 protected:
  std::string path_ = makeTempDir() + "/report.txt";
};

TEST_F(WriterTest, SaveEmptiesAnExistingFileEvenWithoutWriting) {
  writeFile(path_, "old content\n");
  MdrWriter writer;
  ASSERT_TRUE(writer.Save(path_.c_str()));
  writer.Close();
  EXPECT_EQ(readFile(path_), "");
}

TEST_F(WriterTest, LinesAreWrittenInOrderEachWithOneLineFeed) {
  MdrWriter writer;
  ASSERT_TRUE(writer.Save(path_.c_str()));
  writer.WriteLine("a");
  writer.WriteLine("");
  writer.WriteLine("b,c");
  writer.Close();
  EXPECT_EQ(readFile(path_), "a\n\nb,c\n");
}

TEST_F(WriterTest, AppendKeepsTheContentAndAddsAfterIt) {
  writeFile(path_, "first\n");
  MdrWriter writer;
  ASSERT_TRUE(writer.Append(path_.c_str()));
  writer.WriteLine("second");
  writer.Close();
  EXPECT_EQ(readFile(path_), "first\nsecond\n");
}

TEST_F(WriterTest, AppendCreatesAMissingFile) {
  MdrWriter writer;
  ASSERT_TRUE(writer.Append(path_.c_str()));
  writer.WriteLine("only");
  writer.Close();
  EXPECT_EQ(readFile(path_), "only\n");
}

TEST_F(WriterTest, OpeningInAMissingDirectoryFails) {
  const std::string bad = path_ + ".d/missing/report.txt";
  MdrWriter writer;
  EXPECT_FALSE(writer.Save(bad.c_str()));
  EXPECT_FALSE(writer.Append(bad.c_str()));
  EXPECT_FALSE(fileExists(bad));
}

TEST_F(WriterTest, LineAtTheLimitIsWholeAndALongerOneIsCutThere) {
  const std::string at_limit(MdrWriter::kMaxLineText, 'x');
  const std::string too_long = std::string(MdrWriter::kMaxLineText, 'y') + "zzz";
  MdrWriter writer;
  ASSERT_TRUE(writer.Save(path_.c_str()));
  writer.WriteLine(at_limit.c_str());
  writer.WriteLine(too_long.c_str());
  writer.Close();
  EXPECT_EQ(readFile(path_), at_limit + "\n" + std::string(MdrWriter::kMaxLineText, 'y') + "\n");
}

TEST_F(WriterTest, SecondSaveSwitchesToTheNewFile) {
  const std::string other = path_ + ".all";
  MdrWriter writer;
  ASSERT_TRUE(writer.Save(path_.c_str()));
  writer.WriteLine("to the first");
  ASSERT_TRUE(writer.Save(other.c_str()));
  writer.WriteLine("to the second");
  writer.Close();
  EXPECT_EQ(readFile(path_), "to the first\n");
  EXPECT_EQ(readFile(other), "to the second\n");
}

}  // namespace
