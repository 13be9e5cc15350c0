// VCF and BCF input, and the sample and marker options on every input: the
// same data as text, PLINK, VCF, VCF.gz and BCF give the same report; a
// subset gives the report of a file cut to it; each kind of bad input is
// refused with its place and leaves no report.
#include <gtest/gtest.h>
#include <htslib/vcf.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <array>
#include <initializer_list>
#include <set>

#include "io/vcf_reader.h"
#include "support/oracle.h"
#include "support/plink_writer.h"
#include "support/report_text.h"
#include "support/run_program.h"
#include "support/vcf_writer.h"

namespace {

const std::vector<std::string> kRunOptions = {"--out", "report.txt", "--order", "1-2", "--top", "5"};

// Every sample and marker an open reader holds, read in one go, the samples
// cases and controls in turn.
struct ReadBack {
  std::vector<unsigned char> genotypes, phenotypes;
  std::vector<std::string> names;
};
bool readEverything(VcfReader& reader, int samples, int markers, ReadBack& out) {
  Subset subset;
  for (int s = 0; s < samples; ++s) {
    subset.samples.push_back(s);
    subset.phenotypes.push_back(s % 2 == 0 ? 1 : 0);
  }
  for (int m = 0; m < markers; ++m) subset.markers.push_back(m);
  reader.select(subset);
  out.genotypes.assign(static_cast<std::size_t>(samples) * markers, 99);
  out.phenotypes.assign(samples, 99);
  std::vector<std::array<char, 255>> name(markers);
  std::vector<char*> names;
  for (auto& n : name) names.push_back(n.data());
  if (!reader.read(out.genotypes.data(), out.phenotypes.data(), names.data())) return false;
  out.names.assign(names.begin(), names.end());
  return true;
}

// A BCF header of contig 1, FORMAT GT and these samples, written to `out`
// (the caller destroys it once its records are written).
bcf_hdr_t* writeGtHeader(htsFile* out, std::initializer_list<const char*> samples) {
  bcf_hdr_t* header = bcf_hdr_init("w");
  EXPECT_EQ(bcf_hdr_append(header, "##contig=<ID=1>"), 0);
  EXPECT_EQ(bcf_hdr_append(header, "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"g\">"), 0);
  for (const char* sample : samples) EXPECT_EQ(bcf_hdr_add_sample(header, sample), 0);
  EXPECT_EQ(bcf_hdr_sync(header), 0);
  EXPECT_EQ(bcf_hdr_write(out, header), 0);
  return header;
}

// Starts `record` at `pos` (0-based) with alleles A,G; with `genotypes`,
// GT of four samples: one ALT copy at every third allele.
void startRecord(bcf_hdr_t* header, bcf1_t* record, int pos, bool genotypes) {
  bcf_clear(record);
  record->pos = pos;
  bcf_update_alleles_str(header, record, "A,G");
  if (!genotypes) return;
  std::int32_t gt[8];
  for (int g = 0; g < 8; ++g) gt[g] = bcf_gt_unphased(g % 3 == 0 ? 1 : 0);
  EXPECT_EQ(bcf_update_genotypes(header, record, gt, 8), 0);
}

// Runs gorva with `input_args` and the common options in a fresh DIR/NAME.
ProgramResult runIn(const std::string& dir, const std::string& name, std::vector<std::string> args) {
  EXPECT_EQ(mkdir((dir + "/" + name).c_str(), 0755), 0);
  args.insert(args.end(), kRunOptions.begin(), kRunOptions.end());
  return runGorva(args, dir + "/" + name);
}

TEST(VcfGenotype, CopiesOfAltFromDiploidAndHaploidCalls) {
  const std::int32_t end = bcf_int32_vector_end;
  const struct { std::int32_t alleles[2]; int ploidy; unsigned char expected; } cases[] = {
      {{bcf_gt_unphased(0), bcf_gt_unphased(0)}, 2, 0}, {{bcf_gt_unphased(0), bcf_gt_phased(1)}, 2, 1},
      {{bcf_gt_unphased(1), bcf_gt_phased(0)}, 2, 1},   {{bcf_gt_unphased(1), bcf_gt_unphased(1)}, 2, 2},
      {{bcf_gt_unphased(0), 0}, 1, 0},                  {{bcf_gt_unphased(1), 0}, 1, 2},
      {{bcf_gt_unphased(1), end}, 2, 2},                {{bcf_gt_missing, bcf_gt_unphased(1)}, 2, 3},
      {{bcf_gt_unphased(0), bcf_gt_missing}, 2, 3},     {{bcf_gt_missing, 0}, 1, 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(genotypeFromGt(c.alleles, c.ploidy), c.expected) << c.alleles[0] << " " << c.alleles[1];
  }
}

TEST(VcfReaderRecords, SkipsMultiAllelicGtLessAndSpanningDeletionRecordsWithWarningsAndNamesUnnamedByPlace) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/v.vcf",
            "##fileformat=VCFv4.2\n##contig=<ID=1>\n##FORMAT=<ID=GT,Number=1,Type=String,Description=\"g\">\n"
            "##FORMAT=<ID=DP,Number=1,Type=Integer,Description=\"d\">\n"
            "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ta\tb\n"
            "1\t100\trs1\tA\tG,T\t.\t.\t.\tGT\t0/1\t1/2\n"
            "1\t200\trs2\tA\tG\t.\t.\t.\tDP\t5\t7\n"
            "1\t300\t.\tA\tG\t.\t.\t.\tGT\t0|1\t1\n"
            "1\t400\trs4\tA\tG\t.\t.\t.\tGT\t.\t1/.\n"  // a lone '.' is missing, not haploid; 1/. a half-call
            "1\t400\trs5\tA\t*\t.\t.\t.\tGT\t0/1\t1/1\n"
            "1\t500\trs6\tA\t<NON_REF>\t.\t.\t.\tGT\t0/0\t0/1\n"
            "1\t600\trs7\tA\tG\t.\t.\t.\tGT\t0/1\t0/1/1\n"  // a triploid call is missing
            "1\t700\trs8\tA\tG,<NON_REF>\t.\t.\t.\tGT\t0/2\t0/1\n"
            "1\t800\trs9\tA\t<*>,T\t.\t.\t.\tGT\t1|2\t2/2\n");
  VcfReader reader;
  ASSERT_TRUE(reader.open(dir + "/v.vcf")) << reader.error();
  EXPECT_EQ(reader.warnings(), "gorva: warning: 1 diploid records of " + dir +
                                   "/v.vcf hold haploid calls (first: line 8, field 11 (sample b)); a haploid call "
                                   "counts as 0 or 2 ALT copies\ngorva: warning: 1 calls of " + dir +
                                   "/v.vcf have one allele missing and one called (first: line 9, field 11 (sample "
                                   "b)); such a half-call is read as missing, as PLINK's --vcf-half-call missing "
                                   "reads it\ngorva: warning: 1 calls of " + dir +
                                   "/v.vcf hold more than two alleles (first: line 12, field 11 (sample b)); such a "
                                   "call is read as missing\ngorva: warning: 2 records of " + dir +
                                   "/v.vcf have one ALT allele beside <NON_REF> or <*> (a gVCF's unseen allele) and "
                                   "are read as biallelic; 2 calls of the unseen allele are read as missing (first: "
                                   "line 13, field 10 (sample a))\ngorva: warning: 2 records of " + dir +
                                   "/v.vcf were skipped: 1 multi-allelic (bcftools norm -m- splits them into "
                                   "biallelic records) and 1 without a GT genotype\ngorva: warning: 2 records of " +
                                   dir + "/v.vcf were skipped: their only ALT allele is * (a deletion spanning the "
                                   "site), <*> or <NON_REF> (a gVCF's unseen allele), not an allele whose copies can "
                                   "be counted\n");
  const SubsetInput input = reader.subsetInput();
  EXPECT_EQ(input.markers, (std::vector<std::string>{"1:300", "rs4", "rs7", "rs8", "rs9"}));
  ASSERT_EQ(input.samples.size(), 2u);
  EXPECT_EQ(input.samples[1].iid, "b");
  ReadBack got;
  ASSERT_TRUE(readEverything(reader, 2, 5, got)) << reader.error();
  EXPECT_EQ(got.genotypes, (std::vector<unsigned char>{1, 2, 3, 3, 1, 3, 3, 1, 3, 2}));
  EXPECT_EQ(got.phenotypes, (std::vector<unsigned char>{1, 0}));
  EXPECT_EQ(got.names[0], "1:300");
  // One marker a block: each block is handed over as it is complete.
  std::vector<unsigned char> blocks;
  std::vector<unsigned char> block(2);
  ASSERT_TRUE(reader.readInBlocks(block.data(), 1, [&](int first, int end) {
    EXPECT_EQ(end, first + 1);
    EXPECT_EQ(static_cast<int>(blocks.size()), 2 * first);
    blocks.insert(blocks.end(), block.begin(), block.end());
  }));
  EXPECT_EQ(blocks, got.genotypes);
  // Replaced after its checks (same records, so no count tells): refused.
  writeFile(dir + "/new.vcf", readFile(dir + "/v.vcf"));
  ASSERT_EQ(std::rename((dir + "/new.vcf").c_str(), (dir + "/v.vcf").c_str()), 0);
  EXPECT_FALSE(readEverything(reader, 2, 5, got));
  EXPECT_EQ(reader.error().rfind(dir + "/v.vcf: the file changed during the run", 0), 0u) << reader.error();
}

