// PlinkReader on hand-made file sets: decoding, left-out samples, checks.
// (Refusals that the program gives for the bad-input corpus, with their
// exact messages, are not repeated here.) Then whole runs on PLINK file sets:
// the same report as the equivalent text file, and refusals that leave
// everything as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "io/plink_reader.h"
#include "support/oracle.h"
#include "support/plink_writer.h"
#include "support/report_text.h"
#include "support/run_program.h"

namespace {

const std::string kFam = "f1 a 0 0 1 2\nf1 b 0 0 2 1\nf2 c 0 0 1 -9\nf3 d 0 0 2 2\nf4 e 0 0 0 1\n";
const std::string kBim = "1\trs1\t0\t100\tA\tG\n1\trs2\t0\t200\tC\tT\n";
const std::string kMagic("\x6c\x1b\x01", 3);
// Five samples need two bytes per marker. Marker rs1 holds, for samples
// 1-5, the codes 00 01 10 11 | 00, little end first: byte 0b11100100 = 0xe4,
// then 0xfc: sample 5's 00 and three unused pairs set to 11 (read as no
// sample's, but warned about: PLINK writes zeros there, and bits there mean
// a .fam short of samples). Marker rs2: 11 11 00 10 | 01: 0b10001111 = 0x8f,
// then 0xfd.
const std::string kBed = kMagic + "\xe4\xfc" + "\x8f\xfd";

class PlinkReaderTest : public ::testing::Test {
 protected:
  void write(const std::string& fam, const std::string& bim, const std::string& bed) {
    writeFile(prefix_ + ".fam", fam);
    writeFile(prefix_ + ".bim", bim);
    writeFile(prefix_ + ".bed", bed);
  }
  std::string prefix_ = makeTempDir() + "/set";
};

// A table with its positions column (the second last) left out.
std::string withoutPositions(const std::string& table) {
  std::string kept;
  for (const std::string& line : splitOn(table, '\n')) {
    if (line.empty() || line[0] == '#') {
      kept += line + "\n";
      continue;
    }
    std::vector<std::string> fields = splitOn(line + "\t", '\t');
    if (fields.size() >= 2) fields.erase(fields.end() - 2);
    for (std::size_t f = 0; f < fields.size(); ++f) kept += (f > 0 ? "\t" : "") + fields[f];
    kept += "\n";
  }
  return kept;
}

TEST_F(PlinkReaderTest, DecodesTwoBitCodesForTheSamplesThatTakePart) {
  write(kFam, kBim, kBed);
  PlinkReader reader;
  ASSERT_TRUE(reader.open(prefix_)) << reader.error();
  EXPECT_EQ(reader.markerCount(), 2);
  EXPECT_EQ(reader.famSampleCount(), 5);
  ASSERT_EQ(reader.sampleCount(), 4);  // sample c has phenotype -9
  EXPECT_EQ(reader.missingPhenotypeCount(), 1);
  EXPECT_NE(reader.warnings().find("2 of the first 2 markers of " + prefix_ + ".bed hold genotypes after the last of "
                                   "the 5 samples of " + prefix_ + ".fam (first: marker 1, rs1)"),
            std::string::npos)
      << reader.warnings();
  std::vector<unsigned char> genotypes(8, 99), phenotypes(4, 99);
  char name0[255], name1[255];
  char* names[2] = {name0, name1};
  ASSERT_TRUE(reader.read(genotypes.data(), phenotypes.data(), names)) << reader.error();
  // 00 -> 2 copies of A1, 01 -> missing, 10 -> 1, 11 -> 0; sample c left out.
  EXPECT_EQ(genotypes, (std::vector<unsigned char>{2, 3, 0, 2, 0, 0, 1, 3}));
  EXPECT_EQ(phenotypes, (std::vector<unsigned char>{1, 0, 1, 0}));
  EXPECT_STREQ(name0, "rs1");
  EXPECT_STREQ(name1, "rs2");
  // A .bed replaced after its checks, with one of the same size: refused.
  writeFile(prefix_ + ".new", kBed);
  ASSERT_EQ(std::rename((prefix_ + ".new").c_str(), (prefix_ + ".bed").c_str()), 0);
  EXPECT_FALSE(reader.read(genotypes.data(), phenotypes.data(), names));
  EXPECT_EQ(reader.error().rfind(prefix_ + ".bed: the file changed during the run", 0), 0u) << reader.error();
}

TEST_F(PlinkReaderTest, AcceptsLooseLayoutAndWarnsOnceAboutSamplesWithoutCaseOrControl) {
  // 0, -9.0 and NA are missing phenotypes; 2.0 and +2 are cases.
  write("a a 0 0 1 0\nb b 0 0 1 -9\nc c 0 0 1 -9.0\nd d 0 0 1 NA\ne e 0 0 1 2.0\nf f 0 0 1 1\n"
        "g g 0 0 1 +2\nh h 0 0 1 NA\n",
        kBim, kMagic + std::string(4, '\0'));
  PlinkReader reader;
  ASSERT_TRUE(reader.open(prefix_)) << reader.error();
  std::vector<unsigned char> genotypes(6), phenotypes(3);
  char name0[255], name1[255];
  char* names[2] = {name0, name1};
  ASSERT_TRUE(reader.read(genotypes.data(), phenotypes.data(), names)) << reader.error();
  EXPECT_EQ(phenotypes, (std::vector<unsigned char>{1, 0, 1}));
  EXPECT_EQ(reader.warnings(),
            "gorva: warning: 5 samples of " + prefix_ + ".fam have a missing phenotype and were left out\n");
  // Blank lines, carriage returns and runs of blanks and tabs.
  write("\nf1 a 0 0 1 2\r\n\r\nf1  b\t0 0 2 1\n  \n", "1 rs1 0 100 A G\r\n\n", kMagic + "\x0e");
  PlinkReader loose;
  ASSERT_TRUE(loose.open(prefix_)) << loose.error();
  EXPECT_EQ(loose.sampleCount(), 2);
  EXPECT_EQ(loose.markerCount(), 1);
  EXPECT_EQ(loose.markerName(0), "rs1");
  EXPECT_EQ(loose.warnings(), "");
}

// A .fam coded 0 = control, 1 = case (PLINK's --1) reads as missing and
// controls, as PLINK reads it without --1; the warning says which coding is
// meant, as for a --pheno file, where the run would only say it found no case.
TEST_F(PlinkReaderTest, ZerosWithoutACaseGetTheCodingAdvice) {
  write("a a 0 0 1 0\nb b 0 0 1 1\nc c 0 0 1 0\nd d 0 0 1 1\n", kBim, kMagic + std::string(2, '\0'));
  PlinkReader reader;
  ASSERT_TRUE(reader.open(prefix_)) << reader.error();
  EXPECT_NE(reader.warnings().find(prefix_ + ".fam holds no case (2) and 2 phenotypes 0, which mean missing, as in "
                                   "PLINK: if it codes 0 = control and 1 = case, write 1 = control and 2 = case\n"),
            std::string::npos)
      << reader.warnings();
  // With a case, 0 is PLINK's missing value and nothing else is said.
  write("a a 0 0 1 0\nb b 0 0 1 1\nc c 0 0 1 2\nd d 0 0 1 1\n", kBim, kMagic + std::string(2, '\0'));
  PlinkReader with_case;
  ASSERT_TRUE(with_case.open(prefix_)) << with_case.error();
  EXPECT_EQ(with_case.warnings().find("holds no case"), std::string::npos) << with_case.warnings();
  // --pheno replaces the column, which is then not read at all.
  write("a a 0 0 1 0\nb b 0 0 1 1\nc c 0 0 1 0\nd d 0 0 1 1\n", kBim, kMagic + std::string(2, '\0'));
  PlinkReader replaced;
  ASSERT_TRUE(replaced.open(prefix_, false, false)) << replaced.error();
  EXPECT_EQ(replaced.warnings(), "");
}

// A .fam with a sample the .bed lacks passes the size check when that sample
// falls in a marker's last byte, and reads PLINK's zeros there: two copies of
// A1 everywhere.
TEST_F(PlinkReaderTest, SamplesReadingOnlyThePaddingAreWarnedAbout) {
  GenotypeTable table;
  for (int m = 0; m < 100; ++m) table.markers.push_back("m" + std::to_string(m));
  for (int s = 0; s < 5; ++s) {
    table.fam_phenotypes.push_back(s % 2 ? "2" : "1");
    std::vector<int> codes;
    for (int m = 0; m < 100; ++m) codes.push_back((s + m) % 3);
    table.genotypes.push_back(codes);
  }
  writePlinkFiles(prefix_, table);
  PlinkReader whole;
  ASSERT_TRUE(whole.open(prefix_)) << whole.error();
  EXPECT_EQ(whole.warnings(), "");
  writeFile(prefix_ + ".fam", readFile(prefix_ + ".fam") + "extra x 0 0 1 2\n");
  PlinkReader reader;
  ASSERT_TRUE(reader.open(prefix_)) << reader.error();
  EXPECT_NE(reader.warnings().find("1 sample at the end of " + prefix_ + ".fam (from line 6, extra x) read two copies "
                                   "of A1 at every one of the first 100 markers"),
            std::string::npos)
      << reader.warnings();
}

TEST_F(PlinkReaderTest, MarkersAtNegativePositionsAreLeftOutAsPlinkLeavesThem) {
  write(kFam, "1\trs1\t0\t-100\tA\tG\n1\trs2\t0\t200\tC\tT\n", kBed);
  PlinkReader reader;
  ASSERT_TRUE(reader.open(prefix_)) << reader.error();
  EXPECT_NE(reader.warnings().find("1 markers of " + prefix_ + ".bim have a negative base-pair position in column 4 "
                                   "and were left out, as PLINK leaves them out (first: line 1, rs1)"),
            std::string::npos)
      << reader.warnings();
  // A marker list naming the marker does not bring it back.
  writeFile(prefix_ + ".extract", "rs1\nrs2\n");
  SubsetFiles files;
  files.extract = prefix_ + ".extract";
  Subset subset;
  ASSERT_TRUE(chooseSubset(files, reader.subsetInput(), 1, subset)) << subset.error;
  reader.select(subset);
  ASSERT_EQ(reader.markerCount(), 1);
  std::vector<unsigned char> genotypes(4, 99), phenotypes(4, 99);
  char name[255];
  char* names[1] = {name};
  ASSERT_TRUE(reader.read(genotypes.data(), phenotypes.data(), names)) << reader.error();
  EXPECT_STREQ(name, "rs2");
  EXPECT_EQ(genotypes, (std::vector<unsigned char>{0, 0, 1, 3}));
}

TEST_F(PlinkReaderTest, RefusesEachFaultNamingTheFileAndPlace) {
  const struct { std::string fam, bim, bed, message; } cases[] = {
      {kFam, kBim, std::string("\x6c\x1b\x00", 3) + "\xe4\xfc\x8f\xfd",
       ".bed bytes 1-3: 6c 1b 00 marks the individual-major layout"},
      {kFam, kBim, kBed + "x", ".bed: the file has 8 bytes"},
      {kFam, kBim, "\x6c", ".bed: the file has 1 bytes"},
      {kFam, "1\trs1\t0\t100\tA\tG\n\n1\trs2\t0\t200\tC\tT\textra\n", kBed,
       ".bim line 3: 7 columns, but a line of this file has 6"},
      {kFam, "1 " + std::string(255, 'x') + " 0 1 A G\n", kBed,
       ".bim line 1, column 2: the SNP id has 255 characters; at most 254 are allowed"},
      {"", kBim, kBed, ".fam: the file has no sample line"},
      {"a a 0 0 1 0\nb b 0 0 1 -9\n", kBim, kBed,
       ".fam: none of the 2 samples has a case (2) or control (1) phenotype in column 6 (--pheno FILE gives them)"},
      {kFam, "\n", kBed, ".bim: the file has no marker line"},
      // strtod would read hexadecimal as a number, a case here.
      {"a a 0 0 1 1\nb b 0 0 1 0x2\n", kBim, kBed, ".fam line 2, column 6: the phenotype '0x2' is not a number"},
      {"a a 0 0 1 nan\n", kBim, kBed, ".fam line 1, column 6: the phenotype 'nan' is not a number"},
      {"a a 0 0 1 case\n", kBim, kBed, ".fam line 1, column 6: the phenotype 'case' is not a number"},
      // A quantitative trait's 1s and 2s are no controls and cases.
      {"a a 0 0 1 2\nb b 0 0 1 1\nc c 0 0 1 3\n", kBim, kBed,
       ".fam line 3, column 6: the phenotype 3 is neither 2 (case), 1 (control) nor 0, -9 or NA (missing): PLINK "
       "reads such a column as a quantitative trait"},
      {"a a 0 0 1 -1e999\n", kBim, kBed, ".fam line 1, column 6: the phenotype -1e999 is neither"},
      {kFam, "1\trs1\t0\t100\tA\tG\n1\trs2\t0\t2e5\tC\tT\n", kBed,
       ".bim line 2, column 4: the base-pair position '2e5' is not a whole number"},
      {kFam, "1\trs1\t0\t100\tA\tG\n1\trs2\t0\t99999999999999999999\tC\tT\n", kBed,
       ".bim line 2, column 4: the base-pair position '99999999999999999999' is past the largest a 64-bit integer "
       "holds"},
      {kFam, "1\trs1\t0\t-100\tA\tG\n1\trs2\t0\t-1\tC\tT\n", kBed,
       ".bim: every marker has a negative base-pair position in column 4, which leaves it out"},
  };
  for (const auto& c : cases) {
    write(c.fam, c.bim, c.bed);
    PlinkReader reader;
    EXPECT_FALSE(reader.open(prefix_));
    EXPECT_EQ(reader.error().rfind(prefix_ + c.message, 0), 0u) << reader.error();
  }
  for (const char* absent : {".fam", ".bim", ".bed"}) {
    write(kFam, kBim, kBed);
    std::remove((prefix_ + absent).c_str());
    PlinkReader reader;
    EXPECT_FALSE(reader.open(prefix_));
    EXPECT_NE(reader.error().find("cannot open " + prefix_ + absent), std::string::npos) << absent;
  }
  // A PLINK 2 set of that prefix is named as what it is.
  write(kFam, kBim, kBed);
  std::remove((prefix_ + ".fam").c_str());
  writeFile(prefix_ + ".pgen", "l\x1b\x10");
  PlinkReader reader;
  EXPECT_FALSE(reader.open(prefix_));
  EXPECT_NE(reader.error().find(".fam); " + prefix_ + ".pgen is PLINK 2's format, which is not read"),
            std::string::npos)
      << reader.error();
  // A prefix given with a member's extension points to the prefix meant.
  write(kFam, kBim, kBed);
  for (const char* member : {".bed", ".fam"}) {
    PlinkReader given_a_member;
    EXPECT_FALSE(given_a_member.open(prefix_ + member));
    EXPECT_NE(given_a_member.error().find("; did you mean --bfile " + prefix_ + "? the prefix is given without .bed"),
              std::string::npos)
        << given_a_member.error();
  }
}

TEST_F(PlinkReaderTest, MissingGenotypesCanBeRefusedWithTheirPlace) {
  write(kFam, kBim, kBed);
  PlinkReader reader;
  EXPECT_FALSE(reader.open(prefix_, true));
  EXPECT_NE(reader.error().find(prefix_ + ".bed marker 1 (rs1, " + prefix_ + ".bim line 1), sample 2 (" +
                                prefix_ + ".fam line 2): a missing genotype, but --missing none"),
            std::string::npos)
      << reader.error();
  // Missing only at the left-out sample c: nothing to refuse.
  const std::vector<int> rs1 = {2, 0, 3, 1, 0};
  write(kFam, kBim, kMagic + packMarker(rs1) + packMarker(rs1));
  PlinkReader accepting;
  EXPECT_TRUE(accepting.open(prefix_, true)) << accepting.error();
}

class PlinkRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = makeTempDir();
    table_ = tableFromText(randomDataset(48, 7, 48, 0.1).text());
    // Two samples without a case/control phenotype, which a text run cannot
    // hold: the equivalent text file leaves them out.
    table_.fam_phenotypes[5] = "-9";
    table_.fam_phenotypes[20] = "0";
    writePlinkFiles(dir_ + "/set", table_);
    writeFile(dir_ + "/set.txt", textFromTable(table_));
  }
  std::string dir_;
  GenotypeTable table_;
};

