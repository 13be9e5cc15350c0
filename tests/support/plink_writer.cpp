#include "support/plink_writer.h"

#include <array>
#include <stdexcept>

#include "support/run_program.h"

namespace {

// The two bits of a genotype by copies of A1 (0, 1, 2, 3 = missing):
// homozygous A2 11, heterozygous 10, homozygous A1 00, missing 01.
constexpr std::array<int, 4> kBedBits = {0b11, 0b10, 0b00, 0b01};

}  // namespace

GenotypeTable tableFromText(const std::string& text) {
  GenotypeTable table;
  const std::vector<std::string> lines = splitOn(text, '\n');
  const std::vector<std::string> header = splitOn(lines.at(0), '\t');
  table.markers.assign(header.begin() + 1, header.end());
  for (std::size_t l = 1; l < lines.size(); ++l) {
    const std::vector<std::string> fields = splitOn(lines[l], '\t');
    if (fields.size() != header.size()) throw std::invalid_argument("short line: " + lines[l]);
    table.fam_phenotypes.push_back(fields[0] == "1" ? "2" : "1");
    std::vector<int> codes;
    for (std::size_t f = 1; f < fields.size(); ++f) codes.push_back(std::stoi(fields[f]));
    table.genotypes.push_back(codes);
  }
  return table;
}

std::string textFromTable(const GenotypeTable& table) {
  std::string text = "Class";
  for (const std::string& name : table.markers) text += "\t" + name;
  text += "\n";
  for (std::size_t s = 0; s < table.genotypes.size(); ++s) {
    const std::string& phenotype = table.fam_phenotypes[s];
    if (phenotype != "1" && phenotype != "2") continue;
    text += phenotype == "2" ? "1" : "0";
    for (const int code : table.genotypes[s]) text += "\t" + std::to_string(code);
    text += "\n";
  }
  return text;
}

std::string packMarker(const std::vector<int>& codes) {
  std::string bytes((codes.size() + 3) / 4, '\0');
  for (std::size_t s = 0; s < codes.size(); ++s) {
    bytes[s / 4] = static_cast<char>(static_cast<unsigned char>(bytes[s / 4]) |
                                     (kBedBits.at(codes[s]) << (2 * (s % 4))));
  }
  return bytes;
}

void writePlinkFiles(const std::string& prefix, const GenotypeTable& table) {
  std::string fam;
  for (std::size_t s = 0; s < table.genotypes.size(); ++s) {
    fam += "fam" + std::to_string(s) + " id" + std::to_string(s) + " 0 0 1 " +
           table.fam_phenotypes[s] + "\n";
  }
  writeFile(prefix + ".fam", fam);
  std::string bim;
  for (std::size_t m = 0; m < table.markers.size(); ++m) {
    bim += "1\t" + table.markers[m] + "\t0\t" + std::to_string(100 * (m + 1)) + "\tA\tG\n";
  }
  writeFile(prefix + ".bim", bim);
  std::string bed = "\x6c\x1b\x01";
  for (std::size_t m = 0; m < table.markers.size(); ++m) {
    std::vector<int> codes;
    for (const std::vector<int>& sample : table.genotypes) codes.push_back(sample[m]);
    bed += packMarker(codes);
  }
  writeFile(prefix + ".bed", bed);
}
