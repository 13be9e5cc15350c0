#include "support/plink_writer.h"

#include <sstream>
#include <stdexcept>

#include "support/run_program.h"

namespace {

std::vector<std::string> splitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream stream(line);
  std::string field;
  while (std::getline(stream, field, '\t')) fields.push_back(field);
  return fields;
}

// The two bits of a genotype: homozygous A1 00, missing 01, heterozygous
// 10, homozygous A2 11.
int bedBits(int copies_of_a1) {
  switch (copies_of_a1) {
    case 2:
      return 0b00;
    case 3:
      return 0b01;
    case 1:
      return 0b10;
    case 0:
      return 0b11;
    default:
      throw std::invalid_argument("genotype code outside 0-3");
  }
}

}  // namespace

GenotypeTable tableFromText(const std::string& text) {
  GenotypeTable table;
  std::stringstream lines(text);
  std::string line;
  std::getline(lines, line);
  const std::vector<std::string> header = splitTabs(line);
  table.markers.assign(header.begin() + 1, header.end());
  while (std::getline(lines, line)) {
    const std::vector<std::string> fields = splitTabs(line);
    if (fields.size() != header.size()) throw std::invalid_argument("short line: " + line);
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
                                     (bedBits(codes[s]) << (2 * (s % 4))));
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
