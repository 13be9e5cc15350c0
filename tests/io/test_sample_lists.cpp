// --keep and --remove files as PLINK and plink2 write them; a --pheno file
// coded the other common way; marker lists written across a line.
#include <gtest/gtest.h>

#include <tuple>

#include "io/subset.h"
#include "support/run_program.h"

namespace {

SubsetInput plinkInput() {
  SubsetInput input;
  input.name = "in.bed";
  input.match_family = true;
  for (const char* iid : {"a", "b", "c"}) input.samples.push_back({"f", iid});
  input.markers = {"m1", "m2"};
  return input;
}

// plink2's .id files and PLINK 1 lists open with a header line: it names no
// sample, so it is neither kept nor warned about.
TEST(SampleLists, AHeaderLineIsNoSample) {
  const std::string dir = makeTempDir();
  for (const char* header : {"#FID\tIID\n", "FID IID\n", "#IID\n"}) {
    SCOPED_TRACE(header);
    writeFile(dir + "/keep.id", std::string(header) + "f a\nf c\n");
    writeFile(dir + "/remove.id", std::string(header) + "f b\n");
    for (const bool keep : {true, false}) {
      SubsetFiles files;
      (keep ? files.keep : files.remove) = dir + (keep ? "/keep.id" : "/remove.id");
      Subset subset;
      ASSERT_TRUE(chooseSubset(files, plinkInput(), 1, subset)) << subset.error;
      EXPECT_EQ(subset.samples, (std::vector<int>{0, 2}));
      EXPECT_EQ(subset.warnings, "");
    }
  }
  // Only the first line can be one.
  writeFile(dir + "/keep.id", "f a\nFID IID\n");
  SubsetFiles files;
  files.keep = dir + "/keep.id";
  Subset subset;
  ASSERT_TRUE(chooseSubset(files, plinkInput(), 1, subset)) << subset.error;
  EXPECT_NE(subset.warnings.find("1 samples of"), std::string::npos) << subset.warnings;
  // An unknown sample is named as its line names it, FID and IID apart by a
  // blank (the tab of the lookup key once stood between them in the warning).
  writeFile(dir + "/keep.id", "f a\ng\tz\n");
  ASSERT_TRUE(chooseSubset(files, plinkInput(), 1, subset)) << subset.error;
  EXPECT_NE(subset.warnings.find("(first: " + dir + "/keep.id line 2: g z)\n"), std::string::npos) << subset.warnings;
  // So in a phenotype and a strata file, where the IID alone, b, named a
  // sample the .fam holds (as f b).
  writeFile(dir + "/p.txt", "f a 2\ng b 1\n");
  writeFile(dir + "/s.txt", "f a x\ng b y\n");
  SubsetFiles others;
  others.pheno = dir + "/p.txt";
  others.strata = dir + "/s.txt";
  ASSERT_TRUE(chooseSubset(others, plinkInput(), 1, subset)) << subset.error;
  EXPECT_NE(subset.warnings.find("(first: " + dir + "/p.txt line 2: g b)\n"), std::string::npos) << subset.warnings;
  EXPECT_NE(subset.warnings.find("(first: " + dir + "/s.txt line 2: g b)\n"), std::string::npos) << subset.warnings;
}

// A text file names its samples by data line number, which a file of the
// cohort's IDs never matches: the refusal says how the text's samples are
// named, where "matched by IID" sent the user looking for a typo in the IDs.
TEST(SampleLists, NoMatchInATextFileSaysItsSamplesAreLineNumbers) {
  const std::string dir = makeTempDir();
  const std::string data = "S\ta\tb\n1\t0\t1\n0\t1\t2\n1\t2\t0\n0\t0\t1\n";
  writeFile(dir + "/ids.txt", "F1 S1 2\nF2 S2 1\n");
  const std::string rule = "a text file's samples are named by their data line numbers, 1 to 4";
  for (const char* option : {"--keep", "--pheno", "--strata"}) {
    const ProgramResult run = runOnData(dir, data, std::string(option) + " ids.txt --order 1");
    EXPECT_EQ(run.status, 2) << option;
    EXPECT_NE(run.err.find(rule), std::string::npos) << run.err;
  }
  writeFile(dir + "/ids.cov", "FID IID A\nF1 S1 0.5\nF2 S2 1.5\n");
  const ProgramResult covar = runOnData(dir, data, "--covar ids.cov --table t.tsv --order 1");
  EXPECT_EQ(covar.status, 2);
  EXPECT_NE(covar.err.find(rule), std::string::npos) << covar.err;
}

// A file that holds no sample line at all says so: "none of its 0 samples
// is in in.bed (samples are matched by FID and IID)" sent its user looking
// for a typo in names it does not hold.
TEST(SampleLists, AFileOfNoSampleLineSaysSoRatherThanHowSamplesMatch) {
  const std::string dir = makeTempDir();
  struct Case {
    std::string SubsetFiles::*option;
    const char* header;  // "" = an empty file
  };
  for (const Case& entry : {Case{&SubsetFiles::keep, ""}, Case{&SubsetFiles::keep, "#FID IID\n"},
                            Case{&SubsetFiles::pheno, ""}, Case{&SubsetFiles::pheno, "FID IID PHENO\n"},
                            Case{&SubsetFiles::strata, ""}, Case{&SubsetFiles::strata, "FID IID POP\n"},
                            Case{&SubsetFiles::covar, "FID IID PC1\n"}}) {
    SCOPED_TRACE(entry.header);
    const std::string path = dir + "/samples.txt";
    writeFile(path, entry.header);
    SubsetFiles files;
    files.*entry.option = path;
    Subset subset;
    EXPECT_FALSE(chooseSubset(files, plinkInput(), 1, subset));
    EXPECT_EQ(subset.error, path + ": the file names no sample (it is empty or holds its header alone)");
  }
}

// An empty --remove or --exclude (a filter's output that came out empty, or
// a list never written) removes nothing: the run goes on, but says so, where
// it used to pass without a word.
TEST(SampleLists, AnEmptyRemoveOrExcludeIsToldAndRemovesNothing) {
  const std::string dir = makeTempDir();
  for (const char* content : {"", "\n\n", "#FID IID\n"}) {
    SCOPED_TRACE(content);
    writeFile(dir + "/list.txt", content);
    for (const bool samples : {true, false}) {
      if (!samples && content[0] == '#') continue;  // a marker list has no header
      SubsetFiles files;
      (samples ? files.remove : files.exclude) = dir + "/list.txt";
      Subset subset;
      ASSERT_TRUE(chooseSubset(files, plinkInput(), 1, subset)) << subset.error;
      EXPECT_EQ(subset.samples, (std::vector<int>{0, 1, 2}));
      EXPECT_EQ(subset.markers, (std::vector<int>{0, 1}));
      EXPECT_EQ(subset.warnings, samples ? "gorva: warning: " + dir +
                                               "/list.txt (--remove) names no sample (it is empty or holds its header "
                                               "alone), so no sample is removed\n"
                                         : "gorva: warning: " + dir +
                                               "/list.txt (--exclude) names no marker (it is empty), so no marker "
                                               "is excluded\n");
    }
  }
}

// An --exclude may take away what an --extract kept: the refusal names both
// lists, not the --extract alone, which names every marker it should.
TEST(MarkerLists, TooFewMarkersLeftNamesEveryListThatChoseThem) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/both.txt", "m1\nm2\n");
  writeFile(dir + "/m2.txt", "m2\n");
  SubsetFiles files;
  files.extract = dir + "/both.txt";
  files.exclude = dir + "/m2.txt";
  Subset subset;
  EXPECT_FALSE(chooseSubset(files, plinkInput(), 2, subset));
  EXPECT_EQ(subset.error, dir + "/both.txt (--extract) with " + dir +
                              "/m2.txt (--exclude): 1 of the 2 markers of in.bed are left, fewer than the lowest "
                              "order 2 (name more markers, or lower --order)");
}

