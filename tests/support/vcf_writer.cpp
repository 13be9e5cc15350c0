#include "support/vcf_writer.h"

#include <cstdlib>

namespace {
constexpr const char* kGenotypeText[4] = {"0/0", "0/1", "1/1", "./."};
}  // namespace

std::string vcfFromTable(const GenotypeTable& table) {
  std::string text =
      "##fileformat=VCFv4.2\n##contig=<ID=1>\n"
      "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">\n"
      "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";
  for (std::size_t s = 0; s < table.genotypes.size(); ++s) text += "\tid" + std::to_string(s);
  text += "\n";
  for (std::size_t m = 0; m < table.markers.size(); ++m) {
    text += "1\t" + std::to_string(100 * (m + 1)) + "\t" + table.markers[m] + "\tA\tG\t.\t.\t.\tGT";
    for (const std::vector<int>& sample : table.genotypes) text += std::string("\t") + kGenotypeText[sample[m]];
    text += "\n";
  }
  return text;
}

std::string phenoFromTable(const GenotypeTable& table) {
  std::string text = "FID IID pheno\n";
  for (std::size_t s = 0; s < table.genotypes.size(); ++s) {
    text += "fam" + std::to_string(s) + " id" + std::to_string(s) + " " + table.fam_phenotypes[s] + "\n";
  }
  return text;
}

bool runBcftools(const std::string& args, const std::string& dir) {
  const std::string command = "cd '" + dir + "' && bcftools " + args + " 2>/dev/null";
  return std::system(command.c_str()) == 0;
}
