// PlinkReader on hand-made file sets: decoding, left-out samples, checks.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "io/PlinkReader.h"
#include "support/plink_writer.h"
#include "support/run_program.h"

namespace {

const std::string kFam = "f1 a 0 0 1 2\nf1 b 0 0 2 1\nf2 c 0 0 1 -9\nf3 d 0 0 2 2\nf4 e 0 0 0 1\n";
const std::string kBim = "1\trs1\t0\t100\tA\tG\n1\trs2\t0\t200\tC\tT\n";

class PlinkReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { prefix_ = makeTempDir() + "/set"; }
  void write(const std::string& fam, const std::string& bim, const std::string& bed) {
    writeFile(prefix_ + ".fam", fam);
    writeFile(prefix_ + ".bim", bim);
    writeFile(prefix_ + ".bed", bed);
  }
  // open() must refuse; returns the message.
  std::string refusal(bool refuse_missing = false) {
    PlinkReader reader;
    EXPECT_FALSE(reader.open(prefix_, refuse_missing));
    return reader.error();
  }
  std::string prefix_;
};

// Five samples need two bytes per marker. Marker rs1 holds, for samples
// 1-5, the codes 00 01 10 11 | 00, little end first: byte 0b11100100 = 0xe4,
// then 0xfc: sample 5's 00 and three unused pairs set to 11 (padding is
// ignored).
// Marker rs2: 11 11 00 10 | 01: 0b10001111 = 0x8f, then 0xfd.
const std::string kBed = std::string("\x6c\x1b\x01", 3) + "\xe4\xfc" + "\x8f\xfd";

TEST_F(PlinkReaderTest, DecodesTwoBitCodesForTheSamplesThatTakePart) {
  write(kFam, kBim, kBed);
  PlinkReader reader;
  ASSERT_TRUE(reader.open(prefix_)) << reader.error();
  EXPECT_EQ(reader.markerCount(), 2);
  EXPECT_EQ(reader.famSampleCount(), 5);
  ASSERT_EQ(reader.sampleCount(), 4);  // sample c has phenotype -9
  EXPECT_EQ(reader.missingPhenotypeCount(), 1);

  std::vector<unsigned char> genotypes(8, 99);
  std::vector<unsigned char> phenotypes(4, 99);
  char name0[255];
  char name1[255];
  char* names[2] = {name0, name1};
  ASSERT_TRUE(reader.read(genotypes.data(), phenotypes.data(), names)) << reader.error();
  // 00 -> 2 copies of A1, 01 -> missing, 10 -> 1, 11 -> 0; sample c left out.
  EXPECT_EQ(genotypes, (std::vector<unsigned char>{2, 3, 0, 2, 0, 0, 1, 3}));
  EXPECT_EQ(phenotypes, (std::vector<unsigned char>{1, 0, 1, 0}));
  EXPECT_STREQ(name0, "rs1");
  EXPECT_STREQ(name1, "rs2");
}

TEST_F(PlinkReaderTest, OneWarningCountsTheSamplesWithoutCaseOrControl) {
  // 0, -9, a quantitative value and text are all missing phenotypes; 2.0 is a case.
  write("a a 0 0 1 0\nb b 0 0 1 -9\nc c 0 0 1 1.5\nd d 0 0 1 NA\ne e 0 0 1 2.0\nf f 0 0 1 1\n",
        kBim, std::string("\x6c\x1b\x01", 3) + std::string(4, '\0'));
  PlinkReader reader;
  ASSERT_TRUE(reader.open(prefix_)) << reader.error();
  EXPECT_EQ(reader.sampleCount(), 2);
  EXPECT_EQ(reader.warnings(), "gorva: warning: 4 samples of " + prefix_ +
                                   ".fam have a missing phenotype and were left out\n");
}

TEST_F(PlinkReaderTest, BlankLinesCarriageReturnsAndSpacesAreAccepted) {
  write("\nf1 a 0 0 1 2\r\n\r\nf1  b\t0 0 2 1\n  \n", "1 rs1 0 100 A G\r\n\n",
        std::string("\x6c\x1b\x01", 3) + "\x0e");
  PlinkReader reader;
  ASSERT_TRUE(reader.open(prefix_)) << reader.error();
  EXPECT_EQ(reader.sampleCount(), 2);
  EXPECT_EQ(reader.markerCount(), 1);
  EXPECT_EQ(reader.markerName(0), "rs1");
  EXPECT_EQ(reader.warnings(), "");
}