// A marker list names one marker per line: names after the first field of a
// line are not read, and the warning says so rather than losing them.
TEST(MarkerLists, NamesAfterTheFirstFieldOfALineAreWarnedAbout) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/across.txt", "m1 m2\n");
  writeFile(dir + "/down.txt", "m1\nm2\n");
  for (const bool extract : {true, false}) {
    for (const char* list : {"/across.txt", "/down.txt"}) {
      SCOPED_TRACE(std::string(list) + (extract ? " --extract" : " --exclude"));
      SubsetFiles files;
      (extract ? files.extract : files.exclude) = dir + list;
      Subset subset;
      const bool chosen = chooseSubset(files, plinkInput(), 1, subset);
      if (std::string(list) == "/down.txt") {
        EXPECT_EQ(subset.warnings, "");
        continue;
      }
      ASSERT_TRUE(chosen) << subset.error;
      EXPECT_EQ(subset.markers, (std::vector<int>{extract ? 0 : 1}));
      EXPECT_EQ(subset.warnings, "gorva: warning: 1 line of " + dir + list + (extract ? " (--extract)" : " (--exclude)") +
                                     " holds more than one field: only the first field of a line is a marker name, "
                                     "the others were ignored (first: " + dir + list +
                                     " line 1, field 2: m2); write one name per line\n");
    }
  }
}

