// Readers that run before the run's own estimate (a VCF's names, the
// --pheno, subset, strata and covariate files) end with exit status 3 and a message when
// memory runs short, under an address-space limit and under a memory
// cgroup alike: never an abort, never the kernel's kill.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "support/run_program.h"
#include "support/vcf_writer.h"

namespace {

// A VCF whose records carry long ids (names dominate what its reader holds),
// its phenotypes, and a text data set with a --pheno file of many lines.
struct ReaderInputs {
  std::string dir = makeTempDir();
  std::vector<std::string> commands = {"--vcf big.vcf --pheno small.pheno", "--in data.txt --pheno huge.pheno",
                                       "--in data.txt --keep huge.pheno", "--in data.txt --strata huge.pheno",
                                       "--in data.txt --exclude huge.snps",
                                       "--in data.txt --covar huge.covar --covar-name C --table t.tsv"};

  ReaderInputs() {
    GenotypeTable table;
    for (int m = 0; m < 60000; ++m) table.markers.push_back("rs" + std::string(200, 'x') + std::to_string(m));
    for (int s = 0; s < 4; ++s) {
      table.fam_phenotypes.push_back(s % 2 ? "2" : "1");
      table.genotypes.emplace_back(table.markers.size(), s % 3);
    }
    writeFile(dir + "/big.vcf", vcfFromTable(table));
    writeFile(dir + "/small.pheno", phenoFromTable(table));
    table.markers.resize(3);
    for (auto& row : table.genotypes) row.resize(3);
    writeFile(dir + "/data.txt", textFromTable(table));
    // A text file's samples are named by their place; most lines name none of them.
    // The phenotype file doubles as a strata file: its third field names the
    // stratum, each of which holds a case and a control of the data.
    std::string huge, covariates = "FID IID C\n", snps;
    for (int line = 1; line <= 400000; ++line) {
      const std::string sample = std::to_string(line) + " " + std::to_string(line);
      huge += sample + (line % 4 == 1 || line % 4 == 2 ? " 2\n" : " 1\n");
      covariates += sample + " " + std::to_string(line % 7) + "\n";
      snps += "rs" + std::to_string(line) + "\n";
    }
    writeFile(dir + "/huge.pheno", huge);
    writeFile(dir + "/huge.covar", covariates);
    writeFile(dir + "/huge.snps", snps);
  }
};

// Completed, or refused for memory with the program's words.
void expectCompletedOrRefused(const ProgramResult& run, const std::string& what, int& refused) {
  ASSERT_TRUE(run.status == 0 || run.status == 3) << what << ": status " << run.status << " " << run.err;
  if (run.status != 3) return;
  ++refused;
  EXPECT_EQ(run.err.rfind("gorva: ", 0), 0u) << run.err;
  const bool allocation_failed = run.err.find("out of memory") != std::string::npos;
  EXPECT_TRUE(allocation_failed || run.err.find(" MB available (") != std::string::npos) << what << ": " << run.err;
}

TEST(ReaderMemory, EveryReaderEndsWithStatus3UnderAnAddressSpaceLimit) {
  if (kSanitizedBuild) GTEST_SKIP() << "the sanitizers' shadow memory, not the program, fills the address space";
  ReaderInputs inputs;
  for (const std::string& command : inputs.commands) {
    int refused = 0;
    for (long kilobytes = 20000; kilobytes <= 140000; kilobytes += 20000) {
      const ProgramResult run = runProgram(
          "/bin/sh", {"-c", "ulimit -v " + std::to_string(kilobytes) + " && exec " + GORVA_EXE + " " + command +
                                " --out r.txt --order 1 --threads 1"},
          inputs.dir);
      if (run.status == 127) continue;  // too little for the loader to map the libraries
      expectCompletedOrRefused(run, command + " under " + std::to_string(kilobytes) + " kB", refused);
    }
    EXPECT_GT(refused, 0) << command << ": no limit was low enough";
  }
}

// A child of the test's own memory cgroup (v1 or v2), removed at the end.
class ChildCgroup {
 public:
  ChildCgroup() {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
      const std::size_t colon = line.find(':', line.find(':') + 1);
      const std::string controllers = line.substr(line.find(':') + 1, colon - line.find(':') - 1);
      const std::string path = line.substr(colon + 1);
      if (controllers == "memory") dir_ = "/sys/fs/cgroup/memory" + path, limit_file_ = "memory.limit_in_bytes";
      if (controllers.empty() && dir_.empty()) dir_ = "/sys/fs/cgroup" + path, limit_file_ = "memory.max";
    }
    dir_ += (dir_.back() == '/' ? "" : "/") + std::string("gorva-test-") + std::to_string(getpid());
    made_ = mkdir(dir_.c_str(), 0755) == 0 && access((dir_ + "/" + limit_file_).c_str(), W_OK) == 0;
  }
  ~ChildCgroup() {
    if (made_) rmdir(dir_.c_str());
  }
  bool made() const { return made_; }
  void limit(long bytes) { writeFile(dir_ + "/" + limit_file_, std::to_string(bytes)); }
  // The shell words that run a command inside the group.
  std::string enter() const { return "echo $$ > " + dir_ + "/cgroup.procs && exec "; }

 private:
  std::string dir_;
  std::string limit_file_;
  bool made_ = false;
};

TEST(ReaderMemory, EveryReaderEndsWithStatus3UnderACgroupLimit) {
  if (kSanitizedBuild) GTEST_SKIP() << "the sanitizers' shadow memory, not the program, fills the group's limit";
  ChildCgroup group;
  if (!group.made()) GTEST_SKIP() << "no memory cgroup can be made here (needs a writable cgroup file system)";
  ReaderInputs inputs;
  for (const std::string& command : inputs.commands) {
    int refused = 0;
    for (long megabytes = 20; megabytes <= 140; megabytes += 40) {
      group.limit(megabytes << 20);
      const ProgramResult run = runProgram(
          "/bin/sh", {"-c", group.enter() + GORVA_EXE + " " + command + " --out r.txt --order 1 --threads 1"},
          inputs.dir);
      expectCompletedOrRefused(run, command + " under " + std::to_string(megabytes) + " MB", refused);
    }
    EXPECT_GT(refused, 0) << command << ": no limit was low enough";
  }
}

}  // namespace