// A results table without its positions column (17th), which only the
// PLINK and VCF inputs fill.
std::string withoutPositions(const std::string& table) {
  std::string kept;
  for (const std::string& line : splitOn(table, '\n')) {
    if (line.rfind('#', 0) == 0) {
      kept += line + "\n";
      continue;
    }
    const std::vector<std::string> fields = splitOn(line + "\t", '\t');
    for (std::size_t f = 0; f < fields.size(); ++f) {
      if (f != 16) kept += fields[f] + (f + 1 < fields.size() ? "\t" : "\n");
    }
  }
  return kept;
}

class SameDataEveryFormat : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = makeTempDir();
    table_ = tableFromText(randomDataset(61, 8, 40, 0.08).text());
    table_.fam_phenotypes[4] = "-9";  // left out by every input alike
    writeFile(dir_ + "/set.txt", textFromTable(table_));
    writePlinkFiles(dir_ + "/set", table_);
    writeFile(dir_ + "/set.vcf", vcfFromTable(table_));
    writeFile(dir_ + "/set.pheno", phenoFromTable(table_));
  }
  std::string dir_;
  GenotypeTable table_;
};

// PLINK against text: test_plink_reader.cpp, under every missing-data method.
TEST_F(SameDataEveryFormat, TextVcfVcfGzAndBcfGiveTheSameReport) {
  const ProgramResult text = runIn(dir_, "text", {"--in", "../set.txt"});
  ASSERT_EQ(text.status, 0) << text.err;
  const std::string expected = withoutInputLines(readFile(dir_ + "/text/report.txt"));
  ASSERT_NE(expected.find("<<2-Order Best Combination Sets>>"), std::string::npos);
  std::vector<std::pair<std::string, std::vector<std::string>>> runs = {
      {"vcf", {"--vcf", "../set.vcf", "--pheno", "../set.pheno"}}};
  const bool have_bcftools = runBcftools("view -Oz -o set.vcf.gz set.vcf", dir_) &&
                             runBcftools("view -Ob -o set.bcf set.vcf", dir_);
  if (have_bcftools) {
    runs.push_back({"vcfgz", {"--vcf", "../set.vcf.gz", "--pheno", "../set.pheno"}});
    runs.push_back({"bcf", {"--bcf", "../set.bcf", "--pheno", "../set.pheno"}});
  }
  for (const auto& [name, args] : runs) {
    const ProgramResult run = runIn(dir_, name, args);
    ASSERT_EQ(run.status, 0) << name << ": " << run.err;
    EXPECT_EQ(withoutInputLines(readFile(dir_ + "/" + name + "/report.txt")), expected) << name;
    EXPECT_EQ(withoutInputLines(run.out), withoutInputLines(text.out)) << name;
    EXPECT_NE(run.out.find("# input file : " + args[1] + "\n"), std::string::npos) << run.out;
  }
  if (!have_bcftools) GTEST_SKIP() << "bcftools is not installed: the VCF.gz and BCF runs were not compared";
}

