// The input checker: each refusal with its message, each warning with its
// count and first place. The promise behind it (a file it accepts is read by
// MdrReader inside the run's arrays, with genotype codes 0 to 3 only) is the
// invariant of the fuzz target tests/fuzz/fuzz_text_reader.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/data_check.h"
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

TEST(DataCheckAccepts, CleanFilesWithEveryLineEndAndNamesOfAnyLength) {
  for (const std::string line_end : {"\n", "\r\n", "\r\r\n"}) {
    const DataCheck result = check(joined({"Status\ta\tb", "1\t0\t2", "0\t3\t1", "1\t 1 \t2"}, line_end));
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.warning, "");
    EXPECT_EQ(result.line_count, 5);
    EXPECT_EQ(result.column_count, 3);
  }
  // A long phenotype name is never stored; names and fields of 254 fit.
  for (const std::string& bytes : std::vector<std::string>{"Status\ta\n", "Status\ta\n0\t1\n1\t2\n",
                                  std::string(300, 'P') + "\ta\n1\t0\n",
                                  "Status\t" + std::string(254, 'x') + "\n1\t" + std::string(254, '0') + "\n"}) {
    const DataCheck result = check(bytes);
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.warning, "");
  }
}

TEST(DataCheckNotes, TheFirstMissingGenotypeHoweverItsFieldIsWritten) {
  const struct { std::string bytes; int line, column; } cases[] = {
      {"S\ta\tb\n1\t0\t3\n", 2, 3},
      {"S\ta\tb\r\n1\t0\t3\r\n", 2, 3},
      {"S\ta\tb\r\r\n1\t0\t3\r\r\n", 2, 3},
      {"S\ta\tb\n1\t0\t 3\n1\t3\t0\n", 2, 3},
      {"S\ta\tb\n1\t0\t1\n1\t3 \t3\n", 3, 2},
      {"S\ta\n3\t1\n1\t3\n", 3, 2},  // a phenotype of 3 is no missing genotype
      {"S\ta\n1\t0\n", 0, 0},
  };
  for (const auto& c : cases) {
    const DataCheck result = check(c.bytes);
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.first_missing_line, c.line) << c.bytes;
    EXPECT_EQ(result.first_missing_column, c.column) << c.bytes;
  }
}

// A zero table of 6 columns and 20 data lines (file lines 2 .. 21) with line
// `line` replaced.
std::string zeroTableWith(int line, const std::string& text, const std::string& line_end = "\n") {
  std::vector<std::string> table = zeroTable(6, 20);
  table[static_cast<std::size_t>(line - 1)] = text;
  return joined(table, line_end);
}

TEST(DataCheckRefuses, EachFaultWithItsPlace) {
  const std::string code_fault = " is not 0, 1, 2 or 3 (3 = missing)";
  // The program's own answers to an empty file, a header without line end,
  // a trailing tab and a long marker name are in the bad-input corpus
  // (tests/data/bad); here the variations of each fault.
  const struct { std::string bytes; int phenotype_column; std::string error; } cases[] = {
      {zeroTableWith(4, "1\t0\t0\t0\t0\t0\t2\t2", "\r\n"), 1, "data.txt line 4: 8 fields, but the header has 6"},
      {zeroTableWith(17, "1\t0\t0\t7\t0\t0"), 1, "data.txt line 17, column 4: genotype code 7" + code_fault},
      {zeroTableWith(17, "1\t0\t0\t0\t0\t- 1"), 1,
       "data.txt line 17, column 6: genotype code 255 (written \"-1\")" + code_fault},
      {zeroTableWith(17, "1\t0\t04"), 1,
       "data.txt line 17, column 3: genotype code 4 (written \"04\")" + code_fault},
      // Any column but the phenotype's holds genotype codes.
      {"a\tStatus\tb\n0\t9\t1\n1\t0\t9\n", 2, "data.txt line 3, column 3: genotype code 9" + code_fault},
      // Spaces are not part of a field, so only the other characters count.
      {"Status\tm1\n1\t0\n1\t" + std::string(100, ' ') + std::string(255, '0') + "\n", 1,
       "data.txt line 3, column 2: the field has 255 characters; at most 254 are allowed"},
      {"Status\ta\tb\n1\t0\t0\n", 5, "data.txt line 1: the header has 3 fields, so there is no phenotype column 5"},
      // The first fault in file order.
      {"S\ta\n1\t5\n1\t0\t0\n", 1, "data.txt line 2, column 2: genotype code 5" + code_fault},
      // A VCF is named as one, not refused for its #CHROM line's fields.
      {"##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ta\n", 1,
       "data.txt line 1: the file is a VCF, not the tab-separated table --in reads: give it as --vcf data.txt (with "
       "--pheno FILE for the phenotypes)"},
      // A .bed without a NUL or a line feed was told as a header without a line end.
      {"\x6c\x1b\x01\xff\xfe", 1,
       "data.txt line 1: the file is a PLINK .bed (it starts with a .bed's magic bytes), not the tab-separated table "
       "--in reads: give --bfile PREFIX, which reads PREFIX.bed, PREFIX.bim and PREFIX.fam"},
  };
  for (const auto& c : cases) {
    const DataCheck result = check(c.bytes, c.phenotype_column);
    EXPECT_FALSE(result.ok) << c.error;
    EXPECT_EQ(result.error, c.error);
  }
}

