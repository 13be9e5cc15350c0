// An independent model of a whole search, for comparing reports: measures as
// mutual information from joint frequencies, ranking by a plain stable sort.
#ifndef GORVA_TESTS_SUPPORT_ORACLE_H
#define GORVA_TESTS_SUPPORT_ORACLE_H

#include <map>
#include <string>
#include <vector>

#include "support/report_text.h"

struct Dataset {
  std::vector<std::string> names;
  std::vector<int> phenotype;              // 1 case, 0 control
  std::vector<std::vector<int>> genotype;  // [marker][sample], 3 = missing

  int markers() const { return static_cast<int>(genotype.size()); }
  int samples() const { return static_cast<int>(phenotype.size()); }
  std::string text() const;  // the tab-separated file, LF line ends
  std::vector<unsigned char> genotypeBytes() const;  // marker-major, as a run holds them
  std::vector<unsigned char> phenotypeBytes() const;
};

// Deterministic random data; marker names N0, N1, ...
Dataset randomDataset(unsigned seed, int markers, int samples, double missing_rate);

enum class Method { kNone, kMc, kComplete, kAvailable, kImputation };

// IG and RIG of a table of (controls, cases) per cell, as mutual information
// from joint frequencies.
void oracleTableMeasures(const std::vector<long>& table, double& ig, double& rig);

// Genotype codes of a combination's markers -> (controls, cases), counted as
// the method counts (impute first under "imputation": imputedCopy).
using OracleCells = std::map<std::vector<int>, std::pair<long, long>>;
OracleCells oracleCells(const Dataset& data, const std::vector<int>& combination, Method method);

// The data with every missing code replaced by its marker's most frequent genotype.
Dataset imputedCopy(const Dataset& data);

// IG and RIG of one combination under a method.
void oracleMeasures(const Dataset& data, const std::vector<int>& combination, Method method,
                    double& ig, double& rig);

// Expected blocks of a run over orders low..high keeping `top` rows. Fails
// the calling test (returns false) when near-equal keys would make the
// expected order depend on the sort's handling of ties.
bool oracleBlocks(const Dataset& data, int low, int high, int top, Method method,
                  std::vector<ExpectedBlock>& blocks);

// Compares two reports line by line: text exactly, numbers within printing
// precision. Returns an empty string when they agree, else the first difference.
std::string compareReports(const std::string& expected, const std::string& actual);

#endif  // GORVA_TESTS_SUPPORT_ORACLE_H