// Samples 0-29 kept, 3 and 7 removed, sample 10 without a phenotype in the
// --pheno file, which also names a sample the input lacks; markers 0-6 and
// an unknown name extracted, marker 2 excluded.
TEST_F(SameDataEveryFormat, SubsetOptionsGiveTheReportOfTheCutFile) {
  // Every sample on its own data line of the text file (--pheno decides for PLINK and VCF).
  table_.fam_phenotypes[4] = "1";
  writeFile(dir_ + "/set.txt", textFromTable(table_));
  GenotypeTable cut;
  std::vector<std::string> phenotypes;
  for (std::size_t s = 0; s < table_.genotypes.size(); ++s) phenotypes.push_back(s % 3 == 0 ? "2" : "1");
  phenotypes[10] = "-9";
  const std::vector<int> markers = {0, 1, 3, 4, 5, 6};
  for (const int m : markers) cut.markers.push_back(table_.markers[m]);
  for (int s = 0; s < 30; ++s) {
    if (s == 3 || s == 7 || s == 10) continue;
    cut.fam_phenotypes.push_back(phenotypes[s]);
    std::vector<int> codes;
    for (const int m : markers) codes.push_back(table_.genotypes[s][m]);
    cut.genotypes.push_back(codes);
  }
  writeFile(dir_ + "/cut.txt", textFromTable(cut));
  writeFile(dir_ + "/extract.txt", "nosuch\n" + [&] {
    std::string names;
    for (int m = 0; m < 7; ++m) names += table_.markers[m] + "\n";
    return names;
  }());
  writeFile(dir_ + "/exclude.txt", table_.markers[2] + "\n");
  const ProgramResult reference = runIn(dir_, "cut", {"--in", "../cut.txt", "--table", "table.tsv"});
  ASSERT_EQ(reference.status, 0) << reference.err;
  const std::string expected = withoutInputLines(readFile(dir_ + "/cut/report.txt"));
  // The table too, its header's marker count included; only text input has no positions.
  const std::string expected_table = withoutPositions(readFile(dir_ + "/cut/table.tsv"));
  ASSERT_NE(expected_table.find("; markers: 6;"), std::string::npos) << expected_table;

  // Text samples are named by their data line number, PLINK's by FID and
  // IID, a VCF's by its sample names (the IID).
  const struct { std::string name; std::vector<std::string> input; bool by_line; } inputs[] = {
      {"text", {"--in", "../set.txt"}, true},
      {"plink", {"--bfile", "../set"}, false},
      {"vcf", {"--vcf", "../set.vcf"}, false},
  };
  for (const auto& input : inputs) {
    auto id = [&](int s) {
      return input.by_line ? "x " + std::to_string(s + 1) : "fam" + std::to_string(s) + " id" + std::to_string(s);
    };
    std::string pheno = "FID IID value\ng ghost 2\n", keep, remove = id(3) + "\n" + id(7) + "\n";
    for (int s = 0; s < static_cast<int>(table_.genotypes.size()); ++s) pheno += id(s) + " " + phenotypes[s] + "\n";
    for (int s = 0; s < 30; ++s) keep += id(s) + "\n";
    // PLINK's lists as a spreadsheet saves them: a byte-order mark, CR LF;
    // the VCF's with CR alone, as older ones do.
    auto saved = [&](const std::string& lines) {
      if (input.name == "text") return lines;
      const bool plink = input.name == "plink";
      std::string bytes = plink ? "\xEF\xBB\xBF" : "";
      for (const char c : lines) bytes += c != '\n' ? std::string(1, c) : plink ? "\r\n" : "\r";
      return bytes;
    };
    const std::string prefix = dir_ + "/" + input.name;
    writeFile(prefix + ".pheno", saved(pheno));
    writeFile(prefix + ".keep", saved(keep));
    writeFile(prefix + ".remove", saved(remove));
    std::vector<std::string> args = input.input;
    for (const char* option : {"pheno", "keep", "remove"}) {
      args.insert(args.end(), {std::string("--") + option, "../" + input.name + "." + option});
    }
    args.insert(args.end(), {"--extract", "../extract.txt", "--exclude", "../exclude.txt", "--table", "table.tsv"});
    const ProgramResult run = runIn(dir_, input.name + "-subset", args);
    ASSERT_EQ(run.status, 0) << input.name << ": " << run.err;
    EXPECT_EQ(withoutInputLines(readFile(dir_ + "/" + input.name + "-subset/report.txt")), expected) << input.name;
    EXPECT_EQ(withoutPositions(readFile(dir_ + "/" + input.name + "-subset/table.tsv")), expected_table)
        << input.name;
    EXPECT_NE(run.err.find("gorva: warning: 1 samples of ../" + input.name + ".pheno are not in"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find(" have no case (2) or control (1) phenotype in ../" + input.name + ".pheno"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("gorva: warning: 1 markers of ../extract.txt are not in"), std::string::npos) << run.err;
  }
}

const std::string kHeader =
    "##fileformat=VCFv4.2\n##contig=<ID=1>\n##FORMAT=<ID=GT,Number=1,Type=String,Description=\"g\">\n";
const std::string kColumns = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ta\tb\tc\n";
const std::string kRecords =
    "1\t100\trs1\tA\tG\t.\t.\t.\tGT\t0/0\t0/1\t1/1\n"
    "1\t200\trs2\tA\tG\t.\t.\t.\tGT\t0/1\t0/1\t1/1\n"
    "1\t300\trs3\tA\tG\t.\t.\t.\tGT\t0/0\t0/0\t0/1\n";
const std::string kPheno = "a a 2\nb b 1\nc c 2\n";

// A VCF's sample names are tab-separated; the files naming samples split at
// blanks, so a name with a blank can be named by none of them.
TEST(VcfReaderRecords, SampleNamesHoldingABlankAreWarnedAbout) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/v.vcf",
            "##fileformat=VCFv4.2\n##contig=<ID=1>\n##FORMAT=<ID=GT,Number=1,Type=String,Description=\"g\">\n"
            "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ta\tb 2\n"
            "1\t100\trs1\tA\tG\t.\t.\t.\tGT\t0/1\t1/1\n");
  VcfReader reader;
  ASSERT_TRUE(reader.open(dir + "/v.vcf")) << reader.error();
  EXPECT_EQ(reader.warnings(), "gorva: warning: 1 sample names of " + dir +
                                   "/v.vcf hold a blank (first: line 4, field 11: \"b 2\"), so no --pheno, --keep, "
                                   "--remove, --strata or --covar line can name them (bcftools reheader -s renames "
                                   "samples)\n");
}

