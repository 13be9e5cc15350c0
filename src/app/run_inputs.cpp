#include "app/run_inputs.h"

#include <utility>

#include "app/options.h"

std::vector<RunFile> dataFiles(const std::string& input_file) {
  if (!opt::bfile.empty()) {
    return {{opt::bfile + ".bed", "the PLINK .bed file", "--bfile"},
            {opt::bfile + ".bim", "the PLINK .bim file", "--bfile"},
            {opt::bfile + ".fam", "the PLINK .fam file", "--bfile"}};
  }
  if (!opt::vcf.empty()) return {{opt::vcf, "the VCF file", "--vcf"}};
  if (!opt::bcf.empty()) return {{opt::bcf, "the BCF file", "--bcf"}};
  return {{input_file, "the data file", "--in", true}};
}

std::vector<RunFile> selectionFiles() {
  std::vector<RunFile> files;
  for (const auto& [path, option] : {std::pair{opt::pheno, "--pheno"}, std::pair{opt::keep, "--keep"},
                                     std::pair{opt::remove, "--remove"}, std::pair{opt::extract, "--extract"},
                                     std::pair{opt::exclude, "--exclude"}, std::pair{opt::covar, "--covar"},
                                     std::pair{opt::strata, "--strata"}}) {
    if (!path.empty()) files.push_back({path, std::string("the ") + option + " file", option});
  }
  return files;
}

std::vector<RunFile> ignoredDataFiles(const std::string& input_file) {
  std::vector<RunFile> files;
  if (!input_file.empty() && !(opt::bfile.empty() && opt::vcf.empty() && opt::bcf.empty()))
    files.push_back({input_file, "the ignored --in file", "--in"});
  for (const auto& [option, path] : opt::unread_inputs) {
    if (path.empty()) continue;
    const std::string role = option == "--score" ? "the --score file, recorded and not read"
                                                 : "the ignored " + option + " file";
    if (option != "--bfile") {
      files.push_back({path, role, option});
      continue;
    }
    for (const char* member : {".bed", ".bim", ".fam"}) files.push_back({path + member, role + " " + member, option});
  }
  return files;
}

std::vector<RunFile> runInputFiles(const std::string& input_file) {
  std::vector<RunFile> files = dataFiles(input_file);
  for (RunFile& file : selectionFiles()) files.push_back(std::move(file));
  for (RunFile& file : ignoredDataFiles(input_file)) files.push_back(std::move(file));
  return files;
}
