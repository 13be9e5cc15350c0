// The run log beside the report: what it holds on one run of each input
// kind, and when it is written at all.
#include <gtest/gtest.h>

#include <string>

#include "support/plink_writer.h"
#include "support/run_program.h"
#include "support/vcf_writer.h"

namespace {

// Three markers, six samples; the last data line's "x" is read as 0.
const std::string kData =
    "Class\tm0\tm1\tm2\n1\t0\t1\t2\n0\t1\t2\t0\n1\t2\t0\t1\n0\t0\t0\t1\n1\t1\t1\t2\n0\t2\tx\t0\n";

bool holds(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(RunLog, TextRunRecordsOptionsInputsTestsAndEveryWarning) {
  const std::string dir = makeTempDir();
  const ProgramResult run = runOnData(dir, kData, "--order 1-2 --threads 1 --missing imputaton --seed 7");
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string log = readFile(dir + "/report.txt.log");
  EXPECT_EQ(log.rfind("# GORVA 1.5 run log\ncommand: ", 0), 0u) << log;
  EXPECT_TRUE(holds(log, "--in data.txt --out report.txt --order 1-2 --threads 1 --missing imputaton --seed 7\n"));
  EXPECT_TRUE(holds(log, "options: order 1-2; top 10; missing available; rank ig; engine fast; threads 1 (asked 1"));
  EXPECT_TRUE(holds(log, "; SIMD path "));
  EXPECT_TRUE(holds(log, "significance: table none; permutations 0; seed 7; max-p off"));
  EXPECT_TRUE(holds(log, "input: data.txt (text file): 6 samples and 3 markers read\n"));
  EXPECT_TRUE(holds(log, "counted: 6 samples (3 cases, 3 controls) under --missing available\n"));
  EXPECT_TRUE(holds(log, "order 1: 3 tests; Bonferroni threshold at 0.05: p_chisq <= 1.666667E-02\n"));
  EXPECT_TRUE(holds(log, "order 2: 3 tests; Bonferroni threshold at 0.05: p_chisq <= 1.666667E-02\n"));
  // Every warning of the error stream, in its order, and nothing else there.
  std::string warnings;
  for (const std::string& line : splitOn(run.err, '\n')) {
    if (line.rfind("gorva: warning: ", 0) == 0) warnings += "  " + line.substr(16) + "\n";
  }
  EXPECT_TRUE(holds(log, "warnings: 2\n" + warnings)) << log;
  EXPECT_TRUE(holds(log, "\npeak memory: "));
  // A text file cut by a selection file says what the cut left out, though
  // --keep warns about nothing it leaves out.
  writeFile(dir + "/keep.txt", "1\n2\n3\n4\n");
  const ProgramResult kept = runOnData(dir, kData, "--order 1 --keep keep.txt");
  ASSERT_EQ(kept.status, 0) << kept.err;
  EXPECT_TRUE(holds(readFile(dir + "/report.txt.log"),
                    "selection: --keep keep.txt\nchosen: 4 samples and 3 markers (left out: 2 samples, 0 markers, "
                    "by the sample and marker options and their warnings)\n"))
      << readFile(dir + "/report.txt.log");
}

TEST(RunLog, WrittenForRunsBeyondTheClassicOptionsUnlessTurnedOff) {
  const std::string dir = makeTempDir();
  // A run that writes no log leaves no other run's log beside its report,
  // but for a classic run, which leaves the files it always left.
  const struct { const char* options; bool written; bool kept; } cases[] = {
      {"", false, false},           {"--log 1", true, false},
      {"", false, true},            {"--threads 1", true, false},
      {"--threads 1 --log 0", false, false}};
  const std::string log_path = dir + "/report.txt.log";
  std::string previous_log;
  for (const auto& c : cases) {
    const ProgramResult run = runOnData(dir, kData, c.options);
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(fileExists(log_path), c.written || c.kept) << c.options;
    if (c.written) {
      EXPECT_TRUE(holds(readFile(log_path), std::string("--out report.txt ") + c.options + "\n")) << c.options;
    }
    if (c.kept) {
      EXPECT_EQ(readFile(log_path), previous_log);
    }
    previous_log = fileExists(log_path) ? readFile(log_path) : "";
  }
  // The earlier log that --log 0 takes away is never an input of the run,
  // neither the data nor a selection file that happens to bear its name.
  writeFile(dir + "/r.txt.log", kData);
  const ProgramResult log_as_data =
      runGorva({"--in", "r.txt.log", "--out", "r.txt", "--order", "1", "--threads", "1", "--log", "0"}, dir);
  EXPECT_EQ(log_as_data.status, 0) << log_as_data.err;
  EXPECT_EQ(readFile(dir + "/r.txt.log"), kData);
  writeFile(dir + "/r.txt.log", "m0\nm2\n");
  const ProgramResult log_as_list = runGorva(
      {"--in", "data.txt", "--out", "r.txt", "--order", "1", "--extract", "r.txt.log", "--log", "0"}, dir);
  EXPECT_EQ(log_as_list.status, 0) << log_as_list.err;
  EXPECT_EQ(readFile(dir + "/r.txt.log"), "m0\nm2\n");
  // The log is a result file like the others: no other may be it.
  const ProgramResult clash = runOnData(dir, kData, "--log 1 --table report.txt.log");
  EXPECT_EQ(clash.status, 2);
  EXPECT_NE(clash.err.find("report.txt.log"), std::string::npos) << clash.err;
  // Without a log of its own, a run may name its table so; the table it has
  // just written is no earlier run's log (--log 0 deleted it, status 0).
  const ProgramResult table_as_log = runOnData(dir, kData, "--log 0 --table report.txt.log");
  EXPECT_EQ(table_as_log.status, 0) << table_as_log.err;
  ASSERT_TRUE(fileExists(dir + "/report.txt.log"));
  EXPECT_TRUE(holds(readFile(dir + "/report.txt.log"), "\norder\trank\tmarkers\t"));
  // A report sent to a device is not kept, and no log is made beside it in /dev.
  writeFile(dir + "/data.txt", kData);
  const ProgramResult discarded = runGorva({"--in", "data.txt", "--out", "/dev/null", "--threads", "1"}, dir);
  EXPECT_EQ(discarded.status, 0) << discarded.err;
  EXPECT_EQ(discarded.err.find("run log"), std::string::npos) << discarded.err;
  EXPECT_FALSE(fileExists("/dev/null.log"));
  // A line end in a file name stays inside its entry of the log.
  const ProgramResult odd_name = runGorva({"--in", "data.txt", "--out", "r.txt", "--table", "t\nx.tsv"}, dir);
  EXPECT_EQ(odd_name.status, 0) << odd_name.err;
  const std::string log = readFile(dir + "/r.txt.log");
  EXPECT_TRUE(holds(log, "--table t\\nx.tsv\n")) << log;
  EXPECT_TRUE(holds(log, "\nsignificance: table t\\nx.tsv; ")) << log;
}

TEST(RunLog, PlinkAndVcfRunsNameTheirInputAndSelection) {
  const std::string dir = makeTempDir();
  const GenotypeTable table = tableFromText(
      "Class\tm0\tm1\tm2\n1\t0\t1\t2\n0\t1\t2\t0\n1\t2\t0\t1\n0\t0\t0\t1\n1\t1\t1\t2\n0\t2\t1\t0\n");
  writePlinkFiles(dir + "/set", table);
  writeFile(dir + "/set.vcf", vcfFromTable(table));
  writeFile(dir + "/pheno.txt", phenoFromTable(table));
  writeFile(dir + "/keep.txt", "id0\nid1\nid2\nid3\nid4\n");

  const ProgramResult plink = runGorva({"--bfile", "set", "--out", "p.txt", "--order", "1"}, dir);
  ASSERT_EQ(plink.status, 0) << plink.err;
  const std::string plink_log = readFile(dir + "/p.txt.log");
  EXPECT_TRUE(holds(plink_log, "input: set (PLINK file set): 6 samples and 3 markers read\n")) << plink_log;
  EXPECT_TRUE(holds(plink_log, "counted: 6 samples (3 cases, 3 controls)"));

  const ProgramResult vcf = runGorva(
      {"--vcf", "set.vcf", "--pheno", "pheno.txt", "--keep", "keep.txt", "--out", "v.txt", "--order", "1"}, dir);
  ASSERT_EQ(vcf.status, 0) << vcf.err;
  const std::string vcf_log = readFile(dir + "/v.txt.log");
  EXPECT_TRUE(holds(vcf_log, "input: set.vcf (VCF/BCF): 5 samples and 3 markers read\n")) << vcf_log;
  EXPECT_TRUE(holds(vcf_log, "selection: --pheno pheno.txt\nselection: --keep keep.txt\n"));
  EXPECT_TRUE(holds(vcf_log, "counted: 5 samples (3 cases, 2 controls)"));
}

}  // namespace