// A sample may end its values before GT where GT is not the first key (DP:GT
// given as "7"): its genotype is missing, plain VCF or BCF, not a haploid REF.
TEST(VcfReaderRecords, AGtAbsentFromASampleIsMissing) {
  const std::string dir = makeTempDir();
  const std::string vcf = dir + "/v.vcf";
  writeFile(vcf,
            "##fileformat=VCFv4.2\n##contig=<ID=1>\n##FORMAT=<ID=GT,Number=1,Type=String,Description=\"g\">\n"
            "##FORMAT=<ID=DP,Number=1,Type=Integer,Description=\"d\">\n"
            "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ta\tb\tc\n"
            "1\t100\trs1\tA\tG\t.\t.\t.\tDP:GT\t7\t8:1/1\t.\n"
            "1\t200\trs2\tA\tG\t.\t.\t.\tDP:GT\t7:0/1\t8\t9:0/0\n");
  std::vector<std::string> paths = {vcf};
  if (runBcftools("view -Ob -o v.bcf v.vcf", dir)) paths.push_back(dir + "/v.bcf");
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    VcfReader reader;
    ASSERT_TRUE(reader.open(path)) << reader.error();
    EXPECT_EQ(reader.warnings(), "");
    ReadBack got;
    ASSERT_TRUE(readEverything(reader, 3, 2, got)) << reader.error();
    EXPECT_EQ(got.genotypes, (std::vector<unsigned char>{3, 2, 3, 1, 3, 0}));
  }
}

// ALT repeating REF (in either case, beside a gVCF's unseen allele too) is
// no variant: warned about, and the calls are read as they stand.
TEST(VcfReaderRecords, AltEqualToRefIsWarnedAbout) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/v.vcf",
            "##fileformat=VCFv4.2\n##contig=<ID=1>\n##FORMAT=<ID=GT,Number=1,Type=String,Description=\"g\">\n"
            "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ta\tb\n"
            "1\t100\trs1\tA\tG\t.\t.\t.\tGT\t0/1\t1/1\n"
            "1\t200\trs2\tC\tc\t.\t.\t.\tGT\t0/1\t1/1\n"
            "1\t300\trs3\tT\t<NON_REF>,T\t.\t.\t.\tGT\t0/2\t0/0\n");
  VcfReader reader;
  ASSERT_TRUE(reader.open(dir + "/v.vcf")) << reader.error();
  EXPECT_NE(reader.warnings().find("gorva: warning: 2 records of " + dir +
                                   "/v.vcf have an ALT allele equal to REF (first: line 6, field 5); their calls "
                                   "were read as written, allele 1 as ALT"),
            std::string::npos)
      << reader.warnings();
  ReadBack got;
  ASSERT_TRUE(readEverything(reader, 2, 3, got)) << reader.error();
  EXPECT_EQ(got.genotypes, (std::vector<unsigned char>{1, 2, 1, 2, 1, 0}));
}

// plink's --recode vcf names each sample FID_IID: a phenotype file of the
// cohort's FID and IID then names none, and the refusal says why.
TEST(VcfBadInput, NoSampleMatchedInAVcfOfFidIidNamesSaysSo) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/v.vcf",
            "##fileformat=VCFv4.2\n##contig=<ID=1>\n##FORMAT=<ID=GT,Number=1,Type=String,Description=\"g\">\n"
            "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tF1_a\tF1_b\tF2_c\tF2_d\n"
            "1\t100\trs1\tA\tG\t.\t.\t.\tGT\t0/1\t1/1\t0/0\t0/1\n");
  writeFile(dir + "/p.txt", "F1 a 2\nF1 b 1\nF2 c 2\nF2 d 1\n");
  const ProgramResult run = runGorva({"--vcf", "v.vcf", "--pheno", "p.txt", "--out", "r.txt", "--order", "1"}, dir);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("p.txt: none of its 4 samples is in v.vcf (samples are matched by IID; v.vcf's sample "
                         "names hold '_' (first: F1_a), as plink --recode vcf writes FID_IID: name such a sample "
                         "by all of it, F1_a, as its IID)"),
            std::string::npos)
      << run.err;
  writeFile(dir + "/k.txt", "F1 a\n");
  writeFile(dir + "/whole.txt", "F1 F1_a 2\nF1 F1_b 1\nF2 F2_c 2\nF2 F2_d 1\n");
  const ProgramResult keep =
      runGorva({"--vcf", "v.vcf", "--pheno", "whole.txt", "--keep", "k.txt", "--out", "r.txt"}, dir);
  EXPECT_EQ(keep.status, 2);
  EXPECT_NE(keep.err.find("k.txt: none of its 1 samples is in v.vcf (lines are FID IID, or the IID alone; samples are "
                          "matched by IID; v.vcf's sample names hold '_'"),
            std::string::npos)
      << keep.err;
}

