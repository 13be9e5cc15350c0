// The input checker: each refusal with its message, each warning with its
// count and first place, and the promise behind it: a file it accepts is read
// by MdrReader inside the run's arrays, with genotype codes 0 to 3 only.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "io/DataCheck.h"
#include "io/FileIO.h"
#include "support/run_program.h"

namespace {

DataCheck check(const std::string& bytes, int phenotype_column = 1) {
  return checkDataFile("data.txt", reinterpret_cast<const unsigned char*>(bytes.data()),
                       static_cast<int>(bytes.size()), phenotype_column);
}

// A header of `fields` columns (phenotype first) and `lines` data lines of
// zeros; line numbers in the file are 2 .. lines + 1.
std::vector<std::string> zeroTable(int fields, int lines) {
  std::string header = "Status";
  for (int m = 1; m < fields; ++m) header += "\tm" + std::to_string(m);
  std::string row = "1";
  for (int m = 1; m < fields; ++m) row += "\t0";
  std::vector<std::string> table{header};
  table.insert(table.end(), static_cast<std::size_t>(lines), row);
  return table;
}

std::string joined(const std::vector<std::string>& lines, const std::string& line_end = "\n") {
  std::string text;
  for (const auto& line : lines) text += line + line_end;
  return text;
}

TEST(DataCheckAccepts, CleanFilesWithEveryLineEnd) {
  for (const std::string line_end : {"\n", "\r\n", "\r\r\n"}) {
    const DataCheck result = check(joined({"Status\ta\tb", "1\t0\t2", "0\t3\t1", "1\t 1 \t2"}, line_end));
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.warning, "");
    EXPECT_EQ(result.line_count, 5);
    EXPECT_EQ(result.column_count, 3);
  }
}

TEST(DataCheckAccepts, HeaderOnlyAndAnyPhenotypeValue) {
  EXPECT_TRUE(check("Status\ta\n").ok);
  const DataCheck result = check("Status\ta\n7\t1\n200\t2\n");
  EXPECT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.warning, "");
}

TEST(DataCheckAccepts, LongPhenotypeNameIsNeverStored) {
  EXPECT_TRUE(check(std::string(300, 'P') + "\ta\n1\t0\n").ok);
}

TEST(DataCheckRefuses, FilesThatGiveNoSampleCount) {
  EXPECT_EQ(check("").error, "data.txt: the file is empty");
  const DataCheck result = check("Status\tm0\tm1");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, "data.txt line 1: the header has no line end, so no sample can be read");
}

TEST(DataCheckRefuses, DataLineWithMoreFieldsThanTheHeader) {
  std::vector<std::string> table = zeroTable(6, 10);
  table[8] += "\t";  // line 9
  EXPECT_EQ(check(joined(table)).error,
            "data.txt line 9: 7 fields, but the header has 6 (a trailing tab makes one more, empty field)");
  table = zeroTable(6, 10);
  table[3] += "\t2\t2";  // line 4, no trailing tab
  EXPECT_EQ(check(joined(table, "\r\n")).error, "data.txt line 4: 8 fields, but the header has 6");
}

TEST(DataCheckRefuses, GenotypeCodesOutsideZeroToThree) {
  std::vector<std::string> table = zeroTable(6, 20);
  table[16] = "1\t0\t0\t7\t0\t0";  // line 17, column 4
  EXPECT_EQ(check(joined(table)).error,
            "data.txt line 17, column 4: genotype code 7 is not 0, 1, 2 or 3 (3 = missing)");
  table[16] = "1\t0\t0\t0\t0\t- 1";
  EXPECT_EQ(check(joined(table)).error,
            "data.txt line 17, column 6: genotype code 255 (written \"-1\") is not 0, 1, 2 or 3 (3 = missing)");
  table[16] = "1\t0\t04";
  EXPECT_EQ(check(joined(table)).error,
            "data.txt line 17, column 3: genotype code 4 (written \"04\") is not 0, 1, 2 or 3 (3 = missing)");
}

TEST(DataCheckRefuses, GenotypeCodeInAnyColumnButThePhenotypes) {
  EXPECT_EQ(check("a\tStatus\tb\n0\t9\t1\n1\t0\t9\n", 2).error,
            "data.txt line 3, column 3: genotype code 9 is not 0, 1, 2 or 3 (3 = missing)");
}

TEST(DataCheckRefuses, OverlongMarkerNamesAndFields) {
  EXPECT_EQ(check("Status\tm1\t" + std::string(300, 'x') + "\n1\t0\t0\n").error,
            "data.txt line 1, column 3: the marker name has 300 characters; at most 254 are allowed");
  // Spaces are not part of a field, so only the other characters count.
  const std::string long_field = std::string(100, ' ') + std::string(255, '0');
  EXPECT_EQ(check("Status\tm1\n1\t0\n1\t" + long_field + "\n").error,
            "data.txt line 3, column 2: the field has 255 characters; at most 254 are allowed");
  EXPECT_TRUE(check("Status\t" + std::string(254, 'x') + "\n1\t" + std::string(254, '0') + "\n").ok);
}

TEST(DataCheckRefuses, PhenotypeColumnMissingFromTheHeader) {
  EXPECT_EQ(check("Status\ta\tb\n1\t0\t0\n", 5).error,
            "data.txt line 1: the header has 3 fields, so there is no phenotype column 5");
}

TEST(DataCheckRefuses, TheFirstFaultInFileOrder) {
  EXPECT_EQ(check("S\ta\n1\t5\n1\t0\t0\n").error,
            "data.txt line 2, column 2: genotype code 5 is not 0, 1, 2 or 3 (3 = missing)");
}