TEST_F(PlinkReaderTest, DuplicatedSnpIdsAreWarnedAboutWithTheFirstPlace) {
  write(kFam, "1 rs1 0 1 A G\n1 rs2 0 2 A G\n1 rs1 0 3 A G\n1 rs2 0 4 A G\n",
        std::string("\x6c\x1b\x01", 3) + std::string(8, '\0'));
  PlinkReader reader;
  ASSERT_TRUE(reader.open(prefix_)) << reader.error();
  EXPECT_NE(reader.warnings().find("2 SNP ids of " + prefix_ +
                                   ".bim repeat an earlier one "
                                   "(first: line 3, column 2: rs1 was already on line 1)"),
            std::string::npos)
      << reader.warnings();
}

TEST_F(PlinkReaderTest, BedHeaderAndSizeAreChecked) {
  write(kFam, kBim, std::string("\x6c\x1b\x00", 3) + "\xe4\xfc\x8f\xfd");
  std::string message = refusal();
  EXPECT_NE(message.find(prefix_ + ".bed bytes 1-3: 6c 1b 00"), std::string::npos) << message;
  EXPECT_NE(message.find("individual-major"), std::string::npos) << message;

  write(kFam, kBim, "BED\xe4\xfc\x8f\xfd");
  message = refusal();
  EXPECT_NE(message.find(".bed bytes 1-3: 42 45 44 is not the header of a PLINK .bed"),
            std::string::npos)
      << message;

  // One byte short: 5 samples need 2 bytes per marker, 2 markers, 3 header bytes.
  write(kFam, kBim, kBed.substr(0, 6));
  message = refusal();
  EXPECT_NE(message.find(prefix_ + ".bed: the file has 6 bytes"), std::string::npos) << message;
  EXPECT_NE(message.find("need 3 + 2 x 2 = 7 bytes"), std::string::npos) << message;

  write(kFam, kBim, kBed + "x");
  EXPECT_NE(refusal().find("the file has 8 bytes"), std::string::npos);

  write(kFam, kBim, "\x6c");
  EXPECT_NE(refusal().find("the file has 1 bytes"), std::string::npos);
}

TEST_F(PlinkReaderTest, TextFilesAreCheckedLineByLine) {
  write("f1 a 0 0 1 2\nf1 b 0 0 2\n", kBim, kBed);
  EXPECT_EQ(refusal(), prefix_ +
                           ".fam line 2: 5 columns, but a line of this file has 6 "
                           "(family id, sample id, father, mother, sex, phenotype)");

  write(kFam, "1\trs1\t0\t100\tA\tG\n\n1\trs2\t0\t200\tC\tT\textra\n", kBed);
  EXPECT_NE(refusal().find(prefix_ + ".bim line 3: 7 columns, but a line of this file has 6"),
            std::string::npos);

  write(kFam, "1 " + std::string(255, 'x') + " 0 1 A G\n", kBed);
  EXPECT_EQ(refusal(), prefix_ +
                           ".bim line 1, column 2: the SNP id has 255 characters; at most "
                           "254 are allowed");

  write("", kBim, kBed);
  EXPECT_EQ(refusal(), prefix_ + ".fam: the file has no sample line");

  write("a a 0 0 1 0\nb b 0 0 1 -9\n", kBim, kBed);
  EXPECT_NE(refusal().find("none of the 2 samples has a case (2) or control (1) phenotype"),
            std::string::npos);

  write(kFam, "\n", kBed);
  EXPECT_EQ(refusal(), prefix_ + ".bim: the file has no marker line");
}

TEST_F(PlinkReaderTest, EachMissingFileIsNamed) {
  for (const char* absent : {".fam", ".bim", ".bed"}) {
    write(kFam, kBim, kBed);
    std::remove((prefix_ + absent).c_str());
    EXPECT_NE(refusal().find("cannot open " + prefix_ + absent), std::string::npos) << absent;
  }
}

TEST_F(PlinkReaderTest, MissingGenotypesCanBeRefusedWithTheirPlace) {
  write(kFam, kBim, kBed);
  const std::string message = refusal(true);
  EXPECT_NE(message.find(prefix_ + ".bed marker 1 (rs1, " + prefix_ + ".bim line 1), sample 2 (" +
                         prefix_ + ".fam line 2): a missing genotype, but --missing none"),
            std::string::npos)
      << message;
  // Missing only at the left-out sample c: nothing to refuse.
  const std::vector<int> rs1 = {2, 0, 3, 1, 0};
  write(kFam, kBim, std::string("\x6c\x1b\x01", 3) + packMarker(rs1) + packMarker(rs1));
  PlinkReader reader;
  EXPECT_TRUE(reader.open(prefix_, true)) << reader.error();
}

}  // namespace
