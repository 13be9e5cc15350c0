// An outside caller of libgorva: empirical p-values of a few marker pairs of a
// data file, from a permutation null distribution.
//
//   c++ -std=c++20 null_distribution.cpp $(pkg-config --cflags --libs gorva) -o null_distribution
//   ./null_distribution example.txt [permutations]
#include <gorva.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A tab-separated file: header, then phenotype (1 = case) and genotype codes.
bool readData(const char* path, std::vector<std::string>& names, std::vector<unsigned char>& phenotypes,
              std::vector<std::vector<unsigned char>>& columns) {
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line)) return false;
  std::istringstream header(line);
  std::string field;
  std::getline(header, field, '\t');
  while (std::getline(header, field, '\t')) names.push_back(field);
  columns.assign(names.size(), {});
  while (std::getline(in, line)) {
    std::istringstream row(line);
    std::getline(row, field, '\t');
    phenotypes.push_back(std::atoi(field.c_str()) == 1 ? 1 : 0);
    for (auto& column : columns) {
      std::getline(row, field, '\t');
      column.push_back(static_cast<unsigned char>(std::atoi(field.c_str())));
    }
  }
  return !phenotypes.empty();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DATA.txt [permutations]\n", argv[0]);
    return 2;
  }
  std::vector<std::string> names;
  std::vector<unsigned char> phenotypes;
  std::vector<std::vector<unsigned char>> columns;
  if (!readData(argv[1], names, phenotypes, columns) || names.size() < 4) {
    std::fprintf(stderr, "%s: cannot read a data set of at least 4 markers\n", argv[1]);
    return 2;
  }
  int permutations = argc > 2 ? std::atoi(argv[2]) : 200;
  int S = static_cast<int>(phenotypes.size());
  int marker_count = static_cast<int>(names.size());
  std::vector<unsigned char> genotypes;  // marker-major, as the library expects
  for (const auto& column : columns) genotypes.insert(genotypes.end(), column.begin(), column.end());

  std::vector<int> samples(S);
  int cases = 0;
  for (int s = 0; s < S; ++s) {
    samples[s] = s;
    cases += phenotypes[s];
  }
  int controls = S - cases;
  int N = S;
  double ratio = static_cast<double>(cases) / controls;
  int option = 1;
  int available = 4;
  std::vector<double> scores(S, 0.0);

  // The first three pairs in lexicographic order.
  int k = 2;
  int wanted = 3;
  int count = 0;
  std::vector<int> state(k, -1);
  std::vector<int> pairs(k * wanted);
  combSNP(&k, &marker_count, &wanted, state.data(), &count, pairs.data());

  std::vector<double> observed(2 * count);
  mdrCombinationAll(pairs.data(), &k, &count, genotypes.data(), &marker_count, phenotypes.data(),
                    scores.data(), &S, samples.data(), &N, &cases, &controls, &ratio, &option,
                    &available, observed.data());

  init_rng(20261206);
  std::printf("pair,IG,empirical p-value (%d permutations)\n", permutations);
  for (int c = 0; c < count; ++c) {
    int one = 1;
    int drawn = 0;
    std::vector<double> null_pairs(2 * permutations);
    generateNull(&pairs[c * k], &k, &one, genotypes.data(), &marker_count, phenotypes.data(),
                 scores.data(), &S, samples.data(), &N, &cases, &controls, &ratio, &option,
                 &available, &permutations, &drawn, null_pairs.data());
    std::vector<double> null_ig(drawn);
    for (int p = 0; p < drawn; ++p) null_ig[p] = null_pairs[2 * p];
    double statistic = observed[2 * c];
    double p_value = 0;
    int one_statistic = 1;
    int unsorted = 0;
    pvalueVector(null_ig.data(), &drawn, &statistic, &one_statistic, &unsorted, &p_value);
    std::printf("%s %s,%f,%f\n", names[pairs[c * k]].c_str(), names[pairs[c * k + 1]].c_str(),
                statistic, p_value);
  }
  return 0;
}