TEST(VcfBadInput, EachFaultIsRefusedWithItsPlaceAndNoReport) {
  const std::string dir = makeTempDir();
  std::string cut_bcf;
  writeFile(dir + "/good.vcf", kHeader + kColumns + kRecords);
  if (runBcftools("view -Ob -o good.bcf good.vcf", dir)) {
    const std::string bcf = readFile(dir + "/good.bcf");
    cut_bcf = bcf.substr(0, bcf.size() - 40);
  }
  // A gzip file of one stored block, cut inside its header lines.
  const std::string plain = kHeader + kColumns + kRecords;
  const std::string stored_length = {static_cast<char>(plain.size() & 0xff), static_cast<char>(plain.size() >> 8),
                                     static_cast<char>(~plain.size() & 0xff), static_cast<char>(~plain.size() >> 8 & 0xff)};
  const std::string cut_gzip = std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff\x01", 11) + stored_length +
                               plain.substr(0, 60);
  // The same cut among its records: nothing can be read either, and the
  // message must not send the user to the header.
  const std::string cut_gzip_records = cut_gzip.substr(0, cut_gzip.size() - 60) + plain.substr(0, plain.size() - 10);
  const struct { std::string vcf, pheno, extra, extra_text, message; } cases[] = {
      {cut_gzip, kPheno, "", "",
       "in.vcf: the compressed data cannot be read from their start, so not even the first line (is the file "
       "damaged or cut short?"},
      {cut_gzip_records, kPheno, "", "",
       "in.vcf: the compressed data cannot be read from their start, so not even the first line (is the file "
       "damaged or cut short?"},
      {plain.substr(0, plain.size() - 5), kPheno, "", "",
       "in.vcf line 7: 11 fields, but the #CHROM line has 12, and the file ends inside that record (was it cut "
       "short?"},
      {kHeader + "##FORMAT=<ID=DP,Number=1,Type=Integer,Description=\"d\">\n" + kColumns +
           "1\t100\trs1\tA\tG\t.\t.\t.\tDP\t1\t2\t3\n1\t200\trs2\tA\tG\t.\t.\t.\tDP\t1\t2\t3\n",
       kPheno, "", "", "in.vcf: none of its 2 records has GT in its FORMAT field (field 9)"},
      {kHeader + "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ta\tb\ta\n" + kRecords, kPheno, "", "",
       "in.vcf line 4, field 12: sample a was already field 10"},
      // htslib's "could not parse header" had been told as a header not
      // made of ## lines and a #CHROM line, which these are.
      {kHeader + "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\n1\t100\trs1\tA\tG\t.\t.\t.\tGT\n", kPheno,
       "", "", "in.vcf line 4: the #CHROM line ends at FORMAT and names no sample, so there are no genotypes"},
      {kHeader + "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ta\tb\tc\t\n" + kRecords, kPheno, "", "",
       "in.vcf line 4, field 13: the #CHROM line ends with a tab, which leaves an empty sample name after it"},
      {kHeader + "#CHROM POS ID REF ALT QUAL FILTER INFO FORMAT a b c\n" + kRecords, kPheno, "", "",
       "in.vcf line 4: the #CHROM line is separated by blanks, but a VCF's fields are separated by tabs"},
      {kHeader + "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\ta\tb\tc\n" + kRecords, kPheno, "", "",
       "in.vcf line 4, field 9: a, but the #CHROM line names FORMAT there, before the samples"},
      {kHeader + kColumns + kRecords, "FID IID value\na a 2\nb b\n", "", "",
       "pheno.txt line 3: 2 fields, but a phenotype line has 3 (FID IID value)"},
      {kHeader + kColumns + kRecords, "a a 2\nb b 1\nb b 2\n", "", "",
       "pheno.txt line 3, field 2: sample b was already named on line 2"},
      {kHeader + kColumns + kRecords, kPheno, "--keep", "x d\nx e\n",
       "list.txt: none of its 2 samples is in in.vcf"},
      {kHeader + kColumns + kRecords, kPheno, "--extract", "rs2\n",
       "list.txt: 1 of the 3 markers of in.vcf are left, fewer than the lowest order 2"},
      {kHeader + kColumns + kRecords.substr(0, kRecords.find('\n') + 1), kPheno, "--keep", "a a\nb b\n",
       "in.vcf: 1 markers, fewer than the lowest order 2"},
      {kHeader + kColumns + kRecords + "1\t400\trs4\tA\tG\t.\t.\t.\tGT\t0/0\t0/2\t1/1\n", kPheno, "", "",
       "in.vcf line 8, field 11 (sample b): GT allele 2, but the record has 1 ALT allele"},
      {kHeader + kColumns + "\n", kPheno, "", "", "in.vcf: the file has no record after its header"},
      {"\xef\xbb\xbf" + kHeader + kColumns + kRecords, kPheno, "", "",
       "in.vcf: htslib reads it as unknown text, not as VCF or BCF (it starts with a UTF-8 byte-order mark"},
      {kHeader.substr(kHeader.find('\n') + 1) + kColumns + kRecords, kPheno, "", "",
       "in.vcf: htslib reads it as unknown text, not as VCF or BCF (its first line is not the "
       "##fileformat=VCFv4.x line a VCF starts with"},
      {kHeader + kColumns + "1\t100\trs1\tA\tG\t.\t.\t.\tGT\t0/0\t0/1\n", kPheno, "", "",
       "in.vcf line 5: 11 fields, but the #CHROM line has 12"},
      {kHeader + kColumns + kRecords, "", "", "", "--vcf in.vcf needs --pheno FILE"},
      // A PLINK .bed given to --vcf: htslib opens it and declines it.
      {std::string("\x6c\x1b\x01\x2d\xe4\x1b", 6), kPheno, "", "",
       "in.vcf: htslib reads it as neither VCF nor BCF (binary data of another format)"},
      {cut_bcf, kPheno, "", "", "in.vcf: the compressed file lacks its end-of-file block, so it was cut short"},
      {kHeader + kColumns + kRecords + "1\t400\trs4\tA\tG\t.\t.\t.\tGT\t0/0\t0/1\t1", kPheno, "", "",
       "in.vcf line 8: the last line has no line end and a GT with one allele where the others have two"},
      {kHeader + kColumns + "1\t100\trs1\tA\tG\t.\t.\t.\tGT\t0/0\t\t1/1\n" + kRecords, kPheno, "", "",
       "in.vcf line 5, field 11 (sample b): the sample field is empty, so the record's sample fields end early"},
      {kHeader + kColumns + kRecords + std::string("1\t400\trs4\tA\tG\t.\t.\t.\tGT\t0/\0\t0/1\t1/1\n", 35),
       kPheno, "", "", "in.vcf line 8, field 10: a NUL byte"},
      {kHeader + kColumns + kRecords + "1\t4e2\trs4\tA\tG\t.\t.\t.\tGT\t0/0\t0/1\t1/1\n", kPheno, "", "",
       "in.vcf line 8, field 2: the position '4e2' is not a whole number"},
      {kHeader + kColumns + kRecords + "1\t-5\trs4\tA\tG\t.\t.\t.\tGT\t0/0\t0/1\t1/1\n", kPheno, "", "",
       "in.vcf line 8, field 2: the position '-5' is negative (a VCF position is 0 or more)"},
      // An imputation server's CHROM:POS:REF:ALT name of a long indel.
      {kHeader + kColumns + kRecords + "1\t400\t1:400:A:" + std::string(300, 'G') + "\tA\tG\t.\t.\t.\tGT\t0/0\t0/1\t1/1\n",
       kPheno, "", "",
       "in.vcf line 8, field 3: the marker name has 308 characters; at most 254 are allowed (name the records by "
       "position first: bcftools annotate --set-id '%CHROM:%POS')"},
      {kHeader + kColumns + "2\t100\trs1\tA\tG\t.\t.\t.\tGT\t0/0\t0/1\t1/1\n" + kRecords, kPheno, "", "",
       "in.vcf line 5, field 1: contig 2 is not declared in the header"},
      {kHeader + kColumns + "1\t100\trs1\tA\tG\t.\t.\tAF=0.5\tGT\t0/0\t0/1\t1/1\n" + kRecords, kPheno, "", "",
       "in.vcf line 5, field 8: INFO tag AF is not declared in the header"},
      {kHeader + kColumns + "1\t100\trs1\tA\tG\t.\t.\t.\tGT:DP\t0/0:1\t0/1:2\t1/1:3\n" + kRecords, kPheno, "",
       "", "in.vcf line 5, field 9: FORMAT tag DP is not declared in the header"},
      // A header line htslib cannot read is left out without a word: what it declared is named with it.
      {"##fileformat=VCFv4.2\n##contig=<ID=1,length=abc>\n##FORMAT=<ID=GT,Number=1,Type=String,Description=\"g\">\n" +
           kColumns + kRecords,
       kPheno, "", "",
       "in.vcf line 5, field 1: contig 1 is declared on header line 2 (##contig=<ID=1,length=abc>), but htslib "
       "cannot read that line and leaves it out: correct it (for example ##contig=<ID=1>)"},
      {kHeader + "##INFO=<ID=AF Number=1,Type=Float,Description=\"f\">\n" + kColumns +
           "1\t100\trs1\tA\tG\t.\t.\tAF=0.5\tGT\t0/0\t0/1\t1/1\n" + kRecords,
       kPheno, "", "", "in.vcf line 6, field 8: INFO tag AF is declared on header line 4 (##INFO=<ID=AF Number=1,"},
      // Sample values htslib cannot read, told by field and sample, not as "a character it does not take".
      {kHeader + kColumns + "1\t100\trs1\tA\tG\t.\t.\t.\tGT\t0/0\t0/1 \t1/1\n" + kRecords, kPheno, "", "",
       "in.vcf line 5, field 11 (sample b): the genotype '0/1 ' is not alleles"},
      {kHeader + kColumns + "1\t100\trs1\tA\tG\t.\t.\t.\tGT\t0/0\t0//1\t1/1\n" + kRecords, kPheno, "", "",
       "in.vcf line 5, field 11 (sample b): the genotype '0//1' is not alleles"},
      {kHeader + kColumns + "1\t100\trs1\tA\tG\t.\t.\t.\tGT\t0/0\t|0|1\t1/1\n" + kRecords, kPheno, "", "",
       "in.vcf line 5, field 11 (sample b): the genotype '|0|1' opens with a phasing mark (VCF 4.4), which htslib " +
           std::string(hts_version()) + " cannot read: write it without the mark ('0|1')"},
      {kHeader + "##FORMAT=<ID=DP,Number=1,Type=Integer,Description=\"d\">\n" + kColumns +
           "1\t100\trs1\tA\tG\t.\t.\t.\tGT:DP\t0/0:1\t0/1:2\t1/1:3.5\n" + kRecords,
       kPheno, "", "", "in.vcf line 6, field 12 (sample c): FORMAT DP is '3.5', but the header declares it an Integer"},
      {kHeader + "##FORMAT=<ID=DP,Number=1,Type=Integer,Description=\"d\">\n" + kColumns +
           "1\t100\trs1\tA\tG\t.\t.\t.\tGT:DP\t0/0:1\t0/1:2:7\t1/1:3\n" + kRecords,
       kPheno, "", "", "in.vcf line 6, field 11 (sample b): 3 values separated by ':', but FORMAT (field 9) has 2 keys"},
      {"##fileformat=VCFv4.2\n##contig=<ID=1>\n##FORMAT=<ID=GT,Number=1,Type=Integer,Description=\"g\">\n" +
           kColumns + kRecords,
       kPheno, "", "",
       "in.vcf line 3 (##FORMAT=<ID=GT,Number=1,Type=Integer,Description=\"g\">): the header declares FORMAT GT "
       "with another type than String, so htslib reads no genotype from it"},
      // Haploid calls read as integers parse: every record was then told as one without GT.
      {"##fileformat=VCFv4.2\n##contig=<ID=1>\n##FORMAT=<ID=GT,Number=1,Type=Integer,Description=\"g\">\n" +
           kColumns + "1\t100\trs1\tA\tG\t.\t.\t.\tGT\t0\t1\t1\n1\t200\trs2\tA\tG\t.\t.\t.\tGT\t1\t0\t1\n",
       kPheno, "", "", "in.vcf line 3 (##FORMAT=<ID=GT,Number=1,Type=Integer,"},
  };
  for (const auto& c : cases) {
    if (c.vcf.empty()) {
      std::printf("bcftools is not installed: the truncated BCF is not tried\n");
      continue;
    }
    const std::string run_dir = makeTempDir();
    writeFile(run_dir + "/in.vcf", c.vcf);
    std::vector<std::string> args = {"--vcf", "in.vcf", "--out", "report.txt"};
    if (!c.pheno.empty()) {
      writeFile(run_dir + "/pheno.txt", c.pheno);
      args.insert(args.end(), {"--pheno", "pheno.txt"});
    }
    if (!c.extra.empty()) {
      writeFile(run_dir + "/list.txt", c.extra_text);
      args.insert(args.end(), {c.extra, "list.txt"});
    }
    const ProgramResult run = runGorva(args, run_dir);
    EXPECT_EQ(run.status, 2) << c.message;
    EXPECT_EQ(run.err.rfind("gorva: " + c.message, 0), 0u) << run.err;
    EXPECT_FALSE(fileExists(run_dir + "/report.txt")) << c.message;
  }
}