TEST_F(PlinkRun, ReportEqualsTheTextRunForEveryMissingDataMethod) {
  // Each run in its own directory, so that the report names are the same.
  ASSERT_EQ(mkdir((dir_ + "/text").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir_ + "/plink").c_str(), 0755), 0);
  // The PLINK runs but "em" fill the planes without a byte matrix, the text
  // runs from one: the synergy ranking, the table's columns and the
  // permutations must not tell them apart.
  for (const std::string method : {"available", "complete", "mc", "imputation", "em"}) {
    const std::vector<std::string> common = {"--out", "report.txt", "--order", "1-3", "--top", "6", "--missing",
                                             method, "--table", "table.tsv", "--rank", "synergy",
                                             "--permutations", "3"};
    std::vector<std::string> text_args = {"--in", "../set.txt"};
    std::vector<std::string> plink_args = {"--bfile", "../set"};
    text_args.insert(text_args.end(), common.begin(), common.end());
    plink_args.insert(plink_args.end(), common.begin(), common.end());
    const ProgramResult text_run = runGorva(text_args, dir_ + "/text");
    const ProgramResult plink_run = runGorva(plink_args, dir_ + "/plink");
    ASSERT_EQ(text_run.status, 0) << text_run.err;
    ASSERT_EQ(plink_run.status, 0) << plink_run.err;
    const std::string text_report = readFile(dir_ + "/text/report.txt");
    ASSERT_NE(text_report.find("<<3-Order Best Combination Sets>>\nRank,Best Combination,IG,RIG,"
                               "p-value(IG)\n1,N"),
              std::string::npos)
        << text_report;
    EXPECT_EQ(withoutInputLines(readFile(dir_ + "/plink/report.txt")),
              withoutInputLines(text_report))
        << method;
    EXPECT_EQ(withoutInputLines(plink_run.out), withoutInputLines(text_run.out)) << method;
    EXPECT_NE(plink_run.out.find("# input file : ../set.bed\n"), std::string::npos) << plink_run.out;
    // Only the PLINK map gives positions; the text table has NA there.
    EXPECT_EQ(withoutPositions(readFile(dir_ + "/plink/table.tsv")), withoutPositions(readFile(dir_ + "/text/table.tsv")))
        << method;
    EXPECT_EQ(text_run.err.find("warning"), std::string::npos) << text_run.err;
    EXPECT_EQ(plink_run.err.rfind("gorva: warning: 2 samples of ../set.fam have a missing phenotype "
                                  "and were left out\ngorva: order 1: ",
                                  0),
              0u)
        << plink_run.err;
  }
}