TEST(DataCheckWarns, OnceForEachKindWithCountAndFirstPlace) {
  const std::string warning = "gorva: warning: ";
  std::vector<std::string> two_short = zeroTable(4, 8);
  two_short[4] = "1\t0";  // line 5
  two_short[7] = "0";     // line 8
  const std::pair<std::string, std::string> cases[] = {
      {joined(two_short), "2 data lines in data.txt have fewer fields than the header; missing fields "
                          "were read as 0 (first: line 5)\n"},
      // A blank line is a whole sample, not a refusal, and said to be one.
      {"Status\ta\tb\n1\t0\t2\n\r\n", "1 data line in data.txt is empty and was read as a sample with genotype 0 "
                                      "at every marker, a control (line 3): delete blank lines, a trailing one "
                                      "included\n"},
      {"Status\ta\tb\n1\t0\t2\n\n1\t0\n\n",
       "1 data line in data.txt has fewer fields than the header; missing fields were read as 0 (line 4)\n"
       "gorva: warning: 2 data lines in data.txt are empty and were each read as a sample with genotype 0 at every "
       "marker, a control (first: line 3): delete blank lines, a trailing one included\n"},
      {"S\ta\tb\n1\t2\t0\n1\tNA\t0\n0\t1\tx\n1\t1\t1\n",
       "2 fields in data.txt are not numbers and were read as 0 (first: line 3, column 2)\n"},
      {"S\ta\n1\t\n", "1 field in data.txt is not a number and was read as 0 (line 2, column 2)\n"},
      {"S\ta\tb\n1\t2.7\t0\n0\t258\t1\n1\t1\t1\r\r\n",
       "2 fields in data.txt were not read as written (first: line 2, column 2: \"2.7\" was read as 2)\n"},
      // PLINK's missing and case codes are not what they are there: each
      // distinct value named once, all counted.
      {"S\ta\n-9\t1\n2\t0\nNA\t1\n2\t2\n1\t1\n0\t0\n",
       "1 field in data.txt is not a number and was read as 0 (line 4, column 1)\n"
       "gorva: warning: 4 phenotypes of data.txt are neither 0 nor 1 (-9, 2, NA; first: line 2, column 1) "
       "and were read as a control: 1 is a case, anything else a control; PLINK's missing codes (-9, NA) "
       "are not missing here: give --pheno FILE to set them\n"},
      {"S\ta\n1\t2\n0\t1",
       "the last line of data.txt (line 3) has no line end, so it is not read as a sample\n"},
      {"S\ta\t\tb\n1\t0\t1\t2\n",
       "1 marker name of data.txt is empty (line 1, column 3, a doubled or trailing tab?); the report and table "
       "name such a marker by nothing\n"},
      {"S\ta\tb\n1\t0\n1\tNA\t2.5\n1\t1\t1\n0",
       "1 data line in data.txt has fewer fields than the header; missing fields were read as 0 (line 2)\n"
       "gorva: warning: 1 field in data.txt is not a number and was read as 0 (line 3, column 2)\n"
       "gorva: warning: 1 field in data.txt was not read as written (line 3, column 3: \"2.5\" was "
       "read as 2)\n"
       "gorva: warning: the last line of data.txt (line 5) has no line end, so it is not read as a "
       "sample\n"},
  };
  for (const auto& [bytes, expected] : cases) {
    const DataCheck result = check(bytes);
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.warning, warning + expected);
  }
  EXPECT_EQ(check("Status\ta\tb\n1\t0\t2\n\r\n").line_count, 4);
  EXPECT_EQ(check("S\ta\n1\t2\n0\t1").line_count, 3);
}

// --pheno replaces the phenotype column, so its values are read as nothing:
// the run said PLINK's -9 there "were read as a control ... give --pheno FILE
// to set them" to a user who had, and counted NA as a field read as 0.
TEST(DataCheckWarns, NotAboutAPhenotypeColumnThatPhenoReplaces) {
  const std::string dir = makeTempDir();
  const std::string data = "S\ta\tb\n-9\t0\t1\nNA\t1\t2\n2\t2\t0\n300\t0\t0\n1\t1\t1\n0\tx\t2\n";
  writeFile(dir + "/p.txt", "f 1 2\nf 2 1\nf 3 2\nf 4 1\nf 5 2\nf 6 1\n");
  const ProgramResult replaced = runOnData(dir, data, "--order 1 --pheno p.txt");
  ASSERT_EQ(replaced.status, 0) << replaced.err;
  EXPECT_EQ(replaced.err.find("phenotype"), std::string::npos) << replaced.err;
  // The genotype fields are judged as ever.
  EXPECT_NE(replaced.err.find("1 field in data.txt is not a number and was read as 0 (line 7, column 2)"),
            std::string::npos)
      << replaced.err;
  // Without --pheno the column is the phenotypes, and said to be odd.
  const ProgramResult own = runOnData(dir, data, "--order 1 --threads 1");
  EXPECT_NE(own.err.find("phenotypes of data.txt are neither 0 nor 1"), std::string::npos) << own.err;
  EXPECT_NE(own.err.find("2 fields in data.txt are not numbers and were read as 0 (first: line 3, column 1)"),
            std::string::npos)
      << own.err;
}

}  // namespace