// htslib refuses a FORMAT field whose values, at the longest one's width for
// every sample, would pass 2^31 bytes: told apart from its other refusals.
// A plain VCF's fields cannot hold a tab or a line end; a BCF's names can.
TEST(VcfBadInput, ABcfNameHoldingATabOrLineEndIsRefused) {
  const std::string dir = makeTempDir();
  for (const char* id : {"rs\t1", "rs\n1"}) {
    htsFile* out = hts_open((dir + "/in.bcf").c_str(), "wb");
    bcf_hdr_t* header = writeGtHeader(out, {"a"});
    bcf1_t* record = bcf_init();
    record->pos = 99;
    bcf_update_id(header, record, id);
    bcf_update_alleles_str(header, record, "A,G");
    std::int32_t gt[2] = {bcf_gt_unphased(0), bcf_gt_unphased(1)};
    bcf_update_genotypes(header, record, gt, 2);
    ASSERT_EQ(bcf_write(out, header, record), 0);
    bcf_destroy(record);
    bcf_hdr_destroy(header);
    ASSERT_EQ(hts_close(out), 0);
    VcfReader reader;
    EXPECT_FALSE(reader.open(dir + "/in.bcf"));
    EXPECT_NE(reader.error().find("record 1 (1:100; a BCF has no lines), field 3: the marker name holds a " +
                                  std::string(id[2] == '\t' ? "tab" : "line end") + ", which would split"),
              std::string::npos)
        << reader.error();
  }
}

