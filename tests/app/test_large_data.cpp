// A data set past 2^31 genotypes, small on disk: a sparse .bed whose only
// non-zero marker is the last one, lying beyond byte 2^31 of the genotypes.
// A position that wrapped in 32 bits would read that marker's codes from
// elsewhere and miss it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <string>

#include "support/report_text.h"
#include "support/run_program.h"

namespace {

constexpr int kSamples = 1 << 16;
constexpr int kMarkers = (1 << 15) + 1;  // kSamples x kMarkers = 2^31 + 2^16
constexpr long long kBytesPerMarker = kSamples / 4;

// Cases are the first half of the samples; the last marker has 0 copies in
// every case (code 11) and 2 in every control (code 00), the others 2 in all.
void writeSparseFileSet(const std::string& prefix) {
  std::string fam;
  for (int s = 0; s < kSamples; ++s) {
    fam += "f i" + std::to_string(s) + " 0 0 0 " + (s < kSamples / 2 ? "2\n" : "1\n");
  }
  writeFile(prefix + ".fam", fam);
  std::string bim;
  for (int m = 0; m < kMarkers; ++m) bim += "1 m" + std::to_string(m) + " 0 " + std::to_string(m + 1) + " A G\n";
  writeFile(prefix + ".bim", bim);
  const int bed = open((prefix + ".bed").c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  ASSERT_GE(bed, 0);
  const long long size = 3 + kBytesPerMarker * kMarkers;
  ASSERT_EQ(ftruncate(bed, size), 0);
  ASSERT_EQ(pwrite(bed, "\x6c\x1b\x01", 3, 0), 3);
  const std::string cases(kBytesPerMarker / 2, '\xff');
  const long long last = 3 + kBytesPerMarker * (kMarkers - 1);
  ASSERT_EQ(pwrite(bed, cases.data(), cases.size(), last), static_cast<ssize_t>(cases.size()));
  ASSERT_EQ(close(bed), 0);
}

TEST(PastTheIntIndex, TheFastRunFindsTheLastMarkerAndRunsNeedingTheByteMatrixAreRefused) {
  const std::string dir = makeTempDir();
  writeSparseFileSet(dir + "/big");
  const ProgramResult run =
      runGorva({"--bfile", "big", "--out", "report.txt", "--order", "1", "--top", "2", "--threads", "2"}, dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string report = readFile(dir + "/report.txt");
  const std::string last = "m" + std::to_string(kMarkers - 1);
  EXPECT_NE(report.find("Rank,Best Combination,IG,RIG,p-value(IG)\n1," + last + ",1.000000,1.000000,"),
            std::string::npos)
      << report;

  const ProgramResult plain = runGorva({"--bfile", "big", "--out", "plain.txt", "--engine", "plain"}, dir);
  EXPECT_EQ(plain.status, 2);
  EXPECT_NE(plain.err.find("--bfile big: 32769 markers x 65536 samples are 2147549184 genotypes; --engine plain, "
                           "--missing em, --plot and orders above 12"),
            std::string::npos)
      << plain.err;
  EXPECT_FALSE(fileExists(dir + "/plain.txt"));
  std::remove((dir + "/big.bed").c_str());
}

// A text file wide enough that its lines reach the planes in several
// blocks, short lines among them (their last markers read as 0): the report
// of the byte matrix's plain engine.
TEST(TextLinesInBlocks, GiveThePlainEnginesReport) {
  constexpr int kWideMarkers = 40000;
  constexpr int kLines = 1000;  // about 840 lines a block
  std::mt19937 random(9);
  std::string text = "Class";
  for (int m = 0; m < kWideMarkers; ++m) text += "\tm" + std::to_string(m);
  text += "\n";
  for (int s = 0; s < kLines; ++s) {
    const bool is_case = random() % 2 == 0;
    text += is_case ? "1" : "0";
    const int fields = s % 97 == 0 ? kWideMarkers / 2 : kWideMarkers;
    for (int m = 0; m < fields; ++m) {
      // The last marker follows the class, so that it leads the report.
      const int code = m == kWideMarkers - 1 ? (is_case ? 2 : 0) : static_cast<int>(random() % 4);
      text += '\t';
      text += static_cast<char>('0' + code);
    }
    text += "\n";
  }
  const std::string dir = makeTempDir();
  const ProgramResult planes = runOnData(dir, text, "--order 1 --top 5");
  ASSERT_EQ(planes.status, 0) << planes.err;
  const std::string report = readFile(dir + "/report.txt");
  const ProgramResult plain = runOnData(dir, text, "--order 1 --top 5 --engine plain");
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(withoutInputLines(report), withoutInputLines(readFile(dir + "/report.txt")));
  EXPECT_EQ(withoutInputLines(planes.out), withoutInputLines(plain.out));
  EXPECT_EQ(planes.err, plain.err);
  EXPECT_NE(report.find("\n1,m39999,"), std::string::npos) << report;
}

}  // namespace