// Writes `text` as the --pheno file `path` and chooses the PLINK input's
// samples by it.
bool choosePhenotypes(const std::string& path, const std::string& text, Subset& subset) {
  writeFile(path, text);
  SubsetFiles files;
  files.pheno = path;
  return chooseSubset(files, plinkInput(), 1, subset);
}

// 0 = control, 1 = case reads as missing and controls, as PLINK reads it;
// the warning says which coding is meant.
TEST(PhenotypeFile, ZerosWithoutACaseGetTheCodingAdviceAndASexOrParentColumnIsNoPhenotype) {
  const std::string path = makeTempDir() + "/p.txt";
  Subset subset;
  ASSERT_TRUE(choosePhenotypes(path, "f a 0\nf b 1\nf c 0\n", subset)) << subset.error;
  EXPECT_EQ(subset.samples, std::vector<int>{1});
  EXPECT_NE(subset.warnings.find("p.txt holds no case (2) and 2 phenotypes 0, which mean missing, as in PLINK: if "
                                 "it codes 0 = control and 1 = case, write 1 = control and 2 = case\n"),
            std::string::npos)
      << subset.warnings;
  ASSERT_TRUE(choosePhenotypes(path, "f a 0\nf b 1\nf c 2\n", subset)) << subset.error;
  EXPECT_EQ(subset.warnings.find("holds no case"), std::string::npos) << subset.warnings;
  // A .fam as --pheno would give the fathers' IDs as phenotypes.
  const std::string fam = makeTempDir() + "/cohort.fam";
  EXPECT_FALSE(choosePhenotypes(fam, "f a 0 0 1 2\nf b 0 0 2 1\nf c 1 2 1 2\n", subset));
  EXPECT_NE(subset.error.find("cohort.fam line 1: a PLINK .fam, whose field 3 is the father, not a phenotype"),
            std::string::npos)
      << subset.error;
  // A .psam as --pheno would give the sexes as phenotypes.
  EXPECT_FALSE(choosePhenotypes(path, "#FID IID SEX PHENO1\nf a 1 2\nf b 2 1\nf c 1 2\n", subset));
  EXPECT_NE(subset.error.find("p.txt line 1, field 3: the phenotype is read from field 3, which the header names "
                              "SEX"),
            std::string::npos)
      << subset.error;
}

// A phenotype column saved by pandas (a float column, as any with a missing
// value is) or R reads as the .fam's does: 2.0 a case, 1.0 a control,
// -9.0 and 0.0 missing; a value that is no case/control code is refused.
TEST(PhenotypeFile, NumbersWrittenAsFloatsReadAsTheirCodes) {
  const std::string path = makeTempDir() + "/p.txt";
  Subset subset;
  ASSERT_TRUE(choosePhenotypes(path, "FID IID y\nf a 2.0\nf b 1.0\nf c -9.0\n", subset)) << subset.error;
  EXPECT_EQ(subset.samples, (std::vector<int>{0, 1}));
  EXPECT_EQ(subset.phenotypes, (std::vector<unsigned char>{1, 0}));
  ASSERT_TRUE(choosePhenotypes(path, "f a 0.0\nf b 1.0\nf c 0\n", subset)) << subset.error;
  EXPECT_NE(subset.warnings.find("holds no case (2) and 2 phenotypes 0"), std::string::npos) << subset.warnings;
  EXPECT_FALSE(choosePhenotypes(path, "f a 2.0\nf b 1.5\n", subset));
  EXPECT_NE(subset.error.find("p.txt line 2, field 3: phenotype 1.5 is not 2 (case), 1 (control) or 0, -9, NA"),
            std::string::npos)
      << subset.error;
}