// htslib recognises an xz-compressed VCF by its contents, and its line reader
// then aborted the whole process (the program, or the Python interpreter).
TEST(VcfBadInput, AnXzCompressedVcfIsRefusedAsACompressionHtslibCannotRead) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/in.vcf", kHeader + kColumns + kRecords);
  writeFile(dir + "/p.txt", kPheno);
  if (std::system(("cd '" + dir + "' && xz -z in.vcf 2>/dev/null").c_str()) != 0) GTEST_SKIP() << "xz is not installed";
  const ProgramResult run =
      runGorva({"--vcf", "in.vcf.xz", "--pheno", "p.txt", "--out", "r.txt", "--order", "1", "--table", "t.tsv"}, dir);
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_NE(run.err.find("gorva: in.vcf.xz: htslib reads it as "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("a compression it cannot read records from: give it decompressed (xz -dk FILE)"),
            std::string::npos)
      << run.err;
  EXPECT_FALSE(fileExists(dir + "/r.txt"));
}

// A BCF's sample block that htslib reads without complaint but cannot hold
// genotypes as written: GT stored as floats or characters (htslib's genotype
// reader ended the whole run with status 1 and no message), or a field count
// that leaves bytes over, which shifted every sample's values into the next.
TEST(VcfBadInput, ABcfWhoseGenotypesCannotBeReadAsWrittenIsRefusedByRecord) {
  const std::string dir = makeTempDir();
  const std::string path = dir + "/in.bcf";
  writeFile(dir + "/p.txt", "a a 2\nb b 1\nc c 2\nd d 1\n");
  for (const std::string fault : {"floats", "characters", "count"}) {
    htsFile* out = hts_open(path.c_str(), "wbu");
    bcf_hdr_t* header = writeGtHeader(out, {"a", "b", "c", "d"});
    bcf1_t* record = bcf_init();
    for (int pos : {99, 199}) {
      const bool faulty = pos == 199 && fault != "count";
      startRecord(header, record, pos, !faulty);
      if (faulty && fault == "floats") {
        const float gt[8] = {2, 4, 2, 4, 4, 4, 2, 2};
        ASSERT_EQ(bcf_update_format_float(header, record, "GT", gt, 8), 0);
      } else if (faulty) {
        ASSERT_EQ(bcf_update_format_char(header, record, "GT", "0/10/11/10/0", 12), 0);
      }
      ASSERT_EQ(bcf_write(out, header, record), 0);
    }
    bcf_destroy(record);
    bcf_hdr_destroy(header);
    ASSERT_EQ(hts_close(out), 0);
    if (fault == "count") {
      // The last record's sample block ends in GT's key, its type byte (2
      // int8 values per sample: 0x21) and 4 x 2 values; 0x11 says one value.
      std::string bytes = readFile(path);
      ASSERT_EQ(static_cast<unsigned char>(bytes[bytes.size() - 9]), 0x21u);
      bytes[bytes.size() - 9] = 0x11;
      writeFile(path, bytes);
    }
    const ProgramResult run =
        runGorva({"--bcf", "in.bcf", "--pheno", "p.txt", "--out", "r.txt", "--order", "1", "--table", "t.tsv"}, dir);
    EXPECT_EQ(run.status, 2) << fault << run.err;
    const std::string expected =
        fault == "count" ? "in.bcf record 2 (1:200; a BCF has no lines): the FORMAT fields take 7 bytes of the "
                           "record's 11 bytes of sample data"
                         : "in.bcf record 2 (1:200; a BCF has no lines), FORMAT GT: its values are stored as " + fault;
    EXPECT_NE(run.err.find(expected), std::string::npos) << fault << "\n" << run.err;
    EXPECT_FALSE(fileExists(dir + "/r.txt")) << fault;
    EXPECT_FALSE(fileExists(dir + "/t.tsv")) << fault;
  }
}

