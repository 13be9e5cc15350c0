// MdrReader on small files: the counts, the header, the conversion of data
// fields, the line ends, and the limits that keep it inside the caller's
// arrays. Then MdrWriter: what each way of opening does to an existing file,
// and that every line reaches the file followed by exactly one line feed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/FileIO.h"
#include "support/run_program.h"

namespace {

constexpr unsigned char kUnwritten = 0xAA;
constexpr int kGuard = 16;  // bytes after each array that must stay untouched

class ReaderTest : public ::testing::Test {
 protected:
  std::string file(const std::string& bytes, const std::string& name = "data.txt") {
    const std::string path = dir_ + "/" + name;
    writeFile(path, bytes);
    return path;
  }
  std::string dir_ = makeTempDir();
};

// What a whole file gives a run: the counts, the names, the phenotypes and
// each sample's genotypes (marker by marker; kUnwritten: left alone).
struct FileCase {
  const char* what;
  std::string bytes;
  int phenotype_column, line_count, column_count;
  std::vector<std::string> names;
  std::vector<int> phenotypes;
  std::vector<std::vector<int>> genotypes;  // [sample][marker]
};

// Reads the file the way the run does - a counting pass, then a second
// reader filling arrays sized from the counts - and checks every count, name
// and array byte, kGuard untouched bytes after each array included.
void expectReadAsTheRunReadsIt(const std::string& path, const FileCase& c) {
  SCOPED_TRACE(c.what);
  MdrReader counter, reader;
  ASSERT_TRUE(counter.Open(path.c_str()));
  const int lines = counter.GetLineCount();
  counter.Reset();
  const int columns = counter.GetColCount(), samples = lines - 2, markers = columns - 1, skip = c.phenotype_column - 1;
  EXPECT_EQ(lines, c.line_count);
  EXPECT_EQ(columns, c.column_count);
  std::vector<unsigned char> genotypes(markers * samples + kGuard, kUnwritten), phenotypes(samples + kGuard, kUnwritten);
  std::vector<std::vector<char>> names(markers + 1, std::vector<char>(kFieldTextBuffer, '#'));
  std::vector<char*> slots;
  for (auto& name : names) slots.push_back(name.data());
  ASSERT_TRUE(reader.Open(path.c_str()));
  reader.SetFieldLimit(columns);
  reader.ReadHeader(slots.data(), skip);
  for (int row = 0; row < samples; ++row) reader.ReadLine(genotypes.data(), phenotypes.data(), skip, row, samples);
  std::vector<unsigned char> expected_genotypes, expected_phenotypes(c.phenotypes.begin(), c.phenotypes.end());
  for (int m = 0; m < markers; ++m) {
    for (const std::vector<int>& sample : c.genotypes) expected_genotypes.push_back(sample[m]);
  }
  expected_genotypes.resize(expected_genotypes.size() + kGuard, kUnwritten);
  expected_phenotypes.resize(expected_phenotypes.size() + kGuard, kUnwritten);
  EXPECT_EQ(genotypes, expected_genotypes);
  EXPECT_EQ(phenotypes, expected_phenotypes);
  EXPECT_EQ(std::vector<std::string>(slots.begin(), slots.end() - 1), c.names);
  EXPECT_EQ(names.back().front(), '#') << "a name was written past the marker count";
}

TEST_F(ReaderTest, FilesAsTheRunReadsThem) {
  const int u = kUnwritten;
  const FileCase cases[] = {
      {"worked example", "Status\tm0\tm1\n1\t0\t2\n0\t3\t1\n", 1, 4, 3, {"m0", "m1"}, {1, 0},
       {{0, 2}, {3, 1}}},
      {"last line without line end is no sample", "Status\tm0\n1\t2\n0\t1", 1, 3, 2, {"m0"}, {1}, {{2}}},
      // A blank line is a sample whose phenotype is 0 and whose genotypes stay unwritten.
      {"blank line", "Status\tm0\tm1\n1\t2\t1\n\n", 1, 4, 3, {"m0", "m1"}, {1, 0}, {{2, 1}, {u, u}}},
      {"mixed line ends", "S\ta\tb\r\n1\t0\t2\n0\t3\t1\r\n1\t1\t1\r\n", 1, 5, 3, {"a", "b"},
       {1, 0, 1}, {{0, 2}, {3, 1}, {1, 1}}},
      // In the header CR CR LF ends the line; in a data line the first CR
      // stays in the last field, where it does not change the value.
      {"CR twice before LF", "S\ta\tb\r\r\n1\t0\t2\r\r\n0\t3\t1\n", 1, 4, 3, {"a", "b"}, {1, 0},
       {{0, 2}, {3, 1}}},
      {"lone CR is an ordinary character", "S\ta\rb\tc\n1\t2\r\t1\n", 1, 3, 3, {"a\rb", "c"}, {1},
       {{2, 1}}},
      // Data fields lose their spaces and convert like atoi to the low byte.
      {"spaces and atoi", "S\ta\tb\tc\td\te\tf\tg\th\ti\n 1 \t 1 \t1 2\tNA\tx\t\t-1\t258\t2.7\t 3\n",
       1, 3, 10, {"a", "b", "c", "d", "e", "f", "g", "h", "i"}, {1}, {{1, 12, 0, 0, 0, 255, 2, 2, 3}}},
      {"header names keep their spaces", "Status\trs1\trs 2\n", 1, 2, 3, {"rs1", "rs 2"}, {}, {}},
      {"phenotype in column 2", "a\tStatus\tb\n2\t1\t0\n1\t7\t3\n", 2, 4, 3, {"a", "b"}, {1, 7},
       {{2, 0}, {1, 3}}},
      // The first data line ends with a tab: one more, empty, field.
      {"extra fields are ignored", "S\ta\tb\n1\t1\t2\t3\t3\n0\t2\t1\t\n", 1, 4, 3, {"a", "b"},
       {1, 0}, {{1, 2}, {2, 1}}},
      // Only zeros survive the cut of the overlong field.
      {"overlong name and field cut at 254",
       "S\t" + std::string(300, 'n') + "\tb\n1\t" + std::string(260, '0') + "2\t2\n", 1, 3, 3,
       {std::string(254, 'n'), "b"}, {1}, {{0, 2}}},
  };
  for (const FileCase& c : cases) expectReadAsTheRunReadsIt(file(c.bytes), c);
}

TEST(FieldTextToByte, ReadsTheLeadingIntegerAndKeepsItsLowEightBits) {
  const std::pair<const char*, int> cases[] = {
      {"0", 0},   {"3", 3},   {"+2", 2},   {"007", 7}, {"-1", 255}, {"-256", 0}, {"258", 2},
      {"2.7", 2}, {"1\r", 1}, {"\r1", 1}, {"NA", 0},  {"-", 0},    {"", 0}};
  for (const auto& [text, byte] : cases) EXPECT_EQ(fieldTextToByte(text), byte) << text;
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

TEST_F(ReaderTest, LineStartingWithItsLineEndIsOneEmptyField) {
  MdrReader reader;
  ASSERT_TRUE(reader.Open(file("\n1\t2\n").c_str()));
  reader.SetFieldLimit(2);
  unsigned char genotype = kUnwritten, phenotype = kUnwritten;
  reader.ReadLine(&genotype, &phenotype, 1, 0, 1);
  EXPECT_EQ(genotype, 0);
  EXPECT_EQ(phenotype, kUnwritten);
  EXPECT_EQ(reader.scanPosition(), 1);
  EXPECT_EQ(reader.GetColCount(), 2);
  MdrReader counter;
  ASSERT_TRUE(counter.Open(file("\r\na\tb\n", "crlf.txt").c_str()));
  EXPECT_EQ(counter.GetColCount(), 1);
  EXPECT_EQ(counter.scanPosition(), 2);
  EXPECT_EQ(counter.GetColCount(), 2);
  EXPECT_EQ(counter.GetColCount(), 1);  // at the end of the file
  EXPECT_TRUE(counter.atEnd());
}

TEST_F(ReaderTest, IntFormStoresEveryColumnUpToTheLimit) {
  MdrReader reader;
  ASSERT_TRUE(reader.Open(file("S\ta\tb\n1\t-1\t2\t7\n1\t2\t").c_str()));
  EXPECT_EQ(reader.ReadHeader(), 5);  // the line form, tabs copied
  EXPECT_STREQ(reader.headerText(), "S\ta\tb");
  EXPECT_EQ(reader.columnCount(), 3);
  std::vector<int> cells(3, -1);
  int* columns[3] = {&cells[0], &cells[1], &cells[2]};
  reader.ReadLine(columns, 0);  // limited by the header's three fields
  EXPECT_EQ(cells, (std::vector<int>{1, 255, 2}));
  // A tab as the last byte of the file stores one more, empty, field.
  cells.assign(3, -1);
  reader.ReadLine(columns, 0);
  EXPECT_EQ(cells, (std::vector<int>{1, 2, 0}));
  EXPECT_TRUE(reader.atEnd());
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

TEST_F(ReaderTest, OpenTwiceKeepsTheFirstLoadAndResetRescansIt) {
  const std::string path = file("S\ta\tb\n1\t2\t0\n0\t1\t1\n");
  MdrReader reader;
  ASSERT_TRUE(reader.Open(path.c_str()));
  EXPECT_EQ(reader.GetColCount(), 3);
  const int position = reader.scanPosition();
  writeFile(path, "completely\tdifferent\n");
  EXPECT_TRUE(reader.Open(path.c_str()));
  EXPECT_EQ(reader.scanPosition(), position);
  EXPECT_EQ(reader.GetLineCount(), 3);  // counted from the position on
  EXPECT_TRUE(reader.atEnd());
  reader.Reset();
  EXPECT_FALSE(reader.atEnd());
  EXPECT_EQ(reader.scanPosition(), 0);
  EXPECT_EQ(reader.GetLineCount(), 4);
  EXPECT_EQ(reader.byteCount(), 18);
}

TEST_F(ReaderTest, ClosedMissingAndEmptyFilesScanSafely) {
  MdrReader reader;
  EXPECT_FALSE(reader.Open((dir_ + "/absent.txt").c_str()));
  EXPECT_FALSE(reader.isOpen());
  reader.Reset();
  EXPECT_EQ(reader.GetLineCount(), 0);
  EXPECT_EQ(reader.GetColCount(), 0);
  ASSERT_TRUE(reader.Open(file("S\ta\n1\t2\n").c_str()));
  reader.Close();
  reader.Close();
  EXPECT_EQ(reader.GetLineCount(), 0);
  EXPECT_EQ(reader.bytes(), nullptr);

  ASSERT_TRUE(reader.Open(file("", "empty.txt").c_str()));
  EXPECT_EQ(reader.byteCount(), 0);
  EXPECT_EQ(reader.bytes(), nullptr);
  EXPECT_EQ(reader.GetLineCount(), 1);  // sample count -1: the caller refuses it
  reader.Reset();
  EXPECT_EQ(reader.GetColCount(), 1);
  reader.Reset();
  unsigned char genotype = kUnwritten, phenotype = kUnwritten;
  reader.ReadLine(&genotype, &phenotype, 0, 0, 1);
  EXPECT_EQ(phenotype, 0);
  EXPECT_EQ(genotype, kUnwritten);
  EXPECT_TRUE(reader.atEnd());
}

class WriterTest : public ::testing::Test {
 protected:
  // Opens path_ (after giving it `old` content, unless null) by Save or
  // Append, writes the lines and returns what the file holds.
  std::string written(const char* old, bool append, std::initializer_list<std::string> lines) {
    if (old != nullptr) writeFile(path_, old);
    MdrWriter writer;
    EXPECT_TRUE(append ? writer.Append(path_.c_str()) : writer.Save(path_.c_str()));
    for (const std::string& line : lines) writer.WriteLine(line.c_str());
    writer.Close();
    return readFile(path_);
  }
  std::string path_ = makeTempDir() + "/report.txt";
};

TEST_F(WriterTest, SaveEmptiesAppendKeepsAndEachLineGetsOneLineFeedUpToTheLimit) {
  EXPECT_EQ(written("old content\n", false, {}), "");
  EXPECT_EQ(written("old content\n", false, {"a", "", "b,c"}), "a\n\nb,c\n");
  EXPECT_EQ(written("first\n", true, {"second"}), "first\nsecond\n");
  std::remove(path_.c_str());
  EXPECT_EQ(written(nullptr, true, {"only"}), "only\n");  // Append creates a missing file
  // A line at the limit is written whole, a longer one is cut there.
  const std::string at_limit(MdrWriter::kMaxLineText, 'x'), cut(MdrWriter::kMaxLineText, 'y');
  EXPECT_EQ(written(nullptr, false, {at_limit, cut + "zzz"}), at_limit + "\n" + cut + "\n");
}

TEST_F(WriterTest, SecondSaveSwitchesToTheNewFileAndAMissingDirectoryFails) {
  const std::string other = path_ + ".all", bad = path_ + ".d/missing/report.txt";
  MdrWriter writer;
  EXPECT_FALSE(writer.Save(bad.c_str()));
  EXPECT_FALSE(writer.Append(bad.c_str()));
  EXPECT_FALSE(fileExists(bad));
  ASSERT_TRUE(writer.Save(path_.c_str()));
  writer.WriteLine("to the first");
  ASSERT_TRUE(writer.Save(other.c_str()));
  writer.WriteLine("to the second");
  writer.Close();
  EXPECT_EQ(readFile(path_), "to the first\n");
  EXPECT_EQ(readFile(other), "to the second\n");
}

}  // namespace