// A file of several phenotypes or strata columns gives its first, as PLINK
// 1.9 reads it; its header names the others, so the choice is told (a batch
// column of 1s and 2s before T2D read as controls and cases without a word).
TEST(SampleLists, AHeaderOfSeveralValueColumnsSaysWhichIsRead) {
  const std::string dir = makeTempDir();
  const std::string path = dir + "/p.txt";
  Subset subset;
  ASSERT_TRUE(choosePhenotypes(path, "FID IID batch T2D\nf a 1 1\nf b 2 1\nf c 2 2\n", subset)) << subset.error;
  EXPECT_EQ(subset.phenotypes, (std::vector<unsigned char>{0, 1, 1}));
  EXPECT_NE(subset.warnings.find("p.txt line 1: the header names 2 phenotypes (batch, T2D); the first, batch "
                                 "(field 3), is read, as PLINK reads it: give a file of FID IID value lines"),
            std::string::npos)
      << subset.warnings;
  ASSERT_TRUE(choosePhenotypes(path, "FID IID T2D\nf a 1 x\nf b 2 y\n", subset)) << subset.error;
  EXPECT_EQ(subset.warnings.find("the header names"), std::string::npos) << subset.warnings;
  writeFile(dir + "/s.txt", "#IID batch POP\na 1 x\nb 2 y\nc 1 x\n");
  SubsetFiles files;
  files.strata = dir + "/s.txt";
  SubsetInput vcf = plinkInput();
  vcf.match_family = false;
  ASSERT_TRUE(chooseSubset(files, vcf, 1, subset)) << subset.error;
  EXPECT_EQ(subset.stratum_names, (std::vector<std::string>{"1", "2"}));
  EXPECT_NE(subset.warnings.find("s.txt line 1: the header names 2 columns (batch, POP); the first, batch (field "
                                 "2), is read, as PLINK reads it: give a file of IID STRATUM lines"),
            std::string::npos)
      << subset.warnings;
}

// An input matched by FID and IID cannot take covariates named by IID alone.
TEST(SampleLists, IidOnlyCovariatesAreRefusedForInputsWithFamilies) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/c.eigenvec", "#IID PC1\na 1\nb 2\nc 3\n");
  SubsetFiles files;
  files.covar = dir + "/c.eigenvec";
  Subset subset;
  EXPECT_FALSE(chooseSubset(files, plinkInput(), 1, subset));
  EXPECT_NE(subset.error.find("c.eigenvec names its samples by IID alone (#IID), but in.bed's samples are matched "
                              "by FID and IID"),
            std::string::npos)
      << subset.error;
}

// plink2's phenotypes of samples without FID: "#IID value", for inputs
// matched by IID (a VCF); refused where samples are matched by FID and IID.
TEST(PhenotypeFile, Plink2IidOnlyFilesNameSamplesByIid) {
  const std::string dir = makeTempDir();
  writeFile(dir + "/p.txt", "#IID PHENO1\na 2\nb 1\nc -9\n");
  SubsetFiles files;
  files.pheno = dir + "/p.txt";
  SubsetInput vcf = plinkInput();
  vcf.match_family = false;
  Subset subset;
  ASSERT_TRUE(chooseSubset(files, vcf, 1, subset)) << subset.error;
  EXPECT_EQ(subset.samples, (std::vector<int>{0, 1}));
  EXPECT_EQ(subset.phenotypes, (std::vector<unsigned char>{1, 0}));
  writeFile(dir + "/p.txt", "#IID PHENO1\na 2\nb x\n");
  EXPECT_FALSE(chooseSubset(files, vcf, 1, subset));
  EXPECT_NE(subset.error.find("p.txt line 3, field 2: phenotype x is not 2"), std::string::npos) << subset.error;
  EXPECT_FALSE(chooseSubset(files, plinkInput(), 1, subset));
  EXPECT_NE(subset.error.find("p.txt line 1: the file names its samples by IID alone (#IID), but in.bed's samples "
                              "are matched by FID and IID"),
            std::string::npos)
      << subset.error;
}