// A BCF keeps POS as a signed number that htslib reads unsigned: a negative
// one, which a plain VCF has refused, came out in the table as 1:4294967292.
TEST(VcfBadInput, ABcfPositionBelowZeroIsRefused) {
  const std::string dir = makeTempDir();
  htsFile* out = hts_open((dir + "/in.bcf").c_str(), "wb");
  bcf_hdr_t* header = writeGtHeader(out, {"a", "b", "c", "d"});
  bcf1_t* record = bcf_init();
  for (const int pos : {99, -5}) {
    startRecord(header, record, pos, true);
    ASSERT_EQ(bcf_write(out, header, record), 0);
  }
  bcf_destroy(record);
  bcf_hdr_destroy(header);
  ASSERT_EQ(hts_close(out), 0);
  VcfReader reader;
  EXPECT_FALSE(reader.open(dir + "/in.bcf"));
  EXPECT_NE(reader.error().find("in.bcf record 2 (1; a BCF has no lines): the position is -4, negative"),
            std::string::npos)
      << reader.error();
}

TEST(VcfBadInput, AFieldPastHtslibsLimitsIsNamedByLineAndField) {
  const int samples = 20000;
  std::string columns = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";
  std::string first = "1\t100\trs1\tA\tG\t.\t.\t.\tGT";
  std::string second = "1\t200\trs2\tA\tG\t.\t.\t.\tGT:XS";
  std::string pheno;
  for (int s = 0; s < samples; ++s) {
    const std::string name = "s" + std::to_string(s);
    columns += "\t" + name;
    first += "\t0/1";
    second += s == 3 ? "\t0/1:" + std::string(110000, 'x') : "\t0/1:y";
    pheno += name + " " + name + " " + std::to_string(1 + s % 2) + "\n";
  }
  const std::string dir = makeTempDir();
  writeFile(dir + "/in.vcf", kHeader + "##FORMAT=<ID=XS,Number=1,Type=String,Description=\"x\">\n" + columns +
                                 "\n" + first + "\n" + second + "\n");
  writeFile(dir + "/pheno.txt", pheno);
  const ProgramResult run = runGorva({"--vcf", "in.vcf", "--pheno", "pheno.txt", "--out", "r.txt"}, dir);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err.rfind("gorva: in.vcf line 7, field 13: the record is past htslib's limits (its longest "
                          "field has 110004 bytes",
                          0),
            0u)
      << run.err;
  EXPECT_FALSE(fileExists(dir + "/r.txt"));
}

// Read, but said: haploid calls among diploid ones (male X, or a damaged
// file), and a last line without its line end. Three samples cannot hold two
// of each class, so the run is then refused, after the warnings.
TEST(VcfBadInput, MixedPloidyAndAMissingLastLineEndAreWarnedAbout) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/in.vcf", kHeader + kColumns + "1\t100\trs0\tA\tG\t.\t.\t.\tGT\t0/0\t1\t1/1\n" +
                                 kRecords.substr(0, kRecords.size() - 1));
  writeFile(dir + "/pheno.txt", kPheno);
  const ProgramResult run = runGorva({"--vcf", "in.vcf", "--pheno", "pheno.txt", "--out", "r.txt", "--order", "1"}, dir);
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_NE(run.err.find("gorva: the run's samples hold 2 cases and 1 control"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("gorva: warning: 1 diploid records of in.vcf hold haploid calls (first: line 5, field 11 "
                         "(sample b))"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("gorva: warning: in.vcf line 8: the last line has no line end"), std::string::npos) << run.err;
}

}  // namespace