// The corpus checks the exact messages of several PLINK refusals and that a
// refusal creates no file; here a refusal also leaves an old report and
// creates neither the all-results file nor a chart.
TEST_F(PlinkRun, RefusalsLeaveTheOldReportAndCreateNothing) {
  writeFile(dir_ + "/old.report", "old report\n");
  writeFile(dir_ + "/set.bed", std::string("\x6c\x1b\x00", 3) + readFile(dir_ + "/set.bed").substr(3));
  const std::vector<std::string> outputs = {"--out", "old.report", "--save_all", "1", "--plot", "1"};
  for (const std::string prefix : {"set", "nothere"}) {
    std::vector<std::string> args = {"--bfile", prefix};
    args.insert(args.end(), outputs.begin(), outputs.end());
    const ProgramResult run = runGorva(args, dir_);
    EXPECT_EQ(run.status, 2);
    const std::string message = prefix == "set"
                                    ? "gorva: set.bed bytes 1-3: 6c 1b 00 marks the individual-major layout"
                                    : "gorva: cannot open nothere.fam";
    EXPECT_EQ(run.err.rfind(message, 0), 0u) << run.err;
    EXPECT_EQ(run.out.find("GORVA Analysis finished"), std::string::npos);
    EXPECT_EQ(readFile(dir_ + "/old.report"), "old report\n");
    EXPECT_FALSE(fileExists(dir_ + "/old.report.all"));
    EXPECT_FALSE(fileExists(dir_ + "/old.report.order2.svg"));
  }
}

TEST_F(PlinkRun, AMarkerListThatLeavesTooFewNamesTheBimThatListsThem) {
  writeFile(dir_ + "/none.txt", "absent\n");
  const ProgramResult run = runGorva({"--bfile", "set", "--extract", "none.txt", "--out", "r.txt"}, dir_);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("gorva: none.txt: 0 of the "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(" markers of set.bim are left"), std::string::npos) << run.err;
}

TEST_F(PlinkRun, MissingNoneRefusesAMissingGenotypeAndInIsIgnoredWhenBfileIsGiven) {
  const ProgramResult none = runGorva({"--bfile", "set", "--out", "none.report", "--missing", "none"}, dir_);
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("but --missing none counts no missing data"), std::string::npos) << none.err;
  EXPECT_FALSE(fileExists(dir_ + "/none.report"));
  const ProgramResult run = runGorva({"--in", "absent.txt", "--bfile", "set", "--out", "r.txt"}, dir_);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("gorva: warning: --in absent.txt is ignored: --bfile set gives the data"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.out.find("Cannot open the text file!!"), std::string::npos);
}

}  // namespace