// Compressed or binary side files are told as such, not read as words.
TEST(SampleLists, CompressedOrBinaryFilesAreRefusedAsSuch) {
  const std::string dir = makeTempDir();
  const struct {
    std::string bytes, message;
  } cases[] = {
      {std::string("\x1f\x8b\x08\x00", 4), "the file is gzip-compressed; give it decompressed (gunzip -k "},
      {"\x28\xb5\x2f\xfd", "the file is zstd-compressed"},
      {std::string("f a\nf\0b\n", 8), "(--keep): byte 6 is a NUL byte, which no text file holds"},
  };
  for (const auto& c : cases) {
    writeFile(dir + "/keep.id", c.bytes);
    SubsetFiles files;
    files.keep = dir + "/keep.id";
    Subset subset;
    EXPECT_FALSE(chooseSubset(files, plinkInput(), 1, subset));
    EXPECT_NE(subset.error.find(c.message), std::string::npos) << subset.error;
  }
}

// pandas and R write a missing value of a tab-separated file as an empty
// field: read as a run of separators, the next column's value (here SEX's 2)
// would become the phenotype, stratum or covariate. Every sample file refuses
// it; an empty field at a line's end moves nothing and is read as before.
// R's quoted fields are refused too.
TEST(SampleLists, EmptyTabSeparatedAndQuotedFieldsAreRefused) {
  const std::string dir = makeTempDir();
  const struct {
    const char* file;
    std::string SubsetFiles::*option;
    std::string bytes;
    const char* where;
  } cases[] = {
      {"p.txt", &SubsetFiles::pheno, "FID\tIID\tT2D\tSEX\nf\ta\t2\t1\nf\tb\t\t2\n", "line 3, field 3 (--pheno)"},
      {"s.txt", &SubsetFiles::strata, "f a x\nf\tb \t\ty\tz\n", "line 2, field 3 (--strata)"},
      {"k.txt", &SubsetFiles::keep, "f\t\ta\n", "line 1, field 2 (--keep)"},
      {"c.txt", &SubsetFiles::covar, "FID\tIID\tA\tB\nf\ta\t1\t2\nf\tb\t\t3\n", "line 3, field 3 (--covar)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    writeFile(dir + "/" + c.file, c.bytes);
    SubsetFiles files;
    files.*c.option = dir + "/" + c.file;
    Subset subset;
    EXPECT_FALSE(chooseSubset(files, plinkInput(), 1, subset));
    EXPECT_NE(subset.error.find(c.where + std::string(": the field is empty (two tabs in a row)")), std::string::npos)
        << subset.error;
  }
  // R's write.table quotes every name: no sample or marker would match, and
  // a --remove or --exclude would leave everything in with a warning only.
  writeFile(dir + "/r.txt", "\"f\" \"b\"\n");
  writeFile(dir + "/m.txt", "m1\n\"m2\"\n");
  for (const auto& [option, file, where] :
       {std::tuple{&SubsetFiles::remove, "r.txt", "line 1, field 1 (--remove): the field is quoted (\"f\")"},
        std::tuple{&SubsetFiles::exclude, "m.txt", "line 2, field 1 (--exclude): the field is quoted (\"m2\")"}}) {
    SubsetFiles files;
    files.*option = dir + "/" + file;
    Subset subset;
    EXPECT_FALSE(chooseSubset(files, plinkInput(), 1, subset));
    EXPECT_NE(subset.error.find(where), std::string::npos) << subset.error;
  }
  writeFile(dir + "/p.txt", "FID\tIID\tT2D\tSEX\t\nf\ta\t2\t\t\nf\tb\t1\t\n");
  SubsetFiles files;
  files.pheno = dir + "/p.txt";
  Subset subset;
  ASSERT_TRUE(chooseSubset(files, plinkInput(), 1, subset)) << subset.error;
  EXPECT_EQ(subset.phenotypes, (std::vector<unsigned char>{1, 0}));
}

}  // namespace
