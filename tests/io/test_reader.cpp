// MdrReader on small files: the counts, the header, the conversion of data
// fields, the line ends, and the limits that keep it inside the caller's
// arrays.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/FileIO.h"
#include "support/run_program.h"

namespace {

constexpr unsigned char kUnwritten = 0xAA;
constexpr int kGuard = 16;  // bytes after each array that must stay untouched

// The data of a file as the run gets it: a counting pass, then a second
// reader that fills arrays sized from the counts. The arrays start as
// kUnwritten so that cells the reader leaves alone are visible.
struct LoadedFile {
  int line_count = 0;
  int column_count = 0;
  int sample_count = 0;
  std::vector<unsigned char> genotypes;   // marker-major, plus kGuard bytes
  std::vector<unsigned char> phenotypes;  // plus kGuard bytes
  std::vector<std::string> names;

  unsigned char genotype(int marker, int sample) const {
    return genotypes[static_cast<std::size_t>(marker * sample_count + sample)];
  }
  bool guardsIntact() const {
    for (int i = 0; i < kGuard; ++i) {
      if (genotypes[genotypes.size() - 1 - i] != kUnwritten) return false;
      if (phenotypes[phenotypes.size() - 1 - i] != kUnwritten) return false;
    }
    return true;
  }
};

LoadedFile loadLikeTheRun(const std::string& path, int phenotype_column = 1) {
  LoadedFile loaded;
  MdrReader counter;
  EXPECT_TRUE(counter.Open(path.c_str()));
  loaded.line_count = counter.GetLineCount();
  counter.Reset();
  loaded.column_count = counter.GetColCount();
  counter.Close();
  loaded.sample_count = loaded.line_count - 2;
  const int markers = loaded.column_count - 1;
  loaded.genotypes.assign(static_cast<std::size_t>(markers * loaded.sample_count + kGuard), kUnwritten);
  loaded.phenotypes.assign(static_cast<std::size_t>(loaded.sample_count + kGuard), kUnwritten);

  std::vector<std::vector<char>> name_buffers(static_cast<std::size_t>(markers + 1),
                                              std::vector<char>(kFieldTextBuffer, '#'));
  std::vector<char*> names;
  for (auto& buffer : name_buffers) names.push_back(buffer.data());
  MdrReader reader;
  EXPECT_TRUE(reader.Open(path.c_str()));
  reader.SetFieldLimit(loaded.column_count);
  reader.ReadHeader(names.data(), phenotype_column - 1);
  for (int row = 0; row < loaded.sample_count; ++row) {
    reader.ReadLine(loaded.genotypes.data(), loaded.phenotypes.data(), phenotype_column - 1, row,
                    loaded.sample_count);
  }
  reader.Close();
  for (int m = 0; m < markers; ++m) loaded.names.emplace_back(names[static_cast<std::size_t>(m)]);
  EXPECT_EQ(name_buffers.back().front(), '#') << "a name was written past the marker count";
  return loaded;
}

class ReaderTest : public ::testing::Test {
 protected:
  std::string file(const std::string& bytes, const std::string& name = "data.txt") {
    const std::string path = dir_ + "/" + name;
    writeFile(path, bytes);
    return path;
  }
  std::string dir_ = makeTempDir();
};

TEST_F(ReaderTest, WorkedExampleCountsAndLayout) {
  const LoadedFile data = loadLikeTheRun(file("Status\tm0\tm1\n1\t0\t2\n0\t3\t1\n"));
  EXPECT_EQ(data.line_count, 4);
  EXPECT_EQ(data.column_count, 3);
  EXPECT_EQ(data.names, (std::vector<std::string>{"m0", "m1"}));
  EXPECT_EQ(data.phenotypes[0], 1);
  EXPECT_EQ(data.phenotypes[1], 0);
  EXPECT_EQ(data.genotype(0, 0), 0);
  EXPECT_EQ(data.genotype(0, 1), 3);
  EXPECT_EQ(data.genotype(1, 0), 2);
  EXPECT_EQ(data.genotype(1, 1), 1);
  EXPECT_TRUE(data.guardsIntact());
}

TEST_F(ReaderTest, LastLineWithoutLineEndIsNoSample) {
  const LoadedFile data = loadLikeTheRun(file("Status\tm0\n1\t2\n0\t1"));
  EXPECT_EQ(data.line_count, 3);
  ASSERT_EQ(data.sample_count, 1);
  EXPECT_EQ(data.phenotypes[0], 1);
  EXPECT_EQ(data.genotype(0, 0), 2);
  EXPECT_TRUE(data.guardsIntact());
}

TEST_F(ReaderTest, BlankLineIsASampleWhosePhenotypeIsZeroAndWhoseGenotypesStayUnwritten) {
  const LoadedFile data = loadLikeTheRun(file("Status\tm0\tm1\n1\t2\t1\n\n"));
  ASSERT_EQ(data.sample_count, 2);
  EXPECT_EQ(data.phenotypes[1], 0);
  EXPECT_EQ(data.genotype(0, 1), kUnwritten);
  EXPECT_EQ(data.genotype(1, 1), kUnwritten);
  EXPECT_TRUE(data.guardsIntact());
}

TEST_F(ReaderTest, MixedLineEndsReadLikeLineFeedsOnly) {
  const LoadedFile plain = loadLikeTheRun(file("S\ta\tb\n1\t0\t2\n0\t3\t1\n1\t1\t1\n", "lf.txt"));
  const LoadedFile mixed = loadLikeTheRun(file("S\ta\tb\r\n1\t0\t2\n0\t3\t1\r\n1\t1\t1\r\n", "mixed.txt"));
  EXPECT_EQ(mixed.line_count, plain.line_count);
  EXPECT_EQ(mixed.column_count, plain.column_count);
  EXPECT_EQ(mixed.names, plain.names);
  EXPECT_EQ(mixed.genotypes, plain.genotypes);
  EXPECT_EQ(mixed.phenotypes, plain.phenotypes);
}

TEST_F(ReaderTest, CarriageReturnTwiceBeforeLineFeed) {
  // In the header the three bytes end the line; in a data line the first CR
  // stays in the last field, where it does not change the value.
  const LoadedFile data = loadLikeTheRun(file("S\ta\tb\r\r\n1\t0\t2\r\r\n0\t3\t1\n"));
  EXPECT_EQ(data.line_count, 4);
  EXPECT_EQ(data.names, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(data.genotype(1, 0), 2);
  EXPECT_EQ(data.phenotypes[1], 0);
  EXPECT_EQ(data.genotype(1, 1), 1);
}

TEST_F(ReaderTest, LoneCarriageReturnIsAnOrdinaryCharacter) {
  const LoadedFile data = loadLikeTheRun(file("S\ta\rb\tc\n1\t2\r\t1\n"));
  EXPECT_EQ(data.line_count, 3);
  EXPECT_EQ(data.names, (std::vector<std::string>{"a\rb", "c"}));
  EXPECT_EQ(data.genotype(0, 0), 2);
}

TEST_F(ReaderTest, DataFieldsLoseTheirSpacesAndConvertLikeAtoiToTheLowByte) {
  const LoadedFile data =
      loadLikeTheRun(file("S\ta\tb\tc\td\te\tf\tg\th\ti\n 1 \t 1 \t1 2\tNA\tx\t\t-1\t258\t2.7\t 3\n"));
  ASSERT_EQ(data.sample_count, 1);
  EXPECT_EQ(data.phenotypes[0], 1);
  const std::vector<int> expected = {1, 12, 0, 0, 0, 255, 2, 2, 3};
  for (int m = 0; m < 9; ++m) EXPECT_EQ(data.genotype(m, 0), expected[static_cast<std::size_t>(m)]) << m;
}

TEST(FieldTextToByte, ReadsTheLeadingIntegerAndKeepsItsLowEightBits) {
  EXPECT_EQ(fieldTextToByte("0"), 0);
  EXPECT_EQ(fieldTextToByte("3"), 3);
  EXPECT_EQ(fieldTextToByte("+2"), 2);
  EXPECT_EQ(fieldTextToByte("007"), 7);
  EXPECT_EQ(fieldTextToByte("-1"), 255);
  EXPECT_EQ(fieldTextToByte("-256"), 0);
  EXPECT_EQ(fieldTextToByte("258"), 2);
  EXPECT_EQ(fieldTextToByte("2.7"), 2);
  EXPECT_EQ(fieldTextToByte("1\r"), 1);
  EXPECT_EQ(fieldTextToByte("\r1"), 1);
  EXPECT_EQ(fieldTextToByte("NA"), 0);
  EXPECT_EQ(fieldTextToByte("-"), 0);
  EXPECT_EQ(fieldTextToByte(""), 0);
}

TEST_F(ReaderTest, HeaderNamesKeepTheirSpaces) {
  const LoadedFile data = loadLikeTheRun(file("Status\trs1\trs 2\n"));
  EXPECT_EQ(data.column_count, 3);
  EXPECT_EQ(data.sample_count, 0);
  EXPECT_EQ(data.names, (std::vector<std::string>{"rs1", "rs 2"}));
}

TEST_F(ReaderTest, PhenotypeInTheSecondColumn) {
  const LoadedFile data = loadLikeTheRun(file("a\tStatus\tb\n2\t1\t0\n1\t0\t3\n"), 2);
  EXPECT_EQ(data.names, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(data.phenotypes[0], 1);
  EXPECT_EQ(data.phenotypes[1], 0);
  EXPECT_EQ(data.genotype(0, 0), 2);
  EXPECT_EQ(data.genotype(0, 1), 1);
  EXPECT_EQ(data.genotype(1, 0), 0);
  EXPECT_EQ(data.genotype(1, 1), 3);
  EXPECT_TRUE(data.guardsIntact());
}

TEST_F(ReaderTest, ExtraFieldsBeyondTheHeaderAreIgnored) {
  // The second line ends with a tab: one more, empty, field.
  const LoadedFile data = loadLikeTheRun(file("S\ta\tb\n1\t1\t2\t3\t3\n0\t2\t1\t\n"));
  EXPECT_EQ(data.genotype(0, 0), 1);
  EXPECT_EQ(data.genotype(1, 0), 2);
  EXPECT_EQ(data.genotype(0, 1), 2);
  EXPECT_EQ(data.genotype(1, 1), 1);
  EXPECT_TRUE(data.guardsIntact());
}

TEST_F(ReaderTest, PhenotypeColumnOutsideTheLimitStillKeepsMarkersInside) {
  // Two fields allowed means one marker row; with no phenotype among them
  // both fields would be markers, and the second must not get a row.
  MdrReader reader;
  ASSERT_TRUE(reader.Open(file("1\t2\t3\n").c_str()));
  reader.SetFieldLimit(2);
  unsigned char genotypes[2] = {kUnwritten, kUnwritten};
  unsigned char phenotype = kUnwritten;
  reader.ReadLine(genotypes, &phenotype, 4, 0, 1);
  EXPECT_EQ(genotypes[0], 1);
  EXPECT_EQ(genotypes[1], kUnwritten);
  EXPECT_EQ(phenotype, kUnwritten);

  char first[kFieldTextBuffer] = "";
  char second[kFieldTextBuffer] = "untouched";
  char* names[2] = {first, second};
  reader.Reset();
  reader.ReadHeader(names, 4);
  EXPECT_STREQ(first, "1");
  EXPECT_STREQ(second, "untouched");
}

TEST_F(ReaderTest, OverlongNamesAndFieldsAreCutAt254Characters) {
  const std::string long_name(300, 'n');
  const std::string long_field = std::string(260, '0') + "2";
  const LoadedFile data = loadLikeTheRun(file("S\t" + long_name + "\tb\n1\t" + long_field + "\t2\n"));
  ASSERT_EQ(data.names.size(), 2u);
  EXPECT_EQ(data.names[0], long_name.substr(0, 254));
  EXPECT_EQ(data.names[1], "b");
  EXPECT_EQ(data.genotype(0, 0), 0);  // only zeros survive the cut
  EXPECT_EQ(data.genotype(1, 0), 2);
}

TEST_F(ReaderTest, LineStartingWithItsLineEndStoresOnlyItsFirstField) {
  MdrReader reader;
  ASSERT_TRUE(reader.Open(file("\n1\t2\n").c_str()));
  reader.SetFieldLimit(2);
  unsigned char genotypes[1] = {kUnwritten};
  unsigned char phenotypes[1] = {kUnwritten};
  reader.ReadLine(genotypes, phenotypes, 1, 0, 1);
  EXPECT_EQ(genotypes[0], 0);
  EXPECT_EQ(phenotypes[0], kUnwritten);
  EXPECT_EQ(reader.scanPosition(), 1);
  EXPECT_FALSE(reader.atEnd());
  EXPECT_EQ(reader.GetColCount(), 2);
}

TEST_F(ReaderTest, ColumnCountOfALineStartingWithItsLineEndIsOne) {
  MdrReader reader;
  ASSERT_TRUE(reader.Open(file("\r\na\tb\n").c_str()));
  EXPECT_EQ(reader.GetColCount(), 1);
  EXPECT_EQ(reader.scanPosition(), 2);
  EXPECT_EQ(reader.GetColCount(), 2);
  EXPECT_EQ(reader.GetColCount(), 1);  // at the end of the file
  EXPECT_TRUE(reader.atEnd());
}

TEST_F(ReaderTest, TabAsTheLastByteStoresOneMoreEmptyField) {
  MdrReader reader;
  ASSERT_TRUE(reader.Open(file("1\t2\t").c_str()));
  std::vector<int> cells(3, -1);
  int* columns[3] = {&cells[0], &cells[1], &cells[2]};
  reader.ReadLine(columns, 0);
  EXPECT_EQ(cells, (std::vector<int>{1, 2, 0}));
  EXPECT_TRUE(reader.atEnd());
}

TEST_F(ReaderTest, IntFormStoresEveryColumnUpToTheLimit) {
  MdrReader reader;
  ASSERT_TRUE(reader.Open(file("S\ta\tb\n1\t-1\t2\t7\n").c_str()));
  EXPECT_EQ(reader.ReadHeader(), 5);  // the line form, tabs copied
  EXPECT_STREQ(reader.headerText(), "S\ta\tb");
  EXPECT_EQ(reader.columnCount(), 3);
  int c0 = -1, c1 = -1, c2 = -1;
  int* columns[3] = {&c0, &c1, &c2};
  reader.ReadLine(columns, 0);  // limited by the header's three fields
  EXPECT_EQ(c0, 1);
  EXPECT_EQ(c1, 255);
  EXPECT_EQ(c2, 2);
  EXPECT_EQ(reader.scanPosition(), reader.byteCount());
}

TEST_F(ReaderTest, HeaderLineFormCutsLongLinesButConsumesThemWhole) {
  MdrReader reader;
  ASSERT_TRUE(reader.Open(file(std::string(300, 'h') + "\r\nnext\n").c_str()));
  EXPECT_EQ(reader.ReadHeader(), 254);
  EXPECT_EQ(std::string(reader.headerText()), std::string(254, 'h'));
  EXPECT_EQ(reader.scanPosition(), 302);
  EXPECT_EQ(reader.ReadHeader(), 4);
  EXPECT_STREQ(reader.headerText(), "next");
}

TEST_F(ReaderTest, OpenTwiceKeepsTheFirstLoadAndPosition) {
  const std::string path = file("S\ta\n1\t2\n");
  MdrReader reader;
  ASSERT_TRUE(reader.Open(path.c_str()));
  EXPECT_EQ(reader.GetColCount(), 2);
  const int position = reader.scanPosition();
  writeFile(path, "completely\tdifferent\tcontent\n");
  EXPECT_TRUE(reader.Open(path.c_str()));
  EXPECT_EQ(reader.scanPosition(), position);
  EXPECT_EQ(reader.byteCount(), 8);
  reader.Reset();
  EXPECT_EQ(reader.GetLineCount(), 3);
}

TEST_F(ReaderTest, ClosedReaderCountsNothingAndResetDoesNothing) {
  MdrReader reader;
  EXPECT_FALSE(reader.isOpen());
  reader.Reset();
  EXPECT_EQ(reader.GetLineCount(), 0);
  EXPECT_EQ(reader.GetColCount(), 0);
  ASSERT_TRUE(reader.Open(file("S\ta\n1\t2\n").c_str()));
  reader.Close();
  reader.Close();
  EXPECT_EQ(reader.GetLineCount(), 0);
  EXPECT_EQ(reader.GetColCount(), 0);
  EXPECT_EQ(reader.bytes(), nullptr);
}

TEST_F(ReaderTest, MissingFileDoesNotOpen) {
  MdrReader reader;
  EXPECT_FALSE(reader.Open((dir_ + "/absent.txt").c_str()));
  EXPECT_FALSE(reader.isOpen());
  EXPECT_EQ(reader.GetLineCount(), 0);
}

TEST_F(ReaderTest, EmptyFileOpensWithoutABufferAndScansSafely) {
  MdrReader reader;
  ASSERT_TRUE(reader.Open(file("").c_str()));
  EXPECT_EQ(reader.byteCount(), 0);
  EXPECT_EQ(reader.bytes(), nullptr);
  EXPECT_EQ(reader.GetLineCount(), 1);  // sample count -1: the caller refuses it
  reader.Reset();
  EXPECT_EQ(reader.GetColCount(), 1);
  reader.Reset();
  unsigned char genotype = kUnwritten;
  unsigned char phenotype = kUnwritten;
  reader.ReadLine(&genotype, &phenotype, 0, 0, 1);
  EXPECT_EQ(phenotype, 0);
  EXPECT_EQ(genotype, kUnwritten);
  EXPECT_TRUE(reader.atEnd());
}

TEST_F(ReaderTest, ResetAllowsASecondScanOfTheSameBytes) {
  MdrReader reader;
  ASSERT_TRUE(reader.Open(file("S\ta\tb\n1\t2\t0\n0\t1\t1\n").c_str()));
  EXPECT_EQ(reader.GetLineCount(), 4);
  EXPECT_TRUE(reader.atEnd());
  reader.Reset();
  EXPECT_FALSE(reader.atEnd());
  EXPECT_EQ(reader.scanPosition(), 0);
  EXPECT_EQ(reader.GetColCount(), 3);
  EXPECT_EQ(reader.GetLineCount(), 3);  // counted from the position on
}

}  // namespace
