#include "support/oracle.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <random>

#include "support/run_program.h"

std::string Dataset::text() const {
  std::string out = "Class";
  for (const std::string& name : names) out += "\t" + name;
  out += "\n";
  for (int s = 0; s < samples(); ++s) {
    out += std::to_string(phenotype[s]);
    for (int m = 0; m < markers(); ++m) out += "\t" + std::to_string(genotype[m][s]);
    out += "\n";
  }
  return out;
}

std::vector<unsigned char> Dataset::genotypeBytes() const {
  std::vector<unsigned char> bytes;
  for (const std::vector<int>& marker : genotype) bytes.insert(bytes.end(), marker.begin(), marker.end());
  return bytes;
}

std::vector<unsigned char> Dataset::phenotypeBytes() const {
  return std::vector<unsigned char>(phenotype.begin(), phenotype.end());
}

Dataset randomDataset(unsigned seed, int markers, int samples, double missing_rate) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> unit(0, 1);
  Dataset data;
  data.genotype.assign(markers, std::vector<int>(samples));
  for (int m = 0; m < markers; ++m) {
    data.names.push_back("N" + std::to_string(m));
    const double maf = 0.1 + 0.4 * unit(random);
    for (int s = 0; s < samples; ++s) {
      const int copies = (unit(random) < maf) + (unit(random) < maf);
      data.genotype[m][s] = unit(random) < missing_rate ? 3 : copies;
    }
  }
  for (int s = 0; s < samples; ++s) data.phenotype.push_back(unit(random) < 0.5 ? 1 : 0);
  return data;
}

namespace {

void imputeModes(Dataset& data) {
  for (std::vector<int>& marker : data.genotype) {
    int tally[3] = {0, 0, 0};
    for (int code : marker)
      if (code < 3) ++tally[code];
    const int mode = static_cast<int>(std::max_element(tally, tally + 3) - tally);
    for (int& code : marker)
      if (code == 3) code = mode;
  }
}

bool completeSample(const Dataset& data, int s) {
  for (const std::vector<int>& marker : data.genotype)
    if (marker[s] == 3) return false;
  return true;
}

}  // namespace

void oracleTableMeasures(const std::vector<long>& table, double& ig, double& rig) {
  long totals[2] = {0, 0};
  for (std::size_t e = 0; e < table.size(); ++e) totals[e % 2] += table[e];
  const long double n = totals[0] + totals[1];
  long double mutual = 0;
  long double entropy = 0;
  for (int y = 0; y < 2; ++y) {
    if (totals[y] > 0) entropy -= totals[y] / n * std::log2(totals[y] / n);
  }
  for (std::size_t e = 0; e < table.size(); ++e) {
    const long double in_cell = table[e - e % 2] + table[e - e % 2 + 1];
    if (table[e] > 0) mutual += table[e] / n * std::log2(table[e] * n / (in_cell * totals[e % 2]));
  }
  ig = static_cast<double>(mutual);
  rig = static_cast<double>(mutual / entropy);
}

OracleCells oracleCells(const Dataset& data, const std::vector<int>& combination, Method method) {
  OracleCells cells;
  for (int s = 0; s < data.samples(); ++s) {
    if (method == Method::kComplete && !completeSample(data, s)) continue;
    std::vector<int> key;
    bool missing = false;
    for (int m : combination) {
      key.push_back(data.genotype[m][s]);
      missing = missing || data.genotype[m][s] == 3;
    }
    if (missing && method == Method::kAvailable) continue;
    auto& cell = cells[key];
    (data.phenotype[s] ? cell.second : cell.first) += 1;
  }
  return cells;
}

Dataset imputedCopy(const Dataset& data) {
  Dataset copy = data;
  imputeModes(copy);
  return copy;
}

void oracleMeasures(const Dataset& data, const std::vector<int>& combination, Method method,
                    double& ig, double& rig) {
  std::vector<long> table;
  for (const auto& [key, counts] : oracleCells(data, combination, method))
    table.insert(table.end(), {counts.first, counts.second});
  oracleTableMeasures(table, ig, rig);
}

bool oracleBlocks(const Dataset& original, int low, int high, int top, Method method,
                  std::vector<ExpectedBlock>& blocks) {
  Dataset data = original;
  if (method == Method::kImputation) imputeModes(data);
  int N = 0;
  for (int s = 0; s < data.samples(); ++s) N += method != Method::kComplete || completeSample(data, s);
  blocks.clear();
  for (int k = low; k <= high; ++k) {
    struct Scored { std::vector<int> combination; double ig, rig; };
    std::vector<Scored> scored;
    std::vector<int> c(k);
    for (int i = 0; i < k; ++i) c[i] = i;
    while (k <= data.markers()) {
      Scored row{c, 0, 0};
      oracleMeasures(data, c, method, row.ig, row.rig);
      scored.push_back(row);
      int i = k - 1;
      while (i >= 0 && c[i] == data.markers() - k + i) --i;
      if (i < 0) break;
      ++c[i];
      for (int j = i + 1; j < k; ++j) c[j] = c[j - 1] + 1;
    }
    // Later combinations first among equal keys, then best first.
    std::reverse(scored.begin(), scored.end());
    std::stable_sort(scored.begin(), scored.end(),
                     [](const Scored& a, const Scored& b) { return a.ig > b.ig; });
    ExpectedBlock block{k, {}};
    for (int r = 0; r < top && r < static_cast<int>(scored.size()); ++r) {
      if (scored.size() > 8 && r + 1 < static_cast<int>(scored.size()) &&
          std::fabs(scored[r].ig - scored[r + 1].ig) < 1e-12)
        return false;
      std::string names;
      for (int m : scored[r].combination) names += (names.empty() ? "" : " ") + data.names[m];
      block.rows.push_back({names, scored[r].ig, scored[r].rig, pValueOfIG(scored[r].ig, k, N)});
    }
    blocks.push_back(block);
  }
  return true;
}

namespace {

bool closeEnough(const std::string& a, const std::string& b) {
  if (a == b) return true;
  const double x = std::strtod(a.c_str(), nullptr);
  const double y = std::strtod(b.c_str(), nullptr);
  return std::fabs(x - y) <= 2e-6 + 1e-5 * std::fabs(x);
}

}  // namespace

std::string compareReports(const std::string& expected, const std::string& actual) {
  const std::vector<std::string> want = splitOn(expected, '\n');
  const std::vector<std::string> got = splitOn(actual, '\n');
  for (std::size_t i = 0; i < std::max(want.size(), got.size()); ++i) {
    const std::string a = i < want.size() ? want[i] : "<end>";
    const std::string b = i < got.size() ? got[i] : "<end>";
    if (a == b) continue;
    const std::vector<std::string> fa = splitOn(a, ',');
    const std::vector<std::string> fb = splitOn(b, ',');
    bool same = fa.size() == 5 && fb.size() == 5 && fa[0] == fb[0] && fa[1] == fb[1];
    for (int f = 2; same && f < 5; ++f) same = closeEnough(fa[f], fb[f]);
    if (!same) return "line " + std::to_string(i + 1) + ": expected [" + a + "] got [" + b + "]";
  }
  return "";
}