TEST(DataCheckWarns, ShortDataLinesOnceWithCountAndFirstLine) {
  std::vector<std::string> table = zeroTable(4, 8);
  table[4] = "1\t0";  // line 5
  table[7] = "0";     // line 8
  const DataCheck result = check(joined(table));
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.warning,
            "gorva: warning: 2 data lines in data.txt have fewer fields than the header; "
            "missing fields were read as 0 (first: line 5)\n");
}

TEST(DataCheckWarns, TrailingBlankLineIsAShortLineNotARefusal) {
  const DataCheck result = check("Status\ta\tb\n1\t0\t2\n\r\n");
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.line_count, 4);
  EXPECT_EQ(result.warning,
            "gorva: warning: 1 data line in data.txt has fewer fields than the header; "
            "missing fields were read as 0 (line 3)\n");
}

TEST(DataCheckWarns, FieldsThatAreNotNumbers) {
  const DataCheck result = check("S\ta\tb\n1\t2\t0\n1\tNA\t0\n\t1\tx\n1\t1\t1\n");
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.warning,
            "gorva: warning: 3 fields in data.txt are not numbers and were read as 0 "
            "(first: line 3, column 2)\n");
  EXPECT_EQ(check("S\ta\n1\t\n").warning,
            "gorva: warning: 1 field in data.txt is not a number and was read as 0 (line 2, column 2)\n");
}

TEST(DataCheckWarns, FieldsNotReadAsWritten) {
  const DataCheck result = check("S\ta\tb\n1\t2.7\t0\n-1\t258\t1\n1\t1\t1\r\r\n");
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.warning,
            "gorva: warning: 3 fields in data.txt were not read as written "
            "(first: line 2, column 2: \"2.7\" was read as 2)\n");
}

TEST(DataCheckWarns, LastLineWithoutLineEnd) {
  const DataCheck result = check("S\ta\n1\t2\n0\t1");
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.line_count, 3);
  EXPECT_EQ(result.warning,
            "gorva: warning: the last line of data.txt (line 3) has no line end, so it is not read "
            "as a sample\n");
}

TEST(DataCheckWarns, EveryKindOnItsOwnLine) {
  const DataCheck result = check("S\ta\tb\n1\t0\n1\tNA\t2.5\n1\t1\t1\n0");
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.warning,
            "gorva: warning: 1 data line in data.txt has fewer fields than the header; missing fields "
            "were read as 0 (line 2)\n"
            "gorva: warning: 1 field in data.txt is not a number and was read as 0 (line 3, column 2)\n"
            "gorva: warning: 1 field in data.txt was not read as written (line 3, column 3: \"2.5\" "
            "was read as 2)\n"
            "gorva: warning: the last line of data.txt (line 5) has no line end, so it is not read as "
            "a sample\n");
}

// Random small files over the bytes that matter to the format. For every file
// the checker accepts, the counts agree with the reader's, and a run-style
// load into arrays sized from them stays inside them with codes 0 to 3.
TEST(DataCheckPromise, AcceptedFilesReadSafelyIntoTheRunsArrays) {
  const std::string alphabet = "0000111222333\t\t\t\t\n\n\r  N-9.";
  std::mt19937 random(20240519u);
  const std::string dir = makeTempDir();
  const std::string path = dir + "/random.txt";
  constexpr int kGuard = 8;
  int accepted = 0;
  for (int trial = 0; trial < 400; ++trial) {
    std::string bytes = "P";
    const int markers = static_cast<int>(random() % 4);
    for (int m = 0; m < markers; ++m) bytes += "\tm" + std::to_string(m);
    bytes += trial % 3 == 0 ? "\r\n" : "\n";
    const int length = static_cast<int>(random() % 60);
    for (int i = 0; i < length; ++i) bytes += alphabet[random() % alphabet.size()];
    const DataCheck result = check(bytes);
    if (!result.ok) continue;
    ++accepted;
    writeFile(path, bytes);

    MdrReader counter;
    ASSERT_TRUE(counter.Open(path.c_str()));
    ASSERT_EQ(counter.GetLineCount(), result.line_count) << trial;
    counter.Reset();
    ASSERT_EQ(counter.GetColCount(), result.column_count) << trial;
    counter.Close();

    const int samples = result.line_count - 2;
    const int columns = result.column_count;
    std::vector<unsigned char> genotypes(static_cast<std::size_t>((columns - 1) * samples + kGuard), 0);
    std::vector<unsigned char> phenotypes(static_cast<std::size_t>(samples + kGuard), 0);
    std::vector<std::vector<char>> names(static_cast<std::size_t>(columns), std::vector<char>(kFieldTextBuffer));
    std::vector<char*> name_slots;
    for (auto& name : names) name_slots.push_back(name.data());
    MdrReader reader;
    ASSERT_TRUE(reader.Open(path.c_str()));
    reader.SetFieldLimit(columns);
    reader.ReadHeader(name_slots.data(), 0);
    for (int row = 0; row < samples; ++row) {
      reader.ReadLine(genotypes.data(), phenotypes.data(), 0, row, samples);
    }
    for (std::size_t i = 0; i < genotypes.size(); ++i) {
      ASSERT_LE(genotypes[i], 3) << "trial " << trial << ", cell " << i;
      if (i + kGuard >= genotypes.size()) {
        ASSERT_EQ(genotypes[i], 0) << trial;
      }
    }
    for (int i = 0; i < kGuard; ++i) ASSERT_EQ(phenotypes[static_cast<std::size_t>(samples + i)], 0);
  }
  EXPECT_GT(accepted, 40);
}

}  // namespace
